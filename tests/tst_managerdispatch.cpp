#include "core/common.h"
#include "core/isignalhandler.h"
#include "core/logging.h"
#include "manager/managerconnection.h"
#include "settings/settings.h"

#include <QXmlStreamReader>
#include <QtTest>

namespace {

// Records what it was handed; optionally reads through its element or throws.
class RecordingHandler : public ISignalHandler
{
public:
    enum Mode { AttributesOnly, ReadsToEnd, Throws };
    explicit RecordingHandler(Mode mode) : mode(mode) {}

    void HandleSignal(QXmlStreamReader* reader, bool* handled) override
    {
        if (*handled)
            seenHandledTrue = true;
        calls << reader->name().toString() + QLatin1Char(':') +
                     reader->attributes().value(QLatin1String("N")).toString();
        if (mode == Throws)
            throw std::runtime_error("handler refused the signal");
        if (mode == ReadsToEnd) {
            reader->skipCurrentElement();
            *handled = true;
        }
    }

    Mode mode;
    QStringList calls;
    bool seenHandledTrue = false;
};

QString Listing(int count, TraceLevel level)
{
    return GetRecentTrace(count, level);
}

} // namespace

// Parsing and dispatch of response documents, without a network.
class Tst_ManagerDispatch : public QObject
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

    void signalsInDocumentOrder()
    {
        TRACE_TEXT(ModuleGUI, TraceLevelError, "marker");
        RecordingHandler tx(RecordingHandler::AttributesOnly);
        RecordingHandler rx(RecordingHandler::ReadsToEnd);
        managerConnection->RegisterSignalHandler(QStringLiteral("udpTxStreamsConfig"), &tx);
        managerConnection->RegisterSignalHandler(QStringLiteral("udpRxStreamsConfig"), &rx);
        managerConnection->HandleResponseFromServer(std::string(
            "<?xml version='1.0'?><response>"
            "<udpTxStreamsConfig N='1'/>"
            "<unknownSignal N='2'/>"
            "<udpRxStreamsConfig N='3'><udpRxStreamConfig N='inner'/></udpRxStreamsConfig>"
            "<udpTxStreamsConfig N='4'><udpTxStreamsConfig N='child'/></udpTxStreamsConfig>"
            "</response>") + '\0' + "ignored after the zero byte");
        // A handler that reads only attributes leaves its children to the dispatcher.
        QCOMPARE(tx.calls, (QStringList{"udpTxStreamsConfig:1", "udpTxStreamsConfig:4",
                                        "udpTxStreamsConfig:child"}));
        QCOMPARE(rx.calls, QStringList{"udpRxStreamsConfig:3"});
        QVERIFY(!tx.seenHandledTrue && !rx.seenHandledTrue);
        // A well-formed document leaves no error behind.
        const QString newestError = GetRecentTrace(50, TraceLevelError).section(QStringLiteral("\r\n"), 0, 0);
        QVERIFY2(newestError.contains(QStringLiteral("marker")), qPrintable(newestError));
        QVERIFY2(Listing(30, TraceLevelWarning)
                     .contains(QStringLiteral("Client-side handler is not found for XML element 'unknownSignal'")),
                 qPrintable(Listing(30, TraceLevelWarning)));
    }

    // A handler going away removes only its own entry, not one that replaced it.
    void unregisteringKeepsANewerHandler()
    {
        RecordingHandler older(RecordingHandler::AttributesOnly);
        RecordingHandler newer(RecordingHandler::AttributesOnly);
        managerConnection->RegisterSignalHandler(QStringLiteral("sig"), &older);
        managerConnection->RegisterSignalHandler(QStringLiteral("sig"), &newer);
        managerConnection->UnregisterSignalHandler(QStringLiteral("sig"), &older);
        managerConnection->HandleResponseFromServer("<r><sig N='1'/></r>");
        QCOMPARE(newer.calls, QStringList{"sig:1"});
        managerConnection->UnregisterSignalHandler(QStringLiteral("sig"), &newer);
        managerConnection->HandleResponseFromServer("<r><sig N='2'/></r>");
        QCOMPARE(newer.calls, QStringList{"sig:1"});
        QVERIFY(Listing(5, TraceLevelWarning)
                    .contains(QStringLiteral("Client-side handler is not found for XML element 'sig'")));
        QVERIFY(older.calls.isEmpty());
    }

    void failureAbandonsTheRest()
    {
        RecordingHandler first(RecordingHandler::AttributesOnly);
        RecordingHandler failing(RecordingHandler::Throws);
        managerConnection->RegisterSignalHandler(QStringLiteral("first"), &first);
        managerConnection->RegisterSignalHandler(QStringLiteral("failing"), &failing);
        managerConnection->HandleResponseFromServer(
            "<r><first N='1'/><failing N='2'/><first N='3'/></r>");
        QCOMPARE(first.calls, QStringList{"first:1"});
        QVERIFY(Listing(10, TraceLevelError).contains(QStringLiteral("handler refused the signal")));
    }

    void documentErrors_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("error");
        QTest::newRow("empty") << QByteArray()
                               << "Assertion failed. Following expression is false: reader.isStartDocument()";
        QTest::newRow("text only") << QByteArray("hello")
                                   << "Assertion failed. Following expression is false: reader.readNextStartElement()";
        QTest::newRow("no root") << QByteArray("<?xml version='1.0'?>")
                                 << "Assertion failed. Following expression is false: reader.readNextStartElement()";
        QTest::newRow("truncated") << QByteArray("<response><first N='1'/><fir")
                                   << "Error parsing XML response from server: ";
    }
    void documentErrors()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, error);
        RecordingHandler first(RecordingHandler::AttributesOnly);
        managerConnection->RegisterSignalHandler(QStringLiteral("first"), &first);
        TRACE_TEXT(ModuleGUI, TraceLevelError, "marker");
        managerConnection->HandleResponseFromServer(document.toStdString());
        const QString newest = Listing(1, TraceLevelError);
        QVERIFY2(newest.contains(QStringLiteral("ManagerC] ") + error), qPrintable(newest));
        if (document.contains("first"))
            QCOMPARE(first.calls, QStringList{"first:1"}); // signals before the fault keep their effect
    }

    // pingResponse and badLogin are answered by the connection itself.
    void loginStateFromResponses()
    {
        QCOMPARE(managerConnection->getStatus(), QStringLiteral("connecting..."));
        managerConnection->HandleResponseFromServer(
            "<r><badLogin MinimalGuiStatus='wrong password'/></r>");
        QCOMPARE(managerConnection->minimalGuiStatusText, QStringLiteral("wrong password"));
        QVERIFY(managerConnection->GetCurrentRunId().isEmpty());

        managerConnection->HandleResponseFromServer(
            "<r><pingResponse CurrentRunId='6f1c' PingPeriodS='30' MinimalGuiStatus='Lab &amp; co'/></r>");
        QCOMPARE(managerConnection->GetCurrentRunId(), QStringLiteral("6f1c"));
        QCOMPARE(managerConnection->minimalGuiStatusText, QStringLiteral("Lab & co"));
        QVERIFY2(managerConnection->getStatus().startsWith(QStringLiteral("last ping response ")) &&
                     managerConnection->getStatus().endsWith(QStringLiteral("/30 seconds ago")),
                 qPrintable(managerConnection->getStatus()));
        QVERIFY(managerConnection->BuildRunPing().find("CurrentRunId='6f1c'") != std::string::npos);

        managerConnection->HandleResponseFromServer("<r><pingResponse/></r>");
        QVERIFY(managerConnection->GetCurrentRunId().isEmpty());
    }

    void disabledStatusWins()
    {
        managerConnection->setEnabled(false);
        QCOMPARE(managerConnection->getStatus(), QStringLiteral("disabled"));
        QCOMPARE(GetSettingsInt32Value(TestManager_DisableConnection), 1);
        managerConnection->setEnabled(true);
        QCOMPARE(GetSettingsInt32Value(TestManager_DisableConnection), 0);
    }
};

QTEST_GUILESS_MAIN(Tst_ManagerDispatch)
#include "tst_managerdispatch.moc"
