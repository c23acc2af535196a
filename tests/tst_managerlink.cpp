// The manager connection against the real stand-in test manager on loopback: login and run
// pings, signals reaching handlers, refused logins, damaged replies, queued signals, time-outs,
// usage reports and feedback.

#include "core/common.h"
#include "core/isignalhandler.h"
#include "core/logging.h"
#include "manager/cryptoprocedures.h"
#include "manager/managerconnection.h"
#include "settings/settings.h"
#include "standin.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QXmlStreamReader>
#include <thread>

namespace {

class RecordingHandler : public ISignalHandler
{
public:
    void HandleSignal(QXmlStreamReader* reader, bool*) override
    {
        calls << reader->attributes().value(QLatin1String("N")).toString();
    }
    QStringList calls;
};

QJsonObject Signal(double afterS, const QString& xml)
{
    return QJsonObject{{"afterS", afterS}, {"xml", xml}};
}

QJsonObject Broken(double afterS, const QString& kind)
{
    return QJsonObject{{"afterS", afterS}, {"brokenReply", kind}};
}

QJsonObject PlanFor(const QString& userId, const QString& password, int pingPeriodS,
                    const QJsonArray& signalItems)
{
    return QJsonObject{
        {"badLoginStatus", "Bad credentials, try again"},
        {"accounts", QJsonArray{QJsonObject{{"userId", userId}, {"password", password}}}},
        {"agents", QJsonArray{QJsonObject{{"userId", userId},
                                          {"pingPeriodS", pingPeriodS},
                                          {"minimalGuiStatus", "lab agent"},
                                          {"signals", signalItems}}}},
    };
}

void StoreCredentials(const QString& userId, const QString& password, const QString& agentId)
{
    SaveSettingsValue(TestManager_UserId, userId);
    SaveSettingsValue(TestManager_Password, QString::fromLatin1(E3_base64(password.toStdString()).c_str()));
    SaveSettingsValue(TestManager_UserDefinedAgentId, agentId);
}

double SecondsBetween(const QJsonObject& earlier, const QJsonObject& later)
{
    return StandInManager::Time(earlier).msecsTo(StandInManager::Time(later)) / 1000.0;
}

} // namespace

class Tst_ManagerLink : public QObject
{
    Q_OBJECT

    // Ticks faster than the main window's 1 s, so that tests wait less; the schedule itself
    // is counted in elapsed time, not in ticks.
    QTimer ticker;

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
        QFile::remove(GetSettingsFileName());
        InitializeSettings();
        connect(&ticker, &QTimer::timeout, this, [] { managerConnection->OnTimer1S(); });
        ticker.setInterval(200);
    }
    void init() { InitializeManagerConnection(); }
    void cleanup()
    {
        ticker.stop();
        DeinitializeManagerConnection();
    }
    void cleanupTestCase() { QFile::remove(GetSettingsFileName()); }

    void loginRunPingsAndSignals()
    {
        StandInManager standIn;
        const QJsonArray items{Signal(0, "<udpTxStreamsConfig N='1'/>"),
                               Signal(1.5, "<notHandledHere/><udpTxStreamsConfig N='2'/>")};
        QVERIFY2(standIn.Start(PlanFor("alice", "pa'ss<&>", 1, items)), qPrintable(standIn.error));
        StoreCredentials("alice", "pa'ss<&>", "lab-1");
        RecordingHandler handler;
        managerConnection->RegisterSignalHandler(QStringLiteral("udpTxStreamsConfig"), &handler);
        managerConnection->host = standIn.address;
        ticker.start();

        QTRY_VERIFY_WITH_TIMEOUT(!managerConnection->GetCurrentRunId().isEmpty(), 10000);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"))
                    .match(managerConnection->GetCurrentRunId())
                    .hasMatch());
        QCOMPARE(managerConnection->minimalGuiStatusText, QStringLiteral("lab agent"));
        QTRY_COMPARE_WITH_TIMEOUT(handler.calls, (QStringList{"1", "2"}), 10000);
        QVERIFY(GetRecentTrace(200, TraceLevelWarning)
                    .contains(QStringLiteral("Client-side handler is not found for XML element 'notHandledHere'")));

        QTRY_VERIFY_WITH_TIMEOUT(standIn.RecordsOfKind("runPing").size() >= 3, 15000);
        const QList<QJsonObject> logins = standIn.RecordsOfKind("loginPing");
        QCOMPARE(logins.size(), 1);
        const QJsonObject login = logins.first().value("attributes").toObject();
        QCOMPARE(login.value("UserId").toString(), QStringLiteral("alice"));
        QCOMPARE(login.value("UserDefinedAgentId").toString(), QStringLiteral("lab-1"));
        QCOMPARE(login.value("CompiledAt").toString(), CompiledAt());
        QCOMPARE(login.value("OperatingSystem").toString(), QStringLiteral("todo"));
        QVERIFY(login.value("DelaysReportHtml").toString().contains(QStringLiteral("ManagerC_ping: ")));
        QVERIFY(logins.first().value("sealed").toBool());
        QCOMPARE(logins.first().value("answer").toObject().value("runId").toString(),
                 managerConnection->GetCurrentRunId());

        // Run pings follow the period of 1 s: never sooner.
        const QList<QJsonObject> runPings = standIn.RecordsOfKind("runPing");
        for (int i = 1; i < runPings.size(); ++i)
            QVERIFY2(SecondsBetween(runPings.at(i - 1), runPings.at(i)) >= 0.95,
                     qPrintable(QString::number(SecondsBetween(runPings.at(i - 1), runPings.at(i)))));
        QCOMPARE(runPings.first().value("runId").toString(), managerConnection->GetCurrentRunId());

        // The trace shows the login ping without its password.
        const QString trace = GetRecentTrace(TraceListingMaxCount, TraceLevelNotable);
        QVERIFY(trace.contains(QStringLiteral("Password='***'")));
        QVERIFY(!trace.contains(QStringLiteral("pa&apos;ss")));
        QVERIFY2(managerConnection->getStatus().startsWith(QStringLiteral("last ping response ")),
                 qPrintable(managerConnection->getStatus()));
    }

    // A refused login is tried again 10 s after the previous attempt, not sooner.
    void badLoginIsRetried()
    {
        StandInManager standIn;
        QVERIFY2(standIn.Start(PlanFor("alice", "right", 1, {})), qPrintable(standIn.error));
        StoreCredentials("alice", "wrong", QString());
        managerConnection->host = standIn.address;
        ticker.start();
        QTRY_COMPARE_WITH_TIMEOUT(managerConnection->minimalGuiStatusText,
                                  QStringLiteral("Bad credentials, try again"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(standIn.RecordsOfKind("loginPing").size() >= 2, 20000);
        const QList<QJsonObject> logins = standIn.RecordsOfKind("loginPing");
        QCOMPARE(logins.first().value("answer").toObject().value("reason").toString(),
                 QStringLiteral("wrong password"));
        QVERIFY2(SecondsBetween(logins.at(0), logins.at(1)) >= 9.9,
                 qPrintable(QString::number(SecondsBetween(logins.at(0), logins.at(1)))));
        QVERIFY(managerConnection->GetCurrentRunId().isEmpty());
        QCOMPARE(managerConnection->getStatus(), QStringLiteral("connecting..."));
    }

    // Each damaged reply costs only itself: an error record, and the next good reply counts.
    void damagedRepliesAreSurvived()
    {
        StandInManager standIn;
        const QJsonArray items{Broken(0.3, "shortBody"), Broken(0.6, "badLength"),
                               Broken(0.9, "badPadding"), Broken(1.2, "brokenXml"),
                               Broken(1.5, "empty"), Signal(1.8, "<udpTxStreamsConfig N='after'/>")};
        QVERIFY2(standIn.Start(PlanFor("carol", "pw", 0, items)), qPrintable(standIn.error));
        StoreCredentials("carol", "pw", QString());
        RecordingHandler handler;
        managerConnection->RegisterSignalHandler(QStringLiteral("udpTxStreamsConfig"), &handler);
        managerConnection->host = standIn.address;
        ticker.start();
        QTRY_VERIFY_WITH_TIMEOUT(!managerConnection->GetCurrentRunId().isEmpty(), 10000);
        const QString runId = managerConnection->GetCurrentRunId();
        QTRY_COMPARE_WITH_TIMEOUT(handler.calls, QStringList{"after"}, 15000);
        QCOMPARE(managerConnection->GetCurrentRunId(), runId);

        const QString errors = GetRecentTrace(TraceListingMaxCount, TraceLevelError);
        for (const char* expected :
             {"Assertion failed. Following expression is false: remainingSize > 5",
              "Assertion failed. Following expression is false: remainingSize >= chunkDataSize",
              "padding", "Error parsing XML response from server: "})
            QVERIFY2(errors.contains(QLatin1String(expected)), expected);
    }

    // Receiver threads queue their reports; the next tick posts them, plain.
    void queuedSignalsFromOtherThreads()
    {
        StandInManager standIn;
        QVERIFY2(standIn.Start(PlanFor("dave", "pw", 60, {})), qPrintable(standIn.error));
        StoreCredentials("dave", "pw", QString());
        managerConnection->host = standIn.address;
        ticker.start();
        QTRY_VERIFY_WITH_TIMEOUT(!managerConnection->GetCurrentRunId().isEmpty(), 10000);
        const std::string runId = managerConnection->GetCurrentRunId().toStdString();
        std::thread receiver([&runId] {
            for (int i = 0; i < 3; ++i)
                managerConnection->SendSignalToServer(
                    "<udpRxObservation DestinationAgentRunId='" + runId + "' N='" + std::to_string(i) + "' />",
                    false, true);
        });
        receiver.join();
        QTRY_COMPARE_WITH_TIMEOUT(standIn.RecordsOfKind("udpRxObservation").size(), 3, 10000);
        QStringList numbers;
        for (const QJsonObject& record : standIn.RecordsOfKind("udpRxObservation")) {
            QVERIFY(!record.value("sealed").toBool());
            numbers << record.value("attributes").toObject().value("N").toString();
        }
        numbers.sort();
        QCOMPARE(numbers, (QStringList{"0", "1", "2"}));
    }

    // An unanswered request is given up after the time-out, so login pings go on.
    void unansweredRequestTimesOut()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QList<QTcpSocket*> connections;
        connect(&silent, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket* socket = silent.nextPendingConnection())
                connections.append(socket); // read nothing, answer nothing
        });
        StoreCredentials("erin", "pw", QString());
        managerConnection->host = QStringLiteral("127.0.0.1:%1").arg(silent.serverPort());
        managerConnection->requestTimeoutMs = 300;
        ticker.start();
        QTRY_COMPARE_WITH_TIMEOUT(connections.size(), 1, 5000);
        // The next login ping is due 10 s after the first and goes only if the first has ended.
        QTRY_VERIFY_WITH_TIMEOUT(connections.size() >= 2, 15000);
        QCOMPARE(managerConnection->getStatus(), QStringLiteral("connecting..."));
    }

    // Usage reports and feedback go to the default host; run the stand-in there when it is free.
    void usageReportsAndFeedback()
    {
        const QString host = DefaultManagerHost();
        const QString hostName = host.section(QLatin1Char(':'), 0, 0);
        if (hostName != QLatin1String("localhost") && hostName != QLatin1String("127.0.0.1"))
            QSKIP("the default test manager host of this build is not on this machine");
        StandInManager standIn;
        if (!standIn.Start(PlanFor("frank", "pw", 60, {}),
                           QStringLiteral("127.0.0.1:") + host.section(QLatin1Char(':'), 1, 1)))
            QSKIP(qPrintable(QStringLiteral("the default host's port is taken: ") + standIn.error));

        managerConnection->setEnabled(false); // usage reports do not depend on the link
        TRACE_TEXT(ModuleUX, TraceLevelRoutine, "starting");
        TRACE_MESSAGE(ModuleUX, TraceLevelRoutine, QStringLiteral("running, 10 minutes. version: x (Linux). "));
        TRACE_TEXT(ModuleUX, TraceLevelRoutine, nullptr); // nothing to send
        QTRY_COMPARE_WITH_TIMEOUT(standIn.RecordsOfKind("uxTracking").size(), 2, 10000);
        QStringList texts;
        for (const QJsonObject& record : standIn.RecordsOfKind("uxTracking"))
            texts << record.value("text").toString();
        texts.sort();
        QCOMPARE(texts, (QStringList{"running, 10 minutes. version: x (Linux). ", "starting"}));

        QElapsedTimer waited;
        waited.start();
        SendFeedbackToServer("very good", QStringLiteral("fast & small"), QStringLiteral("it's <ok>"),
                             QStringLiteral("me@example.org"));
        QVERIFY2(waited.elapsed() >= 1950, "the upload waits at least 2 s");
        QTRY_COMPARE_WITH_TIMEOUT(standIn.RecordsOfKind("feedback").size(), 1, 5000);
        const QJsonObject feedback = standIn.RecordsOfKind("feedback").first();
        QCOMPARE(feedback.value("attributes").toObject().value("rating").toString(), QStringLiteral("very good"));
        QCOMPARE(feedback.value("attributes").toObject().value("email").toString(), QStringLiteral("me@example.org"));
        QCOMPARE(feedback.value("texts").toObject().value("whatYouLike").toString(), QStringLiteral("fast & small"));
        QCOMPARE(feedback.value("texts").toObject().value("whatNeedsToBeImproved").toString(), QStringLiteral("it's <ok>"));
    }
};

QTEST_GUILESS_MAIN(Tst_ManagerLink)
#include "tst_managerlink.moc"
