#include "core/common.h"
#include "core/logging.h"

#include <QElapsedTimer>
#include <QHash>
#include <QRegularExpression>
#include <QtTest>
#include <atomic>
#include <thread>
#include <vector>

// Writers overwrite both rings at full speed, with and without messages, while listings read the
// very slots being overwritten. Every line of every listing must be a whole record that some
// writer left: a torn record, a torn or freed message, or a record newer than the listing's start
// (which would break each writer's newest-first order) fails the test. Run it under TSan and ASan.

namespace {

constexpr int writerCount = 3;
constexpr int runMs = 2500;

// FNV-1a over the UTF-16 units: a message carries the checksum of its own body.
quint32 Checksum(const QString& body)
{
    quint32 hash = 2166136261u;
    for (const QChar c : body) {
        hash ^= c.unicode();
        hash *= 16777619u;
    }
    return hash;
}

QString MessageText(int writer, quint32 sequence)
{
    const QString body = QStringLiteral("w%1#%2:").arg(writer).arg(sequence) +
                         QString(int(sequence % 40), QChar(QLatin1Char('a' + char(sequence % 26))));
    return body + QLatin1Char('|') + QStringLiteral("%1").arg(Checksum(body), 8, 16, QLatin1Char('0'));
}

const char* const levelTexts[4] = {"L0 ", "L1 ", "L2 ", "L3 "};

// Record lines of the functions that leave records; each is the line of the statement below it.
constexpr int scopedRoutineLine = __LINE__ + 3;
void ScopedRoutine()
{
    TRACE_SCOPE(ModuleUDPTX, TraceLevelRoutine);
}

constexpr int scopedNotableLine = __LINE__ + 3;
void ScopedNotable()
{
    TRACE_SCOPE(ModuleUDPRX, TraceLevelNotable);
}

constexpr int messageStepLine = __LINE__ + 3;
void MessageStep(int writer, quint32 sequence)
{
    TRACE_MESSAGE(ModuleGUI, TraceLevelWarning, MessageText(writer, sequence));
}

// Records of the writer loop carry 4000 + sequence % 1000 in their line field, their level in
// their text and their writer in their module, so a record torn between two writes shows.
constexpr int writerLoopLine = 4000;
const char* const writerModules[writerCount] = {"UDPTX", "UDPRX", "GUI"};

void WriterLoop(int writer, const std::atomic<bool>* stop, std::atomic<quint64>* recordsLeft)
{
    quint64 records = 0;
    for (quint32 sequence = 1; !stop->load(std::memory_order_relaxed); ++sequence) {
        const int level = int(sequence % 4);
        Trace record;
        record.compileDate = __DATE__;
        record.sourceFile = __FILE__;
        record.function = __func__;
        record.line = writerLoopLine + int(sequence % 1000);
        record.module = writer;
        record.text = levelTexts[level];
        record.level = level;
        if (sequence % 3 != 0)
            record.message = new QString(MessageText(writer, sequence));
        LeaveTrace(&record);
        ++records;
        if (sequence % 16 == 0) {
            ScopedRoutine();
            records += 2;
        }
        if (sequence % 16 == 8) {
            ScopedNotable();
            records += 2;
        }
        if (sequence % 8 == 5) {
            MessageStep(writer, sequence);
            ++records;
        }
    }
    recordsLeft->fetch_add(records);
}

struct Expected
{
    QString function;
    int line;
    int level;  // -1: given by the text
};

// Checks one listing; returns the first fault found, or an empty text.
class ListingChecker
{
public:
    ListingChecker()
        : linePattern(QStringLiteral("^\\[([^ ]+)s (UDPTX|UDPRX|GUI)\\] (L[0-3] |>>|<<)?(.*) "
                                     "@([A-Za-z]+) @(.+):(\\d+)$")),
          messagePattern(QStringLiteral("^w(\\d)#(\\d+):([a-z]*)\\|([0-9a-f]{8})$"))
    {
        expected.insert(QStringLiteral("WriterLoop"), {QStringLiteral("WriterLoop"), writerLoopLine, -1});
        expected.insert(QStringLiteral("ScopedRoutine"), {QStringLiteral("ScopedRoutine"), scopedRoutineLine, 0});
        expected.insert(QStringLiteral("ScopedNotable"), {QStringLiteral("ScopedNotable"), scopedNotableLine, 1});
        expected.insert(QStringLiteral("MessageStep"), {QStringLiteral("MessageStep"), messageStepLine, 2});
    }

    QString Check(const QString& listing, int count, int level, int* lineCount) const
    {
        *lineCount = 0;
        if (listing.isEmpty())
            return QString();
        if (!listing.endsWith(QLatin1String("\r\n")))
            return QStringLiteral("listing does not end with CR LF");
        QVector<QStringRef> lines = listing.splitRef(QStringLiteral("\r\n"));
        lines.removeLast();
        *lineCount = lines.size();
        if (lines.size() > count)
            return QStringLiteral("%1 lines from %2 steps").arg(lines.size()).arg(count);

        quint64 lastSequence[writerCount];
        for (quint64& sequence : lastSequence)
            sequence = ~quint64(0);
        for (const QStringRef& lineRef : lines) {
            const QString line = lineRef.toString();
            const QString fault = CheckLine(line, level, lastSequence);
            if (!fault.isEmpty())
                return fault + QStringLiteral(" in line: ") + line;
        }
        return QString();
    }

private:
    QString CheckLine(const QString& line, int level, quint64* lastSequence) const
    {
        const QRegularExpressionMatch match = linePattern.match(line);
        if (!match.hasMatch())
            return QStringLiteral("malformed line");
        bool ok = false;
        const double age = match.captured(1).toDouble(&ok);
        if (!ok || age > 0)
            return QStringLiteral("bad age");
        if (match.captured(6) != QLatin1String(__FILE__))
            return QStringLiteral("unknown source file");
        const auto found = expected.constFind(match.captured(5));
        if (found == expected.cend())
            return QStringLiteral("unknown function");
        const int lineNumber = match.captured(7).toInt();
        const bool writerLoop = found->function == QLatin1String("WriterLoop");
        if (writerLoop ? lineNumber < writerLoopLine || lineNumber >= writerLoopLine + 1000
                       : lineNumber != found->line)
            return QStringLiteral("wrong line number");

        const QString marker = match.captured(3);
        const QString message = match.captured(4);
        int recordLevel = found->level;
        if (writerLoop) {
            if (!marker.startsWith(QLatin1Char('L')))
                return QStringLiteral("writer record without its level text");
            recordLevel = marker.at(1).digitValue();
        } else if (found->function == QLatin1String("MessageStep")) {
            if (!marker.isEmpty())
                return QStringLiteral("text on a message-only record");
        } else if (marker != QLatin1String(">>") && marker != QLatin1String("<<")) {
            return QStringLiteral("scope record without >> or <<");
        } else if (!message.isEmpty()) {
            return QStringLiteral("scope record with a message");
        }
        if (recordLevel < level)
            return QStringLiteral("record below the listing's level");

        if (message.isEmpty()) {
            if (found->function == QLatin1String("MessageStep"))
                return QStringLiteral("message lost");
            return QString();
        }
        const QRegularExpressionMatch parts = messagePattern.match(message);
        if (!parts.hasMatch())
            return QStringLiteral("malformed message");
        const QString body = message.left(message.lastIndexOf(QLatin1Char('|')));
        if (parts.captured(4).toUInt(nullptr, 16) != Checksum(body))
            return QStringLiteral("torn message");
        const int writer = parts.captured(1).toInt();
        const quint64 sequence = parts.captured(2).toULongLong();
        if (writer < 0 || writer >= writerCount)
            return QStringLiteral("unknown writer");
        if (MessageText(writer, quint32(sequence)) != message)
            return QStringLiteral("message text differs from what was written");
        if (writerLoop && (recordLevel != int(sequence % 4) || lineNumber != writerLoopLine + int(sequence % 1000) ||
                           match.captured(2) != QLatin1String(writerModules[writer])))
            return QStringLiteral("fields of different records");
        // A writer's records carry increasing sequences, so newest first means decreasing ones.
        // The message step follows the writer's own record of the same sequence.
        const quint64 order = sequence * 2 + (found->function == QLatin1String("MessageStep") ? 1 : 0);
        if (order >= lastSequence[writer])
            return QStringLiteral("out of order for its writer");
        lastSequence[writer] = order;
        return QString();
    }

    QRegularExpression linePattern;
    QRegularExpression messagePattern;
    QHash<QString, Expected> expected;
};

struct ReaderTotals
{
    int listings = 0;
    qint64 lines = 0;
    QString firstFault;
};

// Every 20 rounds list each of five counts at each of four levels.
constexpr int roundsPerCycle = 20;

// One listing of a kind chosen by its round number; returns false on a fault.
bool ListOnce(const ListingChecker& checker, int round, ReaderTotals* totals)
{
    static const int counts[] = {TraceListingMaxCount, 20000, -1, 700, 1};
    const int count = counts[round % 5];
    const int level = round % 4;
    const QString listing = GetRecentTrace(count, TraceLevel(level));
    int lines = 0;
    const int steps = count < 0 || count > TraceListingMaxCount ? TraceListingMaxCount : count;
    const QString fault = checker.Check(listing, steps, level, &lines);
    ++totals->listings;
    totals->lines += lines;
    if (!fault.isEmpty()) {
        totals->firstFault = QStringLiteral("listing(%1, %2): %3").arg(count).arg(level).arg(fault);
        return false;
    }
    return true;
}

}  // namespace

class Tst_tracestress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listingsWhileWritersOverwrite();
};

void Tst_tracestress::initTestCase()
{
    InitializeCommonModule();
    InitializeLoggingModule();
}

void Tst_tracestress::listingsWhileWritersOverwrite()
{
    std::atomic<bool> stop{false};
    std::atomic<quint64> recordsLeft{0};
    std::vector<std::thread> writers;
    for (int writer = 0; writer < writerCount; ++writer)
        writers.emplace_back(WriterLoop, writer, &stop, &recordsLeft);

    // A second reader: listings are serialised among themselves, never against writers.
    ReaderTotals otherTotals;
    std::atomic<bool> otherReaderStop{false};
    std::thread otherReader([&] {
        const ListingChecker checker;
        for (int round = 3; !otherReaderStop.load(); ++round) {
            if (!ListOnce(checker, round, &otherTotals))
                break;
        }
    });

    const ListingChecker checker;
    ReaderTotals totals;
    QElapsedTimer running;
    running.start();
    for (int round = 0; running.elapsed() < runMs || totals.listings < roundsPerCycle; ++round) {
        if (!ListOnce(checker, round, &totals))
            break;
    }

    otherReaderStop = true;
    otherReader.join();
    stop = true;
    for (std::thread& writer : writers)
        writer.join();

    qInfo("%llu records left, %d + %d listings, %lld + %lld lines checked",
          static_cast<unsigned long long>(recordsLeft.load()), totals.listings,
          otherTotals.listings, static_cast<long long>(totals.lines),
          static_cast<long long>(otherTotals.lines));
    QVERIFY2(totals.firstFault.isEmpty(), qPrintable(totals.firstFault));
    QVERIFY2(otherTotals.firstFault.isEmpty(), qPrintable(otherTotals.firstFault));
    QVERIFY2(recordsLeft.load() > quint64(TraceRingSize), "the writers did not lap the rings");
    QVERIFY(totals.lines > 0);

    // Once one writer alone has refilled both rings, a listing shows a record at every step.
    for (int i = 0; i < TraceRingSize; ++i) {
        Trace record;
        record.sourceFile = __FILE__;
        record.function = "WriterLoop";
        record.line = writerLoopLine;
        record.text = levelTexts[1];
        record.level = TraceLevelNotable;
        LeaveTrace(&record);
    }
    int lines = 0;
    QCOMPARE(checker.Check(GetRecentTrace(TraceListingMaxCount, TraceLevelRoutine),
                           TraceListingMaxCount, 0, &lines),
             QString());
    QCOMPARE(lines, TraceListingMaxCount);
    QCOMPARE(checker.Check(GetRecentTrace(TraceListingMaxCount, TraceLevelNotable),
                           TraceListingMaxCount, 1, &lines),
             QString());
    QCOMPARE(lines, TraceListingMaxCount);
}

QTEST_GUILESS_MAIN(Tst_tracestress)
#include "tst_tracestress.moc"
