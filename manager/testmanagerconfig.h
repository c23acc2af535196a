#pragma once

#include <QByteArray>
#include <QWidget>

// The test manager tab. An empty page for now; its controls come with the test manager subsystem.
class TestManagerConfig : public QWidget
{
    Q_OBJECT
public:
    explicit TestManagerConfig(QWidget* parent = nullptr);
};
