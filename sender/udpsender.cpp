#include "sender/udpsender.h"

#include "core/common.h"
#include "core/exception.h"
#include "core/logging.h"
#include "manager/managerconnection.h"
#include "sender/udpsenderthread.h"
#include "sender/udptxstreamsconfig.h"
#include "settings/settings.h"
#include "ui_udpsender.h"

#include <QGroupBox>
#include <QTimer>
#include <QXmlStreamReader>

#include <memory>

namespace {

const char* const signalName = "udpTxStreamsConfig";
constexpr int refreshIntervalMs = 100;

} // namespace

UdpSender::UdpSender(QWidget* parent)
    : QWidget(parent), ui(new Ui::UdpSender), refreshTimer(new QTimer)
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    ui->setupUi(this);
    on_customUdpPayload_toggled(false);
    on_targetModeIsBandwidth_toggled(true);
    const QString savedHost = GetSettingsStringValue(UDPTX_UI_DestinationHost);
    if (!savedHost.isEmpty())
        ui->destinationAddress->setText(savedHost);
    const int savedPort = GetSettingsInt32Value(UDPTX_UI_DestinationPort);
    if (savedPort != 0)
        ui->destinationPort->setText(QString::number(savedPort));
    connect(refreshTimer, &QTimer::timeout, this, &UdpSender::RefreshUI);
    refreshTimer->start(refreshIntervalMs);
    if (managerConnection)
        managerConnection->RegisterSignalHandler(QLatin1String(signalName), this);
}

UdpSender::~UdpSender()
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    if (managerConnection)
        managerConnection->UnregisterSignalHandler(QLatin1String(signalName), this);
    delete refreshTimer;
    StopAllStreams();
    delete ui;
}

// A stream built for one packet and destroyed again: it binds the source port, resolves the
// destination and saves it, and never starts its thread, so its packet carries sequence number 0.
void UdpSender::on_sendSinglePacket_clicked()
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    try {
        UdpSenderThread stream(ui, nullptr);
        bool notSent = false;
        stream.SendSinglePacket(&notSent, false);
    } catch (std::exception& e) {
        HandleException(e);
    }
}

// A minimum size given to a widget replaces what its layout needs, so each box's least size
// (350 x 100 and 300 x 100) is raised to what its visible rows need; else a short window
// squeezes the rows.
void UdpSender::KeepGroupBoxesWhole()
{
    const std::pair<QGroupBox*, QSize> boxes[] = {{ui->groupBox, QSize(350, 100)},
                                                  {ui->groupBox_2, QSize(300, 100)}};
    for (const auto& box : boxes) {
        box.first->setMinimumSize(0, 0);
        box.first->setMinimumSize(box.first->minimumSizeHint().expandedTo(box.second));
    }
}

void UdpSender::on_customUdpPayload_toggled(bool checked)
{
    try {
        ui->udpPayloadLabel->setVisible(checked);
        ui->udpPayload->setVisible(checked);
        ui->udpPayloadSize->setVisible(!checked);
        ui->udpPayloadSizeLabel->setVisible(!checked);
        KeepGroupBoxesWhole();
    } catch (std::exception& e) {
        HandleException(e);
    }
}

void UdpSender::on_startNewThread_clicked()
{
    try {
        std::unique_ptr<UdpSenderThread> stream(new UdpSenderThread(ui, nullptr));
        threads.append(stream.get());
        stream.release()->start(QThread::InheritPriority);
        // The next stream binds the next port.
        ui->sourcePort->setText(QString::number(ui->sourcePort->text().toInt() + 1));
    } catch (std::exception& e) {
        HandleException(e);
    }
}

void UdpSender::on_stopAllThreads_clicked()
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    try {
        StopAllStreams();
    } catch (std::exception& e) {
        HandleException(e);
    }
}

void UdpSender::on_targetModeIsBandwidth_toggled(bool checked)
{
    try {
        ui->targetBandwidthPerThread->setVisible(checked);
        ui->targetBandwidthPerThreadMultiplier->setVisible(checked);
        ui->targetPacketsPerSecond->setVisible(!checked);
        KeepGroupBoxesWhole();
    } catch (std::exception& e) {
        HandleException(e);
    }
}

void UdpSender::RefreshUI()
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    try {
        double bitsPerSecond = 0;
        double packetsPerSecond = 0;
        uint64_t bytes = 0;
        uint64_t packets = 0;
        for (const UdpSenderThread* stream : qAsConst(threads)) {
            bitsPerSecond += stream->CurrentBitsPerSecond();
            packetsPerSecond += stream->CurrentPacketsPerSecond();
            bytes += stream->BytesSent();
            packets += stream->PacketsSent();
        }
        ui->currentTotalBandwidth->setText(QStringLiteral("%1, %2 packets/sec, %3B total")
                                               .arg(FormatBps(bitsPerSecond), FormatKMG(packetsPerSecond),
                                                    FormatKMG(static_cast<double>(bytes))));
        ui->currentTotalSize->setText(QStringLiteral("%1 bytes, %2 packets")
                                          .arg(FormatKMG(static_cast<double>(bytes)), QString::number(packets)));
    } catch (std::exception& e) {
        HandleException(e);
    }
}

QByteArray UdpSender::getUxReport() const
{
    if (threads.isEmpty())
        return QByteArray();
    return QByteArray::fromStdString(Format("%i streams", static_cast<int>(threads.size())));
}

void UdpSender::HandleSignal(QXmlStreamReader* reader, bool* handled)
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
    NRI_ASSERT(reader->name() == "udpTxStreamsConfig");
    *handled = true;
    const QList<UdpTxStreamConfigElement> records = ReadUdpTxStreamsConfig(reader);
    // A document that breaks off inside the list does not say which streams are wanted; the
    // dispatcher reports the reader's error and the running streams stay as they are.
    if (reader->hasError())
        return;
    ApplyStreamsConfig(records);
}

void UdpSender::ApplyStreamsConfig(const QList<UdpTxStreamConfigElement>& records)
{
    const auto matches = [](const UdpSenderThread* stream, const UdpTxStreamConfigElement& record) {
        return StreamMatchesRecord(stream->DestinationAddressText(), stream->DestinationPort(),
                                   stream->LocalPort(), record);
    };

    // Update the matching streams, start the missing ones. A new stream joins the list at once,
    // so that a later failure leaves it running and owned.
    for (const UdpTxStreamConfigElement& record : records) {
        UdpSenderThread* running = nullptr;
        for (UdpSenderThread* stream : qAsConst(threads)) {
            if (matches(stream, record)) {
                running = stream;
                break;
            }
        }
        if (running) {
            // A custom payload fills a buffer of its own length only: neither its size nor the
            // interval at offset 24 may be touched. The stream still counts as wanted.
            if (!running->IsNorvastelleFormat()) {
                TRACE_MESSAGE(ModuleUDPTX, TraceLevelNotable,
                              QStringLiteral("custom payload stream to %1:%2 (localPort=%3) is not updated")
                                  .arg(record.DestinationHost)
                                  .arg(record.DestinationPort)
                                  .arg(record.LocalPort));
                continue;
            }
            const UdpSenderPacing pacing = PacingForRemoteUpdate(&record);
            const bool updated = running->UpdateInPlace(record.PacketSizeInBytes, pacing,
                                                        record.TargetBandwidthBitsPerSecond,
                                                        record.MeasurementsIntervalS);
            NRI_ASSERT(updated);
            continue;
        }
        UdpTxStreamConfigElement cfg = record;
        std::unique_ptr<UdpSenderThread> stream(new UdpSenderThread(nullptr, &cfg));
        threads.append(stream.get());
        stream.release()->start(QThread::InheritPriority);
    }

    // Stop every stream that no record asks for, the ones started from the form included.
    QList<UdpSenderThread*> unwanted;
    const QList<UdpSenderThread*> current = threads;
    for (UdpSenderThread* stream : current) {
        bool wanted = false;
        for (const UdpTxStreamConfigElement& record : records)
            wanted = wanted || matches(stream, record);
        if (!wanted)
            unwanted.append(stream);
    }
    for (UdpSenderThread* stream : qAsConst(unwanted)) {
        threads.removeOne(stream);
        stream->Abort();
        delete stream;
    }
}

void UdpSender::StopAllStreams()
{
    while (!threads.isEmpty()) {
        UdpSenderThread* stream = threads.takeFirst();
        stream->Abort();
        delete stream;
    }
}
