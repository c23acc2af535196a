#pragma once

#include <QByteArray>
#include <QWidget>

// The UDP receiver tab. An empty page for now; its controls come with the UDP receiver subsystem.
class UdpReceiver : public QWidget
{
    Q_OBJECT
public:
    explicit UdpReceiver(QWidget* parent = nullptr);
    // Status text for the periodic usage report; empty while nothing runs.
    QByteArray getUxReport() const;
};
