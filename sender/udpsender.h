#pragma once

#include "core/isignalhandler.h"

#include <QByteArray>
#include <QList>
#include <QWidget>

class QTimer;
class UdpSenderThread;
struct UdpTxStreamConfigElement;
namespace Ui {
class UdpSender;
}

// The "UDP Sender" tab and the owner of every sender stream of the agent. The user starts streams
// from its form; the test manager sets the complete wanted set of streams with udpTxStreamsConfig.
// Everything here runs on the GUI thread; the streams' own threads only run their sending loops.
class UdpSender : public QWidget, public ISignalHandler
{
    Q_OBJECT
public:
    explicit UdpSender(QWidget* parent = nullptr);
    ~UdpSender() override;

    // udpTxStreamsConfig: updates the matching streams in place, starts the missing ones and
    // stops the others. Throws at the first record that cannot be applied; what the records
    // before it did stays, and nothing is stopped then.
    void HandleSignal(QXmlStreamReader* reader, bool* handled) override;

    // "%i streams" with the number of running streams, or empty when none runs.
    QByteArray getUxReport() const;

    // The running streams, in creation order.
    const QList<UdpSenderThread*>& Streams() const { return threads; }

public slots:
    void on_sendSinglePacket_clicked();
    void on_customUdpPayload_toggled(bool checked);
    void on_startNewThread_clicked();
    void on_stopAllThreads_clicked();
    void on_targetModeIsBandwidth_toggled(bool checked);
    void RefreshUI();

private:
    void ApplyStreamsConfig(const QList<UdpTxStreamConfigElement>& records);
    void StopAllStreams();
    void KeepGroupBoxesWhole();

    Ui::UdpSender* ui;
    QList<UdpSenderThread*> threads;
    QTimer* refreshTimer;
};
