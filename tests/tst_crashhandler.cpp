#include "core/crashhandler.h"

#include <QProcess>
#include <QtTest>

#include <signal.h>
#include <sys/types.h>

namespace {

const char* const intDivLine = "Caught SIGFPE: (integer divide by zero)";
const char* const segvLine = "Caught SIGSEGV: Segmentation Fault";
const char* const abrtLine = "Caught SIGABRT: usually caused by an abort() or assert()";
const char* const termLine = "Caught SIGTERM: a termination request was sent to the program";
const char* const intLine = "Caught SIGINT: Interactive attention signal, (usually ctrl+c)";
const char* const fpeOtherLine = "Caught SIGFPE: Arithmetic Exception";
const char* const illOtherLine = "Caught SIGILL: Illegal Instruction";

// Sanitizer builds start slowly and the stack overflow walks 8 MiB of guard-checked frames.
constexpr int ChildTimeoutMs = 120000;

QString Describe(const QProcess& child, const QByteArray& stdErr)
{
    return QStringLiteral("exit status %1, exit code %2, process error %3, stderr:\n%4")
        .arg(child.exitStatus() == QProcess::NormalExit ? "normal" : "crashed")
        .arg(child.exitCode())
        .arg(child.error())
        .arg(QString::fromLocal8Bit(stdErr));
}

void StartChild(QProcess* child, const QString& mode)
{
    child->setProgram(QStringLiteral(CRASHCHILD_PATH));
    child->setArguments({mode});
    child->setProcessChannelMode(QProcess::SeparateChannels);
    child->start(QIODevice::ReadOnly);
}

} // namespace

class Tst_crashhandler : public QObject
{
    Q_OBJECT

private slots:
    void lineForSignal_data();
    void lineForSignal();
    void fatalEvent_data();
    void fatalEvent();
    void signalFromOutside_data();
    void signalFromOutside();
};

void Tst_crashhandler::lineForSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("line"); // null: the handler names no such signal

    // si_code values of a signal sent by kill(2) and by tgkill(2)/raise(3).
    const int siUser = 0;
    const int siTkill = -6;

    QTest::newRow("SIGINT from kill") << SIGINT << siUser << QByteArray(intLine);
    QTest::newRow("SIGINT from raise") << SIGINT << siTkill << QByteArray(intLine);
    QTest::newRow("SIGABRT from abort") << SIGABRT << siTkill << QByteArray(abrtLine);
    QTest::newRow("SIGABRT code 1") << SIGABRT << 1 << QByteArray(abrtLine);
    QTest::newRow("SIGSEGV unmapped address") << SIGSEGV << 1 << QByteArray(segvLine);
    QTest::newRow("SIGSEGV access rights") << SIGSEGV << 2 << QByteArray(segvLine);
    QTest::newRow("SIGSEGV from kill") << SIGSEGV << siUser << QByteArray(segvLine);
    QTest::newRow("SIGTERM from kill") << SIGTERM << siUser << QByteArray(termLine);
    QTest::newRow("SIGTERM code 3") << SIGTERM << 3 << QByteArray(termLine);

    QTest::newRow("SIGFPE FPE_INTDIV") << SIGFPE << 1 << QByteArray(intDivLine);
    QTest::newRow("SIGFPE FPE_INTOVF") << SIGFPE << 2 << QByteArray("Caught SIGFPE: (integer overflow)");
    QTest::newRow("SIGFPE FPE_FLTDIV")
        << SIGFPE << 3 << QByteArray("Caught SIGFPE: (floating-point divide by zero)");
    QTest::newRow("SIGFPE FPE_FLTOVF")
        << SIGFPE << 4 << QByteArray("Caught SIGFPE: (floating-point overflow)");
    QTest::newRow("SIGFPE FPE_FLTUND")
        << SIGFPE << 5 << QByteArray("Caught SIGFPE: (floating-point underflow)");
    QTest::newRow("SIGFPE FPE_FLTRES")
        << SIGFPE << 6 << QByteArray("Caught SIGFPE: (floating-point inexact result)");
    QTest::newRow("SIGFPE FPE_FLTINV")
        << SIGFPE << 7 << QByteArray("Caught SIGFPE: (floating-point invalid operation)");
    QTest::newRow("SIGFPE FPE_FLTSUB")
        << SIGFPE << 8 << QByteArray("Caught SIGFPE: (subscript out of range)");
    QTest::newRow("SIGFPE other code 9") << SIGFPE << 9 << QByteArray(fpeOtherLine);
    QTest::newRow("SIGFPE other code 14") << SIGFPE << 14 << QByteArray(fpeOtherLine);
    QTest::newRow("SIGFPE from kill") << SIGFPE << siUser << QByteArray(fpeOtherLine);
    QTest::newRow("SIGFPE from raise") << SIGFPE << siTkill << QByteArray(fpeOtherLine);

    QTest::newRow("SIGILL ILL_ILLOPC") << SIGILL << 1 << QByteArray("Caught SIGILL: (illegal opcode)");
    QTest::newRow("SIGILL ILL_ILLOPN") << SIGILL << 2 << QByteArray("Caught SIGILL: (illegal operand)");
    QTest::newRow("SIGILL ILL_ILLADR")
        << SIGILL << 3 << QByteArray("Caught SIGILL: (illegal addressing mode)");
    QTest::newRow("SIGILL ILL_ILLTRP") << SIGILL << 4 << QByteArray("Caught SIGILL: (illegal trap)");
    QTest::newRow("SIGILL ILL_PRVOPC") << SIGILL << 5 << QByteArray("Caught SIGILL: (privileged opcode)");
    QTest::newRow("SIGILL ILL_PRVREG")
        << SIGILL << 6 << QByteArray("Caught SIGILL: (privileged register)");
    QTest::newRow("SIGILL ILL_COPROC") << SIGILL << 7 << QByteArray("Caught SIGILL: (coprocessor error)");
    QTest::newRow("SIGILL ILL_BADSTK")
        << SIGILL << 8 << QByteArray("Caught SIGILL: (internal stack error)");
    QTest::newRow("SIGILL other code 9") << SIGILL << 9 << QByteArray(illOtherLine);
    QTest::newRow("SIGILL from kill") << SIGILL << siUser << QByteArray(illOtherLine);
    QTest::newRow("SIGILL from raise") << SIGILL << siTkill << QByteArray(illOtherLine);

    QTest::newRow("SIGHUP is not named") << SIGHUP << siUser << QByteArray();
    QTest::newRow("SIGUSR1 is not named") << SIGUSR1 << siUser << QByteArray();
    QTest::newRow("SIGBUS is not named") << SIGBUS << 1 << QByteArray();
    QTest::newRow("SIGKILL is not named") << SIGKILL << siUser << QByteArray();
    QTest::newRow("signal 0 is not named") << 0 << 0 << QByteArray();
    QTest::newRow("negative signal is not named") << -1 << 0 << QByteArray();
    QTest::newRow("real-time signal is not named") << SIGRTMIN << siUser << QByteArray();
}

void Tst_crashhandler::lineForSignal()
{
    QFETCH(int, signal);
    QFETCH(int, code);
    QFETCH(QByteArray, line);

    const char* text = CrashLineForSignal(signal, code);
    if (line.isNull()) {
        QVERIFY2(text == nullptr, text);
        return;
    }
    QVERIFY(text != nullptr);
    QCOMPARE(QByteArray(text), line);
}

// Each row runs the child until it dies in the named way; the handler must leave exactly its
// line on stderr and end the process with a normal exit of status 1.
void Tst_crashhandler::fatalEvent_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("line");
    // False where the C++ run time writes its own account of the exception before aborting.
    QTest::addColumn<bool>("lineIsAllOfStderr");

    QTest::newRow("integer division by zero") << "intdiv" << QByteArray(intDivLine) << true;
    QTest::newRow("stack overflow") << "stackoverflow" << QByteArray(segvLine) << true;
    QTest::newRow("write through null pointer") << "nullwrite" << QByteArray(segvLine) << true;
    // ud2 raises SIGILL with ILL_ILLOPN on x86-64 Linux.
    QTest::newRow("undefined instruction")
        << "illegalinstruction" << QByteArray("Caught SIGILL: (illegal operand)") << true;
    QTest::newRow("raised SIGTERM") << "sigterm" << QByteArray(termLine) << true;
    QTest::newRow("raised SIGINT") << "sigint" << QByteArray(intLine) << true;
    QTest::newRow("raised SIGFPE") << "sigfpe" << QByteArray(fpeOtherLine) << true;
    QTest::newRow("raised SIGILL") << "sigill" << QByteArray(illOtherLine) << true;
    QTest::newRow("std::abort") << "abort" << QByteArray(abrtLine) << true;
    QTest::newRow("uncaught Exception") << "uncaught" << QByteArray(abrtLine) << false;
}

void Tst_crashhandler::fatalEvent()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, line);
    QFETCH(bool, lineIsAllOfStderr);

    QProcess child;
    StartChild(&child, mode);
    QVERIFY2(child.waitForStarted(ChildTimeoutMs), qPrintable(child.errorString()));
    QVERIFY2(child.waitForFinished(ChildTimeoutMs), qPrintable(child.errorString()));
    const QByteArray stdErr = child.readAllStandardError();
    const QString description = Describe(child, stdErr);

    QVERIFY2(child.exitStatus() == QProcess::NormalExit, qPrintable(description));
    QVERIFY2(child.exitCode() == 1, qPrintable(description));
    if (lineIsAllOfStderr) {
        QCOMPARE(stdErr, line + '\n');
    } else {
        // The handler's line comes last, once, and whole.
        QVERIFY2(stdErr.endsWith('\n' + line + '\n'), qPrintable(description));
        QVERIFY2(stdErr.count(line) == 1, qPrintable(description));
        QVERIFY2(stdErr.contains("crashchild: nobody catches this"), qPrintable(description));
    }
}

void Tst_crashhandler::signalFromOutside_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("termination request") << SIGTERM << QByteArray(termLine);
    QTest::newRow("interrupt, as from ctrl+c") << SIGINT << QByteArray(intLine);
}

void Tst_crashhandler::signalFromOutside()
{
    QFETCH(int, signal);
    QFETCH(QByteArray, line);

    QProcess child;
    StartChild(&child, QStringLiteral("sleep"));
    QVERIFY2(child.waitForStarted(ChildTimeoutMs), qPrintable(child.errorString()));
    // The child says "ready" only after its handler is installed.
    QByteArray stdOut;
    while (!stdOut.contains("ready\n") && child.state() == QProcess::Running) {
        if (child.waitForReadyRead(ChildTimeoutMs))
            stdOut += child.readAllStandardOutput();
        else
            break;
    }
    QVERIFY2(stdOut == "ready\n", qPrintable(Describe(child, child.readAllStandardError())));

    QCOMPARE(::kill(static_cast<pid_t>(child.processId()), signal), 0);
    QVERIFY2(child.waitForFinished(ChildTimeoutMs), qPrintable(child.errorString()));
    const QByteArray stdErr = child.readAllStandardError();
    const QString description = Describe(child, stdErr);

    QVERIFY2(child.exitStatus() == QProcess::NormalExit, qPrintable(description));
    QVERIFY2(child.exitCode() == 1, qPrintable(description));
    QCOMPARE(stdErr, line + '\n');
}

QTEST_GUILESS_MAIN(Tst_crashhandler)
#include "tst_crashhandler.moc"
