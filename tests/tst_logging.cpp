#include "core/common.h"
#include "core/logging.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>
#include <climits>
#include <deque>
#include <stdexcept>

namespace {

// The rings keep the text pointers of a record for as long as the record lives in them, so every
// text a test hands over must outlive the test: interned texts are never freed.
const char* Intern(const QByteArray& text)
{
    static std::deque<QByteArray> texts;
    if (text.isNull())
        return nullptr;
    texts.push_back(text);
    return texts.back().constData();
}

// A text no other record carries.
const char* UniqueMarker(const char* what)
{
    static int markerCount = 0;
    return Intern(QByteArray("marker-") + what + '-' + QByteArray::number(++markerCount));
}

const char* const testFile = "/tests/tst_logging.cpp";
const char* const testFunction = "testFunction";

void Leave(int module, int level, const char* text, QString* message = nullptr, int line = 1,
           const char* function = testFunction, const char* sourceFile = testFile)
{
    Trace record;
    record.compileDate = __DATE__;
    record.sourceFile = sourceFile;
    record.function = function;
    record.line = line;
    record.module = module;
    record.text = text;
    record.message = message;
    record.level = level;
    LeaveTrace(&record);
}

// A message whose text lives on the heap, so that QString::isDetached() tells whether a ring
// still holds a copy (literal texts are static and never count as shared).
QString HeapMessage(const char* what)
{
    return QString::fromLatin1(UniqueMarker(what));
}

// Fills a ring with records carrying their index in the line field; the level of record i
// is levelOf(i).
template <typename LevelOf>
void FillWithNumberedRecords(int records, LevelOf levelOf)
{
    static const char* const fillText = "numbered";
    for (int i = 0; i < records; ++i)
        Leave(ModuleUDPTX, levelOf(i), fillText, nullptr, i);
}

QStringList Lines(const QString& listing, QString* error)
{
    if (listing.isEmpty())
        return QStringList();
    if (!listing.endsWith(QLatin1String("\r\n"))) {
        *error = QStringLiteral("listing does not end with CR LF");
        return QStringList();
    }
    QStringList lines = listing.split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

// The part of a line after the age, "s " included.
QString AfterAge(const QString& line)
{
    const int end = line.indexOf(QLatin1String("s "));
    return end < 0 ? QString() : line.mid(end + 2);
}

// The line number that ends a line.
int LineNumberOf(const QString& line)
{
    return line.mid(line.lastIndexOf(QLatin1Char(':')) + 1).toInt();
}

QList<QByteArray> receivedByTracker;

void RecordingSink(const char* text)
{
    receivedByTracker.append(QByteArray(text));
}

int ScopedWork(bool fail, int* scopeLine, QString* listingInside)
{
    *scopeLine = __LINE__ + 1;
    TRACE_SCOPE(ModuleGUI, TraceLevelNotable);
    *listingInside = GetRecentTrace(1, TraceLevelRoutine);
    if (fail)
        throw std::runtime_error("scoped work failed");
    return 1;
}

}  // namespace

class Tst_logging : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void neverWrittenSlotsAreSkipped();
    void overwritingDeletesTheSlotsMessage_data();
    void overwritingDeletesTheSlotsMessage();
    void levelZeroRecordsStayOutOfSecondRing();
    void recordsEnterRingsByLevel_data();
    void recordsEnterRingsByLevel();
    void uxRecordsReachTheTracker_data();
    void uxRecordsReachTheTracker();
    void nullTrackerSinkReceivesNothing();
    void listingLineFormat_data();
    void listingLineFormat();
    void sourcePathTrimming_data();
    void sourcePathTrimming();
    void countIsCapped_data();
    void countIsCapped();
    void levelFilterSkipsLowerLevels_data();
    void levelFilterSkipsLowerLevels();
    void scopeTraceLeavesEntryAndExit_data();
    void scopeTraceLeavesEntryAndExit();
    void ageIsNegativeSecondsInGeneralFormat();

private:
    // Listings taken while the rings were still far from full.
    int freshRecordsBefore = 0;
    QString freshListingAll;
    QString freshListingNotable;
    QString freshListingNotableBefore;
};

void Tst_logging::initTestCase()
{
    InitializeCommonModule();
    InitializeLoggingModule();

    // Taken here, while most slots of both rings were never written, so that the check does not
    // depend on the order of the test functions.
    QString error;
    const QString before = GetRecentTrace(20000, TraceLevelRoutine);
    freshRecordsBefore = Lines(before, &error).size();
    freshListingNotableBefore = GetRecentTrace(20000, TraceLevelNotable);
    Leave(ModuleGUI, TraceLevelRoutine, "fresh routine");
    Leave(ModuleGUI, TraceLevelNotable, "fresh notable");
    Leave(ModuleGUI, TraceLevelError, "fresh error");
    freshListingAll = GetRecentTrace(20000, TraceLevelRoutine);
    freshListingNotable = GetRecentTrace(20000, TraceLevelNotable);
}

void Tst_logging::cleanup()
{
    SetUxTrackerSink(nullptr);
    receivedByTracker.clear();
}

void Tst_logging::neverWrittenSlotsAreSkipped()
{
    QVERIFY2(freshRecordsBefore < 1000, "the rings were already full at start-up");
    QString error;
    const QStringList all = Lines(freshListingAll, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // The walk covers 15384 slots; only the records really left may appear.
    QCOMPARE(all.size(), freshRecordsBefore + 3);
    QCOMPARE(AfterAge(all.at(0)), QStringLiteral("GUI] fresh error @testFunction @/tests/tst_logging.cpp:1"));
    QCOMPARE(AfterAge(all.at(1)), QStringLiteral("GUI] fresh notable @testFunction @/tests/tst_logging.cpp:1"));
    QCOMPARE(AfterAge(all.at(2)), QStringLiteral("GUI] fresh routine @testFunction @/tests/tst_logging.cpp:1"));

    const QStringList notable = Lines(freshListingNotable, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(notable.size(), Lines(freshListingNotableBefore, &error).size() + 2);
    QVERIFY(notable.at(0).endsWith(QLatin1String("] fresh error @testFunction @/tests/tst_logging.cpp:1")));
    QVERIFY(notable.at(1).endsWith(QLatin1String("] fresh notable @testFunction @/tests/tst_logging.cpp:1")));
}

void Tst_logging::overwritingDeletesTheSlotsMessage_data()
{
    QTest::addColumn<int>("level");
    QTest::newRow("routine, first ring only") << int(TraceLevelRoutine);
    QTest::newRow("notable, both rings") << int(TraceLevelNotable);
    QTest::newRow("error, both rings") << int(TraceLevelError);
}

void Tst_logging::overwritingDeletesTheSlotsMessage()
{
    QFETCH(int, level);
    const QString message = HeapMessage("owned");
    Leave(ModuleUDPRX, level, nullptr, new QString(message));
    QVERIFY2(!message.isDetached(), "the ring keeps the message it was handed");

    // 16383 more records of the same level leave the record in place in every ring it entered...
    FillWithNumberedRecords(TraceRingSize - 1, [level](int) { return level; });
    QVERIFY2(!message.isDetached(), "deleted before its slot was overwritten");

    // ...and the 16385th record overwrites its slot and deletes the message at that moment.
    Leave(ModuleUDPRX, level, "overwriter");
    QVERIFY2(message.isDetached(), "the overwritten slot still holds its message");
}

void Tst_logging::levelZeroRecordsStayOutOfSecondRing()
{
    const QString message = HeapMessage("notable");
    Leave(ModuleUDPRX, TraceLevelNotable, nullptr, new QString(message));

    // A whole first ring of routine records: only the second ring's copy survives.
    FillWithNumberedRecords(TraceRingSize, [](int) { return TraceLevelRoutine; });
    QVERIFY2(!message.isDetached(), "routine records reached the second ring");
    QVERIFY(GetRecentTrace(TraceListingMaxCount, TraceLevelRoutine).indexOf(message) < 0);
    QVERIFY(GetRecentTrace(TraceListingMaxCount, TraceLevelNotable).contains(message));

    FillWithNumberedRecords(TraceRingSize, [](int) { return TraceLevelNotable; });
    QVERIFY2(message.isDetached(), "the second ring's copy outlived its slot");
}

void Tst_logging::recordsEnterRingsByLevel_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("inSecondRing");
    QTest::newRow("routine") << int(TraceLevelRoutine) << false;
    QTest::newRow("notable") << int(TraceLevelNotable) << true;
    QTest::newRow("warning") << int(TraceLevelWarning) << true;
    QTest::newRow("error") << int(TraceLevelError) << true;
}

void Tst_logging::recordsEnterRingsByLevel()
{
    QFETCH(int, level);
    QFETCH(bool, inSecondRing);
    const char* marker = UniqueMarker("level");
    Leave(ModuleCP, level, marker);

    QVERIFY(GetRecentTrace(1, TraceLevelRoutine).contains(QLatin1String(marker)));
    QCOMPARE(GetRecentTrace(TraceListingMaxCount, TraceLevelNotable).contains(QLatin1String(marker)),
             inSecondRing);
}

void Tst_logging::uxRecordsReachTheTracker_data()
{
    QTest::addColumn<int>("module");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QList<QByteArray>>("expected");

    const QString message = QStringLiteral("feedback sent: na\u00efve");
    QTest::newRow("text") << int(ModuleUX) << QByteArray("starting") << QString()
                          << QList<QByteArray>{"starting"};
    QTest::newRow("message in local 8-bit encoding")
        << int(ModuleUX) << QByteArray() << message << QList<QByteArray>{message.toLocal8Bit()};
    QTest::newRow("text wins over message") << int(ModuleUX) << QByteArray("window closed")
                                            << message << QList<QByteArray>{"window closed"};
    QTest::newRow("neither text nor message") << int(ModuleUX) << QByteArray() << QString()
                                              << QList<QByteArray>();
    QTest::newRow("other module") << int(ModuleManagerC) << QByteArray("login") << message
                                  << QList<QByteArray>();
}

void Tst_logging::uxRecordsReachTheTracker()
{
    QFETCH(int, module);
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    QFETCH(QList<QByteArray>, expected);

    SetUxTrackerSink(RecordingSink);
    const char* marker = UniqueMarker("ux");
    // The marker travels in the line field's neighbour: the function name.
    Leave(module, TraceLevelRoutine, Intern(text), message.isNull() ? nullptr : new QString(message),
          7, marker);

    QCOMPARE(receivedByTracker, expected);
    // Whatever was sent, the record is stored.
    QVERIFY(GetRecentTrace(1, TraceLevelRoutine).contains(QLatin1String(marker)));
}

void Tst_logging::nullTrackerSinkReceivesNothing()
{
    SetUxTrackerSink(RecordingSink);
    SetUxTrackerSink(nullptr);
    const char* marker = UniqueMarker("unsent");
    Leave(ModuleUX, TraceLevelRoutine, marker);
    Leave(ModuleUX, TraceLevelNotable, nullptr, new QString(QString::fromLatin1(marker)));
    QVERIFY(receivedByTracker.isEmpty());
    QVERIFY(GetRecentTrace(2, TraceLevelRoutine).count(QLatin1String(marker)) == 2);
}

void Tst_logging::listingLineFormat_data()
{
    QTest::addColumn<int>("module");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("function");
    QTest::addColumn<QByteArray>("sourceFile");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("expected");  // the line after "[<age>s "

    QTest::newRow("text") << int(ModuleUX) << QByteArray("starting") << QString()
                          << QByteArray("main") << QByteArray("/src/core/main.cpp") << 21
                          << QStringLiteral("UX] starting @main @/src/core/main.cpp:21");
    QTest::newRow("message") << int(ModuleUDPRX) << QByteArray() << QStringLiteral("port 5000 bound")
                             << QByteArray("Bind") << QByteArray("receiver/udpreceiver.cpp") << 7
                             << QStringLiteral("UDPRX] port 5000 bound @Bind @receiver/udpreceiver.cpp:7");
    QTest::newRow("text then message")
        << int(ModuleManagerC) << QByteArray("sent: ") << QStringLiteral("<ping/>")
        << QByteArray("Tick") << QByteArray("m.cpp") << 300
        << QStringLiteral("ManagerC] sent: <ping/> @Tick @m.cpp:300");
    QTest::newRow("neither text nor message")
        << int(ModuleSettings) << QByteArray() << QString() << QByteArray("Load")
        << QByteArray("s.cpp") << 0 << QStringLiteral("Settings]  @Load @s.cpp:0");
    QTest::newRow("module without name") << 42 << QByteArray("x") << QString() << QByteArray("f")
                                         << QByteArray("f.cpp") << 1
                                         << QStringLiteral("] x @f @f.cpp:1");
    QTest::newRow("negative module") << -1 << QByteArray("x") << QString() << QByteArray("f")
                                     << QByteArray("f.cpp") << 1 << QStringLiteral("] x @f @f.cpp:1");
    QTest::newRow("negative line") << int(ModuleUDPTX) << QByteArray("x") << QString()
                                   << QByteArray("f") << QByteArray("f.cpp") << -3
                                   << QStringLiteral("UDPTX] x @f @f.cpp:-3");
    QTest::newRow("record without source file or function")
        << int(ModuleGUI) << QByteArray("x") << QString() << QByteArray() << QByteArray() << 5
        << QStringLiteral("GUI] x @ @:5");
    QTest::newRow("multi-line message") << int(ModuleVOIPC) << QByteArray() << QStringLiteral("a\r\nb")
                                        << QByteArray("Run") << QByteArray("v.cpp") << 2
                                        << QStringLiteral("VOIPC] a\r\nb @Run @v.cpp:2");
}

void Tst_logging::listingLineFormat()
{
    QFETCH(int, module);
    QFETCH(QByteArray, text);
    QFETCH(QString, message);
    QFETCH(QByteArray, function);
    QFETCH(QByteArray, sourceFile);
    QFETCH(int, line);
    QFETCH(QString, expected);

    Leave(module, TraceLevelRoutine, Intern(text), message.isNull() ? nullptr : new QString(message),
          line, Intern(function), Intern(sourceFile));
    const QString listing = GetRecentTrace(1, TraceLevelRoutine);
    QVERIFY2(listing.startsWith(QLatin1String("[-")) || listing.startsWith(QLatin1String("[0s")),
             qPrintable(listing));
    QVERIFY2(listing.endsWith(QLatin1String("\r\n")), qPrintable(listing));
    QCOMPARE(AfterAge(listing.chopped(2)), expected);
}

void Tst_logging::sourcePathTrimming_data()
{
    QTest::addColumn<QByteArray>("sourceFile");
    QTest::addColumn<QString>("shown");

    QTest::newRow("prefix of exactly 28 characters kept whole")
        << QByteArray("..\\NorvastelleRavidadIrerod\\")
        << QStringLiteral("..\\NorvastelleRavidadIrerod\\");
    QTest::newRow("one character past the prefix")
        << QByteArray("..\\NorvastelleRavidadIrerod\\x") << QStringLiteral("x");
    QTest::newRow("longer path trimmed")
        << QByteArray("..\\NorvastelleRavidadIrerod\\core\\main.cpp")
        << QStringLiteral("core\\main.cpp");
    QTest::newRow("slash separators kept whole")
        << QByteArray("../NorvastelleRavidadIrerod/core/main.cpp")
        << QStringLiteral("../NorvastelleRavidadIrerod/core/main.cpp");
    QTest::newRow("absolute slash path kept whole")
        << QByteArray("/work/NorvastelleRavidadIrerod/core/logging.cpp")
        << QStringLiteral("/work/NorvastelleRavidadIrerod/core/logging.cpp");
    QTest::newRow("prefix not at the start")
        << QByteArray("C:\\..\\NorvastelleRavidadIrerod\\a.cpp")
        << QStringLiteral("C:\\..\\NorvastelleRavidadIrerod\\a.cpp");
    QTest::newRow("prefix in other case")
        << QByteArray("..\\norvastelleravidadirerod\\a.cpp")
        << QStringLiteral("..\\norvastelleravidadirerod\\a.cpp");
    QTest::newRow("shorter than the prefix") << QByteArray("..\\Norvastelle")
                                             << QStringLiteral("..\\Norvastelle");
    QTest::newRow("empty path") << QByteArray("") << QString();
}

void Tst_logging::sourcePathTrimming()
{
    QFETCH(QByteArray, sourceFile);
    QFETCH(QString, shown);

    Leave(ModuleGUI, TraceLevelRoutine, "path", nullptr, 12, "Shown", Intern(sourceFile));
    const QString listing = GetRecentTrace(1, TraceLevelRoutine);
    QCOMPARE(AfterAge(listing), QStringLiteral("GUI] path @Shown @") + shown + QStringLiteral(":12\r\n"));
}

void Tst_logging::countIsCapped_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("steps");
    QTest::newRow("zero gives an empty listing") << 0 << 0;
    QTest::newRow("one") << 1 << 1;
    QTest::newRow("largest walk") << 15384 << 15384;
    QTest::newRow("one past the largest walk") << 15385 << 15384;
    QTest::newRow("more than a ring") << 20000 << 15384;
    QTest::newRow("largest int") << INT_MAX << 15384;
    QTest::newRow("minus one") << -1 << 15384;
    QTest::newRow("smallest int") << INT_MIN << 15384;
}

void Tst_logging::countIsCapped()
{
    QFETCH(int, count);
    QFETCH(int, steps);

    FillWithNumberedRecords(TraceRingSize, [](int) { return TraceLevelRoutine; });
    const QString listing = GetRecentTrace(count, TraceLevelRoutine);
    if (steps == 0) {
        QVERIFY(listing.isNull() || listing.isEmpty());
        return;
    }
    QString error;
    const QStringList lines = Lines(listing, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(lines.size(), steps);
    // Newest first, one slot back per step.
    for (int i = 0; i < lines.size(); ++i) {
        const int expectedIndex = TraceRingSize - 1 - i;
        QVERIFY2(LineNumberOf(lines.at(i)) == expectedIndex,
                 qPrintable(QStringLiteral("line %1: %2").arg(i).arg(lines.at(i))));
    }
}

void Tst_logging::levelFilterSkipsLowerLevels_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("count");
    QTest::newRow("notable, 300 slots") << int(TraceLevelNotable) << 300;
    QTest::newRow("warning, 300 slots") << int(TraceLevelWarning) << 300;
    QTest::newRow("error, 300 slots") << int(TraceLevelError) << 300;
    QTest::newRow("warning, largest walk") << int(TraceLevelWarning) << 20000;
}

void Tst_logging::levelFilterSkipsLowerLevels()
{
    QFETCH(int, level);
    QFETCH(int, count);

    const auto levelOf = [](int index) { return 1 + index % 3; };
    FillWithNumberedRecords(TraceRingSize, levelOf);

    const int steps = qMin(count, TraceListingMaxCount);
    QList<int> expected;
    for (int index = TraceRingSize - 1; index >= TraceRingSize - steps; --index) {
        if (levelOf(index) >= level)
            expected.append(index);
    }

    QString error;
    const QStringList lines = Lines(GetRecentTrace(count, TraceLevel(level)), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QList<int> shown;
    for (const QString& line : lines)
        shown.append(LineNumberOf(line));
    QCOMPARE(shown, expected);
}

void Tst_logging::scopeTraceLeavesEntryAndExit_data()
{
    QTest::addColumn<bool>("fail");
    QTest::newRow("normal return") << false;
    QTest::newRow("exception leaves the scope") << true;
}

void Tst_logging::scopeTraceLeavesEntryAndExit()
{
    QFETCH(bool, fail);

    int scopeLine = 0;
    QString listingInside;
    bool thrown = false;
    try {
        ScopedWork(fail, &scopeLine, &listingInside);
    } catch (const std::runtime_error&) {
        thrown = true;
    }
    QCOMPARE(thrown, fail);

    const QString where = QStringLiteral(" @ScopedWork @%1:%2").arg(QLatin1String(__FILE__)).arg(scopeLine);
    QCOMPARE(AfterAge(listingInside), QStringLiteral("GUI] >>") + where + QStringLiteral("\r\n"));

    // Both records are of the scope's level, so they are in both rings, exit first.
    for (TraceLevel level : {TraceLevelRoutine, TraceLevelNotable}) {
        QString error;
        const QStringList lines = Lines(GetRecentTrace(2, level), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(lines.size(), 2);
        QCOMPARE(AfterAge(lines.at(0)), QStringLiteral("GUI] <<") + where);
        QCOMPARE(AfterAge(lines.at(1)), QStringLiteral("GUI] >>") + where);
    }
}

void Tst_logging::ageIsNegativeSecondsInGeneralFormat()
{
    QElapsedTimer sinceLeft;
    sinceLeft.start();
    const char* marker = UniqueMarker("age");
    Leave(ModuleGUI, TraceLevelRoutine, marker);
    QThread::msleep(30);  // the record has to age
    const QString listing = GetRecentTrace(1, TraceLevelRoutine);
    const double upperBoundSeconds = sinceLeft.nsecsElapsed() / 1e9;

    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^\\[([^ ]+)s GUI\\] ")).match(listing);
    QVERIFY2(match.hasMatch(), qPrintable(listing));
    QVERIFY2(listing.contains(QLatin1String(marker)), qPrintable(listing));
    const QString ageText = match.captured(1);
    bool ok = false;
    const double age = ageText.toDouble(&ok);
    QVERIFY2(ok, qPrintable(ageText));
    QVERIFY2(age <= -0.030 && -age <= upperBoundSeconds + 1e-6, qPrintable(ageText));
    QCOMPARE(ageText, QString::number(age, 'g', 6));
}

QTEST_GUILESS_MAIN(Tst_logging)
#include "tst_logging.moc"
