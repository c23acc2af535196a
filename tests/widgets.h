#pragma once

#include <QString>
#include <QWidget>

// The child widget of that object name; a missing one ends the test run at once, since every
// later step would only fail less clearly.
template <typename T>
T* Child(QWidget* parent, const char* name)
{
    T* child = parent->findChild<T*>(QLatin1String(name));
    if (!child)
        qFatal("no widget %s", name);
    return child;
}
