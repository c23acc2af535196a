#include "sender/udpreceiverthreadatsender.h"

#include "core/delaymonitor.h"
#include "core/logging.h"

#include <QNetworkInterface>
#include <QUdpSocket>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/uio.h>
#include <vector>

DatagramSource NormalisedSource(const sockaddr_storage& from)
{
    DatagramSource source;
    if (from.ss_family == AF_INET) {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(from);
        std::memcpy(&source.address, &in4, sizeof in4);
        source.port = ntohs(in4.sin_port);
    } else if (from.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(from);
        source.port = ntohs(in6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            sockaddr_in in4{};
            in4.sin_family = AF_INET;
            in4.sin_port = in6.sin6_port;
            std::memcpy(&in4.sin_addr, in6.sin6_addr.s6_addr + 12, 4);
            std::memcpy(&source.address, &in4, sizeof in4);
        } else {
            std::memcpy(&source.address, &in6, sizeof in6);
        }
    }
    return source;
}

DatagramSource SourceFromHostAddress(const QHostAddress& address, uint16_t port)
{
    sockaddr_storage plain{};
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4); // also unwraps IPv4-mapped addresses
    if (isIpv4) {
        auto& in4 = reinterpret_cast<sockaddr_in&>(plain);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(port);
        in4.sin_addr.s_addr = htonl(ipv4);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(plain);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6.sin6_addr, bytes.c, 16);
        const QString scope = address.scopeId();
        if (!scope.isEmpty()) {
            bool numeric = false;
            const uint index = scope.toUInt(&numeric);
            in6.sin6_scope_id = numeric ? index : QNetworkInterface::interfaceIndexFromName(scope);
        }
    }
    return NormalisedSource(plain);
}

socklen_t SocketAddressForFamily(const DatagramSource& source, int socketFamily, sockaddr_storage* out)
{
    *out = source.address;
    if (source.address.ss_family == AF_INET && socketFamily == AF_INET6) {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(source.address);
        sockaddr_in6 mapped{};
        mapped.sin6_family = AF_INET6;
        mapped.sin6_port = in4.sin_port;
        mapped.sin6_addr.s6_addr[10] = 0xFF;
        mapped.sin6_addr.s6_addr[11] = 0xFF;
        std::memcpy(mapped.sin6_addr.s6_addr + 12, &in4.sin_addr, 4);
        std::memset(out, 0, sizeof *out);
        std::memcpy(out, &mapped, sizeof mapped);
    }
    return out->ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

uint32_t Ipv4Number(const DatagramSource& source)
{
    if (source.address.ss_family != AF_INET)
        return 0;
    return ntohl(reinterpret_cast<const sockaddr_in&>(source.address).sin_addr.s_addr);
}

UdpReceiverThreadAtSender::UdpReceiverThreadAtSender(QUdpSocket* socket, int localPort,
                                                     UdpReceiverObservationParams& params)
    : localPort(localPort),
      socket(socket),
      socketDescriptor(static_cast<int>(socket->socketDescriptor())),
      observationParams(params)
{
    TRACE_SCOPE(ModuleUDPRX, TraceLevelRoutine);
    TRACE_MESSAGE(ModuleUDPRX, TraceLevelNotable,
                  QStringLiteral("starting receiver at sender socket (localPort=%1)").arg(localPort));
    setObjectName(QStringLiteral("UDPRX@TX %1").arg(localPort));
}

UdpReceiverThreadAtSender::~UdpReceiverThreadAtSender()
{
    // The owner stops the loop first; this only makes sure no loop outlives the object.
    RequestStop();
    wait();
}

DatagramSource UdpReceiverThreadAtSender::LastSourceAddress() const
{
    std::lock_guard<std::mutex> lock(lastSourceLock);
    return lastSource;
}

void UdpReceiverThreadAtSender::ObserveDatagram(const uint8_t*, int, const DatagramSource&)
{
}

void UdpReceiverThreadAtSender::run()
{
    TRACE_SCOPE(ModuleUDPRX, TraceLevelRoutine);
    {
        DelayMonitor monitor(DelayMonitorActions::UDPRX_processing);
        std::vector<uint8_t> buffer(ReadBufferBytes); // reused for every datagram
        pollfd waitFor{socketDescriptor, POLLIN, 0};
        while (!abortRequested.load(std::memory_order_acquire)) {
            // Waiting in poll rather than sleeping: a datagram is read as soon as it arrives, and
            // the stop request is seen within PollTimeoutMs.
            if (::poll(&waitFor, 1, PollTimeoutMs) <= 0)
                continue;
            // Drain everything pending before waiting again.
            while (!abortRequested.load(std::memory_order_relaxed)) {
                sockaddr_storage from{};
                iovec part{buffer.data(), buffer.size()};
                msghdr message{};
                message.msg_name = &from;
                message.msg_namelen = sizeof from;
                message.msg_iov = &part;
                message.msg_iovlen = 1;
                const ssize_t length = ::recvmsg(socketDescriptor, &message, MSG_DONTWAIT);
                if (length < 0) {
                    if (errno == EINTR)
                        continue;
                    break; // nothing pending any more, or a failed read that is passed over
                }
                const DatagramSource source = NormalisedSource(from);
                {
                    std::lock_guard<std::mutex> lock(lastSourceLock);
                    lastSource = source;
                }
                monitor.OnStarted();
                ObserveDatagram(buffer.data(), static_cast<int>(length), source);
                monitor.OnStopped();
            }
        }
    }
    stopped.store(true, std::memory_order_release);
}
