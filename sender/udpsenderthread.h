#pragma once

#include "receiver/udpreceiverobservationparams.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QString>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <vector>

class QUdpSocket;
class UdpReceiverThreadAtSender;
namespace Ui {
class UdpSender;
}

// One wanted stream of a udpTxStreamsConfig signal.
struct UdpTxStreamConfigElement
{
    QString DestinationHost;
    int32_t DestinationPort = 0;
    int32_t TargetBandwidthBitsPerSecond = 0;
    int32_t PacketSizeInBytes = 0;
    int32_t MeasurementsIntervalS = 0;
    int32_t LocalPort = 0;
    bool EnableReceiver = false;
    UdpReceiverObservationParams ReceiverObservationParams;
    bool SendBackToSender = false;
};

// Pacing of a stream: a tick of tickMs carrying numberOfPacketsPerTick datagrams.
struct UdpSenderPacing
{
    int32_t tickMs = 0;
    int32_t numberOfPacketsPerTick = 0;
};

// The tick and packets per tick for a time between single packets of T ms; throws Exception
// "invalid targetTimeBetweenSinglePacketsMs" or "invalid numberOfPacketsPerTick".
UdpSenderPacing PacingForPacketInterval(double targetTimeBetweenSinglePacketsMs);

// Bytes a Norvastelle stream's packet buffer holds at least: the largest packet size that a
// remote update may set.
constexpr int32_t minAllocatedDataLength = 10000;
// The buffer never grows beyond this: no UDP payload is longer (65507 bytes over IPv4, 65527 over
// IPv6), so a longer packet size is refused by the send without being backed by memory.
constexpr int32_t maxAllocatedDataLength = 65535;
// Sleep between two long packets of a stream of 24-47-byte packets, ms.
constexpr int32_t defaultLongPacketPeriodMs = 10000;

// One generated UDP stream, sending from a thread of its own. Built from the sender tab's form
// (ui) or from a remote configuration (cfg); exactly one of them is given. The socket is bound
// on the constructing (GUI) thread; the stream's thread sends with sendto on its descriptor and
// the receiver at sender reads it with recvmsg, neither through the socket object. The GUI thread
// reads the counters while the stream's thread writes them, so they are atomics.
class UdpSenderThread : public QThread
{
    Q_OBJECT
public:
    UdpSenderThread(Ui::UdpSender* ui, UdpTxStreamConfigElement* cfg);
    ~UdpSenderThread() override;

    // Sends one datagram; *notSent is set (and 0 returned) when there is nobody to send to.
    // Returns the bytes sent or -1 when the socket refused. Called by the stream's thread, or
    // by the GUI thread on a stream whose thread never starts.
    int64_t SendSinglePacket(bool* notSent, bool forceLongPacket);

    // GUI thread: stops the loop (and the receiver at sender) and waits until they stopped. A
    // sleeping loop wakes at once.
    void Abort();

    // Counters read by the GUI thread.
    uint64_t PacketsSent() const { return packetsSent.load(std::memory_order_relaxed); }
    uint64_t BytesSent() const { return bytesSent.load(std::memory_order_relaxed); }
    double CurrentBitsPerSecond() const { return currentBitsPerSecond.load(std::memory_order_relaxed); }
    double CurrentPacketsPerSecond() const { return currentPacketsPerSecond.load(std::memory_order_relaxed); }

    // Identity used to match remote configurations.
    QString DestinationAddressText() const; // empty in send-back mode
    int32_t DestinationPort() const { return destinationPort; }
    int32_t LocalPort() const { return localPort; } // as requested; 0 when the system chose
    quint16 BoundPort() const { return boundPort; } // the port the socket really has
    bool IsNorvastelleFormat() const { return norvastelleFormat; }

    // GUI thread: a remote update of a running stream (range checks of the configuration are
    // the caller's). The loop picks the values up at its next tick; the measurement interval is
    // written into the packet by the stream's own thread. Refused (false, nothing changed) for a
    // custom payload, a packet size outside 24..the buffer's length, or pacing outside its limits.
    bool UpdateInPlace(int32_t packetSize, UdpSenderPacing pacing, int32_t targetBitsPerSecond,
                       int32_t measurementsIntervalS);

    int32_t PacketSize() const { return packetSize.load(std::memory_order_relaxed); }
    int32_t TickMs() const { return tickMs.load(std::memory_order_relaxed); }
    int32_t NumberOfPacketsPerTick() const { return numberOfPacketsPerTick.load(std::memory_order_relaxed); }
    int32_t TargetPacketsPerSecond() const { return targetPacketsPerSecond; }
    int32_t TargetBitsPerSecond() const { return targetBitsPerSecond.load(std::memory_order_relaxed); }

    // Before start(): the accumulated sleep after which a stream of short packets sends its next
    // long packet (tests shorten it).
    void SetLongPacketPeriodMs(int32_t periodMs) { longPacketPeriodMs = periodMs; }

protected:
    void run() override;

private:
    void SleepMs(int32_t ms);

    std::unique_ptr<QUdpSocket> socket;
    // Declared after the socket, so it is stopped and deleted first (its destructor joins it),
    // also when construction fails.
    std::unique_ptr<UdpReceiverThreadAtSender> receiverAtSender;
    QHostAddress localAddress;
    std::atomic<int32_t> packetSize{0};
    std::vector<uint8_t> packetBuffer; // never resized after construction
    std::atomic<bool> abortRequested{false};
    std::atomic<bool> stopped{false};
    std::atomic<int32_t> tickMs{0};
    std::atomic<int32_t> numberOfPacketsPerTick{0};
    int32_t targetPacketsPerSecond = 0;
    std::atomic<int32_t> targetBitsPerSecond{0};
    bool norvastelleFormat = true;
    QElapsedTimer clock;
    bool firstPacketLogged = false;
    int32_t destinationPort = 0;
    int32_t localPort = 0;
    QHostAddress destinationAddress;
    std::atomic<uint64_t> packetsSent{0};
    std::atomic<uint64_t> bytesSent{0};
    std::atomic<double> currentBitsPerSecond{0};
    std::atomic<double> currentPacketsPerSecond{0};

    // Set at construction, read-only afterwards.
    int socketDescriptor = -1;
    int socketFamily = AF_UNSPEC;
    quint16 boundPort = 0;
    QString destinationAddressText;
    sockaddr_storage destinationSocketAddress{}; // destinationAddress:destinationPort for sendto
    socklen_t destinationSocketAddressLength = 0;
    int32_t longPacketPeriodMs = defaultLongPacketPeriodMs;

    // Measurement interval published by UpdateInPlace; the stream's thread copies it into the
    // packet before its next tick, so the GUI thread never writes the buffer being sent.
    std::atomic<uint16_t> measurementIntervalS{0};

    // The tick's sleep, cut short by Abort().
    std::mutex sleepLock;
    std::condition_variable sleepWake;
};
