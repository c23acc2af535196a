// Real agent processes (offscreen) logging in to the real stand-in test manager, reached through
// the "host" parameter of their file names.

#include "core/common.h"
#include "core/logging.h"
#include "manager/cryptoprocedures.h"
#include "settings/settings.h"
#include "agentprocess.h"
#include "standin.h"

#include <QJsonArray>
#include <csignal>

namespace {

QJsonObject Plan()
{
    return QJsonObject{
        {"accounts", QJsonArray{QJsonObject{{"userId", "alice"}, {"password", "it's & more"}},
                                QJsonObject{{"token", "TOKEN42"}}}},
        {"agents", QJsonArray{QJsonObject{{"userId", "alice"}, {"pingPeriodS", 1}},
                              QJsonObject{{"token", "TOKEN42"}, {"pingPeriodS", 1}}}},
    };
}

} // namespace

class Tst_AgentLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
    }

    void credentialsFromSettings()
    {
        StandInManager standIn;
        QVERIFY2(standIn.Start(Plan()), qPrintable(standIn.error));
        AgentProcess agent;
        const QMap<QString, QVariant> settings{
            {"TestManager_UserId", "alice"},
            {"TestManager_Password", QString::fromLatin1(E3_base64("it's & more").c_str())},
            {"TestManager_UserDefinedAgentId", "bench <2>"},
            {"UX_DontAskFeedback", 1}};
        QVERIFY(agent.Start(QStringLiteral("-host") + standIn.address, settings));

        QTRY_VERIFY_WITH_TIMEOUT(standIn.RecordsOfKind("runPing").size() >= 2, 20000);
        const QList<QJsonObject> logins = standIn.RecordsOfKind("loginPing");
        QCOMPARE(logins.size(), 1);
        QCOMPARE(logins.first().value("userId").toString(), QStringLiteral("alice"));
        QCOMPARE(logins.first().value("userDefinedAgentId").toString(), QStringLiteral("bench <2>"));
        const QString runId = logins.first().value("answer").toObject().value("runId").toString();
        QVERIFY(!runId.isEmpty());
        for (const QJsonObject& ping : standIn.RecordsOfKind("runPing"))
            QCOMPARE(ping.value("runId").toString(), runId);
        QCOMPARE(agent.process.state(), QProcess::Running);
    }

    // A token in the file name logs in without credentials, whatever the settings say.
    void tokenInFileName()
    {
        StandInManager standIn;
        QVERIFY2(standIn.Start(Plan()), qPrintable(standIn.error));
        AgentProcess agent;
        QVERIFY(agent.Start(QStringLiteral("-tokenTOKEN42-host") + standIn.address,
                            {{"TestManager_DisableConnection", 1}, {"TestManager_UserId", "alice"}}));
        QTRY_VERIFY_WITH_TIMEOUT(standIn.RecordsOfKind("runPing").size() >= 1, 20000);
        const QJsonObject login = standIn.RecordsOfKind("loginPing").first();
        const QJsonObject attributes = login.value("attributes").toObject();
        QCOMPARE(attributes.value("AuthTokenForFileName").toString(), QStringLiteral("TOKEN42"));
        QCOMPARE(attributes.value("UserId").toString(), QString());
        QCOMPARE(attributes.value("Password").toString(), QString());
        QVERIFY(!login.value("answer").toObject().value("runId").toString().isEmpty());
    }

    void disabledLinkStaysQuiet()
    {
        StandInManager standIn;
        QVERIFY2(standIn.Start(Plan()), qPrintable(standIn.error));
        AgentProcess agent;
        QVERIFY(agent.Start(QStringLiteral("-host") + standIn.address,
                            {{"TestManager_DisableConnection", 1},
                             {"TestManager_UserId", "alice"},
                             {"TestManager_Password", QString::fromLatin1(E3_base64("it's & more").c_str())}}));
        QTest::qWait(3000);
        QCOMPARE(standIn.RecordsOfKind("loginPing").size(), 0);
    }
};

QTEST_GUILESS_MAIN(Tst_AgentLink)
#include "tst_agentlink.moc"
