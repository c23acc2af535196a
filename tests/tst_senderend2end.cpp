// End to end: the stand-in test manager configures a sender stream in a real agent process, and
// a socket of the test checks the test packets that arrive; a later empty configuration stops it.

#include "core/common.h"
#include "core/logging.h"
#include "settings/settings.h"
#include "agentprocess.h"
#include "standin.h"

#include <QJsonArray>
#include <QUdpSocket>
#include <QUuid>

#include <cstring>

namespace {

const char* const token = "E2ESENDER7";

template <typename T>
T ReadLittleEndian(const QByteArray& bytes, int offset)
{
    T value{};
    std::memcpy(&value, bytes.constData() + offset, sizeof(T));
    return value;
}

} // namespace

class Tst_SenderEnd2End : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
    }

    void managerConfiguresAndStopsAStream()
    {
        QUdpSocket receiver;
        QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
        const int packetSizeBytes = 200;
        const int intervalS = 7;
        // Ten packets a second: 200 bytes every 100 ms.
        const QString streams =
            QStringLiteral("<udpTxStreamsConfig>\n  <udpTxStreamConfig DestinationHost='127.0.0.1' "
                           "DestinationPort='%1' TargetBandwidthBitsPerSecond='16000' PacketSizeInBytes='%2' "
                           "MeasurementsIntervalS='%3' LocalPort='0' EnableReceiver='false' />\n"
                           "</udpTxStreamsConfig>")
                .arg(receiver.localPort())
                .arg(packetSizeBytes)
                .arg(intervalS);
        const QJsonObject plan{
            {"accounts", QJsonArray{QJsonObject{{"token", token}}}},
            {"agents", QJsonArray{QJsonObject{
                           {"token", token},
                           {"pingPeriodS", 1},
                           {"signals", QJsonArray{QJsonObject{{"afterS", 0}, {"xml", streams}},
                                                  QJsonObject{{"afterS", 4}, {"xml", "<udpTxStreamsConfig />"}}}}}}},
        };
        StandInManager standIn;
        QVERIFY2(standIn.Start(plan), qPrintable(standIn.error));
        AgentProcess agent;
        QVERIFY(agent.Start(QStringLiteral("-token%1-host%2").arg(QLatin1String(token), standIn.address),
                            {{"UX_DontAskFeedback", 1}}));

        // The stream sends until the empty configuration stops it; collect everything it sent.
        QList<QByteArray> packets;
        const auto drain = [&] {
            while (receiver.hasPendingDatagrams()) {
                QByteArray datagram(static_cast<int>(qMax<qint64>(receiver.pendingDatagramSize(), 0)), '\0');
                const qint64 read = receiver.readDatagram(datagram.data(), datagram.size());
                if (read < 0)
                    break;
                datagram.resize(static_cast<int>(read));
                packets.append(datagram);
            }
        };
        const auto stopDelivered = [&] {
            int delivered = 0;
            for (const QJsonObject& record : standIn.Records()) {
                const QJsonArray signalNames = record.value("answer").toObject().value("delivered").toArray();
                for (const QJsonValue& name : signalNames)
                    delivered += name.toString() == QLatin1String("udpTxStreamsConfig") ? 1 : 0;
            }
            return delivered >= 2;
        };
        QTRY_VERIFY_WITH_TIMEOUT((drain(), packets.size() >= 5), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(stopDelivered(), 30000);
        // The agent handles the reply at its next tick, a second at most after it arrived.
        const auto quiet = [&] {
            drain();
            const int before = packets.size();
            QTest::qWait(500);
            drain();
            return packets.size() == before;
        };
        QTRY_VERIFY_WITH_TIMEOUT(quiet(), 15000);
        QVERIFY(quiet());

        const QList<QJsonObject> logins = standIn.RecordsOfKind("loginPing");
        QCOMPARE(logins.size(), 1);
        const QUuid runId(logins.first().value("answer").toObject().value("runId").toString());
        QVERIFY(!runId.isNull());

        // About four seconds at ten packets a second, consecutively numbered from 0.
        QVERIFY2(packets.size() >= 20, qPrintable(QString::number(packets.size())));
        for (int i = 0; i < packets.size(); ++i) {
            const QByteArray& packet = packets.at(i);
            const QString where = QStringLiteral("packet %1").arg(i);
            QVERIFY2(packet.size() == packetSizeBytes, qPrintable(where));
            QVERIFY2(ReadLittleEndian<uint16_t>(packet, 0) == 0xABC1, qPrintable(where));
            QVERIFY2(ReadLittleEndian<int64_t>(packet, 8) == i, qPrintable(where));
            QVERIFY2(ReadLittleEndian<uint16_t>(packet, 24) == intervalS, qPrintable(where));
            QVERIFY2(packet.mid(26, 16) == runId.toRfc4122(), qPrintable(where));
            QVERIFY2(ReadLittleEndian<uint32_t>(packet, 44) == 0x7F000001u, qPrintable(where));
            if (i > 0)
                QVERIFY2(ReadLittleEndian<int64_t>(packet, 16) > ReadLittleEndian<int64_t>(packets.at(i - 1), 16),
                         qPrintable(where));
        }
        QCOMPARE(agent.process.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(Tst_SenderEnd2End)
#include "tst_senderend2end.moc"
