#include "sender/udpsender.h"

UdpSender::UdpSender(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("UdpSender"));
}

QByteArray UdpSender::getUxReport() const
{
    return QByteArray();
}
