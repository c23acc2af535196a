#include "sender/testpacket.h"

#include <QHostAddress>
#include <QtTest>
#include <vector>

// The test packet header as bytes on the wire: what a stream writes and what a receiver reads.
class Tst_testpacket : public QObject
{
    Q_OBJECT

private:
    static QByteArray Bytes(const std::vector<uint8_t>& packet, int offset, int count)
    {
        return QByteArray(reinterpret_cast<const char*>(packet.data()) + offset, count);
    }

private slots:
    void formatIdByDatagramLength_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QByteArray>("formatIdOnWire");
        QTest::addColumn<bool>("hasLongHeader");
        QTest::newRow("smallest packet, 24 bytes") << 24 << QByteArray("\xC2\xAB") << false;
        QTest::newRow("47 bytes: filler, no long header") << 47 << QByteArray("\xC2\xAB") << false;
        QTest::newRow("48 bytes: complete long header") << 48 << QByteArray("\xC1\xAB") << true;
        QTest::newRow("1400 bytes") << 1400 << QByteArray("\xC1\xAB") << true;
    }
    void formatIdByDatagramLength()
    {
        QFETCH(int, length);
        QFETCH(QByteArray, formatIdOnWire);
        QFETCH(bool, hasLongHeader);

        std::vector<uint8_t> packet(static_cast<size_t>(length), 0);
        if (length >= TestPacket::LongHeaderBytes) {
            TestPacket::WriteMeasurementInterval(packet.data(), 30);
            TestPacket::WriteRunId(packet.data(), QUuid(QStringLiteral("{00112233-4455-6677-8899-aabbccddeeff}")));
            TestPacket::WriteDestinationIpv4(packet.data(), QHostAddress(QStringLiteral("192.0.2.7")).toIPv4Address());
        }
        TestPacket::WriteSequenceAndTime(packet.data(), 0x0102030405060708LL, -5);
        TestPacket::WriteFormatId(packet.data(), length);

        QCOMPARE(Bytes(packet, 0, 2), formatIdOnWire);
        QCOMPARE(Bytes(packet, 8, 8), QByteArray("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
        QCOMPARE(Bytes(packet, 16, 8), QByteArray("\xFB\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8));

        const TestPacket::Header header = TestPacket::Read(packet.data(), length);
        QVERIFY(header.isTestPacket);
        QCOMPARE(header.hasLongHeader, hasLongHeader);
        QCOMPARE(header.sequenceNumber, 0x0102030405060708LL);
        QCOMPARE(header.sendTimeNs, -5LL);
        if (hasLongHeader) {
            QCOMPARE(header.measurementIntervalS, uint16_t(30));
            QCOMPARE(header.runId, QUuid(QStringLiteral("{00112233-4455-6677-8899-aabbccddeeff}")));
            QCOMPARE(QHostAddress(header.destinationIpv4), QHostAddress(QStringLiteral("192.0.2.7")));
        } else {
            QCOMPARE(header.measurementIntervalS, uint16_t(0));
            QVERIFY(header.runId.isNull());
            QCOMPARE(header.destinationIpv4, 0u);
        }
    }

    void longDatagramWithShortFormatIdReadsShortHeaderOnly()
    {
        std::vector<uint8_t> packet(100, 0xEE);
        TestPacket::WriteSequenceAndTime(packet.data(), 42, 1000);
        TestPacket::WriteFormatId(packet.data(), 24); // a sender that marks only a short header
        const TestPacket::Header header = TestPacket::Read(packet.data(), 100);
        QVERIFY(header.isTestPacket);
        QVERIFY(!header.hasLongHeader);
        QCOMPARE(header.sequenceNumber, 42LL);
        QCOMPARE(header.destinationIpv4, 0u);
        QVERIFY(header.runId.isNull());
    }

    void notTestPackets_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::newRow("23 bytes with a valid id") << QByteArray("\xC2\xAB", 2) + QByteArray(21, '\0');
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("other format id") << QByteArray("\xC3\xAB", 2) + QByteArray(46, '\0');
        QTest::newRow("id in network byte order") << QByteArray("\xAB\xC1", 2) + QByteArray(46, '\0');
    }
    void notTestPackets()
    {
        QFETCH(QByteArray, datagram);
        const TestPacket::Header header =
            TestPacket::Read(reinterpret_cast<const uint8_t*>(datagram.constData()), datagram.size());
        QVERIFY(!header.isTestPacket);
        QVERIFY(!header.hasLongHeader);
    }

    void runIdInRfc4122ByteOrder()
    {
        std::vector<uint8_t> packet(48, 0xEE);
        TestPacket::WriteRunId(packet.data(), QUuid(QStringLiteral("00112233-4455-6677-8899-aabbccddeeff")));
        QCOMPARE(Bytes(packet, 26, 16), QByteArray::fromHex("00112233445566778899aabbccddeeff"));
        QCOMPARE(Bytes(packet, 24, 2), QByteArray("\xEE\xEE")); // neighbours untouched
        QCOMPARE(Bytes(packet, 42, 2), QByteArray("\xEE\xEE"));

        TestPacket::WriteRunId(packet.data(), QUuid());
        QCOMPARE(Bytes(packet, 26, 16), QByteArray(16, '\0'));
    }

    void destinationAddressByteOrder_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("bytes44to47");
        QTest::newRow("192.0.2.7: first octet last") << "192.0.2.7" << QByteArray("\x07\x02\x00\xC0", 4);
        QTest::newRow("127.0.0.1") << "127.0.0.1" << QByteArray("\x01\x00\x00\x7F", 4);
        QTest::newRow("IPv6 gives 0") << "::1" << QByteArray(4, '\0');
    }
    void destinationAddressByteOrder()
    {
        QFETCH(QString, address);
        QFETCH(QByteArray, bytes44to47);
        const QHostAddress host(address);
        const uint32_t ipv4 = host.protocol() == QAbstractSocket::IPv4Protocol ? host.toIPv4Address() : 0;
        std::vector<uint8_t> packet(48, 0xEE);
        TestPacket::WriteDestinationIpv4(packet.data(), ipv4);
        QCOMPARE(Bytes(packet, 44, 4), bytes44to47);
    }

    void measurementIntervalKeepsLow16Bits()
    {
        std::vector<uint8_t> packet(48, 0xEE);
        TestPacket::WriteMeasurementInterval(packet.data(), 0x12345);
        QCOMPARE(Bytes(packet, 24, 2), QByteArray("\x45\x23"));
        QCOMPARE(Bytes(packet, 26, 1), QByteArray("\xEE"));
    }
};

QTEST_GUILESS_MAIN(Tst_testpacket)
#include "tst_testpacket.moc"
