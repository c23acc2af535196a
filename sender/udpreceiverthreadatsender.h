#pragma once

#include "receiver/udpreceiverobservationparams.h"

#include <QHostAddress>
#include <QThread>
#include <atomic>
#include <mutex>

class QUdpSocket;

// Reads what arrives on a sender stream's own socket and remembers where the last datagram came
// from: the target of the stream's send-back mode. The stream's thread only sends on the socket;
// this thread only receives from it.
class UdpReceiverThreadAtSender : public QThread
{
    Q_OBJECT
public:
    UdpReceiverThreadAtSender(QUdpSocket* socket, int localPort, UdpReceiverObservationParams& params);
    ~UdpReceiverThreadAtSender() override;

    // The source of the last datagram read; *port is 0 until one has arrived. Any thread.
    void LastSource(QHostAddress* address, quint16* port) const;

    void RequestStop() { abortRequested = true; }
    bool IsStopped() const { return stopped; }

protected:
    void run() override;

private:
    std::atomic<bool> abortRequested{false};
    std::atomic<bool> stopped{false};
    int localPort;
    QUdpSocket* socket;
    UdpReceiverObservationParams observationParams;
    mutable std::mutex lastSourceLock;
    QHostAddress lastSourceAddress;
    quint16 lastSourcePort = 0;
};
