#include "receiver/udpreceiver.h"

UdpReceiver::UdpReceiver(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("UdpReceiver"));
}

QByteArray UdpReceiver::getUxReport() const
{
    return QByteArray();
}
