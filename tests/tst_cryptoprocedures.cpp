#include "core/common.h"
#include "core/logging.h"
#include "manager/cryptoprocedures.h"

#include <QtTest>
#include <crypto++/cryptlib.h>

namespace {
QByteArray Hex(const std::string& bytes)
{
    return QByteArray::fromStdString(bytes).toHex();
}
std::string Bytes(const char* hex)
{
    return QByteArray::fromHex(hex).toStdString();
}
} // namespace

class Tst_CryptoProcedures : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
    }

    // Ciphertexts computed with an independent AES implementation.
    void knownAnswers()
    {
        QCOMPARE(Hex(E1("<uxTracking>starting</uxTracking>")),
                 QByteArray("982e7cbc14029268ea68aefea50bf8bf42cf7eb2c8a1733e3c3777c21eab31be"
                            "9e8eb71054b31c705735662dfa2f0acc"));
        QCOMPARE(Hex(E2("")), QByteArray("f2308f3126e7847bd4b74c3a1f9a43ab"));
        QCOMPARE(Hex(E2("<request><pingRequest CurrentRunId='x' DelaysReportHtml='' /></request>")),
                 QByteArray("b0669e92fac49ec6747cba526cb44ea3c2c47d4c95a9bbe1fb9268f04e9328f8"
                            "3af14723e78d0f4081427853d2356bbf1a9508d65e43ba52f8f0ea4510436091"
                            "7bd663f96453f431e1084db3e979bb14"));
        QCOMPARE(E3_base64("secret"), std::string("KQepWbVaEXB8TKyQJWDuxw=="));
    }

    void sealedLength_data()
    {
        QTest::addColumn<int>("textLength");
        QTest::addColumn<int>("sealedLength");
        QTest::newRow("empty") << 0 << 16;
        QTest::newRow("14 bytes") << 14 << 16;
        QTest::newRow("15 bytes") << 15 << 32;
        QTest::newRow("30 bytes") << 30 << 32;
        QTest::newRow("31 bytes") << 31 << 48;
    }
    void sealedLength()
    {
        QFETCH(int, textLength);
        QFETCH(int, sealedLength);
        const std::string text(static_cast<size_t>(textLength), 'a');
        QCOMPARE(int(E1(text).size()), sealedLength);
        QCOMPARE(int(E2(text).size()), sealedLength);
        QCOMPARE(int(E3(text).size()), sealedLength);
    }

    void openingGivesTextWithZeroByte()
    {
        const std::string text = "<response><pingResponse CurrentRunId='r' /></response>";
        QCOMPARE(D2(E2(text)), text + '\0');
        QCOMPARE(D3(E3(text)), text + '\0');
        QCOMPARE(D3_base64(E3_base64("pa'ss")), std::string("pa'ss") + '\0');
        QCOMPARE(E2(text), E2(text)); // fixed IV: same text, same bytes
    }

    void emptyBase64Forms()
    {
        QCOMPARE(E3_base64(""), std::string());
        QCOMPARE(D3_base64(""), std::string());
        const std::string sealed = E3_base64("short");
        QCOMPARE(int(sealed.size()), 24);
        QVERIFY(QByteArray::fromStdString(sealed).endsWith("=="));
    }

    void openingRejectsBadInput_data()
    {
        QTest::addColumn<QByteArray>("sealed");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("15 bytes") << QByteArray(15, 'x');
        QTest::newRow("17 bytes") << QByteArray(17, 'x');
        QByteArray badPadding = QByteArray::fromStdString(E2("a text of some length"));
        badPadding[badPadding.size() - 1] = static_cast<char>(badPadding.back() ^ 0x5a);
        QTest::newRow("last byte changed") << badPadding;
    }
    void openingRejectsBadInput()
    {
        QFETCH(QByteArray, sealed);
        QVERIFY_EXCEPTION_THROWN(D2(sealed.toStdString()), CryptoPP::Exception);
        QVERIFY_EXCEPTION_THROWN(D3(sealed.toStdString()), CryptoPP::Exception);
    }

    void base64_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("encodesBack"); // the bytes encode to exactly this text
        QTest::newRow("three bytes") << QByteArray("YWJj") << QByteArray("abc") << true;
        QTest::newRow("padding") << QByteArray("YWI=") << QByteArray("ab") << true;
        QTest::newRow("stops at a blank") << QByteArray("YWJj YWJj") << QByteArray("abc") << false;
        QTest::newRow("one left over") << QByteArray("YWJjY") << QByteArray("abc") << false;
        QTest::newRow("two left over") << QByteArray("YWJjYQ") << QByteArray("abca") << false;
        QTest::newRow("all byte values") << QByteArray("AP8Afw==") << QByteArray::fromHex("00ff007f") << true;
    }
    void base64()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, encodesBack);
        QCOMPARE(QByteArray::fromStdString(base64_decode(text.toStdString())), bytes);
        if (encodesBack) {
            const std::string encoded = base64_encode(
                reinterpret_cast<const unsigned char*>(bytes.constData()), unsigned(bytes.size()));
            QCOMPARE(QByteArray::fromStdString(encoded), text);
        }
    }

    void sealingLeavesScopeRecords()
    {
        E2("x");
        const QString listing = GetRecentTrace(2, TraceLevelRoutine);
        QVERIFY2(listing.contains(QStringLiteral("CP] << @E2")) &&
                     listing.contains(QStringLiteral("CP] >> @E2")),
                 qPrintable(listing));
    }
};

QTEST_GUILESS_MAIN(Tst_CryptoProcedures)
#include "tst_cryptoprocedures.moc"
