#include "core/common.h"
#include "core/delaymonitor.h"
#include "core/exception.h"
#include "core/idnametable.h"
#include "core/logging.h"
#include "settings/settings.h"

#include <QDate>
#include <QElapsedTimer>
#include <QLocale>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

QString Render(const QMap<int, QByteArray>& namesById)
{
    QStringList parts;
    for (auto it = namesById.cbegin(); it != namesById.cend(); ++it)
        parts << QStringLiteral("%1:%2").arg(it.key()).arg(QString::fromLatin1(it.value()));
    return parts.join(QLatin1Char(' '));
}

QString Render(const QMap<QByteArray, int>& idsByName)
{
    QStringList parts;
    for (auto it = idsByName.cbegin(); it != idsByName.cend(); ++it)
        parts << QStringLiteral("%1:%2").arg(QString::fromLatin1(it.key())).arg(it.value());
    return parts.join(QLatin1Char(' '));
}

QMap<QByteArray, int> Inverse(const QMap<int, QByteArray>& namesById)
{
    QMap<QByteArray, int> idsByName;
    for (auto it = namesById.cbegin(); it != namesById.cend(); ++it)
        idsByName.insert(it.value(), it.key());
    return idsByName;
}

// A text whose every position differs from its neighbours, so a cut at the wrong place shows.
std::string PatternText(int length)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i)
        text.push_back(static_cast<char>('a' + i % 26));
    return text;
}

// __DATE__ pads a one-digit day with a blank ("Jan  5 2024").
QDate ParseBuildDate(const QString& text)
{
    return QLocale::c().toDate(text.simplified(), QStringLiteral("MMM d yyyy"));
}

} // namespace

class Tst_common : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void formatters_data();
    void formatters();
    void formatOrdinary();
    void formatTruncation_data();
    void formatTruncation();
    void helpersFromManyThreads();
    void compiledAt();
    void timeSinceStartCountsMilliseconds();

    void idNameRule_data();
    void idNameRule();
    void programTables_data();
    void programTables();

    void exceptionFromQString_data();
    void exceptionFromQString();
    void exceptionFromCharText();
    void assertMessage();
    void assertPassesAndEvaluatesOnce();

private:
    QElapsedTimer startedBeforeInitialization;
    QElapsedTimer startedAfterInitialization;
};

void Tst_common::initTestCase()
{
    startedBeforeInitialization.start();
    InitializeCommonModule();
    startedAfterInitialization.start();
}

void Tst_common::formatters_data()
{
    QTest::addColumn<QString>("formatter");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    QTest::newRow("KMG 999 stays plain") << "KMG" << 999.0 << "999";
    QTest::newRow("KMG 1000 is the k limit") << "KMG" << 1000.0 << "1k";
    QTest::newRow("KMG 1234") << "KMG" << 1234.0 << "1.234k";
    QTest::newRow("KMG 1500000") << "KMG" << 1500000.0 << "1.5M";
    QTest::newRow("KMG 2.5e9") << "KMG" << 2.5e9 << "2.5G";
    QTest::newRow("KMG 0") << "KMG" << 0.0 << "0";
    QTest::newRow("KMG fraction") << "KMG" << 0.25 << "0.25";
    QTest::newRow("KMG six significant digits") << "KMG" << 123456789.0 << "123.457M";
    QTest::newRow("KMG negative stays plain") << "KMG" << -5000.0 << "-5000";
    QTest::newRow("KMG large negative stays plain") << "KMG" << -2.5e9 << "-2.5e+09";
    QTest::newRow("KMG 999.9999 rounds without suffix") << "KMG" << 999.9999 << "1000";
    QTest::newRow("KMG 999999.9 rounds, keeps k") << "KMG" << 999999.9 << "1000k";
    QTest::newRow("KMG 1000000 is the M limit") << "KMG" << 1000000.0 << "1M";
    QTest::newRow("KMG 1e9 is the G limit") << "KMG" << 1e9 << "1G";
    QTest::newRow("KMG beyond G uses exponent") << "KMG" << 1e15 << "1e+06G";
    QTest::newRow("KMG NaN") << "KMG" << nan << "nanG";
    QTest::newRow("KMG NaN with sign bit, as 0.0/0.0 gives")
        << "KMG" << std::copysign(nan, -1.0) << "nanG";
    QTest::newRow("KMG small fraction") << "KMG" << 0.0001 << "0.0001";
    QTest::newRow("KMG tiny fraction uses exponent") << "KMG" << 0.00001 << "1e-05";
    QTest::newRow("KMG +inf") << "KMG" << inf << "infG";
    QTest::newRow("KMG -inf stays plain") << "KMG" << -inf << "-inf";

    QTest::newRow("KMG1024 1000 stays plain") << "KMG1024" << 1000.0 << "1000";
    QTest::newRow("KMG1024 1023") << "KMG1024" << 1023.0 << "1023";
    QTest::newRow("KMG1024 1024 is the k limit") << "KMG1024" << 1024.0 << "1k";
    QTest::newRow("KMG1024 1536") << "KMG1024" << 1536.0 << "1.5k";
    QTest::newRow("KMG1024 2^20 is the M limit") << "KMG1024" << 1048576.0 << "1M";
    QTest::newRow("KMG1024 just below 2^30 keeps M") << "KMG1024" << 1073741823.0 << "1024M";
    QTest::newRow("KMG1024 2^30 is the G limit") << "KMG1024" << 1073741824.0 << "1G";
    QTest::newRow("KMG1024 negative stays plain") << "KMG1024" << -2048.0 << "-2048";
    QTest::newRow("KMG1024 NaN") << "KMG1024" << nan << "nanG";
    QTest::newRow("KMG1024 +inf") << "KMG1024" << inf << "infG";

    QTest::newRow("Bps 1048576") << "Bps" << 1048576.0 << "1Mbps";
    QTest::newRow("Bps 2000000") << "Bps" << 2000000.0 << "1.90735Mbps";
    // 976.5625 exactly: the tie at the sixth digit rounds to even.
    QTest::newRow("Bps 1000000 counts in 1024s") << "Bps" << 1000000.0 << "976.562kbps";
    QTest::newRow("Bps tie rounding to even upwards") << "Bps" << 102592.0 << "100.188kbps";
    QTest::newRow("Bps 64 kbit/s voice") << "Bps" << 64000.0 << "62.5kbps";
    QTest::newRow("Bps 0") << "Bps" << 0.0 << "0bps";
    QTest::newRow("Bps 1000 stays plain") << "Bps" << 1000.0 << "1000bps";
    QTest::newRow("Bps 10 Gbit/s") << "Bps" << 1e10 << "9.31323Gbps";
    QTest::newRow("Bps NaN") << "Bps" << nan << "nanGbps";
    QTest::newRow("Bps negative") << "Bps" << -1.0 << "-1bps";
}

void Tst_common::formatters()
{
    QFETCH(QString, formatter);
    QFETCH(double, value);
    QFETCH(QString, text);

    if (formatter == QLatin1String("KMG"))
        QCOMPARE(FormatKMG(value), text);
    else if (formatter == QLatin1String("KMG1024"))
        QCOMPARE(FormatKMG1024(value), text);
    else if (formatter == QLatin1String("Bps"))
        QCOMPARE(FormatBps(value), text);
    else
        QFAIL("unknown formatter in the table");
}

void Tst_common::formatOrdinary()
{
    QCOMPARE(Format("%d %s %.2f %i", 42, "abc", 3.14159, -7), std::string("42 abc 3.14 -7"));
    QCOMPARE(Format("<a V=\"%f\" N=\"%i\"/>", 1.5, 3), std::string("<a V=\"1.500000\" N=\"3\"/>"));
    QCOMPARE(Format("no arguments"), std::string("no arguments"));
    QCOMPARE(Format("%s", ""), std::string());
    QCOMPARE(Format("%u%%", 100u), std::string("100%"));
    // The result is the text up to the first zero byte.
    QCOMPARE(Format("ab%ccd", 0), std::string("ab"));
}

void Tst_common::formatTruncation_data()
{
    QTest::addColumn<int>("length");

    QTest::newRow("empty") << 0;
    QTest::newRow("one character") << 1;
    QTest::newRow("one below the cap") << 4094;
    QTest::newRow("exactly the cap of 4095") << 4095;
    QTest::newRow("one above the cap") << 4096;
    QTest::newRow("5000 characters") << 5000;
    QTest::newRow("100000 characters") << 100000;
}

void Tst_common::formatTruncation()
{
    QFETCH(int, length);

    const std::string input = PatternText(length);
    const std::string output = Format("%s", input.c_str());
    QCOMPARE(output.size(), static_cast<std::size_t>(qMin(length, 4095)));
    QVERIFY(input.compare(0, output.size(), output) == 0);

    // The cut also falls inside a converted number, not just inside a copied string.
    const std::string prefix = PatternText(4090);
    QCOMPARE(Format("%s%d", prefix.c_str(), 1234567890), prefix + "12345");
}

// The helpers keep no shared state: threads that format at the same time each get their own
// text. Run under TSan this also proves no hidden buffer is shared.
void Tst_common::helpersFromManyThreads()
{
    constexpr int threadCount = 4;
    constexpr int rounds = 2000;
    std::atomic<int> ready{0};
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([t, &ready, &mismatches] {
            ready.fetch_add(1);
            while (ready.load() < threadCount)
                std::this_thread::yield();
            double lastMs = TimeSinceStartMs();
            for (int i = 0; i < rounds; ++i) {
                const std::string text = Format("thread %d round %d %s", t, i, "x");
                if (text != "thread " + std::to_string(t) + " round " + std::to_string(i) + " x")
                    mismatches.fetch_add(1);
                const double value = 1024.0 * (t + 1);
                if (FormatKMG1024(value) != QStringLiteral("%1k").arg(t + 1))
                    mismatches.fetch_add(1);
                const double nowMs = TimeSinceStartMs();
                if (nowMs < lastMs)
                    mismatches.fetch_add(1);
                lastMs = nowMs;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(mismatches.load(), 0);
}

void Tst_common::compiledAt()
{
    const QString text = CompiledAt();
    const QRegularExpression shape(QStringLiteral(
        "^(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|[12][0-9]|3[01]) [0-9]{4}$"));
    QVERIFY2(shape.match(text).hasMatch(), qPrintable(text));
    QVERIFY2(ParseBuildDate(text).isValid(), qPrintable(text));

    // In a fresh build the library and this test are compiled the same day; an incremental
    // build may have compiled the library on an earlier day, never on a later one.
    const QString testBuildDate = QStringLiteral(__DATE__);
    if (text != testBuildDate) {
        QVERIFY2(ParseBuildDate(text) < ParseBuildDate(testBuildDate),
                 qPrintable(text + QLatin1String(" vs ") + testBuildDate));
    }
}

// Ordering, not timing: the helper's clock starts between the two reference timers, so its
// reading lies between theirs once all are read in order. A wrong unit (seconds, nanoseconds)
// falls outside as soon as a few milliseconds have passed.
void Tst_common::timeSinceStartCountsMilliseconds()
{
    const double first = TimeSinceStartMs();
    QVERIFY(first >= 0.0);
    QTRY_VERIFY(startedAfterInitialization.nsecsElapsed() > 20 * 1000 * 1000);

    const double lowerMs = startedAfterInitialization.nsecsElapsed() * 1e-6;
    const double readingMs = TimeSinceStartMs();
    const double upperMs = startedBeforeInitialization.nsecsElapsed() * 1e-6;
    QVERIFY2(lowerMs <= readingMs && readingMs <= upperMs,
             qPrintable(QStringLiteral("%1 <= %2 <= %3").arg(lowerMs).arg(readingMs).arg(upperMs)));
    QVERIFY(readingMs > first);
}

void Tst_common::idNameRule_data()
{
    QTest::addColumn<QByteArray>("listText");
    QTest::addColumn<QString>("namesById");
    QTest::addColumn<QString>("idsByName");

    QTest::newRow("plain list") << QByteArray("A, B, C") << "0:A 1:B 2:C" << "A:0 B:1 C:2";
    QTest::newRow("no blanks") << QByteArray("A,B,C") << "0:A 1:B 2:C" << "A:0 B:1 C:2";
    QTest::newRow("explicit first id") << QByteArray("A=5, B") << "5:A 6:B" << "A:5 B:6";
    QTest::newRow("explicit id in the middle")
        << QByteArray("A, B=10, C") << "0:A 10:B 11:C" << "A:0 B:10 C:11";
    QTest::newRow("explicit id going back")
        << QByteArray("A=5, B=2, C") << "2:B 3:C 5:A" << "A:5 B:2 C:3";
    QTest::newRow("blanks around =") << QByteArray("A = 3, B") << "3:A 4:B" << "A:3 B:4";
    QTest::newRow("id as second word") << QByteArray("A 7, B") << "7:A 8:B" << "A:7 B:8";
    QTest::newRow("third word ignored") << QByteArray("A=3 extra, B") << "3:A 4:B" << "A:3 B:4";
    QTest::newRow("trailing comma adds nothing") << QByteArray("A, B,") << "0:A 1:B" << "A:0 B:1";
    QTest::newRow("single name") << QByteArray("Only") << "0:Only" << "Only:0";
    QTest::newRow("empty text") << QByteArray("") << "" << "";
    QTest::newRow("repeated id keeps the last name")
        << QByteArray("A=1, B=1") << "1:B" << "A:1 B:1";
    QTest::newRow("repeated name keeps the last id")
        << QByteArray("A, B, A") << "0:A 1:B 2:A" << "A:2 B:1";
    QTest::newRow("leading blanks skipped")
        << QByteArray("   A,    B,\tC") << "0:A 1:B 2:C" << "A:0 B:1 C:2";
    QTest::newRow("largest id") << QByteArray("A=2147483647") << "2147483647:A" << "A:2147483647";
}

void Tst_common::idNameRule()
{
    QFETCH(QByteArray, listText);
    QFETCH(QString, namesById);
    QFETCH(QString, idsByName);

    QMap<int, QByteArray> builtNames;
    QMap<QByteArray, int> builtIds;
    BuildIdNameTable(listText.constData(), &builtNames, &builtIds);
    QCOMPARE(Render(builtNames), namesById);
    QCOMPARE(Render(builtIds), idsByName);

    QCOMPARE(Render(BuildNamesById(listText.constData())), namesById);
    QCOMPARE(Render(BuildIdsByName(listText.constData())), idsByName);
}

// The three tables the program builds before main, against the ids the code uses for them.
void Tst_common::programTables_data()
{
    QTest::addColumn<QString>("namesById");
    QTest::addColumn<QString>("idsByName");
    QTest::addColumn<QString>("expectedNamesById");
    QTest::addColumn<QString>("expectedIdsByName");

    const QMap<int, QByteArray> modules = {
        {ModuleUDPTX, "UDPTX"}, {ModuleUDPRX, "UDPRX"},       {ModuleGUI, "GUI"},
        {ModuleVOIPC, "VOIPC"}, {ModuleVOIPS, "VOIPS"},       {ModuleCP, "CP"},
        {ModuleUX, "UX"},       {ModuleManagerC, "ManagerC"}, {ModuleSettings, "Settings"},
    };
    QTest::newRow("Modules") << Render(Modules::namesById) << Render(Modules::idsByName)
                             << Render(modules) << Render(Inverse(modules));

    const QMap<int, QByteArray> settingsNames = {
        {UDPTX_UI_DestinationHost, "UDPTX_UI_DestinationHost"},
        {UDPTX_UI_DestinationPort, "UDPTX_UI_DestinationPort"},
        {UDPRX_MeasurementsIntervalSecs, "UDPRX_MeasurementsIntervalSecs"},
        {UDPRX_JitterHistogramBinSizeMcs, "UDPRX_JitterHistogramBinSizeMcs"},
        {UDPRX_SaveToCsvFiles, "UDPRX_SaveToCsvFiles"},
        {UX_DontAskFeedback, "UX_DontAskFeedback"},
        {TestManager_DisableConnection, "TestManager_DisableConnection"},
        {TestManager_UserId, "TestManager_UserId"},
        {TestManager_Password, "TestManager_Password"},
        {TestManager_UserDefinedAgentId, "TestManager_UserDefinedAgentId"},
    };
    QTest::newRow("SettingsNames") << Render(SettingsNames::namesById)
                                   << Render(SettingsNames::idsByName) << Render(settingsNames)
                                   << Render(Inverse(settingsNames));

    const QMap<int, QByteArray> actions = {
        {DelayMonitorActions::UDPTX_generatingAndSending, "UDPTX_generatingAndSending"},
        {DelayMonitorActions::UDPRX_processing, "UDPRX_processing"},
        {DelayMonitorActions::ManagerC_ping, "ManagerC_ping"},
    };
    QTest::newRow("DelayMonitorActions")
        << Render(DelayMonitorActions::namesById) << Render(DelayMonitorActions::idsByName)
        << Render(actions) << Render(Inverse(actions));
}

void Tst_common::programTables()
{
    QFETCH(QString, namesById);
    QFETCH(QString, idsByName);
    QFETCH(QString, expectedNamesById);
    QFETCH(QString, expectedIdsByName);

    QCOMPARE(namesById, expectedNamesById);
    QCOMPARE(idsByName, expectedIdsByName);
}

void Tst_common::exceptionFromQString_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("what");

    QTest::newRow("ASCII unchanged") << QStringLiteral("Cannot bind UDP port 5060")
                                     << QByteArray("Cannot bind UDP port 5060");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("Latin-1 letters kept as Latin-1 bytes")
        << QString::fromUtf8("Gr\u00fc\u00dfe caf\u00e9 \u00ff") << QByteArray("Gr\xfc\xdf" "e caf\xe9 \xff");
    QTest::newRow("first character past Latin-1") << QString(QChar(0x0100)) << QByteArray("?");
    QTest::newRow("Greek letter") << QString::fromUtf8("\u03a9 = 1") << QByteArray("? = 1");
    QTest::newRow("euro sign") << QString::fromUtf8("5 \u20ac") << QByteArray("5 ?");
    QTest::newRow("CJK, one ? each")
        << QString::fromUtf8("\u7aef\u53e3 5060") << QByteArray("?? 5060");
    QTest::newRow("outside the BMP, one ? per character")
        << QString::fromUtf8("x\U0001F600y\U00010348z") << QByteArray("x?y?z");
    QTest::newRow("lone surrogate") << (QString(QChar(0xD800)) + QLatin1Char('z'))
                                    << QByteArray("?z");
}

void Tst_common::exceptionFromQString()
{
    QFETCH(QString, message);
    QFETCH(QByteArray, what);

    try {
        throw Exception(message);
    } catch (const std::runtime_error& e) {
        QCOMPARE(QByteArray(e.what()), what);
        return;
    }
    QFAIL("Exception was not caught as std::runtime_error");
}

void Tst_common::exceptionFromCharText()
{
    const char* const text = "Malformed response: \xe9t\xe9";
    const Exception e(text);
    QCOMPARE(QByteArray(e.what()), QByteArray(text));
    const std::runtime_error& base = e;
    QCOMPARE(QByteArray(base.what()), QByteArray(text));
}

void Tst_common::assertMessage()
{
    const QString name = QStringLiteral("udpRxStreamsConfig");
    try {
        NRI_ASSERT(name == "udpTxStreamsConfig");
    } catch (const Exception& e) {
        QCOMPARE(QByteArray(e.what()),
                 QByteArray("Assertion failed. Following expression is false: "
                            "name == \"udpTxStreamsConfig\""));
        return;
    }
    QFAIL("NRI_ASSERT did not throw on a false expression");
}

void Tst_common::assertPassesAndEvaluatesOnce()
{
    int evaluations = 0;
    auto check = [&evaluations](bool result) {
        ++evaluations;
        return result;
    };

    NRI_ASSERT(check(true));
    QCOMPARE(evaluations, 1);

    bool thrown = false;
    try {
        NRI_ASSERT(check(false));
    } catch (const Exception& e) {
        thrown = true;
        QCOMPARE(QByteArray(e.what()),
                 QByteArray("Assertion failed. Following expression is false: check(false)"));
    }
    QVERIFY(thrown);
    QCOMPARE(evaluations, 2);
}

QTEST_GUILESS_MAIN(Tst_common)
#include "tst_common.moc"
