#include "sender/udpsenderthread.h"

#include "core/common.h"
#include "core/delaymonitor.h"
#include "core/exception.h"
#include "core/logging.h"
#include "manager/managerconnection.h"
#include "sender/testpacket.h"
#include "sender/udpreceiverthreadatsender.h"
#include "settings/settings.h"
#include "ui_udpsender.h"

#include <QHostInfo>
#include <QUdpSocket>
#include <QUuid>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace {

constexpr int32_t MinimumNorvastellePacketBytes = TestPacket::ShortHeaderBytes;
constexpr int32_t MinimumTickMs = 10;
constexpr int32_t MaximumPacketsPerTick = 100000;

// One byte from two characters that are hexadecimal digits; anything else gives 0.
uint8_t HexPairToByte(QChar high, QChar low)
{
    const auto digit = [](QChar c) -> int {
        const ushort u = c.unicode();
        if (u >= '0' && u <= '9')
            return u - '0';
        if (u >= 'a' && u <= 'f')
            return u - 'a' + 10;
        if (u >= 'A' && u <= 'F')
            return u - 'A' + 10;
        return -1;
    };
    const int h = digit(high);
    const int l = digit(low);
    if (h < 0 || l < 0)
        return 0;
    return static_cast<uint8_t>(h * 16 + l);
}

// Bits per second of the form: the number times its unit (powers of 1024). 0 when the text is no
// whole number or the product leaves the signed 32-bit range, so that the caller refuses it.
int32_t FormBitsPerSecond(const QString& number, const QString& unit)
{
    int64_t multiplier = 1;
    if (unit == QLatin1String("kbps"))
        multiplier = 1024;
    else if (unit == QLatin1String("Mbps"))
        multiplier = 1024 * 1024;
    else if (unit == QLatin1String("Gbps"))
        multiplier = 1024 * 1024 * 1024;
    bool ok = false;
    const qlonglong value = number.toLongLong(&ok);
    if (!ok || value < 1 || value > std::numeric_limits<int32_t>::max() / multiplier)
        return 0;
    return static_cast<int32_t>(value * multiplier);
}

} // namespace

UdpSenderPacing PacingForPacketInterval(double targetTimeBetweenSinglePacketsMs)
{
    const double t = targetTimeBetweenSinglePacketsMs;
    if (!(t > 0)) // NaN included
        throw Exception("invalid targetTimeBetweenSinglePacketsMs");
    // A tick longer than the 32-bit range is held at its end; its packets per tick then round to
    // 0 and the stream is refused rather than sleeping for weeks.
    double tick = std::max(std::trunc(t), static_cast<double>(MinimumTickMs));
    tick = std::min(tick, static_cast<double>(std::numeric_limits<int32_t>::max()));
    // Rounded half up. A ratio that is a half in exact arithmetic (1450 packets/s: 10 / (1000 /
    // 1450) = 14.5) can land a few ulps below it; the small allowance still rounds it up.
    const double perTick = std::floor(tick / t + 0.5 + 1e-9);
    if (!(perTick >= 1 && perTick <= MaximumPacketsPerTick))
        throw Exception("invalid numberOfPacketsPerTick");
    UdpSenderPacing pacing;
    pacing.tickMs = static_cast<int32_t>(tick);
    pacing.numberOfPacketsPerTick = static_cast<int32_t>(perTick);
    return pacing;
}

UdpSenderThread::UdpSenderThread(Ui::UdpSender* ui, UdpTxStreamConfigElement* cfg)
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    NRI_ASSERT((cfg != 0) ^ (ui != 0));

    if (cfg) {
        TRACE_MESSAGE(ModuleUDPTX, TraceLevelNotable,
                      QStringLiteral("creating TX stream to %1:%2 @%3bps %4B, enableReceiver=%5, "
                                     "localPort=%6, sendBackToSender=%7")
                          .arg(cfg->DestinationHost, QString::number(cfg->DestinationPort),
                               QString::number(cfg->TargetBandwidthBitsPerSecond),
                               QString::number(cfg->PacketSizeInBytes),
                               QString::number(cfg->EnableReceiver ? 1 : 0),
                               QString::number(cfg->LocalPort),
                               QString::number(cfg->SendBackToSender ? 1 : 0)));
    }

    // Socket: bound here, on the constructing thread, so that a failure reaches the caller.
    socket.reset(new QUdpSocket);
    localAddress = QHostAddress(QHostAddress::Any);
    if (ui) {
        const QString sourceText = ui->sourceAddress->text();
        if (!sourceText.isEmpty())
            localAddress = QHostAddress(sourceText);
        localPort = ui->sourcePort->text().toInt();
    } else {
        localPort = cfg->LocalPort;
    }
    if (localAddress.isNull() || localPort < 0 || localPort > 65535 ||
        !socket->bind(localAddress, static_cast<quint16>(localPort)))
        throw Exception("Failed to open local port to send UDP stream");
    socketDescriptor = static_cast<int>(socket->socketDescriptor());
    boundPort = socket->localPort();
    {
        sockaddr_storage bound{};
        socklen_t boundLength = sizeof bound;
        if (::getsockname(socketDescriptor, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0)
            socketFamily = bound.ss_family;
    }

    // Payload.
    int32_t size = 0;
    if (ui && ui->customUdpPayload->isChecked()) {
        norvastelleFormat = false;
        const QString hex = ui->udpPayload->toPlainText();
        size = hex.size() / 2;
        packetBuffer.resize(static_cast<size_t>(size));
        for (int32_t i = 0; i < size; ++i)
            packetBuffer[static_cast<size_t>(i)] = HexPairToByte(hex.at(2 * i), hex.at(2 * i + 1));
    } else {
        size = ui ? ui->udpPayloadSize->text().toInt() : cfg->PacketSizeInBytes;
        if (size < MinimumNorvastellePacketBytes)
            throw Exception(QStringLiteral("UDP packet size is too small for Norvastelle format. Mimimum size is %1")
                                .arg(MinimumNorvastellePacketBytes));
        packetBuffer.assign(static_cast<size_t>(std::min(std::max(size, minAllocatedDataLength),
                                                         maxAllocatedDataLength)),
                            0);
        const int32_t interval = cfg ? cfg->MeasurementsIntervalS : 0;
        TestPacket::WriteMeasurementInterval(packetBuffer.data(), interval);
        measurementIntervalS.store(static_cast<uint16_t>(interval & 0xFFFF), std::memory_order_relaxed);
        QUuid runId;
        if (managerConnection && managerConnection->isEnabled()) {
            const QString runIdText = managerConnection->GetCurrentRunId();
            if (!runIdText.isEmpty())
                runId = QUuid(runIdText);
        }
        TestPacket::WriteRunId(packetBuffer.data(), runId);
    }
    packetSize.store(size, std::memory_order_relaxed);

    if (cfg && cfg->EnableReceiver) {
        receiverAtSender.reset(new UdpReceiverThreadAtSender(socket.get(), localPort,
                                                             cfg->ReceiverObservationParams));
        receiverAtSender->start();
    }

    // Destination, looked up once.
    QString destinationForLog;
    if (cfg && cfg->SendBackToSender) {
        destinationForLog = QStringLiteral("[symmetric]");
        destinationPort = 0;
    } else {
        destinationForLog = ui ? ui->destinationAddress->text() : cfg->DestinationHost;
        if (ui)
            SaveSettingsValue(UDPTX_UI_DestinationHost, destinationForLog);
        const QHostInfo lookup = QHostInfo::fromName(destinationForLog);
        if (lookup.error() != QHostInfo::NoError)
            throw Exception(QStringLiteral("DNS lookup failed: ") + lookup.errorString());
        if (lookup.addresses().isEmpty())
            throw Exception("DNS lookup failed: no IP addresses found");
        destinationAddress = lookup.addresses().first();
        destinationAddressText = destinationAddress.toString();
        if (norvastelleFormat) {
            bool isIpv4 = false;
            const quint32 ipv4 = destinationAddress.toIPv4Address(&isIpv4);
            TestPacket::WriteDestinationIpv4(packetBuffer.data(), isIpv4 ? ipv4 : 0);
        }
        if (ui) {
            destinationPort = ui->destinationPort->text().toInt();
            SaveSettingsValue(UDPTX_UI_DestinationPort, destinationPort);
        } else {
            destinationPort = cfg->DestinationPort;
        }
        // A port outside 1..65535 leaves the length 0: every send to it is refused (-1).
        if (destinationPort > 0 && destinationPort <= 65535) {
            const DatagramSource destination =
                SourceFromHostAddress(destinationAddress, static_cast<uint16_t>(destinationPort));
            destinationSocketAddressLength =
                SocketAddressForFamily(destination, socketFamily, &destinationSocketAddress);
        }
    }

    // Rate.
    double targetTimeBetweenSinglePacketsMs = 0;
    bool bandwidthApplies = false;
    if (ui) {
        if (ui->targetModeIsPacketsPerSecond->isChecked()) {
            targetPacketsPerSecond = ui->targetPacketsPerSecond->text().toInt();
            if (targetPacketsPerSecond < 1)
                throw Exception("invalid targetPacketsPerSecond");
            targetTimeBetweenSinglePacketsMs = 1000.0 / targetPacketsPerSecond;
        }
        if (ui->targetModeIsBandwidth->isChecked()) {
            bandwidthApplies = true;
            targetBitsPerSecond.store(FormBitsPerSecond(ui->targetBandwidthPerThread->text(),
                                                        ui->targetBandwidthPerThreadMultiplier->currentText()),
                                      std::memory_order_relaxed);
        }
    } else {
        bandwidthApplies = true;
        targetBitsPerSecond.store(cfg->TargetBandwidthBitsPerSecond, std::memory_order_relaxed);
    }
    const int32_t bitsPerSecond = targetBitsPerSecond.load(std::memory_order_relaxed);
    if (bandwidthApplies) {
        if (bitsPerSecond < 1)
            throw Exception("invalid targetBitsPerSecond");
        targetTimeBetweenSinglePacketsMs = 1000.0 / (bitsPerSecond * 0.125 / size);
    }
    const UdpSenderPacing pacing = PacingForPacketInterval(targetTimeBetweenSinglePacketsMs);
    tickMs.store(pacing.tickMs, std::memory_order_relaxed);
    numberOfPacketsPerTick.store(pacing.numberOfPacketsPerTick, std::memory_order_relaxed);

    setObjectName(QStringLiteral("UDPTX %1").arg(boundPort));
    clock.start();
    TRACE_MESSAGE(ModuleUX, TraceLevelRoutine,
                  QString::fromLocal8Bit(Format("started UDP TX stream. targetPacketsPerSecond = %i, "
                                                "targetBitsPerSecond = %i, destinationAddress = %s",
                                                targetPacketsPerSecond, bitsPerSecond,
                                                destinationForLog.toLocal8Bit().constData())
                                             .c_str()));
}

UdpSenderThread::~UdpSenderThread()
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    if (isRunning())
        Abort();
    receiverAtSender.reset(); // joins it: nobody uses the socket afterwards
    socket->abort();
    socket.reset();
}

QString UdpSenderThread::DestinationAddressText() const
{
    return destinationAddressText;
}

int64_t UdpSenderThread::SendSinglePacket(bool* notSent, bool forceLongPacket)
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    *notSent = false;
    uint8_t* const packet = packetBuffer.data();
    const int32_t bufferLength = static_cast<int32_t>(packetBuffer.size());
    int32_t length = packetSize.load(std::memory_order_relaxed);
    if (norvastelleFormat) {
        // A custom payload goes out as typed: only the Norvastelle format is lengthened to carry
        // the long header.
        if (forceLongPacket && length < TestPacket::LongHeaderBytes)
            length = TestPacket::LongHeaderBytes;
        TestPacket::WriteSequenceAndTime(packet, static_cast<int64_t>(packetsSent.load(std::memory_order_relaxed)),
                                         clock.nsecsElapsed());
        TestPacket::WriteFormatId(packet, length);
    }

    if (destinationPort != 0) {
        TRACE_TEXT(ModuleUDPTX, TraceLevelRoutine, ">> socket->writeDatagram()");
        if (!firstPacketLogged) {
            TRACE_MESSAGE(ModuleUDPTX, TraceLevelNotable,
                          QStringLiteral("sending first packet (%1B) to %2:%3")
                              .arg(QString::number(length), destinationAddressText,
                                   QString::number(destinationPort)));
            firstPacketLogged = true;
        }
        // A packet size beyond the buffer (only sizes no UDP datagram can have) is refused here,
        // as the system would refuse it.
        int64_t result = -1;
        if (length <= bufferLength && destinationSocketAddressLength != 0)
            result = ::sendto(socketDescriptor, packet, static_cast<size_t>(length), 0,
                              reinterpret_cast<const sockaddr*>(&destinationSocketAddress),
                              destinationSocketAddressLength);
        TRACE_TEXT(ModuleUDPTX, TraceLevelRoutine, "<< socket->writeDatagram()");
        return result;
    }

    if (receiverAtSender) {
        const DatagramSource source = receiverAtSender->LastSourceAddress();
        if (source.port != 0) {
            if (!firstPacketLogged) {
                const QHostAddress sourceAddress(reinterpret_cast<const sockaddr*>(&source.address));
                TRACE_MESSAGE(ModuleUDPTX, TraceLevelNotable,
                              QStringLiteral("sending first packet (%1B) to %2:%3 (back to sender)")
                                  .arg(QString::number(length), sourceAddress.toString(),
                                       QString::number(source.port)));
                firstPacketLogged = true;
            }
            if (norvastelleFormat)
                TestPacket::WriteDestinationIpv4(packet, Ipv4Number(source));
            sockaddr_storage target;
            const socklen_t targetLength = SocketAddressForFamily(source, socketFamily, &target);
            if (length > bufferLength)
                return -1;
            return ::sendto(socketDescriptor, packet, static_cast<size_t>(length), 0,
                            reinterpret_cast<const sockaddr*>(&target), targetLength);
        }
    }
    *notSent = true;
    return 0;
}

void UdpSenderThread::Abort()
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    {
        // Under the sleep's lock, so that a loop about to sleep either sees the flag or is
        // already waiting when it is woken.
        std::lock_guard<std::mutex> lock(sleepLock);
        abortRequested.store(true, std::memory_order_release);
    }
    sleepWake.notify_all();
    while (!stopped.load(std::memory_order_acquire) && isRunning())
        QThread::msleep(10);
    wait();
    if (receiverAtSender) {
        receiverAtSender->RequestStop();
        while (!receiverAtSender->IsStopped() && receiverAtSender->isRunning())
            QThread::msleep(10);
        receiverAtSender->wait();
    }
}

bool UdpSenderThread::UpdateInPlace(int32_t newPacketSize, UdpSenderPacing pacing,
                                    int32_t newTargetBitsPerSecond, int32_t measurementsIntervalS)
{
    // A custom payload's buffer holds only its own bytes: a Norvastelle packet size or header
    // field would reach beyond it.
    if (!norvastelleFormat)
        return false;
    if (newPacketSize < MinimumNorvastellePacketBytes ||
        newPacketSize > static_cast<int32_t>(packetBuffer.size()))
        return false;
    if (pacing.tickMs < MinimumTickMs || pacing.numberOfPacketsPerTick < 1 ||
        pacing.numberOfPacketsPerTick > MaximumPacketsPerTick || newTargetBitsPerSecond < 1)
        return false;
    packetSize.store(newPacketSize, std::memory_order_relaxed);
    tickMs.store(pacing.tickMs, std::memory_order_relaxed);
    numberOfPacketsPerTick.store(pacing.numberOfPacketsPerTick, std::memory_order_relaxed);
    targetBitsPerSecond.store(newTargetBitsPerSecond, std::memory_order_relaxed);
    measurementIntervalS.store(static_cast<uint16_t>(measurementsIntervalS & 0xFFFF),
                               std::memory_order_relaxed);
    return true;
}

void UdpSenderThread::SleepMs(int32_t ms)
{
    std::unique_lock<std::mutex> lock(sleepLock);
    sleepWake.wait_for(lock, std::chrono::milliseconds(ms),
                       [this] { return abortRequested.load(std::memory_order_relaxed); });
}

void UdpSenderThread::run()
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    {
        DelayMonitor monitor(DelayMonitorActions::UDPTX_generatingAndSending);
        // Sleep since the last long packet, ms; the first tick sends one.
        int64_t sinceLongPacketMs = longPacketPeriodMs;
        uint16_t intervalInPacket = measurementIntervalS.load(std::memory_order_relaxed);
        // An update made before this thread started has published its interval without writing it.
        if (norvastelleFormat)
            TestPacket::WriteMeasurementInterval(packetBuffer.data(), intervalInPacket);
        // This thread is the counters' only writer: it keeps them here and publishes each value.
        uint64_t packets = packetsSent.load(std::memory_order_relaxed);
        uint64_t bytes = bytesSent.load(std::memory_order_relaxed);

        while (!abortRequested.load(std::memory_order_acquire)) {
            TRACE_TEXT(ModuleUDPTX, TraceLevelRoutine, "sending packets on clock");
            if (norvastelleFormat) {
                const uint16_t wanted = measurementIntervalS.load(std::memory_order_relaxed);
                if (wanted != intervalInPacket) {
                    TestPacket::WriteMeasurementInterval(packetBuffer.data(), wanted);
                    intervalInPacket = wanted;
                }
            }
            const bool longPacketTick = sinceLongPacketMs >= longPacketPeriodMs;
            monitor.OnStarted();
            const int32_t count = numberOfPacketsPerTick.load(std::memory_order_relaxed);
            const int32_t targetBits = targetBitsPerSecond.load(std::memory_order_relaxed);
            // The burst ends early once the stream is ahead of its target as of the tick's start:
            // a whole number of packets per tick (150 packets/s: 2 per 10 ms) would otherwise
            // overshoot the target for good, as catch-up can only make up for a deficit.
            const double tickStartS = static_cast<double>(clock.nsecsElapsed()) / 1e9;
            const bool pacedByPackets = targetPacketsPerSecond != 0;
            const double dueAtTickStart = pacedByPackets ? targetPacketsPerSecond * tickStartS
                                                         : targetBits / 8.0 * tickStartS;
            bool notSent = false;
            int32_t calls = 0;
            for (; calls < count; ++calls) {
                if (static_cast<double>(pacedByPackets ? packets : bytes) > dueAtTickStart)
                    break;
                const int64_t result = SendSinglePacket(&notSent, longPacketTick && calls == 0);
                if (result > 0) {
                    bytes += static_cast<uint64_t>(result);
                    bytesSent.store(bytes, std::memory_order_relaxed);
                }
                if (result != 0) {
                    ++packets;
                    packetsSent.store(packets, std::memory_order_relaxed);
                }
                // A burst of up to 100000 datagrams need not delay a stop.
                if (abortRequested.load(std::memory_order_relaxed))
                    break;
            }
            monitor.OnStopped();
            // A tick that the pacing skipped keeps the long packet for the next one.
            if (longPacketTick && calls > 0)
                sinceLongPacketMs = 0;

            if (!notSent) {
                // Averages over the stream's whole life, so late ticks are made up by ticks that
                // do not sleep. Whole milliseconds: a zero divisor gives inf or NaN, and then the
                // loop sleeps.
                const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
                const double bitsPerSecond = static_cast<double>(bytes) * 8 / seconds;
                const double packetsPerSecond = static_cast<double>(packets) / seconds;
                currentBitsPerSecond.store(bitsPerSecond, std::memory_order_relaxed);
                currentPacketsPerSecond.store(packetsPerSecond, std::memory_order_relaxed);
                if ((targetPacketsPerSecond != 0 && targetPacketsPerSecond > packetsPerSecond) ||
                    (targetPacketsPerSecond == 0 && targetBits != 0 && targetBits > bitsPerSecond))
                    continue;
            }
            const int32_t sleepMs = tickMs.load(std::memory_order_relaxed);
            SleepMs(sleepMs);
            sinceLongPacketMs += sleepMs;
        }
    }
    stopped.store(true, std::memory_order_release);
}
