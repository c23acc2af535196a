#pragma once

#include "receiver/udpreceiverobservationparams.h"

#include <QHostAddress>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>

class QUdpSocket;

// A peer's socket address in plain form: an IPv4 peer that a dual-stack socket reports as an
// IPv4-mapped IPv6 address is held as sockaddr_in, so one peer has one form whichever family the
// socket saw. port (host order) is 0 while there is none.
struct DatagramSource
{
    sockaddr_storage address{}; // sockaddr_in or sockaddr_in6, port included
    uint16_t port = 0;
};

// The plain form of an address returned by recvmsg/recvfrom.
DatagramSource NormalisedSource(const sockaddr_storage& from);

// The plain form of a Qt address and a port (an IPv6 scope id names the interface).
DatagramSource SourceFromHostAddress(const QHostAddress& address, uint16_t port);

// A plain-form address made fit for sendto on a socket of the given family: on an AF_INET6
// (dual-stack) socket an IPv4 peer becomes IPv4-mapped. Where the families cannot meet the
// address is left as it is and the system refuses the send. Returns the address length.
socklen_t SocketAddressForFamily(const DatagramSource& source, int socketFamily, sockaddr_storage* out);

// The IPv4 number (first octet most significant) of a plain-form address; 0 for IPv6.
uint32_t Ipv4Number(const DatagramSource& source);

// Reads what arrives on a sender stream's own socket and remembers where the last datagram came
// from: the target of the stream's send-back mode. The stream's thread only sends on the socket;
// this thread only receives from it, with plain system calls on the socket's descriptor.
class UdpReceiverThreadAtSender : public QThread
{
    Q_OBJECT
public:
    // Longest datagram read; longer ones are cut to this length.
    static constexpr int ReadBufferBytes = 10000;
    // Longest wait for a datagram before the stop request is looked at again.
    static constexpr int PollTimeoutMs = 10;

    // GUI thread, with the socket already bound.
    UdpReceiverThreadAtSender(QUdpSocket* socket, int localPort, UdpReceiverObservationParams& params);
    ~UdpReceiverThreadAtSender() override;

    // The source of the last datagram read, IPv4 unwrapped from IPv4-mapped form; its port is 0
    // until one has arrived. Any thread.
    DatagramSource LastSourceAddress() const;

    void RequestStop() { abortRequested = true; }
    bool IsStopped() const { return stopped; }

protected:
    void run() override;

private:
    // Where the measurement of every datagram read (the observation, created from the first
    // datagram's source) takes its input; nothing is measured yet.
    void ObserveDatagram(const uint8_t* datagram, int length, const DatagramSource& source);

    std::atomic<bool> abortRequested{false};
    std::atomic<bool> stopped{false};
    int localPort;
    QUdpSocket* socket;
    int socketDescriptor;
    UdpReceiverObservationParams observationParams;
    mutable std::mutex lastSourceLock;
    DatagramSource lastSource; // guarded by lastSourceLock
};
