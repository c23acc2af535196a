#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// Starts the real agent executable (offscreen) and ends it the way an operator would.
class Tst_Application : public QObject
{
    Q_OBJECT

private slots:
    void startsAndEndsOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("SIGTERM") << int(SIGTERM)
                                 << QByteArray("Caught SIGTERM: a termination request was sent to the program\n");
        QTest::newRow("SIGINT") << int(SIGINT)
                                << QByteArray("Caught SIGINT: Interactive attention signal, (usually ctrl+c)\n");
    }
    void startsAndEndsOnSignal()
    {
        QFETCH(int, signalNumber);
        QFETCH(QByteArray, line);

        // A copy of its own, so its settings file lands in a folder of the test's.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString agent = dir.filePath(QStringLiteral("NorvastelleRavidadIrerod"));
        QVERIFY(QFile::copy(QStringLiteral(AGENT_PATH), agent));

        QProcess process;
        process.setProgram(agent);
        process.setArguments({QStringLiteral("-platform"), QStringLiteral("offscreen")});
        process.setWorkingDirectory(dir.path());
        process.start();
        QVERIFY(process.waitForStarted());
        // Still running after start-up: window built, event loop up.
        QVERIFY(!process.waitForFinished(2000));
        ::kill(static_cast<pid_t>(process.processId()), signalNumber);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        // Qt may warn on stderr during start-up (offscreen platform); the handler's line ends it.
        const QByteArray stderrText = process.readAllStandardError();
        QVERIFY2(stderrText.endsWith(line) && stderrText.count("Caught SIG") == 1,
                 stderrText.constData());
        QVERIFY2(!QFile::exists(agent + QStringLiteral(".settings.xml")),
                 "nothing is saved on the way out");
    }
};

QTEST_GUILESS_MAIN(Tst_Application)
#include "tst_application.moc"
