#include "core/common.h"
#include "core/exception.h"
#include "core/logging.h"
#include "manager/cryptoprocedures.h"
#include "manager/frames.h"
#include "manager/managerconnection.h"

#include <QtEndian>
#include <QtTest>
#include <crypto++/cryptlib.h>

namespace {

QByteArray Chunk(char flag, qint32 length, const QByteArray& payload)
{
    QByteArray chunk(1, flag);
    char le[4];
    qToLittleEndian<qint32>(length, le);
    chunk.append(le, 4);
    return chunk + payload;
}

} // namespace

// The byte layouts of the test manager protocol and the texts built for it.
class Tst_Frames : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
    }

    void plainRequestFrame()
    {
        const QByteArray frame = BuildRequestFrame("<udpRxObservation A='1' />", false);
        const QByteArray text("<request><udpRxObservation A='1' /></request>");
        QCOMPARE(qFromLittleEndian<qint32>(frame.constData()), qint32(text.size()));
        QCOMPARE(frame.at(4), '\0');
        QCOMPARE(frame.mid(5), text);
    }

    void sealedRequestFrame()
    {
        const std::string ping = "<pingRequest CurrentRunId='x' DelaysReportHtml='' />";
        const QByteArray frame = BuildRequestFrame(ping, true);
        const qint32 length = qFromLittleEndian<qint32>(frame.constData());
        QCOMPARE(length % 16, 0);
        QCOMPARE(frame.at(4), '\1');
        QCOMPARE(frame.size(), 5 + length);
        QCOMPARE(QByteArray::fromStdString(D2(frame.mid(5).toStdString())),
                 QByteArray("<request>" + QByteArray::fromStdString(ping) + "</request>") + '\0');
        const RequestFrame decoded = DecodeRequestFrame(frame);
        QVERIFY(decoded.sealed);
        QCOMPARE(decoded.text, WrapSignal(ping));
    }

    // A long signal (a delay report of many streams) is framed whole, not cut at 4095 characters.
    void longSignalIsNotCut()
    {
        const std::string report(10000, 'r');
        const std::string ping = "<pingRequest CurrentRunId='x' DelaysReportHtml='" + report + "' />";
        QCOMPARE(DecodeRequestFrame(BuildRequestFrame(ping, true)).text, WrapSignal(ping));
        QCOMPARE(DecodeRequestFrame(BuildRequestFrame(ping, false)).text, WrapSignal(ping));
    }

    void responseChunks_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("error");
        const QByteArray doc("<response><pingResponse CurrentRunId='r' /></response>");
        QTest::newRow("plain") << Chunk(0, doc.size(), doc) << doc << QString();
        QTest::newRow("trailing bytes ignored") << Chunk(0, doc.size(), doc + "garbage") << doc << QString();
        QTest::newRow("sealed, any non-zero flag")
            << Chunk(7, 64, QByteArray::fromStdString(E2(doc.toStdString())).left(64))
            << QByteArray() << QString(); // checked below by opening
        QTest::newRow("length 0 passes the chunk checks") << Chunk(0, 0, "x") << QByteArray() << QString();
        QTest::newRow("5 bytes") << Chunk(0, 0, QByteArray()) << QByteArray()
                                 << "Assertion failed. Following expression is false: remainingSize > 5";
        QTest::newRow("empty body") << QByteArray() << QByteArray()
                                    << "Assertion failed. Following expression is false: remainingSize > 5";
        QTest::newRow("length beyond body") << Chunk(0, doc.size() + 1, doc) << QByteArray()
                                            << "Assertion failed. Following expression is false: remainingSize >= chunkDataSize";
        QTest::newRow("negative length") << Chunk(0, -1, doc) << QByteArray()
                                         << "Assertion failed. Following expression is false: remainingSize >= chunkDataSize";
    }
    void responseChunks()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, payload);
        QFETCH(QString, error);
        try {
            const std::string decoded = DecodeResponseChunk(body);
            QVERIFY2(error.isEmpty(), "an error was expected");
            if (body.at(0) != 0)
                QVERIFY(QByteArray::fromStdString(decoded).startsWith("<response>"));
            else
                QCOMPARE(QByteArray::fromStdString(decoded), payload);
        } catch (const Exception& e) {
            QCOMPARE(QString::fromLatin1(e.what()), error);
        }
    }

    void badSealIsRefused()
    {
        QVERIFY_EXCEPTION_THROWN(DecodeResponseChunk(Chunk(1, 17, QByteArray(17, 'x'))),
                                 CryptoPP::Exception);
    }

    void responseChunkRoundTrip()
    {
        const std::string doc = "<response><badLogin MinimalGuiStatus='no' /></response>";
        QCOMPARE(DecodeResponseChunk(BuildResponseChunk(doc, false)), doc);
        QCOMPARE(DecodeResponseChunk(BuildResponseChunk(doc, true)), doc + '\0');
    }

    void escapeXml()
    {
        QCOMPARE(EscapeXml("a&b<c>d'e\"f"), std::string("a&amp;b&lt;c&gt;d&apos;e&quot;f"));
        QCOMPARE(EscapeXml("plain"), std::string("plain"));
    }

    void maskPassword_data()
    {
        QTest::addColumn<QString>("signal");
        QTest::addColumn<QString>("shown");
        QTest::newRow("login ping") << "<pingRequest UserId='u' Password='s&apos;cret' AuthTokenForFileName='' />"
                                    << "<pingRequest UserId='u' Password='***' AuthTokenForFileName='' />";
        QTest::newRow("empty password") << "<pingRequest Password='' />" << "<pingRequest Password='' />";
        QTest::newRow("no password") << "<pingRequest CurrentRunId='r' />" << "<pingRequest CurrentRunId='r' />";
    }
    void maskPassword()
    {
        QFETCH(QString, signal);
        QFETCH(QString, shown);
        QCOMPARE(QString::fromStdString(MaskPassword(signal.toStdString())), shown);
    }

    void parameterFromFileName_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("parameter");
        QTest::addColumn<QString>("value");
        QTest::newRow("token before .exe") << "C:\\agents\\Agent-tokenAB12.exe" << "token" << "AB12";
        QTest::newRow("copy number") << "/opt/Agent-tokenAB12 (2).exe" << "token" << "AB12";
        QTest::newRow("parenthesis") << "/opt/Agent-tokenAB12(2)" << "token" << "AB12";
        QTest::newRow("bare") << "/opt/NorvastelleRavidadIrerod-host127.0.0.1:18080" << "host" << "127.0.0.1:18080";
        QTest::newRow("second of two") << "/opt/Agent-host10.0.0.1:80-tokenT" << "token" << "T";
        QTest::newRow("capital T") << "/opt/Agent-TokenAB12" << "token" << "";
        QTest::newRow("no dash piece") << "/opt/tokenAB12" << "token" << "AB12";
        QTest::newRow("none") << "/opt/NorvastelleRavidadIrerod" << "token" << "";
        QTest::newRow("dash in folder only") << "/opt/my-tokenX/Agent" << "token" << "";
        QTest::newRow("empty value") << "/opt/Agent-token" << "token" << "";
    }
    void parameterFromFileName()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, parameter);
        QFETCH(QString, value);
        QCOMPARE(GetParameterFromFileName(fileName, parameter), value);
    }

    void feedbackTextsAreEscaped()
    {
        QCOMPARE(BuildFeedbackXml("good", QStringLiteral("fast & <small>"), QStringLiteral("it's"),
                                  QStringLiteral("a@b.c")),
                 std::string("<feedback rating='good' email='a@b.c'><whatYouLike>fast &amp; &lt;small&gt;"
                             "</whatYouLike><whatNeedsToBeImproved>it&apos;s</whatNeedsToBeImproved></feedback>"));
    }
};

QTEST_GUILESS_MAIN(Tst_Frames)
#include "tst_frames.moc"
