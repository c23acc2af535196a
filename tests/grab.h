#pragma once

#include <QWidget>

// With NRI_GRAB_DIR set, a widget is saved there as NAME.png for a person to look at.
inline void GrabIfAsked(QWidget* widget, const QString& name)
{
    const QString dir = qEnvironmentVariable("NRI_GRAB_DIR");
    if (!dir.isEmpty())
        widget->grab().save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}
