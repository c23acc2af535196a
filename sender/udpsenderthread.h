#pragma once

#include "receiver/udpreceiverobservationparams.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdint>
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

// One generated UDP stream, sending from a thread of its own. Built from the sender tab's form
// (ui) or from a remote configuration (cfg); exactly one of them is given. The GUI thread reads
// the counters while the stream's thread writes them, so they are atomics.
class UdpSenderThread : public QThread
{
    Q_OBJECT
public:
    UdpSenderThread(Ui::UdpSender* ui, UdpTxStreamConfigElement* cfg);
    ~UdpSenderThread() override;

    // Sends one datagram; *notSent is set (and 0 returned) when there is nobody to send to.
    // Returns the bytes sent or -1 when the socket refused.
    int64_t SendSinglePacket(bool* notSent, bool forceLongPacket);

    // GUI thread: stops the loop (and the receiver at sender) and waits until they stopped.
    void Abort();

    // Counters read by the GUI thread.
    uint64_t PacketsSent() const { return packetsSent.load(std::memory_order_relaxed); }
    uint64_t BytesSent() const { return bytesSent.load(std::memory_order_relaxed); }
    double CurrentBitsPerSecond() const { return currentBitsPerSecond.load(std::memory_order_relaxed); }
    double CurrentPacketsPerSecond() const { return currentPacketsPerSecond.load(std::memory_order_relaxed); }

    // Identity used to match remote configurations.
    QString DestinationAddressText() const; // empty in send-back mode
    int32_t DestinationPort() const { return destinationPort; }
    int32_t LocalPort() const { return localPort; }
    bool IsNorvastelleFormat() const { return norvastelleFormat; }

    // GUI thread: a remote update of a running stream (already checked by the caller).
    void UpdateInPlace(int32_t packetSize, UdpSenderPacing pacing, int32_t targetBitsPerSecond,
                       int32_t measurementsIntervalS);

    int32_t PacketSize() const { return packetSize.load(std::memory_order_relaxed); }
    int32_t TickMs() const { return tickMs.load(std::memory_order_relaxed); }
    int32_t NumberOfPacketsPerTick() const { return numberOfPacketsPerTick.load(std::memory_order_relaxed); }

protected:
    void run() override;

private:
    QUdpSocket* socket = nullptr;
    UdpReceiverThreadAtSender* receiverAtSender = nullptr;
    QHostAddress localAddress;
    std::atomic<int32_t> packetSize{0};
    std::vector<uint8_t> packetBuffer;
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
};
