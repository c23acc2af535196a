#include "core/application.h"
#include "core/common.h"
#include "core/logging.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>
#include <csignal>

namespace {

class ThrowingObject : public QObject
{
public:
    bool event(QEvent* event) override
    {
        if (event->type() == QEvent::User)
            throw std::runtime_error("handler failed");
        return QObject::event(event);
    }
};

} // namespace

// Starts the real agent executable (offscreen) and ends it the way an operator would.
class Tst_Application : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        InitializeCommonModule();
        InitializeLoggingModule();
    }

    // Reports written with printf keep the decimal point whatever the user's locale.
    void numbersKeepDecimalPoint()
    {
        QCOMPARE(QByteArray(setlocale(LC_NUMERIC, nullptr)), QByteArray("C"));
        QCOMPARE(Format("%f", 1.5), std::string("1.500000"));
    }

    // An exception escaping an event handler is logged and the event loop goes on.
    void escapingExceptionIsLogged()
    {
        ThrowingObject object;
        QEvent event(QEvent::User);
        QVERIFY(!QCoreApplication::sendEvent(&object, &event));
        const QString listing = GetRecentTrace(20, TraceLevelError);
        QVERIFY2(listing.contains(QStringLiteral("GUI] exception in an event handler: handler failed @")),
                 qPrintable(listing));
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(7); });
        QCOMPARE(QCoreApplication::exec(), 7);
    }

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

int main(int argc, char* argv[])
{
    AgentApplication application(argc, argv);
    Tst_Application test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_application.moc"
