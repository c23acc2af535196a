#include "core/common.h"
#include "core/logging.h"
#include "manager/managerconnection.h"
#include "sender/testpacket.h"
#include "sender/udpsenderthread.h"
#include "settings/settings.h"
#include "ui_udpsender.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>
#include <atomic>
#include <arpa/inet.h>
#include <cmath>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QString LocalHostText = QStringLiteral("127.0.0.1");

// The sender tab's form, filled for a stream from 127.0.0.1 (system-chosen port) to 127.0.0.1.
struct Form
{
    Form()
    {
        ui.setupUi(&widget);
        ui.sourceAddress->setText(LocalHostText);
        ui.sourcePort->setText(QStringLiteral("0"));
        ui.destinationAddress->setText(LocalHostText);
        ui.destinationPort->setText(QStringLiteral("9"));
    }
    // Line edits and plain-text edits take texts, radio buttons booleans, the unit combo its text.
    void Apply(const QVariantMap& fields)
    {
        for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
            QObject* child = widget.findChild<QObject*>(it.key());
            QVERIFY2(child, qPrintable(it.key()));
            if (auto* line = qobject_cast<QLineEdit*>(child))
                line->setText(it.value().toString());
            else if (auto* text = qobject_cast<QPlainTextEdit*>(child))
                text->setPlainText(it.value().toString());
            else if (auto* radio = qobject_cast<QRadioButton*>(child))
                radio->setChecked(it.value().toBool());
            else if (auto* combo = qobject_cast<QComboBox*>(child))
                combo->setCurrentText(it.value().toString());
            else
                QFAIL(qPrintable(it.key()));
        }
    }
    void PacketsPerSecond(int pps)
    {
        ui.targetModeIsPacketsPerSecond->setChecked(true);
        ui.targetPacketsPerSecond->setText(QString::number(pps));
    }
    QWidget widget;
    Ui::UdpSender ui;
};

// A test socket on loopback that collects what arrives.
struct Sink
{
    explicit Sink(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost))
    {
        bound = socket.bind(address, 0);
    }
    quint16 Port() const { return socket.localPort(); }
    int Drain()
    {
        while (socket.hasPendingDatagrams())
            datagrams << socket.receiveDatagram(100000);
        return datagrams.size();
    }
    TestPacket::Header Header(int i) const
    {
        const QByteArray data = datagrams.at(i).data();
        return TestPacket::Read(reinterpret_cast<const uint8_t*>(data.constData()), data.size());
    }
    QUdpSocket socket;
    bool bound = false;
    QList<QNetworkDatagram> datagrams;
};

// A port free on every address at this moment.
quint16 FreePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::Any, 0, QUdpSocket::DontShareAddress);
    return probe.localPort();
}

bool PortIsFree(quint16 port)
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::Any, port, QUdpSocket::DontShareAddress);
}

UdpTxStreamConfigElement Config(quint16 destinationPort, int packetSize, int bitsPerSecond)
{
    UdpTxStreamConfigElement cfg;
    cfg.DestinationHost = LocalHostText;
    cfg.DestinationPort = destinationPort;
    cfg.PacketSizeInBytes = packetSize;
    cfg.TargetBandwidthBitsPerSecond = bitsPerSecond;
    return cfg;
}

// Stops the stream when a check fails halfway, so that no thread outlives the test function.
struct Running
{
    explicit Running(UdpSenderThread* stream) : stream(stream) { stream->start(); }
    ~Running()
    {
        stream->Abort();
        delete stream;
    }
    UdpSenderThread* stream;
};

QString ExceptionText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        return QString::fromLatin1(e.what());
    }
    return QString();
}

// Sequence numbers of the collected test packets in arrival order, and a description of the
// first fault of the stream's invariants (consecutive numbers, increasing send times), if any.
QString CheckConsecutive(const Sink& sink, int64_t firstSequence)
{
    int64_t expected = firstSequence;
    int64_t lastSendTime = -1;
    for (int i = 0; i < sink.datagrams.size(); ++i) {
        const TestPacket::Header header = sink.Header(i);
        if (!header.isTestPacket)
            return QStringLiteral("datagram %1 is no test packet").arg(i);
        if (header.sequenceNumber != expected)
            return QStringLiteral("datagram %1: sequence %2, expected %3").arg(i).arg(header.sequenceNumber).arg(expected);
        if (header.sendTimeNs <= lastSendTime)
            return QStringLiteral("datagram %1: send time %2 after %3").arg(i).arg(header.sendTimeNs).arg(lastSendTime);
        lastSendTime = header.sendTimeNs;
        ++expected;
    }
    return QString();
}

} // namespace

// Sender streams on real loopback sockets: construction, header contents, pacing, send-back
// mode, remote updates and stopping.
class Tst_udpsenderthread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
    }

    void pacingForPacketInterval_data()
    {
        QTest::addColumn<double>("intervalMs");
        QTest::addColumn<int>("tickMs");
        QTest::addColumn<int>("packetsPerTick");
        QTest::addColumn<QString>("error");
        QTest::newRow("64 kbps of 192 B: T 23.4375") << 23.4375 << 23 << 1 << QString();
        QTest::newRow("1000 packets/s") << 1.0 << 10 << 10 << QString();
        QTest::newRow("100 packets/s") << 10.0 << 10 << 1 << QString();
        QTest::newRow("150 packets/s: 1.5 rounds up") << 1000.0 / 150 << 10 << 2 << QString();
        QTest::newRow("1450 packets/s: 14.5 rounds up") << 1000.0 / 1450 << 10 << 15 << QString();
        QTest::newRow("3 packets/s") << 1000.0 / 3 << 333 << 1 << QString();
        QTest::newRow("100000 per tick is the limit") << 1e-4 << 10 << 100000 << QString();
        QTest::newRow("100001 per tick") << 10.0 / 100001 << 0 << 0 << "invalid numberOfPacketsPerTick";
        QTest::newRow("a tick beyond 32 bits") << 1e13 << 0 << 0 << "invalid numberOfPacketsPerTick";
        QTest::newRow("zero") << 0.0 << 0 << 0 << "invalid targetTimeBetweenSinglePacketsMs";
        QTest::newRow("negative") << -5.0 << 0 << 0 << "invalid targetTimeBetweenSinglePacketsMs";
        QTest::newRow("not a number") << std::nan("") << 0 << 0 << "invalid targetTimeBetweenSinglePacketsMs";
    }
    void pacingForPacketInterval()
    {
        QFETCH(double, intervalMs);
        QFETCH(int, tickMs);
        QFETCH(int, packetsPerTick);
        QFETCH(QString, error);
        UdpSenderPacing pacing;
        QCOMPARE(ExceptionText([&] { pacing = PacingForPacketInterval(intervalMs); }), error);
        if (error.isEmpty()) {
            QCOMPARE(pacing.tickMs, tickMs);
            QCOMPARE(pacing.numberOfPacketsPerTick, packetsPerTick);
        }
    }

    // The rate of a stream built from the form: units, T, tick and packets per tick.
    void rateFromForm_data()
    {
        QTest::addColumn<QVariantMap>("fields");
        QTest::addColumn<int>("targetPacketsPerSecond");
        QTest::addColumn<int>("targetBitsPerSecond");
        QTest::addColumn<int>("tickMs");
        QTest::addColumn<int>("packetsPerTick");
        const auto pps = [](const char* value) {
            return QVariantMap{{"targetModeIsPacketsPerSecond", true}, {"targetPacketsPerSecond", value}};
        };
        const auto bandwidth = [](const char* value, const char* unit, const char* size) {
            return QVariantMap{{"targetModeIsBandwidth", true}, {"targetBandwidthPerThread", value},
                               {"targetBandwidthPerThreadMultiplier", unit}, {"udpPayloadSize", size}};
        };
        QTest::newRow("form defaults: 64 kbps of 192 B") << QVariantMap() << 0 << 65536 << 23 << 1;
        QTest::newRow("1000 packets/s") << pps("1000") << 1000 << 0 << 10 << 10;
        QTest::newRow("100 packets/s") << pps("100") << 100 << 0 << 10 << 1;
        QTest::newRow("150 packets/s") << pps("150") << 150 << 0 << 10 << 2;
        QTest::newRow("3 packets/s") << pps("3") << 3 << 0 << 333 << 1;
        QTest::newRow("bps unit is 1") << bandwidth("8000", "bps", "100") << 0 << 8000 << 100 << 1;
        QTest::newRow("Mbps unit is 1024^2") << bandwidth("1", "Mbps", "1024") << 0 << 1048576 << 10 << 1;
        QTest::newRow("Gbps unit is 1024^3") << bandwidth("1", "Gbps", "1400") << 0 << 1073741824 << 10 << 959;
        QTest::newRow("2047 Mbps still fits 32 bits") << bandwidth("2047", "Mbps", "10000") << 0 << 2146435072 << 10 << 268;
    }
    void rateFromForm()
    {
        QFETCH(QVariantMap, fields);
        QFETCH(int, targetPacketsPerSecond);
        QFETCH(int, targetBitsPerSecond);
        QFETCH(int, tickMs);
        QFETCH(int, packetsPerTick);
        Form form;
        form.Apply(fields);
        UdpSenderThread stream(&form.ui, nullptr);
        QCOMPARE(stream.TargetPacketsPerSecond(), targetPacketsPerSecond);
        QCOMPARE(stream.TargetBitsPerSecond(), targetBitsPerSecond);
        QCOMPARE(stream.TickMs(), tickMs);
        QCOMPARE(stream.NumberOfPacketsPerTick(), packetsPerTick);
    }

    void exactlyOneSourceOfSettings()
    {
        const QString message =
            QStringLiteral("Assertion failed. Following expression is false: (cfg != 0) ^ (ui != 0)");
        QCOMPARE(ExceptionText([] { UdpSenderThread stream(nullptr, nullptr); }), message);
        Form form;
        UdpTxStreamConfigElement cfg = Config(9, 192, 64000);
        QCOMPARE(ExceptionText([&] { UdpSenderThread stream(&form.ui, &cfg); }), message);
    }

    // Every refusal of a form, each with its message; the source port is free again afterwards.
    void formConstructionFailures_data()
    {
        QTest::addColumn<QVariantMap>("fields");
        QTest::addColumn<QString>("error");
        const QString bindFailed = QStringLiteral("Failed to open local port to send UDP stream");
        const QString tooSmall = QStringLiteral("UDP packet size is too small for Norvastelle format. Mimimum size is 24");
        const QString badBits = QStringLiteral("invalid targetBitsPerSecond");
        QTest::newRow("source port in use") << QVariantMap{{"sourcePort", "busy"}} << bindFailed;
        QTest::newRow("source address is no address") << QVariantMap{{"sourceAddress", "not-an-address"}} << bindFailed;
        QTest::newRow("source port beyond 65535") << QVariantMap{{"sourcePort", "65536"}} << bindFailed;
        QTest::newRow("payload size 23") << QVariantMap{{"udpPayloadSize", "23"}} << tooSmall;
        QTest::newRow("payload size negative") << QVariantMap{{"udpPayloadSize", "-300"}} << tooSmall;
        QTest::newRow("payload size no number") << QVariantMap{{"udpPayloadSize", "big"}} << tooSmall;
        QTest::newRow("destination empty") << QVariantMap{{"destinationAddress", ""}}
                                           << "DNS lookup failed: No host name given";
        QTest::newRow("destination not a host name") << QVariantMap{{"destinationAddress", "bad host name"}}
                                                     << "DNS lookup failed: Invalid hostname";
        QTest::newRow("0 packets/s") << QVariantMap{{"targetModeIsPacketsPerSecond", true}, {"targetPacketsPerSecond", "0"}}
                                     << "invalid targetPacketsPerSecond";
        QTest::newRow("packets/s no number") << QVariantMap{{"targetModeIsPacketsPerSecond", true}, {"targetPacketsPerSecond", "many"}}
                                             << "invalid targetPacketsPerSecond";
        QTest::newRow("20000000 packets/s: 200000 per tick")
            << QVariantMap{{"targetModeIsPacketsPerSecond", true}, {"targetPacketsPerSecond", "20000000"}}
            << "invalid numberOfPacketsPerTick";
        QTest::newRow("bandwidth 0") << QVariantMap{{"targetBandwidthPerThread", "0"}} << badBits;
        QTest::newRow("bandwidth no number") << QVariantMap{{"targetBandwidthPerThread", "fast"}} << badBits;
        QTest::newRow("2048 Mbps leaves 32 bits")
            << QVariantMap{{"targetBandwidthPerThread", "2048"}, {"targetBandwidthPerThreadMultiplier", "Mbps"}} << badBits;
        QTest::newRow("2 Gbps leaves 32 bits")
            << QVariantMap{{"targetBandwidthPerThread", "2"}, {"targetBandwidthPerThreadMultiplier", "Gbps"}} << badBits;
        QTest::newRow("2^32+64 kbps wraps to 64 kbps in 32 bits")
            << QVariantMap{{"targetBandwidthPerThread", "4294967360"}} << badBits;
        QTest::newRow("24-byte packets at 1900 Mbps: over 100000 per tick")
            << QVariantMap{{"targetBandwidthPerThread", "1900"}, {"targetBandwidthPerThreadMultiplier", "Mbps"},
                           {"udpPayloadSize", "24"}}
            << "invalid numberOfPacketsPerTick";
        QTest::newRow("empty custom payload at a bandwidth")
            << QVariantMap{{"customUdpPayload", true}, {"udpPayload", ""}} << "invalid targetTimeBetweenSinglePacketsMs";
    }
    void formConstructionFailures()
    {
        QFETCH(QVariantMap, fields);
        QFETCH(QString, error);
        QUdpSocket occupant;
        if (fields.value(QStringLiteral("sourcePort")) == QLatin1String("busy")) {
            QVERIFY(occupant.bind(QHostAddress::LocalHost, 0, QUdpSocket::DontShareAddress));
            fields[QStringLiteral("sourcePort")] = QString::number(occupant.localPort());
        }
        const quint16 port = FreePort();
        Form form;
        form.ui.sourcePort->setText(QString::number(port));
        form.Apply(fields);
        QCOMPARE(ExceptionText([&] { UdpSenderThread stream(&form.ui, nullptr); }), error);
        QVERIFY2(PortIsFree(port), "a failed construction keeps its socket");
    }

    void destinationSettingSavedBeforeTheLookup()
    {
        Form form;
        form.ui.destinationAddress->setText(QStringLiteral("bad host name"));
        form.ui.destinationPort->setText(QStringLiteral("4321"));
        QVERIFY(!ExceptionText([&] { UdpSenderThread stream(&form.ui, nullptr); }).isEmpty());
        QCOMPARE(GetSettingsStringValue(UDPTX_UI_DestinationHost), QStringLiteral("bad host name"));

        form.ui.destinationAddress->setText(LocalHostText);
        UdpSenderThread stream(&form.ui, nullptr);
        QCOMPARE(GetSettingsStringValue(UDPTX_UI_DestinationHost), LocalHostText);
        QCOMPARE(GetSettingsInt32Value(UDPTX_UI_DestinationPort), 4321);
        QCOMPARE(stream.DestinationAddressText(), LocalHostText);
        QCOMPARE(stream.DestinationPort(), 4321);
    }

    // Refusals of a remote configuration; a started receiver at sender is stopped with the
    // socket, so the local port is free again.
    void configConstructionFailures_data()
    {
        QTest::addColumn<int>("packetSize");
        QTest::addColumn<int>("bitsPerSecond");
        QTest::addColumn<QString>("destinationHost");
        QTest::addColumn<bool>("enableReceiver");
        QTest::addColumn<QString>("error");
        QTest::newRow("packet size 10") << 10 << 64000 << LocalHostText << true
                                        << "UDP packet size is too small for Norvastelle format. Mimimum size is 24";
        QTest::newRow("lookup fails after the receiver started") << 192 << 64000 << "bad host name" << true
                                                                 << "DNS lookup failed: Invalid hostname";
        QTest::newRow("bandwidth 0 with a receiver") << 192 << 0 << LocalHostText << true << "invalid targetBitsPerSecond";
        QTest::newRow("bandwidth negative") << 192 << -64000 << LocalHostText << false << "invalid targetBitsPerSecond";
        QTest::newRow("1 bps of 2^31-1 bytes: a packet per 545 years")
            << 2147483647 << 1 << LocalHostText << true << "invalid numberOfPacketsPerTick";
    }
    void configConstructionFailures()
    {
        QFETCH(int, packetSize);
        QFETCH(int, bitsPerSecond);
        QFETCH(QString, destinationHost);
        QFETCH(bool, enableReceiver);
        QFETCH(QString, error);
        UdpTxStreamConfigElement cfg = Config(9, packetSize, bitsPerSecond);
        cfg.DestinationHost = destinationHost;
        cfg.EnableReceiver = enableReceiver;
        cfg.LocalPort = FreePort();
        QCOMPARE(ExceptionText([&] { UdpSenderThread stream(nullptr, &cfg); }), error);
        QVERIFY2(PortIsFree(static_cast<quint16>(cfg.LocalPort)), "a failed construction keeps its socket");
    }

    // The header a stream writes at construction: run id of the linked manager, destination.
    void headerWrittenAtConstruction_data()
    {
        QTest::addColumn<bool>("linked");
        QTest::addColumn<QString>("runId");
        QTest::addColumn<QByteArray>("runIdBytes");
        const QString id = QStringLiteral("{00112233-4455-6677-8899-aabbccddeeff}");
        QTest::newRow("linked, with run id") << true << id << QByteArray::fromHex("00112233445566778899aabbccddeeff");
        QTest::newRow("linked, no run id yet") << true << QString() << QByteArray(16, '\0');
        QTest::newRow("link switched off") << false << id << QByteArray(16, '\0');
    }
    void headerWrittenAtConstruction()
    {
        QFETCH(bool, linked);
        QFETCH(QString, runId);
        QFETCH(QByteArray, runIdBytes);
        InitializeManagerConnection();
        SetUxTrackerSink(nullptr); // no usage uploads from this test
        struct Unlink
        {
            ~Unlink() { DeinitializeManagerConnection(); }
        } unlink;
        managerConnection->setEnabled(linked);
        managerConnection->HandleResponseFromServer(
            QStringLiteral("<r><pingResponse CurrentRunId='%1' PingPeriodS='60'/></r>").arg(runId).toStdString());
        QCOMPARE(managerConnection->GetCurrentRunId(), runId);

        Sink sink;
        QVERIFY(sink.bound);
        Form form;
        form.ui.destinationPort->setText(QString::number(sink.Port()));
        form.ui.udpPayloadSize->setText(QStringLiteral("100"));
        UdpSenderThread stream(&form.ui, nullptr);
        managerConnection->setEnabled(true);
        bool notSent = true;
        QCOMPARE(stream.SendSinglePacket(&notSent, false), int64_t(100));
        QVERIFY(!notSent);
        QTRY_COMPARE(sink.Drain(), 1);
        const QByteArray data = sink.datagrams.at(0).data();
        QCOMPARE(data.size(), 100);
        QCOMPARE(data.mid(0, 2), QByteArray("\xC1\xAB"));
        QCOMPARE(data.mid(8, 8), QByteArray(8, '\0')); // sequence number 0
        QCOMPARE(data.mid(24, 2), QByteArray(2, '\0')); // no interval asked from the tab
        QCOMPARE(data.mid(26, 16), runIdBytes);
        QCOMPARE(data.mid(44, 4), QByteArray("\x01\x00\x00\x7F", 4)); // 127.0.0.1
        QCOMPARE(data.mid(48), QByteArray(52, '\0'));
    }

    void ipv6DestinationCarriesZeroAddress()
    {
        Sink sink(QHostAddress(QHostAddress::LocalHostIPv6));
        if (!sink.bound)
            QSKIP("no IPv6 loopback");
        Form form;
        form.ui.sourceAddress->setText(QString()); // the any-address: dual-stack
        form.ui.destinationAddress->setText(QStringLiteral("::1"));
        form.ui.destinationPort->setText(QString::number(sink.Port()));
        UdpSenderThread stream(&form.ui, nullptr);
        QCOMPARE(stream.DestinationAddressText(), QStringLiteral("::1"));
        bool notSent = false;
        QCOMPARE(stream.SendSinglePacket(&notSent, false), int64_t(192));
        QTRY_COMPARE(sink.Drain(), 1);
        QCOMPARE(sink.datagrams.at(0).data().mid(44, 4), QByteArray(4, '\0'));
    }

    // One datagram from a stream whose thread never starts, as "Send single packet" sends it.
    void singlePacketFormatByLength_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("forceLong");
        QTest::addColumn<int>("sentLength");
        QTest::addColumn<QByteArray>("formatId");
        QTest::newRow("24 bytes") << 24 << false << 24 << QByteArray("\xC2\xAB");
        QTest::newRow("47 bytes") << 47 << false << 47 << QByteArray("\xC2\xAB");
        QTest::newRow("48 bytes") << 48 << false << 48 << QByteArray("\xC1\xAB");
        QTest::newRow("24 bytes forced long") << 24 << true << 48 << QByteArray("\xC1\xAB");
        QTest::newRow("1400 bytes forced long") << 1400 << true << 1400 << QByteArray("\xC1\xAB");
    }
    void singlePacketFormatByLength()
    {
        QFETCH(int, size);
        QFETCH(bool, forceLong);
        QFETCH(int, sentLength);
        QFETCH(QByteArray, formatId);
        Sink sink;
        Form form;
        form.ui.destinationPort->setText(QString::number(sink.Port()));
        form.ui.udpPayloadSize->setText(QString::number(size));
        UdpSenderThread stream(&form.ui, nullptr);
        bool notSent = true;
        QCOMPARE(stream.SendSinglePacket(&notSent, forceLong), int64_t(sentLength));
        QTRY_COMPARE(sink.Drain(), 1);
        const QByteArray data = sink.datagrams.at(0).data();
        QCOMPARE(data.size(), sentLength);
        QCOMPARE(data.left(2), formatId);
        const TestPacket::Header header = sink.Header(0);
        QCOMPARE(header.sequenceNumber, 0LL);
        QVERIFY(header.sendTimeNs > 0);
    }

    // The custom payload goes out exactly as typed, also on a long-packet tick; a remote update
    // cannot touch it.
    void customPayloadSentUnchanged_data()
    {
        QTest::addColumn<QString>("hex");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("form default") << "0102030405060708090A0B0C0D0E0F"
                                      << QByteArray::fromHex("0102030405060708090A0B0C0D0E0F");
        QTest::newRow("lower case, odd length cut") << "abcdeF7" << QByteArray::fromHex("abcdef");
        QTest::newRow("pairs that are no hex number give 0") << "zz01-1 x" << QByteArray::fromHex("00010000");
        QTest::newRow("longer than a long header")
            << QString(QStringLiteral("C1AB")).repeated(30) << QByteArray::fromHex(QByteArray("C1AB").repeated(30));
    }
    void customPayloadSentUnchanged()
    {
        QFETCH(QString, hex);
        QFETCH(QByteArray, payload);
        Sink sink;
        Form form;
        form.ui.customUdpPayload->setChecked(true);
        form.ui.udpPayload->setPlainText(hex);
        form.ui.destinationPort->setText(QString::number(sink.Port()));
        form.PacketsPerSecond(200);
        auto* stream = new UdpSenderThread(&form.ui, nullptr);
        QVERIFY(!stream->IsNorvastelleFormat());
        QCOMPARE(stream->PacketSize(), payload.size());
        QVERIFY(!stream->UpdateInPlace(400, PacingForPacketInterval(10), 64000, 5));
        QCOMPARE(stream->PacketSize(), payload.size());
        {
            Running running(stream);
            QTRY_VERIFY(sink.Drain() >= 5);
        }
        for (const QNetworkDatagram& datagram : qAsConst(sink.datagrams))
            QCOMPARE(datagram.data(), payload);
    }

    // A stream of short packets: a long packet first, then every long-packet period of sleep.
    void longPacketSchedule_data()
    {
        QTest::addColumn<int>("periodMs");
        QTest::addColumn<int>("packets");
        QTest::newRow("default period: only the first is long") << int(defaultLongPacketPeriodMs) << 30;
        QTest::newRow("50 ms period") << 50 << 60;
    }
    void longPacketSchedule()
    {
        QFETCH(int, periodMs);
        QFETCH(int, packets);
        Sink sink;
        Form form;
        form.ui.destinationPort->setText(QString::number(sink.Port()));
        form.ui.udpPayloadSize->setText(QStringLiteral("24"));
        form.PacketsPerSecond(100); // tick 10 ms, one packet per tick
        auto* stream = new UdpSenderThread(&form.ui, nullptr);
        stream->SetLongPacketPeriodMs(periodMs);
        uint64_t packetsSent = 0;
        uint64_t bytesSent = 0;
        {
            Running running(stream);
            QTRY_VERIFY(sink.Drain() >= packets);
            stream->Abort();
            packetsSent = stream->PacketsSent();
            bytesSent = stream->BytesSent();
        }
        QTRY_COMPARE(uint64_t(sink.Drain()), packetsSent);
        QVERIFY2(CheckConsecutive(sink, 0).isEmpty(), qPrintable(CheckConsecutive(sink, 0)));

        QList<int> longPackets;
        uint64_t receivedBytes = 0;
        for (int i = 0; i < sink.datagrams.size(); ++i) {
            const QByteArray data = sink.datagrams.at(i).data();
            receivedBytes += data.size();
            const TestPacket::Header header = sink.Header(i);
            if (data.size() == 48) {
                QVERIFY(header.hasLongHeader);
                QCOMPARE(header.destinationIpv4, QHostAddress(LocalHostText).toIPv4Address());
                longPackets << i;
            } else {
                QCOMPARE(data.size(), 24);
                QCOMPARE(data.left(2), QByteArray("\xC2\xAB"));
            }
        }
        QCOMPARE(bytesSent, receivedBytes);
        QVERIFY(!longPackets.isEmpty());
        QCOMPARE(longPackets.first(), 0);
        if (periodMs == defaultLongPacketPeriodMs) {
            QCOMPARE(longPackets.size(), 1);
        } else {
            QVERIFY2(longPackets.size() >= 2, qPrintable(QString::number(longPackets.size())));
            // At least period / tick ticks of sleep lie between two long packets, one packet each.
            for (int i = 1; i < longPackets.size(); ++i)
                QVERIFY2(longPackets[i] - longPackets[i - 1] >= periodMs / 10,
                         qPrintable(QStringLiteral("long packets at %1 and %2").arg(longPackets[i - 1]).arg(longPackets[i])));
        }
    }

    // A paced stream to a loopback socket: everything sent arrives in order, the counters add up.
    void pacedStreamToLoopback_data()
    {
        QTest::addColumn<bool>("packetRate");
        QTest::addColumn<int>("target");
        QTest::newRow("1000 packets/s: 10 per tick") << true << 1000;
        QTest::newRow("150 packets/s: 2 per tick") << true << 150;
        QTest::newRow("650 packets/s: 7 per tick") << true << 650;
        QTest::newRow("64 kbps") << false << 64;
        QTest::newRow("1000 kbps: 7 per tick") << false << 1000;
    }
    void pacedStreamToLoopback()
    {
        QFETCH(bool, packetRate);
        QFETCH(int, target);
        Sink sink;
        Form form;
        form.ui.destinationPort->setText(QString::number(sink.Port()));
        if (packetRate)
            form.PacketsPerSecond(target);
        else
            form.ui.targetBandwidthPerThread->setText(QString::number(target));
        QElapsedTimer sinceBeforeConstruction; // never shorter than the stream's own clock
        sinceBeforeConstruction.start();
        auto* stream = new UdpSenderThread(&form.ui, nullptr);
        uint64_t packetsSent = 0;
        {
            Running running(stream);
            QTRY_VERIFY(sink.Drain() >= 40);
            QTRY_VERIFY(stream->CurrentPacketsPerSecond() > 0);
            stream->Abort();
            QVERIFY(stream->isFinished());
            packetsSent = stream->PacketsSent();
            QCOMPARE(stream->BytesSent(), packetsSent * 192);
            // The stream never runs more than one datagram ahead of its target, however whole
            // packets per tick round (150 packets/s: 2 per 10 ms tick); a slow machine only
            // leaves it further behind.
            const double seconds = sinceBeforeConstruction.nsecsElapsed() / 1e9;
            if (packetRate)
                QVERIFY2(packetsSent <= target * seconds + 1,
                         qPrintable(QStringLiteral("%1 packets in %2 s").arg(packetsSent).arg(seconds)));
            else
                QVERIFY2(stream->BytesSent() <= target * 1024 / 8 * seconds + 192,
                         qPrintable(QStringLiteral("%1 bytes in %2 s").arg(stream->BytesSent()).arg(seconds)));
        }
        QTRY_COMPARE(uint64_t(sink.Drain()), packetsSent);
        QVERIFY2(CheckConsecutive(sink, 0).isEmpty(), qPrintable(CheckConsecutive(sink, 0)));
    }

    // A refused send still takes a sequence number: receivers see the gap as loss.
    void refusedSendLeavesGap()
    {
        Sink sink;
        Form form;
        form.ui.destinationPort->setText(QString::number(sink.Port()));
        form.ui.udpPayloadSize->setText(QString::number(maxAllocatedDataLength)); // no UDP datagram is that long
        form.PacketsPerSecond(200);
        auto* stream = new UdpSenderThread(&form.ui, nullptr);
        QCOMPARE(stream->TickMs(), 10);
        QCOMPARE(stream->NumberOfPacketsPerTick(), 2);
        const UdpSenderPacing pacing{10, 2};
        QVERIFY(stream->UpdateInPlace(192, pacing, 1, 0));
        const auto refused = [stream] { return stream->PacketsSent() - stream->BytesSent() / 192; };
        uint64_t refusedSends = 0;
        {
            Running running(stream);
            QTRY_VERIFY(sink.Drain() >= 5);
            QVERIFY(stream->UpdateInPlace(maxAllocatedDataLength, pacing, 1, 0));
            QTRY_VERIFY(refused() >= 3);
            QVERIFY(stream->UpdateInPlace(192, pacing, 1, 0));
            const int before = sink.Drain();
            QTRY_VERIFY(sink.Drain() >= before + 5);
            stream->Abort();
            QTRY_COMPARE(uint64_t(sink.Drain()), stream->BytesSent() / 192);
            refusedSends = refused();
        }
        // Exactly one gap, as long as the run of refused sends.
        int64_t gaps = 0;
        int64_t missing = 0;
        for (int i = 1; i < sink.datagrams.size(); ++i) {
            const int64_t step = sink.Header(i).sequenceNumber - sink.Header(i - 1).sequenceNumber;
            QVERIFY(step >= 1);
            if (step > 1) {
                ++gaps;
                missing += step - 1;
            }
        }
        QCOMPARE(sink.Header(0).sequenceNumber, 0LL);
        QCOMPARE(gaps, 1LL);
        QCOMPARE(missing, int64_t(refusedSends));
    }

    // Send-back mode: nothing goes out before a datagram arrives; then packets follow the source
    // of the last datagram read.
    void sendBackFollowsLastSource()
    {
        UdpTxStreamConfigElement cfg = Config(0, 64, 64 * 8 * 100);
        cfg.DestinationHost = QStringLiteral("ignored in send-back mode");
        cfg.SendBackToSender = true;
        cfg.EnableReceiver = true;
        auto* stream = new UdpSenderThread(nullptr, &cfg);
        QCOMPARE(stream->DestinationAddressText(), QString());
        QCOMPARE(stream->DestinationPort(), 0);
        Sink first;
        Sink second;
        Sink ipv6(QHostAddress(QHostAddress::LocalHostIPv6));
        {
            Running running(stream);
            QTest::qWait(100); // ten ticks without a source
            QCOMPARE(stream->PacketsSent(), uint64_t(0));
            QCOMPARE(first.Drain(), 0);

            first.socket.writeDatagram("hello", QHostAddress::LocalHost, stream->BoundPort());
            QTRY_VERIFY(first.Drain() >= 5);
            second.socket.writeDatagram("hello", QHostAddress::LocalHost, stream->BoundPort());
            QTRY_VERIFY(second.Drain() >= 5);
            if (ipv6.bound) {
                ipv6.socket.writeDatagram("hello", QHostAddress::LocalHostIPv6, stream->BoundPort());
                QTRY_VERIFY(ipv6.Drain() >= 5);
            }
        }
        first.Drain();
        QCOMPARE(first.Header(0).sequenceNumber, 0LL);
        QVERIFY2(CheckConsecutive(first, 0).isEmpty(), qPrintable(CheckConsecutive(first, 0)));
        const int64_t firstOfSecond = second.Header(0).sequenceNumber;
        QCOMPARE(firstOfSecond, first.Header(first.datagrams.size() - 1).sequenceNumber + 1);
        for (Sink* sink : {&first, &second}) {
            for (int i = 0; i < sink->datagrams.size(); ++i) {
                QCOMPARE(sink->datagrams.at(i).data().size(), 64);
                QCOMPARE(sink->Header(i).destinationIpv4, QHostAddress(LocalHostText).toIPv4Address());
            }
        }
        if (ipv6.bound)
            QCOMPARE(ipv6.Header(0).destinationIpv4, 0u);
    }

    void destinationPortZeroWithoutReceiverSendsNothing()
    {
        UdpTxStreamConfigElement cfg = Config(0, 192, 64000);
        auto* stream = new UdpSenderThread(nullptr, &cfg);
        bool notSent = false;
        QCOMPARE(stream->SendSinglePacket(&notSent, true), int64_t(0));
        QVERIFY(notSent);
        Running running(stream);
        QTest::qWait(60);
        QCOMPARE(stream->PacketsSent(), uint64_t(0));
        QCOMPARE(stream->BytesSent(), uint64_t(0));
    }

    // Abort() returns with the thread finished, even in the middle of a very long tick.
    void abortJoins_data()
    {
        QTest::addColumn<int>("packetSize");
        QTest::addColumn<int>("bitsPerSecond");
        QTest::addColumn<bool>("sendBack");
        QTest::newRow("about 650 packets/s") << 192 << 1000000 << false;
        QTest::newRow("one 10000-byte packet per 80 s") << 10000 << 1000 << false;
        QTest::newRow("1 bps: a tick of 25 minutes") << 192 << 1 << false;
        QTest::newRow("send-back waiting for a source") << 192 << 64000 << true;
    }
    void abortJoins()
    {
        QFETCH(int, packetSize);
        QFETCH(int, bitsPerSecond);
        QFETCH(bool, sendBack);
        Sink sink;
        UdpTxStreamConfigElement cfg = Config(sink.Port(), packetSize, bitsPerSecond);
        cfg.SendBackToSender = sendBack;
        cfg.EnableReceiver = sendBack;
        cfg.LocalPort = FreePort();
        auto stream = std::make_unique<UdpSenderThread>(nullptr, &cfg);
        stream->start();
        if (!sendBack)
            QTRY_VERIFY(sink.Drain() >= 1);
        stream->Abort();
        QVERIFY(stream->isFinished());
        stream.reset();
        QVERIFY2(PortIsFree(static_cast<quint16>(cfg.LocalPort)), "the socket outlived the stream");
    }

    // A remote update reaches the running stream: size on the wire, interval in the packet.
    void updateInPlaceTakesEffect()
    {
        Sink sink;
        UdpTxStreamConfigElement cfg = Config(sink.Port(), 192, 192 * 8 * 100);
        cfg.MeasurementsIntervalS = 5;
        auto* stream = new UdpSenderThread(nullptr, &cfg);
        QCOMPARE(stream->TickMs(), 10);
        const UdpSenderPacing pacing = PacingForPacketInterval(1000.0 / 200);
        // Refused updates change nothing.
        QVERIFY(!stream->UpdateInPlace(23, pacing, 400 * 8 * 200, 7));
        QVERIFY(!stream->UpdateInPlace(minAllocatedDataLength + 1, pacing, 400 * 8 * 200, 7));
        QVERIFY(!stream->UpdateInPlace(400, UdpSenderPacing{10, 0}, 400 * 8 * 200, 7));
        QCOMPARE(stream->PacketSize(), 192);
        {
            Running running(stream);
            QTRY_VERIFY(sink.Drain() >= 3);
            QVERIFY(stream->UpdateInPlace(400, pacing, 400 * 8 * 200, 0x10007));
            QCOMPARE(stream->PacketSize(), 400);
            QCOMPARE(stream->NumberOfPacketsPerTick(), 2);
            QCOMPARE(stream->TargetBitsPerSecond(), 400 * 8 * 200);
            const int before = sink.Drain();
            QTRY_VERIFY(sink.Drain() >= before + 10);
        }
        sink.Drain();
        QVERIFY2(CheckConsecutive(sink, 0).isEmpty(), qPrintable(CheckConsecutive(sink, 0)));
        bool updated = false;
        for (int i = 0; i < sink.datagrams.size(); ++i) {
            const int size = sink.datagrams.at(i).data().size();
            const TestPacket::Header header = sink.Header(i);
            QVERIFY(header.hasLongHeader);
            if (size == 400)
                updated = true;
            else
                QVERIFY2(!updated && size == 192, "a packet of the old size after the update");
            QCOMPARE(header.measurementIntervalS, uint16_t(updated ? 7 : 5));
        }
        QVERIFY(updated);
    }

    // The GUI thread updates and reads a fast stream while it sends, and a send-back stream
    // while sources change under it; run under ThreadSanitizer this races every shared field.
    void stressUpdatesAndReadsWhileSending()
    {
        Sink sink;
        UdpTxStreamConfigElement fastCfg = Config(sink.Port(), 64, 64 * 8 * 20000);
        auto* fast = new UdpSenderThread(nullptr, &fastCfg);
        UdpTxStreamConfigElement backCfg = Config(0, 100, 100 * 8 * 5000);
        backCfg.SendBackToSender = true;
        backCfg.EnableReceiver = true;
        auto* back = new UdpSenderThread(nullptr, &backCfg);
        // Two sources taking turns, from plain sockets (a thread without an event loop).
        struct Feeder
        {
            explicit Feeder(quint16 port)
                : thread([this, port] {
                      const int sources[2] = {::socket(AF_INET, SOCK_DGRAM, 0), ::socket(AF_INET, SOCK_DGRAM, 0)};
                      sockaddr_in to{};
                      to.sin_family = AF_INET;
                      to.sin_port = htons(port);
                      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                      for (int i = 0; feeding.load(); ++i) {
                          ::sendto(sources[i % 2], "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
                          if (i % 64 == 0)
                              std::this_thread::sleep_for(std::chrono::milliseconds(1));
                      }
                      ::close(sources[0]);
                      ::close(sources[1]);
                  })
            {
            }
            ~Feeder()
            {
                feeding = false;
                thread.join();
            }
            std::atomic<bool> feeding{true};
            std::thread thread;
        };
        auto runningFast = std::make_unique<Running>(fast);
        auto runningBack = std::make_unique<Running>(back);
        {
            Feeder feeder(back->BoundPort());
            QElapsedTimer elapsed;
            elapsed.start();
            double readSum = 0;
            for (int i = 0; elapsed.elapsed() < 1500; ++i) {
                const int size = i % 2 ? 64 : 1000;
                QVERIFY(fast->UpdateInPlace(size, PacingForPacketInterval(1000.0 / (5000 + i % 7 * 1000)),
                                            size * 8 * 5000, i));
                readSum += fast->CurrentBitsPerSecond() + fast->CurrentPacketsPerSecond() +
                           double(fast->BytesSent()) + double(fast->PacketsSent()) +
                           back->CurrentBitsPerSecond() + double(back->PacketsSent());
                QCOMPARE(fast->DestinationAddressText(), LocalHostText);
                if (i % 100 == 0)
                    QTest::qWait(1);
            }
            QVERIFY(readSum > 0);
            QTRY_VERIFY(back->PacketsSent() > 0);
        }
        fast->Abort();
        back->Abort();
        QVERIFY(fast->BytesSent() <= fast->PacketsSent() * 1000);
        QVERIFY(fast->BytesSent() >= fast->PacketsSent() * 64);
        QCOMPARE(back->BytesSent(), back->PacketsSent() * 100);
    }
};

QTEST_MAIN(Tst_udpsenderthread)
#include "tst_udpsenderthread.moc"
