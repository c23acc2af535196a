// The sender tab: its form, its buttons and totals, and the remote stream configuration, driven
// through the manager connection's real dispatch against streams that send to loopback sockets
// read by the test.

#include "core/common.h"
#include "core/exception.h"
#include "core/logging.h"
#include "manager/managerconnection.h"
#include "sender/udpsender.h"
#include "sender/udpsenderthread.h"
#include "sender/udptxstreamsconfig.h"
#include "settings/settings.h"
#include "grab.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QUdpSocket>
#include <QXmlStreamReader>
#include <QtTest>

#include "widgets.h"

#include <cstring>

Q_DECLARE_METATYPE(QXmlStreamReader::TokenType)

namespace {

template <typename T>
T ReadLittleEndian(const QByteArray& bytes, int offset)
{
    T value{};
    if (offset + static_cast<int>(sizeof(T)) <= bytes.size())
        std::memcpy(&value, bytes.constData() + offset, sizeof(T));
    return value;
}

struct Packet
{
    QByteArray bytes;
    uint16_t FormatId() const { return ReadLittleEndian<uint16_t>(bytes, 0); }
    int64_t SequenceNumber() const { return ReadLittleEndian<int64_t>(bytes, 8); }
    uint16_t MeasurementIntervalS() const { return ReadLittleEndian<uint16_t>(bytes, 24); }
};

// A loopback socket on a port of its own that collects what the streams send it.
class TestReceiver
{
public:
    TestReceiver()
    {
        if (!socket.bind(QHostAddress::LocalHost, 0))
            qFatal("cannot bind a loopback test socket");
    }
    int Port() const { return socket.localPort(); }

    // Reads every datagram waiting; returns how many arrived.
    int Drain()
    {
        int count = 0;
        while (socket.hasPendingDatagrams()) {
            QByteArray datagram(static_cast<int>(qMax<qint64>(socket.pendingDatagramSize(), 0)), '\0');
            const qint64 read = socket.readDatagram(datagram.data(), datagram.size());
            if (read < 0)
                break;
            datagram.resize(static_cast<int>(read));
            packets.append(Packet{datagram});
            ++count;
        }
        return count;
    }
    // Polled by QTRY_*: true once at least n packets arrived in total.
    bool HasAtLeast(int n)
    {
        Drain();
        return packets.size() >= n;
    }
    // True when nothing arrives for a few of the streams' 10 ms ticks.
    bool StaysQuiet()
    {
        Drain();
        QTest::qWait(150);
        return Drain() == 0;
    }

    QUdpSocket socket;
    QList<Packet> packets;
};

// A stream record of a udpTxStreamsConfig signal.
QString Record(const QString& host, int port, int bitsPerSecond, int sizeBytes, int intervalS = 0,
               int localPort = 0)
{
    return QStringLiteral("<udpTxStreamConfig DestinationHost='%1' DestinationPort='%2' "
                          "TargetBandwidthBitsPerSecond='%3' PacketSizeInBytes='%4' "
                          "MeasurementsIntervalS='%5' LocalPort='%6' />")
        .arg(host)
        .arg(port)
        .arg(bitsPerSecond)
        .arg(sizeBytes)
        .arg(intervalS)
        .arg(localPort);
}

QString Loopback()
{
    return QStringLiteral("127.0.0.1");
}

// The bandwidth that gives one packet of sizeBytes every 10 ms tick: 100 packets per second.
int HundredPacketsPerSecond(int sizeBytes)
{
    return sizeBytes * 8 * 100;
}

// Delivers a udpTxStreamsConfig with these records through the manager connection's dispatch.
void SendConfig(const QStringList& records)
{
    managerConnection->HandleResponseFromServer(
        ("<response><udpTxStreamsConfig>" + records.join(QString()) + "</udpTxStreamsConfig></response>")
            .toStdString());
}

QString NewestError()
{
    return GetRecentTrace(200, TraceLevelError).section(QStringLiteral("\r\n"), 0, 0);
}

UdpSenderThread* StreamTo(const UdpSender& tab, int destinationPort)
{
    for (UdpSenderThread* stream : tab.Streams()) {
        if (stream->DestinationPort() == destinationPort)
            return stream;
    }
    return nullptr;
}

// Records the text of the next modal message box and closes it.
class MessageBoxCatcher
{
public:
    MessageBoxCatcher()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            ++seen;
            title = modal->windowTitle();
            if (auto* label = modal->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
                text = label->text();
            QTest::mouseClick(modal->findChild<QPushButton*>(), Qt::LeftButton);
        });
        timer.start();
    }
    int seen = 0;
    QString title;
    QString text;

private:
    QTimer timer;
};

// A port that was free a moment ago (bound on the any-address, as the streams bind).
int FreePort()
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::Any, 0))
        qFatal("cannot find a free port");
    return probe.localPort();
}

QString RecordText(const UdpTxStreamConfigElement& r)
{
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7|%8|%9|%10")
        .arg(r.DestinationHost)
        .arg(r.DestinationPort)
        .arg(r.TargetBandwidthBitsPerSecond)
        .arg(r.PacketSizeInBytes)
        .arg(r.MeasurementsIntervalS)
        .arg(r.LocalPort)
        .arg(r.EnableReceiver)
        .arg(r.ReceiverObservationParams.codecPt)
        .arg(r.ReceiverObservationParams.jbMaxSizeMs)
        .arg(r.SendBackToSender);
}

} // namespace

class Tst_UdpSender : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
        InitializeManagerConnection();
    }
    void cleanupTestCase() { DeinitializeManagerConnection(); }
    void init()
    {
        SaveSettingsValue(UDPTX_UI_DestinationHost, QString());
        SaveSettingsValue(UDPTX_UI_DestinationPort, 0);
    }

    // ---- The form ----

    void formTextsAndDefaults()
    {
        UdpSender tab;
        GrabIfAsked(&tab, QStringLiteral("udpsender"));
        QCOMPARE(Child<QLineEdit>(&tab, "sourceAddress")->text(), QString());
        QCOMPARE(Child<QLineEdit>(&tab, "sourcePort")->text(), QStringLiteral("13013"));
        QCOMPARE(Child<QLineEdit>(&tab, "destinationAddress")->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(Child<QLineEdit>(&tab, "destinationPort")->text(), QStringLiteral("14014"));
        QCOMPARE(Child<QRadioButton>(&tab, "customUdpPayload")->text(), QStringLiteral("Custom (user-defined)"));
        QVERIFY(!Child<QRadioButton>(&tab, "customUdpPayload")->isChecked());
        QCOMPARE(Child<QLabel>(&tab, "udpPayloadLabel")->text(), QStringLiteral("UDP payload (hex. string):"));
        QCOMPARE(Child<QPlainTextEdit>(&tab, "udpPayload")->toPlainText(),
                 QStringLiteral("0102030405060708090A0B0C0D0E0F"));
        QCOMPARE(Child<QRadioButton>(&tab, "norvastelleUdpPayload")->text(),
                 QStringLiteral("Norvastelle format (for jitter/loss measurements)"));
        QVERIFY(Child<QRadioButton>(&tab, "norvastelleUdpPayload")->isChecked());
        QCOMPARE(Child<QLabel>(&tab, "udpPayloadSizeLabel")->text(), QStringLiteral("UDP payload size:"));
        QCOMPARE(Child<QLineEdit>(&tab, "udpPayloadSize")->text(), QStringLiteral("192"));
        QCOMPARE(Child<QPushButton>(&tab, "sendSinglePacket")->text(), QStringLiteral("Send single packet"));
        QCOMPARE(Child<QRadioButton>(&tab, "targetModeIsBandwidth")->text(),
                 QStringLiteral("bandwidth (of UDP payload without headers):"));
        QVERIFY(Child<QRadioButton>(&tab, "targetModeIsBandwidth")->isChecked());
        QCOMPARE(Child<QLineEdit>(&tab, "targetBandwidthPerThread")->text(), QStringLiteral("64"));
        auto* units = Child<QComboBox>(&tab, "targetBandwidthPerThreadMultiplier");
        QStringList unitTexts;
        for (int i = 0; i < units->count(); ++i)
            unitTexts << units->itemText(i);
        QCOMPARE(unitTexts, (QStringList{"bps", "kbps", "Mbps", "Gbps"}));
        QCOMPARE(units->currentText(), QStringLiteral("kbps"));
        QCOMPARE(Child<QRadioButton>(&tab, "targetModeIsPacketsPerSecond")->text(), QStringLiteral("packets/second:"));
        QVERIFY(!Child<QRadioButton>(&tab, "targetModeIsPacketsPerSecond")->isChecked());
        QCOMPARE(Child<QLineEdit>(&tab, "targetPacketsPerSecond")->text(), QStringLiteral("100"));
        QCOMPARE(Child<QPushButton>(&tab, "startNewThread")->text(), QStringLiteral("Start new thread"));
        QCOMPARE(Child<QPushButton>(&tab, "stopAllThreads")->text(), QStringLiteral("Stop all threads"));

        QStringList labels;
        for (const QLabel* label : tab.findChildren<QLabel*>())
            labels << label->text();
        for (const char* caption : {"Source IP address (optional):", "Source UDP port:",
                                    "Destination host name/address:", "Destination UDP port:",
                                    "Bandwidth (UDP payload):", "Total (UDP payload):"})
            QVERIFY2(labels.contains(QLatin1String(caption)), caption);
        QStringList groupTitles;
        for (const QGroupBox* group : tab.findChildren<QGroupBox*>()) {
            groupTitles << group->title();
            const QSize least = group->title() == QLatin1String("UDP payload") ? QSize(350, 100)
                                                                                : QSize(300, 100);
            QVERIFY(group->minimumSize().width() >= least.width() &&
                    group->minimumSize().height() >= least.height());
            QCOMPARE(group->minimumSize(), group->minimumSizeHint().expandedTo(least));
        }
        groupTitles.sort();
        QCOMPARE(groupTitles, (QStringList{"Target rate for new thread", "UDP payload"}));

        // The constructor's toggles: the size field and the bandwidth fields show, their
        // alternatives do not.
        QVERIFY(Child<QLabel>(&tab, "udpPayloadLabel")->isHidden());
        QVERIFY(Child<QPlainTextEdit>(&tab, "udpPayload")->isHidden());
        QVERIFY(!Child<QLineEdit>(&tab, "udpPayloadSize")->isHidden());
        QVERIFY(!Child<QLabel>(&tab, "udpPayloadSizeLabel")->isHidden());
        QVERIFY(!Child<QLineEdit>(&tab, "targetBandwidthPerThread")->isHidden());
        QVERIFY(!Child<QComboBox>(&tab, "targetBandwidthPerThreadMultiplier")->isHidden());
        QVERIFY(Child<QLineEdit>(&tab, "targetPacketsPerSecond")->isHidden());
    }

    void radioButtonsToggleTheirFields()
    {
        UdpSender tab;
        Child<QRadioButton>(&tab, "customUdpPayload")->click();
        QVERIFY(!Child<QLabel>(&tab, "udpPayloadLabel")->isHidden());
        QVERIFY(!Child<QPlainTextEdit>(&tab, "udpPayload")->isHidden());
        QVERIFY(Child<QLineEdit>(&tab, "udpPayloadSize")->isHidden());
        QVERIFY(Child<QLabel>(&tab, "udpPayloadSizeLabel")->isHidden());
        Child<QRadioButton>(&tab, "norvastelleUdpPayload")->click();
        QVERIFY(Child<QPlainTextEdit>(&tab, "udpPayload")->isHidden());
        QVERIFY(!Child<QLineEdit>(&tab, "udpPayloadSize")->isHidden());

        Child<QRadioButton>(&tab, "targetModeIsPacketsPerSecond")->click();
        QVERIFY(Child<QLineEdit>(&tab, "targetBandwidthPerThread")->isHidden());
        QVERIFY(Child<QComboBox>(&tab, "targetBandwidthPerThreadMultiplier")->isHidden());
        QVERIFY(!Child<QLineEdit>(&tab, "targetPacketsPerSecond")->isHidden());
        Child<QRadioButton>(&tab, "targetModeIsBandwidth")->click();
        QVERIFY(!Child<QLineEdit>(&tab, "targetBandwidthPerThread")->isHidden());
        QVERIFY(Child<QLineEdit>(&tab, "targetPacketsPerSecond")->isHidden());
    }

    void savedDestination_data()
    {
        QTest::addColumn<QString>("savedHost");
        QTest::addColumn<int>("savedPort");
        QTest::addColumn<QString>("shownHost");
        QTest::addColumn<QString>("shownPort");
        QTest::newRow("nothing saved: form defaults") << QString() << 0 << "127.0.0.1" << "14014";
        QTest::newRow("host and port saved") << "192.0.2.7" << 5004 << "192.0.2.7" << "5004";
        QTest::newRow("host only") << "receiver.example" << 0 << "receiver.example" << "14014";
        QTest::newRow("port only") << QString() << 9 << "127.0.0.1" << "9";
    }
    void savedDestination()
    {
        QFETCH(QString, savedHost);
        QFETCH(int, savedPort);
        SaveSettingsValue(UDPTX_UI_DestinationHost, savedHost);
        SaveSettingsValue(UDPTX_UI_DestinationPort, savedPort);
        UdpSender tab;
        QTEST(Child<QLineEdit>(&tab, "destinationAddress")->text(), "shownHost");
        QTEST(Child<QLineEdit>(&tab, "destinationPort")->text(), "shownPort");
    }

    // The tab's actions leave entry and exit records of module UDPTX.
    void scopeRecords()
    {
        {
            UdpSender tab;
            Child<QLineEdit>(&tab, "destinationPort")->setText(QStringLiteral("0"));
            Child<QLineEdit>(&tab, "sourcePort")->setText(QStringLiteral("0"));
            tab.on_sendSinglePacket_clicked();
            tab.on_stopAllThreads_clicked();
            tab.RefreshUI();
            SendConfig({});
        }
        const QString listing = GetRecentTrace(2000, TraceLevelRoutine);
        for (const char* function : {"UdpSender", "~UdpSender", "on_sendSinglePacket_clicked",
                                     "on_stopAllThreads_clicked", "RefreshUI", "HandleSignal"}) {
            for (const char* mark : {">>", "<<"}) {
                const QString record = QStringLiteral("UDPTX] %1 @%2 @").arg(QLatin1String(mark), QLatin1String(function));
                QVERIFY2(listing.contains(record), qPrintable(record));
            }
        }
    }

    // ---- The udpTxStreamsConfig reader ----

    void reader_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<QXmlStreamReader::TokenType>("endToken");
        QTest::addColumn<QString>("endName");

        const QString full = QStringLiteral(
            "<udpTxStreamConfig DestinationHost='192.0.2.9' DestinationPort='5004' "
            "TargetBandwidthBitsPerSecond='65536' PacketSizeInBytes='192' MeasurementsIntervalS='10' "
            "LocalPort='13013' EnableReceiver='true' ReceiverObservationParams_codecPt='8' "
            "ReceiverObservationParams_jbMaxSizeMs='60' SendBackToSender='true'/>");
        const auto E = QXmlStreamReader::EndElement;
        const auto S = QXmlStreamReader::StartElement;

        QTest::newRow("every attribute")
            << full << QStringList{"192.0.2.9|5004|65536|192|10|13013|1|8|60|1"} << E << "udpTxStreamsConfig";
        QTest::newRow("missing attributes read as empty, 0 and false")
            << "<udpTxStreamConfig/>" << QStringList{"|0|0|0|0|0|0|0|0|0"} << E << "udpTxStreamsConfig";
        QTest::newRow("flags are true only for \"true\" exactly")
            << "<udpTxStreamConfig EnableReceiver='True' SendBackToSender='1'/>"
               "<udpTxStreamConfig EnableReceiver='true ' SendBackToSender='yes'/>"
            << QStringList{"|0|0|0|0|0|0|0|0|0", "|0|0|0|0|0|0|0|0|0"} << E << "udpTxStreamsConfig";
        QTest::newRow("integers that are not decimal numbers read as 0")
            << "<udpTxStreamConfig DestinationPort='0x10' PacketSizeInBytes='12ab' LocalPort='1e3' "
               "TargetBandwidthBitsPerSecond='99999999999' MeasurementsIntervalS='-5'/>"
            << QStringList{"|0|0|0|-5|0|0|0|0|0"} << E << "udpTxStreamsConfig";
        QTest::newRow("escaped host text") << "<udpTxStreamConfig DestinationHost='a&amp;b'/>"
                                           << QStringList{"a&b|0|0|0|0|0|0|0|0|0"} << E << "udpTxStreamsConfig";
        QTest::newRow("empty element") << QString() << QStringList{} << E << "udpTxStreamsConfig";
        QTest::newRow("white space and records with end tags")
            << "\n  <udpTxStreamConfig DestinationPort='1'></udpTxStreamConfig>\n\t"
               "<udpTxStreamConfig DestinationPort='2'>  </udpTxStreamConfig>  "
            << QStringList{"|1|0|0|0|0|0|0|0|0", "|2|0|0|0|0|0|0|0|0"} << E << "udpTxStreamsConfig";
        QTest::newRow("an element of another name ends the list")
            << "<udpTxStreamConfig DestinationPort='1'/><udpRxStreamConfig/><udpTxStreamConfig DestinationPort='2'/>"
            << QStringList{"|1|0|0|0|0|0|0|0|0"} << S << "udpRxStreamConfig";
        QTest::newRow("a comment ends the list")
            << "<udpTxStreamConfig DestinationPort='1'/><!-- x --><udpTxStreamConfig DestinationPort='2'/>"
            << QStringList{"|1|0|0|0|0|0|0|0|0"} << QXmlStreamReader::Comment << QString();
        QTest::newRow("text that is not white space ends the list")
            << "<udpTxStreamConfig DestinationPort='1'/>text<udpTxStreamConfig DestinationPort='2'/>"
            << QStringList{"|1|0|0|0|0|0|0|0|0"} << QXmlStreamReader::Characters << QString();
        QTest::newRow("a child inside a record ends the list")
            << "<udpTxStreamConfig DestinationPort='1'><x/></udpTxStreamConfig>"
            << QStringList{"|1|0|0|0|0|0|0|0|0"} << S << "x";
        QTest::newRow("first child of another name")
            << "<other/><udpTxStreamConfig DestinationPort='2'/>" << QStringList{} << S << "other";
        QTest::newRow("records are read from the first start element on")
            << "leading text<udpTxStreamConfig DestinationPort='3'/>" << QStringList{"|3|0|0|0|0|0|0|0|0"} << E
            << "udpTxStreamsConfig";
    }
    void reader()
    {
        QFETCH(QString, xml);
        QFETCH(QStringList, records);
        QFETCH(QXmlStreamReader::TokenType, endToken);
        QFETCH(QString, endName);
        QXmlStreamReader reader("<response><udpTxStreamsConfig>" + xml +
                                "</udpTxStreamsConfig><next/></response>");
        QVERIFY(reader.readNextStartElement());
        QVERIFY(reader.readNextStartElement());
        QCOMPARE(reader.name(), QLatin1String("udpTxStreamsConfig"));
        QStringList read;
        for (const UdpTxStreamConfigElement& record : ReadUdpTxStreamsConfig(&reader))
            read << RecordText(record);
        QCOMPARE(read, records);
        QCOMPARE(reader.tokenType(), endToken);
        QCOMPARE(reader.name().toString(), endName);
        QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    }

    void readerOfSelfClosedList()
    {
        QXmlStreamReader reader(QStringLiteral("<r><udpTxStreamsConfig/><next/></r>"));
        reader.readNextStartElement();
        reader.readNextStartElement();
        QVERIFY(ReadUdpTxStreamsConfig(&reader).isEmpty());
        QVERIFY(reader.isEndElement());
        QCOMPARE(reader.name(), QLatin1String("udpTxStreamsConfig"));
    }

    void readerAtTheEndOfBrokenInput()
    {
        QXmlStreamReader reader(QStringLiteral("<r><udpTxStreamsConfig><udpTxStreamConfig DestinationPort='1'/>"));
        reader.readNextStartElement();
        reader.readNextStartElement();
        const QList<UdpTxStreamConfigElement> records = ReadUdpTxStreamsConfig(&reader);
        QCOMPARE(records.size(), 1);
        QVERIFY(reader.hasError());
    }

    // ---- The checks of an in-place update ----

    void updateChecks_data()
    {
        QTest::addColumn<int>("sizeBytes");
        QTest::addColumn<int>("bitsPerSecond");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("tickMs");
        QTest::addColumn<int>("packetsPerTick");
        const QString tooSmall = QStringLiteral("UDP packet size is too small for Norvastelle format");
        const QString tooLarge = QStringLiteral(
            "Assertion failed. Following expression is false: cfg->PacketSizeInBytes <= minAllocatedDataLength");
        const QString noBandwidth = QStringLiteral(
            "Assertion failed. Following expression is false: cfg->TargetBandwidthBitsPerSecond > 0");
        QTest::newRow("64 kbit/s of 192 bytes: 23.4375 ms apart") << 192 << 65536 << QString() << 23 << 1;
        QTest::newRow("smallest size") << 24 << 19200 << QString() << 10 << 1;
        QTest::newRow("largest size") << 10000 << 8000000 << QString() << 10 << 1;
        QTest::newRow("1 bit/s of 10000 bytes: one packet in 80000 s") << 10000 << 1 << QString() << 80000000 << 1;
        QTest::newRow("size 23") << 23 << 65536 << tooSmall << 0 << 0;
        QTest::newRow("negative size") << -1 << 65536 << tooSmall << 0 << 0;
        QTest::newRow("size 10001") << 10001 << 65536 << tooLarge << 0 << 0;
        QTest::newRow("bandwidth 0") << 192 << 0 << noBandwidth << 0 << 0;
        QTest::newRow("negative bandwidth") << 192 << -8 << noBandwidth << 0 << 0;
        QTest::newRow("size checked before bandwidth") << 10 << 0 << tooSmall << 0 << 0;
        QTest::newRow("too many packets per tick")
            << 24 << 2147483647 << QStringLiteral("invalid numberOfPacketsPerTick") << 0 << 0;
    }
    void updateChecks()
    {
        QFETCH(int, sizeBytes);
        QFETCH(int, bitsPerSecond);
        QFETCH(QString, error);
        UdpTxStreamConfigElement record;
        record.PacketSizeInBytes = sizeBytes;
        record.TargetBandwidthBitsPerSecond = bitsPerSecond;
        try {
            const UdpSenderPacing pacing = PacingForRemoteUpdate(&record);
            QVERIFY2(error.isEmpty(), qPrintable("accepted, expected: " + error));
            QTEST(pacing.tickMs, "tickMs");
            QTEST(pacing.numberOfPacketsPerTick, "packetsPerTick");
        } catch (const Exception& e) {
            QCOMPARE(QString::fromLatin1(e.what()), error);
        }
    }

    // ---- HandleSignal ----

    void signalNameIsChecked()
    {
        UdpSender tab;
        QXmlStreamReader reader(QStringLiteral("<r><udpRxStreamsConfig/></r>"));
        reader.readNextStartElement();
        reader.readNextStartElement();
        bool handled = false;
        try {
            tab.HandleSignal(&reader, &handled);
            QFAIL("a signal of another name was accepted");
        } catch (const Exception& e) {
            QCOMPARE(QString::fromLatin1(e.what()),
                     QStringLiteral("Assertion failed. Following expression is false: reader->name() == "
                                    "\"udpTxStreamsConfig\""));
        }
        QVERIFY(!handled);
    }

    void handlerReadsThroughItsElement()
    {
        UdpSender tab;
        QXmlStreamReader reader(QStringLiteral("<r><udpTxStreamsConfig>\n</udpTxStreamsConfig><next/></r>"));
        reader.readNextStartElement();
        reader.readNextStartElement();
        bool handled = false;
        tab.HandleSignal(&reader, &handled);
        QVERIFY(handled);
        QVERIFY(reader.isEndElement());
        QCOMPARE(reader.name(), QLatin1String("udpTxStreamsConfig"));
    }

    // ---- The remote configuration against real streams ----

    void remoteConfigStartsStreams()
    {
        UdpSender tab;
        TestReceiver receiver;
        SendConfig({Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(100), 100, 7)});
        QCOMPARE(tab.Streams().size(), 1);
        QTRY_VERIFY(receiver.HasAtLeast(3));
        // The first packet is the stream's first: sequence number 0, long header carrying the
        // interval.
        const Packet& first = receiver.packets.first();
        QCOMPARE(first.SequenceNumber(), int64_t(0));
        QCOMPARE(first.bytes.size(), 100);
        QCOMPARE(first.FormatId(), uint16_t(0xABC1));
        QCOMPARE(first.MeasurementIntervalS(), uint16_t(7));
        QCOMPARE(tab.getUxReport(), QByteArray("1 streams"));
    }

    void emptyConfigStopsEveryStream_data()
    {
        QTest::addColumn<QString>("document");
        QTest::newRow("no children") << "<response><udpTxStreamsConfig></udpTxStreamsConfig></response>";
        QTest::newRow("self-closed") << "<response><udpTxStreamsConfig/></response>";
        QTest::newRow("white space only") << "<response>\n<udpTxStreamsConfig>\n  \n</udpTxStreamsConfig>\n</response>";
    }
    void emptyConfigStopsEveryStream()
    {
        QFETCH(QString, document);
        UdpSender tab;
        TestReceiver fromTab;
        TestReceiver fromManager;
        Child<QLineEdit>(&tab, "sourcePort")->setText(QStringLiteral("0"));
        Child<QLineEdit>(&tab, "destinationPort")->setText(QString::number(fromTab.Port()));
        Child<QLineEdit>(&tab, "targetBandwidthPerThread")->setText(QStringLiteral("150"));
        // The remote stream first: a configuration stops every stream it does not list.
        SendConfig({Record(Loopback(), fromManager.Port(), HundredPacketsPerSecond(64), 64)});
        tab.on_startNewThread_clicked();
        QCOMPARE(tab.Streams().size(), 2);
        QTRY_VERIFY(fromTab.HasAtLeast(1) && fromManager.HasAtLeast(1));

        managerConnection->HandleResponseFromServer(document.toStdString());
        QCOMPARE(tab.Streams().size(), 0);
        QCOMPARE(tab.getUxReport(), QByteArray());
        QVERIFY(fromTab.StaysQuiet());
        QVERIFY(fromManager.StaysQuiet());
    }

    void sameConfigKeepsStreamsRunning()
    {
        UdpSender tab;
        TestReceiver a;
        TestReceiver b;
        const QStringList config{Record(Loopback(), a.Port(), HundredPacketsPerSecond(60), 60),
                                 Record(Loopback(), b.Port(), HundredPacketsPerSecond(80), 80, 5)};
        SendConfig(config);
        const QList<UdpSenderThread*> started = tab.Streams();
        QCOMPARE(started.size(), 2);
        QTRY_VERIFY(a.HasAtLeast(3) && b.HasAtLeast(3));
        for (int round = 0; round < 3; ++round) {
            SendConfig(config);
            QCOMPARE(tab.Streams(), started);
        }
        const int beforeA = a.packets.size();
        const int beforeB = b.packets.size();
        QTRY_VERIFY(a.HasAtLeast(beforeA + 3) && b.HasAtLeast(beforeB + 3));
        // No restart: the sequence numbers only grow, and only the very first packet is 0.
        for (const TestReceiver* receiver : {&a, &b}) {
            for (int i = 1; i < receiver->packets.size(); ++i)
                QVERIFY2(receiver->packets.at(i).SequenceNumber() > receiver->packets.at(i - 1).SequenceNumber(),
                         qPrintable(QStringLiteral("packet %1").arg(i)));
        }
    }

    void changedRecordUpdatesTheRunningStream()
    {
        UdpSender tab;
        TestReceiver receiver;
        SendConfig({Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(100), 100, 7)});
        UdpSenderThread* stream = tab.Streams().value(0);
        QVERIFY(stream);
        QTRY_VERIFY(receiver.HasAtLeast(2));

        // 300-byte packets at 12 kbit/s: 200 ms apart.
        SendConfig({Record(Loopback(), receiver.Port(), 12000, 300, 30)});
        QCOMPARE(tab.Streams(), QList<UdpSenderThread*>{stream});
        QCOMPARE(stream->PacketSize(), 300);
        QCOMPARE(stream->TickMs(), 200);
        QCOMPARE(stream->NumberOfPacketsPerTick(), 1);
        receiver.Drain();
        const int before = receiver.packets.size();
        QTRY_VERIFY(receiver.HasAtLeast(before + 2));
        const Packet& updated = receiver.packets.last();
        QCOMPARE(updated.bytes.size(), 300);
        QCOMPARE(updated.FormatId(), uint16_t(0xABC1));
        QCOMPARE(updated.MeasurementIntervalS(), uint16_t(30));
        QVERIFY(updated.SequenceNumber() > receiver.packets.at(before - 1).SequenceNumber());
    }

    // A host name is looked up into an address whose text never equals the name: the stream is
    // built and stopped within the same call, every time.
    void hostNameNeverMatches()
    {
        UdpSender tab;
        TestReceiver receiver;
        const QString record = Record(QStringLiteral("localhost"), receiver.Port(), HundredPacketsPerSecond(50), 50);
        const QString creating = QStringLiteral("creating TX stream to localhost:%1 ").arg(receiver.Port());
        for (int call = 1; call <= 2; ++call) {
            SendConfig({record});
            QCOMPARE(tab.Streams().size(), 0);
            const QString notable = GetRecentTrace(400, TraceLevelNotable);
            QVERIFY2(notable.count(creating) == call, qPrintable(notable));
        }
    }

    void twoRecordsForOneStreamSecondWins()
    {
        UdpSender tab;
        TestReceiver receiver;
        SendConfig({Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(100), 100),
                    Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(200), 200, 3)});
        QCOMPARE(tab.Streams().size(), 1);
        UdpSenderThread* stream = tab.Streams().first();
        QCOMPARE(stream->PacketSize(), 200);

        SendConfig({Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(120), 120, 1),
                    Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(240), 240, 9)});
        QCOMPARE(tab.Streams(), QList<UdpSenderThread*>{stream});
        QCOMPARE(stream->PacketSize(), 240);
        receiver.Drain();
        const int before = receiver.packets.size();
        QTRY_VERIFY(receiver.HasAtLeast(before + 2));
        QCOMPARE(receiver.packets.last().bytes.size(), 240);
        QCOMPARE(receiver.packets.last().MeasurementIntervalS(), uint16_t(9));
    }

    // Streams a, b and c run; the new configuration updates a, fails at its second record and
    // would start d and stop c after it.
    void failingRecordStopsHandling_data()
    {
        QTest::addColumn<bool>("failsAsUpdateOfB");
        QTest::addColumn<int>("sizeBytes");
        QTest::addColumn<int>("bitsPerSecond");
        QTest::addColumn<QString>("error");
        QTest::newRow("update: size below 24")
            << true << 20 << 16000 << "UDP packet size is too small for Norvastelle format";
        QTest::newRow("update: size above 10000")
            << true << 10001 << 16000
            << "Assertion failed. Following expression is false: cfg->PacketSizeInBytes <= minAllocatedDataLength";
        QTest::newRow("update: no bandwidth")
            << true << 100 << 0
            << "Assertion failed. Following expression is false: cfg->TargetBandwidthBitsPerSecond > 0";
        QTest::newRow("update: too many packets per tick")
            << true << 24 << 2147483647 << "invalid numberOfPacketsPerTick";
        QTest::newRow("new stream: size below 24")
            << false << 20 << 16000 << "UDP packet size is too small for Norvastelle format. Mimimum size is 24";
        QTest::newRow("new stream: no bandwidth") << false << 100 << 0 << "invalid targetBitsPerSecond";
    }
    void failingRecordStopsHandling()
    {
        QFETCH(bool, failsAsUpdateOfB);
        QFETCH(int, sizeBytes);
        QFETCH(int, bitsPerSecond);
        QFETCH(QString, error);
        UdpSender tab;
        TestReceiver a, b, c, d, e;
        SendConfig({Record(Loopback(), a.Port(), HundredPacketsPerSecond(100), 100),
                    Record(Loopback(), b.Port(), HundredPacketsPerSecond(100), 100, 4),
                    Record(Loopback(), c.Port(), HundredPacketsPerSecond(100), 100)});
        QCOMPARE(tab.Streams().size(), 3);
        UdpSenderThread* streamB = StreamTo(tab, b.Port());
        QVERIFY(streamB);
        const int tickMsB = streamB->TickMs();

        const int failingPort = failsAsUpdateOfB ? b.Port() : e.Port();
        SendConfig({Record(Loopback(), a.Port(), HundredPacketsPerSecond(150), 150),
                    Record(Loopback(), failingPort, bitsPerSecond, sizeBytes, 11),
                    Record(Loopback(), d.Port(), HundredPacketsPerSecond(100), 100)});
        QVERIFY2(NewestError().contains("] " + error + " @"), qPrintable(NewestError()));

        // The record before the failure took effect; the one after it did not start; no stream
        // was stopped; the stream whose update failed kept everything.
        QCOMPARE(tab.Streams().size(), 3);
        QCOMPARE(StreamTo(tab, a.Port())->PacketSize(), 150);
        QVERIFY(StreamTo(tab, c.Port()));
        QVERIFY(!StreamTo(tab, d.Port()));
        QVERIFY(!StreamTo(tab, e.Port()));
        QCOMPARE(StreamTo(tab, b.Port()), streamB);
        QCOMPARE(streamB->PacketSize(), 100);
        QCOMPARE(streamB->TickMs(), tickMsB);
        b.Drain();
        const int before = b.packets.size();
        QTRY_VERIFY(b.HasAtLeast(before + 2));
        QCOMPARE(b.packets.last().bytes.size(), 100);
        QCOMPARE(b.packets.last().MeasurementIntervalS(), uint16_t(4));
        QVERIFY(d.StaysQuiet());
    }

    // A document broken inside the list does not say which streams are wanted: nothing changes.
    void brokenDocumentChangesNothing()
    {
        UdpSender tab;
        TestReceiver a, b;
        SendConfig({Record(Loopback(), a.Port(), HundredPacketsPerSecond(100), 100)});
        UdpSenderThread* stream = tab.Streams().value(0);
        managerConnection->HandleResponseFromServer(
            ("<response><udpTxStreamsConfig>" + Record(Loopback(), b.Port(), HundredPacketsPerSecond(100), 100) +
             "<udpTxStreamConfig DestinationHost='")
                .toStdString());
        QVERIFY2(NewestError().contains(QLatin1String("Error parsing XML response from server: ")),
                 qPrintable(NewestError()));
        QCOMPARE(tab.Streams(), QList<UdpSenderThread*>{stream});
        QVERIFY(b.StaysQuiet());
    }

    // The dispatcher goes on from the token the handler stopped on.
    void dispatchContinuesAfterTheList()
    {
        UdpSender tab;
        TestReceiver a, b, c;
        const std::string document =
            ("<response><udpTxStreamsConfig>" + Record(Loopback(), a.Port(), HundredPacketsPerSecond(50), 50) +
             "</udpTxStreamsConfig><udpTxStreamsConfig>" +
             Record(Loopback(), a.Port(), HundredPacketsPerSecond(50), 50) +
             Record(Loopback(), b.Port(), HundredPacketsPerSecond(50), 50) + "</udpTxStreamsConfig></response>")
                .toStdString();
        managerConnection->HandleResponseFromServer(document);
        QCOMPARE(tab.Streams().size(), 2);
        UdpSenderThread* streamA = StreamTo(tab, a.Port());
        QVERIFY(streamA);

        // A comment ends the list: the record behind it is not part of the set, and the
        // dispatcher then meets it as an element of its own, which has no handler.
        managerConnection->HandleResponseFromServer(
            ("<response><udpTxStreamsConfig>" + Record(Loopback(), a.Port(), HundredPacketsPerSecond(50), 50) +
             "<!-- end -->" + Record(Loopback(), c.Port(), HundredPacketsPerSecond(50), 50) +
             "</udpTxStreamsConfig></response>")
                .toStdString());
        QCOMPARE(tab.Streams(), QList<UdpSenderThread*>{streamA});
        QVERIFY(GetRecentTrace(50, TraceLevelWarning)
                    .contains(QLatin1String("Client-side handler is not found for XML element 'udpTxStreamConfig'")));
    }

    // Two tab streams with the same destination and local port 0 both answer one record: the
    // first in list order is updated, and both are wanted.
    void firstMatchingStreamIsUpdated()
    {
        UdpSender tab;
        TestReceiver receiver;
        auto* sourcePort = Child<QLineEdit>(&tab, "sourcePort");
        Child<QLineEdit>(&tab, "destinationPort")->setText(QString::number(receiver.Port()));
        for (int i = 0; i < 2; ++i) {
            sourcePort->setText(QStringLiteral("0"));
            tab.on_startNewThread_clicked();
        }
        const QList<UdpSenderThread*> streams = tab.Streams();
        QCOMPARE(streams.size(), 2);
        SendConfig({Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(333), 333)});
        QCOMPARE(tab.Streams(), streams);
        QCOMPARE(streams.at(0)->PacketSize(), 333);
        QCOMPARE(streams.at(1)->PacketSize(), 192);
    }

    // A stream with a custom payload has a buffer of the payload's length only; a record that
    // matches it keeps it running as it is.
    void customPayloadStreamIsNotUpdated()
    {
        UdpSender tab;
        TestReceiver receiver;
        Child<QRadioButton>(&tab, "customUdpPayload")->setChecked(true);
        Child<QPlainTextEdit>(&tab, "udpPayload")->setPlainText(QStringLiteral("C0FFEE"));
        Child<QLineEdit>(&tab, "sourcePort")->setText(QStringLiteral("0"));
        Child<QLineEdit>(&tab, "destinationPort")->setText(QString::number(receiver.Port()));
        Child<QRadioButton>(&tab, "targetModeIsPacketsPerSecond")->setChecked(true);
        tab.on_startNewThread_clicked();
        QCOMPARE(tab.Streams().size(), 1);
        UdpSenderThread* stream = tab.Streams().first();
        QVERIFY(!stream->IsNorvastelleFormat());

        SendConfig({Record(Loopback(), receiver.Port(), 8000000, 10000, 60)});
        QCOMPARE(tab.Streams(), QList<UdpSenderThread*>{stream});
        QCOMPARE(stream->PacketSize(), 3);
        QCOMPARE(stream->TickMs(), 10);
        receiver.Drain();
        const int before = receiver.packets.size();
        QTRY_VERIFY(receiver.HasAtLeast(before + 3));
        for (int i = 0; i < receiver.packets.size(); ++i)
            QCOMPARE(receiver.packets.at(i).bytes, QByteArray::fromHex("C0FFEE"));

        // Handling goes on behind it, even with values that a Norvastelle stream would refuse.
        TestReceiver other;
        SendConfig({Record(Loopback(), receiver.Port(), 0, 5, 60),
                    Record(Loopback(), other.Port(), HundredPacketsPerSecond(100), 100)});
        QCOMPARE(tab.Streams().size(), 2);
        QCOMPARE(tab.Streams().first(), stream);
        QCOMPARE(stream->PacketSize(), 3);
        QTRY_VERIFY(other.HasAtLeast(1));
    }

    // ---- The tab's buttons and totals ----

    void startNewThreadAdvancesSourcePort()
    {
        UdpSender tab;
        TestReceiver receiver;
        const int port = FreePort();
        auto* sourcePort = Child<QLineEdit>(&tab, "sourcePort");
        sourcePort->setText(QString::number(port));
        Child<QLineEdit>(&tab, "destinationPort")->setText(QString::number(receiver.Port()));
        QTest::mouseClick(Child<QPushButton>(&tab, "startNewThread"), Qt::LeftButton);
        QCOMPARE(tab.Streams().size(), 1);
        QCOMPARE(sourcePort->text(), QString::number(port + 1));
        QCOMPARE(tab.Streams().first()->LocalPort(), port);
        QTRY_VERIFY(receiver.HasAtLeast(1));
        QCOMPARE(receiver.packets.first().SequenceNumber(), int64_t(0));
        QCOMPARE(receiver.packets.first().bytes.size(), 192);
        // The destination of the built stream is remembered for the next start.
        QCOMPARE(GetSettingsStringValue(UDPTX_UI_DestinationHost), QStringLiteral("127.0.0.1"));
        QCOMPARE(GetSettingsInt32Value(UDPTX_UI_DestinationPort), receiver.Port());
    }

    void failedStartShowsTheError_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("error");
        QTest::newRow("payload size 23")
            << "udpPayloadSize" << "23" << "UDP packet size is too small for Norvastelle format. Mimimum size is 24";
        QTest::newRow("bandwidth not a number") << "targetBandwidthPerThread" << "fast" << "invalid targetBitsPerSecond";
        QTest::newRow("bandwidth beyond 32 bits") << "targetBandwidthPerThread" << "2097152"
                                                  << "invalid targetBitsPerSecond";
        QTest::newRow("no addresses for the host") << "destinationAddress" << "no-such-host.invalid"
                                                   << "DNS lookup failed: ";
    }
    void failedStartShowsTheError()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, error);
        UdpSender tab;
        auto* sourcePort = Child<QLineEdit>(&tab, "sourcePort");
        sourcePort->setText(QStringLiteral("0"));
        Child<QLineEdit>(&tab, field.toLatin1().constData())->setText(value);
        MessageBoxCatcher catcher;
        QTest::mouseClick(Child<QPushButton>(&tab, "startNewThread"), Qt::LeftButton);
        QCOMPARE(catcher.seen, 1);
        QCOMPARE(catcher.title, QStringLiteral("Error"));
        if (error.endsWith(QLatin1String(": ")))
            QVERIFY2(catcher.text.startsWith(error), qPrintable(catcher.text));
        else
            QCOMPARE(catcher.text, error);
        QCOMPARE(tab.Streams().size(), 0);
        QCOMPARE(sourcePort->text(), QStringLiteral("0"));

        // The same form fails the same way for a single packet.
        QTest::mouseClick(Child<QPushButton>(&tab, "sendSinglePacket"), Qt::LeftButton);
        QCOMPARE(catcher.seen, 2);
    }

    void sendSinglePacket_data()
    {
        QTest::addColumn<bool>("custom");
        QTest::addColumn<QString>("size");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("formatId");
        QTest::newRow("192 bytes: long header") << false << "192" << 192 << 0xABC1;
        QTest::newRow("24 bytes: not lengthened") << false << "24" << 24 << 0xABC2;
        QTest::newRow("47 bytes: short header") << false << "47" << 47 << 0xABC2;
        QTest::newRow("custom payload: sent as typed") << true << "" << 15 << 0x0201;
    }
    void sendSinglePacket()
    {
        QFETCH(bool, custom);
        QFETCH(QString, size);
        QFETCH(int, length);
        QFETCH(int, formatId);
        UdpSender tab;
        TestReceiver receiver;
        const int port = FreePort();
        Child<QLineEdit>(&tab, "sourcePort")->setText(QString::number(port));
        Child<QLineEdit>(&tab, "destinationPort")->setText(QString::number(receiver.Port()));
        Child<QRadioButton>(&tab, custom ? "customUdpPayload" : "norvastelleUdpPayload")->setChecked(true);
        Child<QLineEdit>(&tab, "udpPayloadSize")->setText(size);
        auto* button = Child<QPushButton>(&tab, "sendSinglePacket");
        // Each click binds the same source port afresh and sends one packet numbered 0.
        for (int click = 1; click <= 2; ++click) {
            QTest::mouseClick(button, Qt::LeftButton);
            QTRY_VERIFY(receiver.HasAtLeast(click));
            const Packet& packet = receiver.packets.last();
            QCOMPARE(packet.bytes.size(), length);
            QCOMPARE(int(packet.FormatId()), formatId);
            if (custom)
                QCOMPARE(packet.bytes, QByteArray::fromHex("0102030405060708090A0B0C0D0E0F"));
            else
                QCOMPARE(packet.SequenceNumber(), int64_t(0));
            QCOMPARE(receiver.socket.hasPendingDatagrams(), false);
        }
        QCOMPARE(tab.Streams().size(), 0);
        QVERIFY(receiver.StaysQuiet());
        QCOMPARE(receiver.packets.size(), 2);
    }

    void stopAllThreads()
    {
        UdpSender tab;
        TestReceiver receiver;
        Child<QLineEdit>(&tab, "sourcePort")->setText(QStringLiteral("0"));
        Child<QLineEdit>(&tab, "destinationPort")->setText(QString::number(receiver.Port()));
        auto* start = Child<QPushButton>(&tab, "startNewThread");
        QTest::mouseClick(start, Qt::LeftButton);
        Child<QLineEdit>(&tab, "sourcePort")->setText(QStringLiteral("0"));
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(tab.Streams().size(), 2);
        QCOMPARE(tab.getUxReport(), QByteArray("2 streams"));
        QTRY_VERIFY(receiver.HasAtLeast(4));
        QTest::mouseClick(Child<QPushButton>(&tab, "stopAllThreads"), Qt::LeftButton);
        QCOMPARE(tab.Streams().size(), 0);
        QCOMPARE(tab.getUxReport(), QByteArray());
        QVERIFY(receiver.StaysQuiet());
    }

    // The totals sum the running streams' counters; stopped streams leave them at once.
    void totalsAfterRefresh()
    {
        UdpSender tab;
        TestReceiver a, b;
        // One 100-byte packet a second and ten 50-byte packets a second.
        SendConfig({Record(Loopback(), a.Port(), 800, 100), Record(Loopback(), b.Port(), 4000, 50)});
        QCOMPARE(tab.Streams().size(), 2);
        QTRY_VERIFY(a.HasAtLeast(2) && b.HasAtLeast(5));
        auto* bandwidth = Child<QLabel>(&tab, "currentTotalBandwidth");
        auto* total = Child<QLabel>(&tab, "currentTotalSize");
        // Counters move while the streams send; a refresh that fell between two sends is tried again.
        const auto refreshMatchesCounters = [&] {
            double bitsPerSecond = 0, packetsPerSecond = 0;
            uint64_t bytes = 0, packets = 0;
            for (const UdpSenderThread* stream : tab.Streams()) {
                bitsPerSecond += stream->CurrentBitsPerSecond();
                packetsPerSecond += stream->CurrentPacketsPerSecond();
                bytes += stream->BytesSent();
                packets += stream->PacketsSent();
            }
            tab.RefreshUI();
            return bandwidth->text() == QStringLiteral("%1, %2 packets/sec, %3B total")
                                           .arg(FormatBps(bitsPerSecond), FormatKMG(packetsPerSecond),
                                                FormatKMG(double(bytes))) &&
                   total->text() == QStringLiteral("%1 bytes, %2 packets").arg(FormatKMG(double(bytes))).arg(packets) &&
                   packets >= uint64_t(a.packets.size() + b.packets.size()) &&
                   bytes == 100 * uint64_t(StreamTo(tab, a.Port())->PacketsSent()) +
                                50 * uint64_t(StreamTo(tab, b.Port())->PacketsSent());
        };
        QTRY_VERIFY2(refreshMatchesCounters(),
                     qPrintable(bandwidth->text() + QStringLiteral(" / ") + total->text()));
        QVERIFY2(!bandwidth->text().startsWith(QLatin1String("0bps")), qPrintable(bandwidth->text()));

        tab.on_stopAllThreads_clicked();
        tab.RefreshUI();
        QCOMPARE(bandwidth->text(), QStringLiteral("0bps, 0 packets/sec, 0B total"));
        QCOMPARE(total->text(), QStringLiteral("0 bytes, 0 packets"));
    }

    void refreshTimerFillsTheTotals()
    {
        UdpSender tab;
        auto* total = Child<QLabel>(&tab, "currentTotalSize");
        QCOMPARE(total->text(), QString());
        QTRY_COMPARE(total->text(), QStringLiteral("0 bytes, 0 packets"));
    }

    void destructorStopsStreamsAndLeavesTheHandlerSlot()
    {
        TestReceiver receiver;
        {
            UdpSender tab;
            SendConfig({Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(100), 100)});
            QTRY_VERIFY(receiver.HasAtLeast(2));
        }
        QVERIFY(receiver.StaysQuiet());
        // No tab: the signal has no handler any more, and nothing is started.
        const QString noHandler =
            QStringLiteral("Client-side handler is not found for XML element 'udpTxStreamsConfig'");
        const int warningsBefore = GetRecentTrace(400, TraceLevelWarning).count(noHandler);
        SendConfig({Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(100), 100)});
        QVERIFY2(GetRecentTrace(400, TraceLevelWarning).count(noHandler) == warningsBefore + 1,
                 qPrintable(GetRecentTrace(400, TraceLevelWarning)));
        QVERIFY(receiver.StaysQuiet());
    }

    // A newer tab keeps its registration when an older one goes away.
    void newerTabKeepsTheRegistration()
    {
        TestReceiver receiver;
        auto* older = new UdpSender;
        UdpSender newer;
        delete older;
        SendConfig({Record(Loopback(), receiver.Port(), HundredPacketsPerSecond(100), 100)});
        QCOMPARE(newer.Streams().size(), 1);
    }
};

QTEST_MAIN(Tst_UdpSender)
#include "tst_udpsender.moc"
