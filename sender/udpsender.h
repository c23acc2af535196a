#pragma once

#include <QByteArray>
#include <QWidget>

// The UDP sender tab. An empty page for now; its controls come with the UDP sender subsystem.
class UdpSender : public QWidget
{
    Q_OBJECT
public:
    explicit UdpSender(QWidget* parent = nullptr);
    // Status text for the periodic usage report; empty while nothing runs.
    QByteArray getUxReport() const;
};
