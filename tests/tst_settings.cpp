#include "core/common.h"
#include "core/exception.h"
#include "core/logging.h"
#include "settings/settings.h"

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

Q_DECLARE_METATYPE(QVariantMap)

namespace {

QByteArray ReadWholeFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool WriteWholeFile(const QString& fileName, const QByteArray& content)
{
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

QByteArray SettingsDocument(const QByteArray& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings>\n" + body + "</settings>\n";
}

QString DataStreamHex(const QVariant& value)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << value;
    return QString::fromLatin1(bytes.toHex());
}

// Number of records of module Settings with this exact text (or message) among the newest
// records of the given level and above.
int CountSettingsRecords(TraceLevel level, const QString& text)
{
    const QString listing = GetRecentTrace(TraceListingMaxCount, level);
    return listing.count(QStringLiteral("Settings] ") + text + QStringLiteral(" @"));
}

// Equal maps with values of the same type: QVariant equality alone converts (int 5 == "5").
QString DescribeMapDifference(const QVariantMap& actual, const QVariantMap& expected)
{
    if (actual.keys() != expected.keys())
        return QStringLiteral("names differ: got [%1], expected [%2]")
            .arg(actual.keys().join(QLatin1Char(',')), expected.keys().join(QLatin1Char(',')));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QVariant& got = actual.value(it.key());
        if (got.userType() != it.value().userType() || got != it.value() ||
            got.isValid() != it.value().isValid())
            return QStringLiteral("%1: got %2 '%3', expected %4 '%5'")
                .arg(it.key(), QString::fromLatin1(got.typeName()), got.toString().left(40),
                     QString::fromLatin1(it.value().typeName()), it.value().toString().left(40));
    }
    return QString();
}

QVariantMap ByName(const QMap<int, QVariant>& byId)
{
    QVariantMap result;
    for (auto it = byId.cbegin(); it != byId.cend(); ++it)
        result.insert(QString::fromLatin1(SettingsNames::namesById.value(it.key())), it.value());
    return result;
}

// A long text whose every character depends on k, so a torn or mixed value is detectable.
QString StressText(int k)
{
    return QStringLiteral("host-%1-").arg(k) + QString(200, QChar(QLatin1Char('a' + k % 26)));
}

// Runs its action when the scope ends, also when a failed check returns early.
class ScopeExit
{
public:
    explicit ScopeExit(std::function<void()> action) : action(std::move(action)) {}
    ~ScopeExit() { action(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    std::function<void()> action;
};

int StressTextIndex(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('-'));
    if (parts.size() != 3 || parts.at(0) != QLatin1String("host"))
        return -1;
    bool ok = false;
    const int k = parts.at(1).toInt(&ok);
    return ok && text == StressText(k) ? k : -1;
}

} // namespace

class Tst_settings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fileNameFollowsExecutable();
    void importRejectsBadDocuments_data();
    void importRejectsBadDocuments();
    void importConvertsValues_data();
    void importConvertsValues();
    void loadReadsValuesThroughConversions_data();
    void loadReadsValuesThroughConversions();
    void loadDropsUnknownNames();
    void missingFileLoadsNothing();
    void malformedFileLoadsNothing_data();
    void malformedFileLoadsNothing();
    void writesExactDocument();
    void firstSaveWritesEntriesReadSoFar();
    void valuesRoundTripThroughFile_data();
    void valuesRoundTripThroughFile();
    void unchangedValueIsNotWritten_data();
    void unchangedValueIsNotWritten();
    void saveThatCannotOpenLeavesRecord_data();
    void saveThatCannotOpenLeavesRecord();
    void failedWriteKeepsOldFile_data();
    void failedWriteKeepsOldFile();
    void readersRaceSaves();

private:
    QString settingsFile;
    QTemporaryDir scratch;
};

void Tst_settings::initTestCase()
{
    InitializeCommonModule();
    InitializeLoggingModule();
    settingsFile = GetSettingsFileName();
    QVERIFY2(scratch.isValid(), qPrintable(scratch.errorString()));
}

void Tst_settings::init()
{
    QFile::remove(settingsFile);
    InitializeSettings();
    QVERIFY(GetSettingsSnapshot().isEmpty());
}

void Tst_settings::cleanup()
{
    QFile::remove(settingsFile);
}

void Tst_settings::fileNameFollowsExecutable()
{
    QCOMPARE(GetSettingsFileName(),
             QCoreApplication::applicationFilePath() + QStringLiteral(".settings.xml"));
    QVERIFY(QFileInfo(GetSettingsFileName()).isAbsolute());
}

void Tst_settings::importRejectsBadDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("device"); // "null", "closed", "writeOnly" or "readable"
    QTest::addColumn<QString>("message");

    const QByteArray valid = SettingsDocument("");
    QTest::newRow("null device") << valid << "null" << "XML file is not readable";
    QTest::newRow("device not open") << valid << "closed" << "XML file is not readable";
    QTest::newRow("device open for writing only") << valid << "writeOnly"
                                                  << "XML file is not readable";
    QTest::newRow("empty input") << QByteArray() << "readable" << "Invalid xml document format";
    QTest::newRow("declaration only") << QByteArray("<?xml version=\"1.0\"?>\n") << "readable"
                                      << "Empty settings xml document";
    QTest::newRow("comment only") << QByteArray("<?xml version=\"1.0\"?>\n<!-- none -->\n")
                                  << "readable" << "Empty settings xml document";
    QTest::newRow("text instead of a root") << QByteArray("hello") << "readable"
                                            << "Empty settings xml document";
    QTest::newRow("other root element")
        << QByteArray("<?xml version=\"1.0\"?>\n<config><setting name=\"UX_DontAskFeedback\" "
                      "type=\"int\">1</setting></config>\n")
        << "readable" << "Unknown settings XML root element";
    QTest::newRow("root name differs in case") << QByteArray("<Settings/>") << "readable"
                                               << "Unknown settings XML root element";
    QTest::newRow("document cut short")
        << QByteArray("<settings>\n    <setting name=\"UX_DontAskFeedback\" type=\"int\">1")
        << "readable" << "Error in settings XML file: Premature end of document.";
    QTest::newRow("mismatched end tag")
        << QByteArray("<settings><setting name=\"a\" type=\"int\">1</settin></settings>")
        << "readable" << "Error in settings XML file: Opening and ending tag mismatch.";
    QTest::newRow("content after the root")
        << SettingsDocument("") + "<settings/>" << "readable"
        << "Error in settings XML file: Extra content at end of document.";
}

void Tst_settings::importRejectsBadDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, device);
    QFETCH(QString, message);

    QBuffer buffer(&document);
    if (device == QLatin1String("readable"))
        QVERIFY(buffer.open(QIODevice::ReadOnly));
    else if (device == QLatin1String("writeOnly"))
        QVERIFY(buffer.open(QIODevice::WriteOnly | QIODevice::Append));
    QIODevice* input = device == QLatin1String("null") ? nullptr : &buffer;

    try {
        const QVariantMap pairs = SettingsXmlProcedures::ImportSettingsFromXml(input);
        QFAIL(qPrintable(QStringLiteral("no exception; %1 pairs read").arg(pairs.size())));
    } catch (const Exception& e) {
        QCOMPARE(QString::fromLatin1(e.what()), message);
    }
}

void Tst_settings::importConvertsValues_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QVariantMap>("expected");

    auto one = [](const QVariant& value) { return QVariantMap{{QStringLiteral("a"), value}}; };

    QTest::newRow("int") << QByteArray("<setting name=\"a\" type=\"int\">-42</setting>")
                         << one(QVariant(-42));
    QTest::newRow("int that is not a number stays text")
        << QByteArray("<setting name=\"a\" type=\"int\">abc</setting>")
        << one(QVariant(QStringLiteral("abc")));
    QTest::newRow("empty int element is empty text")
        << QByteArray("<setting name=\"a\" type=\"int\"></setting>") << one(QVariant(QString()));
    QTest::newRow("empty QString element is empty text")
        << QByteArray("<setting name=\"a\" type=\"QString\"/>") << one(QVariant(QString()));
    QTest::newRow("QString with entities")
        << QByteArray("<setting name=\"a\" type=\"QString\">x &amp; &lt;y&gt; &#65;</setting>")
        << one(QVariant(QStringLiteral("x & <y> A")));
    QTest::newRow("bool") << QByteArray("<setting name=\"a\" type=\"bool\">true</setting>")
                          << one(QVariant(true));
    QTest::newRow("double") << QByteArray("<setting name=\"a\" type=\"double\">0.25</setting>")
                            << one(QVariant(0.25));
    QTest::newRow("double that is not a number stays text")
        << QByteArray("<setting name=\"a\" type=\"double\">fast</setting>")
        << one(QVariant(QStringLiteral("fast")));
    QTest::newRow("uint") << QByteArray("<setting name=\"a\" type=\"uint\">4294967295</setting>")
                          << one(QVariant(4294967295u));
    QTest::newRow("negative uint stays text")
        << QByteArray("<setting name=\"a\" type=\"uint\">-1</setting>")
        << one(QVariant(QStringLiteral("-1")));
    QTest::newRow("qlonglong")
        << QByteArray("<setting name=\"a\" type=\"qlonglong\">-9223372036854775808</setting>")
        << one(QVariant(std::numeric_limits<qlonglong>::min()));
    QTest::newRow("qulonglong")
        << QByteArray("<setting name=\"a\" type=\"qulonglong\">18446744073709551615</setting>")
        << one(QVariant(std::numeric_limits<qulonglong>::max()));

    const QVariant list(QStringList{QStringLiteral("x"), QStringLiteral("y z")});
    QTest::newRow("QStringList from hex")
        << ("<setting name=\"a\" type=\"QStringList\">" + DataStreamHex(list).toLatin1() +
            "</setting>")
        << one(list);
    const QVariant bytes(QByteArray("\x00\x01\xff", 3));
    QTest::newRow("QByteArray from hex")
        << ("<setting name=\"a\" type=\"QByteArray\">" + DataStreamHex(bytes).toLatin1() +
            "</setting>")
        << one(bytes);
    QTest::newRow("unknown type name is decoded from hex")
        << ("<setting name=\"a\" type=\"Frobnicator\">" + DataStreamHex(QVariant(7)).toLatin1() +
            "</setting>")
        << one(QVariant(7));
    QTest::newRow("empty type is an entry without value")
        << QByteArray("<setting name=\"a\" type=\"\">0000000001</setting>") << one(QVariant());
    QTest::newRow("cut hex gives no value")
        << QByteArray("<setting name=\"a\" type=\"QStringList\">0000000b00</setting>")
        << one(QVariant());
    QTest::newRow("missing attributes give empty name and type")
        << QByteArray("<setting>0000000001</setting>")
        << QVariantMap{{QString(), QVariant()}};

    QTest::newRow("child element first drops the setting")
        << QByteArray("<setting name=\"a\" type=\"int\"><v>1</v></setting>"
                      "<setting name=\"b\" type=\"int\">2</setting>")
        << QVariantMap{{QStringLiteral("b"), QVariant(2)}};
    QTest::newRow("comment first drops the setting")
        << QByteArray("<setting name=\"a\" type=\"int\"><!-- c -->1</setting>") << QVariantMap();
    QTest::newRow("setting nested in a dropped setting is read")
        << QByteArray("<setting name=\"a\" type=\"int\"><setting name=\"b\" type=\"int\">2"
                      "</setting></setting>")
        << QVariantMap{{QStringLiteral("b"), QVariant(2)}};
    QTest::newRow("setting at any depth")
        << QByteArray("<group><inner><setting name=\"a\" type=\"int\">3</setting></inner></group>")
        << one(QVariant(3));
    QTest::newRow("repeated name keeps the last")
        << QByteArray("<setting name=\"a\" type=\"int\">1</setting>"
                      "<setting name=\"a\" type=\"QString\">second</setting>")
        << one(QVariant(QStringLiteral("second")));
    // A hand-edited file may name GUI types in the hex form (a cursor here), bare or inside a
    // list of variants: they are not read back and leave an entry without a value.
    QTest::newRow("hex of a GUI type gives no value")
        << QByteArray("<setting name=\"a\" type=\"\">0000004a000000</setting>")
        << one(QVariant());
    QTest::newRow("hex of a variant list gives no value")
        << QByteArray("<setting name=\"a\" type=\"\">00000009000000000100000" "04a000000</setting>")
        << one(QVariant());
    QTest::newRow("other elements are skipped")
        << QByteArray("<note>x</note><setting name=\"a\" type=\"int\">5</setting><?pi x?>")
        << one(QVariant(5));
}

void Tst_settings::importConvertsValues()
{
    QFETCH(QByteArray, body);
    QFETCH(QVariantMap, expected);

    QByteArray document = SettingsDocument(body);
    QBuffer buffer(&document);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QVariantMap actual;
    try {
        actual = SettingsXmlProcedures::ImportSettingsFromXml(&buffer);
    } catch (const Exception& e) {
        QFAIL(e.what());
    }
    const QString difference = DescribeMapDifference(actual, expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void Tst_settings::loadReadsValuesThroughConversions_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number");

    QTest::newRow("int text abc") << QByteArray("type=\"int\">abc</setting>") << "abc" << 0;
    QTest::newRow("empty int element") << QByteArray("type=\"int\"></setting>") << "" << 0;
    QTest::newRow("empty QString element") << QByteArray("type=\"QString\"></setting>") << ""
                                           << 0;
    QTest::newRow("number stored as text") << QByteArray("type=\"QString\">30</setting>") << "30"
                                           << 30;
    QTest::newRow("int") << QByteArray("type=\"int\">45</setting>") << "45" << 45;
    QTest::newRow("entry without value") << QByteArray("type=\"\">0000000001</setting>") << ""
                                         << 0;
}

void Tst_settings::loadReadsValuesThroughConversions()
{
    QFETCH(QByteArray, element);
    QFETCH(QString, text);
    QFETCH(int, number);

    QVERIFY(WriteWholeFile(settingsFile,
                           SettingsDocument("<setting name=\"UDPRX_MeasurementsIntervalSecs\" " +
                                            element + "\n")));
    InitializeSettings();
    QVERIFY(GetSettingsSnapshot().contains(UDPRX_MeasurementsIntervalSecs));
    QCOMPARE(GetSettingsStringValue(UDPRX_MeasurementsIntervalSecs), text);
    QCOMPARE(GetSettingsInt32Value(UDPRX_MeasurementsIntervalSecs), number);
}

void Tst_settings::loadDropsUnknownNames()
{
    QVERIFY(WriteWholeFile(settingsFile,
                           SettingsDocument("<setting name=\"UX_DontAskFeedback\" type=\"int\">1"
                                            "</setting>\n"
                                            "<setting name=\"ux_dontaskfeedback\" type=\"int\">2"
                                            "</setting>\n"
                                            "<setting name=\"NoSuchSetting\" type=\"QString\">x"
                                            "</setting>\n")));
    InitializeSettings();
    const QMap<int, QVariant> expected{{UX_DontAskFeedback, QVariant(1)}};
    QCOMPARE(GetSettingsSnapshot(), expected);

    // The next save forgets them.
    SaveSettingsValue(TestManager_UserId, QStringLiteral("user"));
    const QByteArray written = ReadWholeFile(settingsFile);
    QVERIFY2(!written.contains("ux_dontaskfeedback") && !written.contains("NoSuchSetting"),
             written.constData());
    QVERIFY2(written.contains("<setting name=\"UX_DontAskFeedback\" type=\"int\">1</setting>"),
             written.constData());
}

void Tst_settings::missingFileLoadsNothing()
{
    SaveSettingsValue(UX_DontAskFeedback, 1);
    QFile::remove(settingsFile);

    const QString record = QStringLiteral("could not open settings file");
    const int before = CountSettingsRecords(TraceLevelError, record);
    InitializeSettings();
    QVERIFY(GetSettingsSnapshot().isEmpty());
    QCOMPARE(GetSettingsInt32Value(UX_DontAskFeedback), 0);
    QCOMPARE(CountSettingsRecords(TraceLevelError, record), before + 1);

    InitializeSettings();
    const QString recent = GetRecentTrace(10, TraceLevelRoutine);
    QVERIFY2(recent.contains(QStringLiteral("Settings] loading settings from ") + settingsFile +
                             QStringLiteral(" @InitializeSettings")),
             qPrintable(recent));
}

void Tst_settings::malformedFileLoadsNothing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");

    QTest::newRow("empty file") << QByteArray() << "Invalid xml document format";
    QTest::newRow("declaration only") << QByteArray("<?xml version=\"1.0\"?>\n")
                                      << "Empty settings xml document";
    QTest::newRow("other root element")
        << QByteArray("<config><setting name=\"UX_DontAskFeedback\" type=\"int\">1</setting>"
                      "</config>")
        << "Unknown settings XML root element";
    QTest::newRow("valid settings before a parse error")
        << QByteArray("<settings><setting name=\"UX_DontAskFeedback\" type=\"int\">1</setting>"
                      "<setting name=\"TestManager_UserId\" type=\"QString\">u</setting>")
        << "Error in settings XML file: Premature end of document.";
}

void Tst_settings::malformedFileLoadsNothing()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);

    QVERIFY(WriteWholeFile(settingsFile, SettingsDocument(
        "<setting name=\"TestManager_UserId\" type=\"QString\">before</setting>\n")));
    InitializeSettings();
    QCOMPARE(GetSettingsStringValue(TestManager_UserId), QStringLiteral("before"));

    QVERIFY(WriteWholeFile(settingsFile, content));
    const QString record = QStringLiteral("can not read settings xml file: ") + message;
    const int before = CountSettingsRecords(TraceLevelError, record);
    InitializeSettings();
    QVERIFY(GetSettingsSnapshot().isEmpty());
    QCOMPARE(CountSettingsRecords(TraceLevelError, record), before + 1);
    // The broken file is left for the user until the next save replaces it.
    QCOMPARE(ReadWholeFile(settingsFile), content);
}

void Tst_settings::writesExactDocument()
{
    SaveSettingsValue(UX_DontAskFeedback, 1);
    SaveSettingsValue(UDPTX_UI_DestinationHost, QStringLiteral("10.0.0.2"));

    const QByteArray expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<settings>\n"
        "    <setting name=\"UDPTX_UI_DestinationHost\" type=\"QString\">10.0.0.2</setting>\n"
        "    <setting name=\"UX_DontAskFeedback\" type=\"int\">1</setting>\n"
        "</settings>\n";
    QCOMPARE(ReadWholeFile(settingsFile), expected);

    const QString recent = GetRecentTrace(10, TraceLevelRoutine);
    QVERIFY2(recent.contains(QStringLiteral("Settings] saving settings to ") + settingsFile +
                             QStringLiteral(" @SaveSettingsToFile")),
             qPrintable(recent));
}

void Tst_settings::firstSaveWritesEntriesReadSoFar()
{
    QVERIFY(!QFile::exists(settingsFile));
    QCOMPARE(GetSettingsInt32Value(UDPRX_MeasurementsIntervalSecs), 0);
    QCOMPARE(GetSettingsStringValue(TestManager_UserId), QString());
    QVERIFY(!QFile::exists(settingsFile));

    SaveSettingsValue(UX_DontAskFeedback, 1);

    const QByteArray expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<settings>\n"
        "    <setting name=\"TestManager_UserId\" type=\"\">0000000001</setting>\n"
        "    <setting name=\"UDPRX_MeasurementsIntervalSecs\" type=\"\">0000000001</setting>\n"
        "    <setting name=\"UX_DontAskFeedback\" type=\"int\">1</setting>\n"
        "</settings>\n";
    QCOMPARE(ReadWholeFile(settingsFile), expected);

    // The empty entries come back as entries without value.
    InitializeSettings();
    const QMap<int, QVariant> loaded = GetSettingsSnapshot();
    QCOMPARE(loaded.keys(), (QList<int>{UDPRX_MeasurementsIntervalSecs, UX_DontAskFeedback,
                                        TestManager_UserId}));
    QVERIFY(!loaded.value(UDPRX_MeasurementsIntervalSecs).isValid());
    QVERIFY(!loaded.value(TestManager_UserId).isValid());
    QCOMPARE(loaded.value(UX_DontAskFeedback), QVariant(1));
}

void Tst_settings::valuesRoundTripThroughFile_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("element"); // the written element, after the name attribute

    QTest::newRow("int") << QVariant(-7) << "type=\"int\">-7</setting>";
    QTest::newRow("bool") << QVariant(true) << "type=\"bool\">true</setting>";
    QTest::newRow("double") << QVariant(0.1 + 0.2)
                            << "type=\"double\">0.30000000000000004</setting>";
    QTest::newRow("uint") << QVariant(4000000000u) << "type=\"uint\">4000000000</setting>";
    QTest::newRow("qlonglong") << QVariant(qlonglong(-5000000000))
                               << "type=\"qlonglong\">-5000000000</setting>";
    QTest::newRow("qulonglong") << QVariant(qulonglong(18446744073709551615ull))
                                << "type=\"qulonglong\">18446744073709551615</setting>";
    QTest::newRow("QString with markup characters")
        << QVariant(QStringLiteral("a<b & \"c\" 'd'>"))
        << "type=\"QString\">a&lt;b &amp; &quot;c&quot; 'd'&gt;</setting>";
    QTest::newRow("QString with non-Latin text") << QVariant(QStringLiteral("Grüße, Ωmega"))
                                                 << "type=\"QString\">Grüße, Ωmega</setting>";

    const QVariant list(QStringList{QStringLiteral("one"), QString(), QStringLiteral("three")});
    QTest::newRow("QStringList") << list
                                 << "type=\"QStringList\">" + DataStreamHex(list) + "</setting>";
    const QVariant bytes(QByteArray("\x00\x7f\x80\xff", 4));
    QTest::newRow("QByteArray") << bytes
                                << "type=\"QByteArray\">" + DataStreamHex(bytes) + "</setting>";
}

void Tst_settings::valuesRoundTripThroughFile()
{
    QFETCH(QVariant, value);
    QFETCH(QString, element);

    SaveSettingsValue(TestManager_UserDefinedAgentId, value);
    const QString written = QString::fromUtf8(ReadWholeFile(settingsFile));
    QVERIFY2(written.contains(QStringLiteral("<setting name=\"TestManager_UserDefinedAgentId\" ") +
                              element),
             qPrintable(written));

    InitializeSettings();
    const QVariantMap expected{{QStringLiteral("TestManager_UserDefinedAgentId"), value}};
    const QString difference = DescribeMapDifference(ByName(GetSettingsSnapshot()), expected);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void Tst_settings::unchangedValueIsNotWritten_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("overload"); // "int", "QString" or "QVariant"
    QTest::addColumn<QVariant>("saved");
    QTest::addColumn<bool>("rewritten");

    QTest::newRow("same int through int") << QVariant(1) << "int" << QVariant(1) << false;
    QTest::newRow("same text through QString")
        << QVariant(QStringLiteral("10.0.0.2")) << "QString" << QVariant(QStringLiteral("10.0.0.2"))
        << false;
    QTest::newRow("int equal to stored number text")
        << QVariant(QStringLiteral("30")) << "int" << QVariant(30) << false;
    QTest::newRow("other int through int") << QVariant(1) << "int" << QVariant(2) << true;
    QTest::newRow("other text through QString")
        << QVariant(QStringLiteral("a")) << "QString" << QVariant(QStringLiteral("b")) << true;
    QTest::newRow("same int through QVariant") << QVariant(1) << "QVariant" << QVariant(1) << true;
    QTest::newRow("same text through QVariant")
        << QVariant(QStringLiteral("a")) << "QVariant" << QVariant(QStringLiteral("a")) << true;
}

void Tst_settings::unchangedValueIsNotWritten()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, overload);
    QFETCH(QVariant, saved);
    QFETCH(bool, rewritten);

    SaveSettingsValue(UDPTX_UI_DestinationPort, stored);
    // A marker in place of the document shows whether the next save touched the file.
    const QByteArray marker = "not rewritten";
    QVERIFY(WriteWholeFile(settingsFile, marker));

    if (overload == QLatin1String("int"))
        SaveSettingsValue(UDPTX_UI_DestinationPort, saved.toInt());
    else if (overload == QLatin1String("QString"))
        SaveSettingsValue(UDPTX_UI_DestinationPort, saved.toString());
    else
        SaveSettingsValue(UDPTX_UI_DestinationPort, saved);

    const QByteArray content = ReadWholeFile(settingsFile);
    if (rewritten) {
        QVERIFY2(content.contains("<setting name=\"UDPTX_UI_DestinationPort\" type=\"" +
                                  QByteArray(saved.typeName()) + "\">" +
                                  saved.toString().toUtf8() + "</setting>"),
                 content.constData());
    } else {
        QCOMPARE(content, marker);
        QCOMPARE(GetSettingsSnapshot().value(UDPTX_UI_DestinationPort).userType(),
                 stored.userType());
    }
}

void Tst_settings::saveThatCannotOpenLeavesRecord_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("parent is a regular file") << "parentIsFile";
    QTest::newRow("directory does not exist") << "missingDirectory";
    QTest::newRow("target is a directory") << "targetIsDirectory";
}

void Tst_settings::saveThatCannotOpenLeavesRecord()
{
    QFETCH(QString, kind);

    const QString base = scratch.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(
        QLatin1Char(' '), QLatin1Char('_')));
    QString target;
    if (kind == QLatin1String("parentIsFile")) {
        QVERIFY(WriteWholeFile(base, "a regular file"));
        target = base + QStringLiteral("/agent.settings.xml");
    } else if (kind == QLatin1String("missingDirectory")) {
        target = base + QStringLiteral("/no/such/dir/agent.settings.xml");
    } else {
        QVERIFY(QDir().mkpath(base + QStringLiteral("/agent.settings.xml")));
        target = base + QStringLiteral("/agent.settings.xml");
    }

    SaveSettingsValue(TestManager_UserId, QStringLiteral("kept"));
    const QString record = QStringLiteral("could not open settings file to write");
    const int before = CountSettingsRecords(TraceLevelError, record);
    try {
        SaveSettingsToFile(target);
    } catch (const std::exception& e) {
        QFAIL(qPrintable(QStringLiteral("exception reached the caller: ") + e.what()));
    }
    QCOMPARE(CountSettingsRecords(TraceLevelError, record), before + 1);
    QCOMPARE(GetSettingsStringValue(TestManager_UserId), QStringLiteral("kept"));
    if (kind == QLatin1String("targetIsDirectory"))
        QVERIFY(QFileInfo(target).isDir());
    else
        QVERIFY(!QFileInfo::exists(target));
}

void Tst_settings::failedWriteKeepsOldFile_data()
{
    QTest::addColumn<int>("valueLength");
    QTest::addColumn<int>("sizeLimit"); // bytes

    // Qt buffers writes up to 16 KiB and writes larger blocks directly; both paths must fail.
    QTest::newRow("document smaller than the write buffer") << 400 << 300;
    QTest::newRow("document larger than the write buffer") << 20000 << 30000;
}

void Tst_settings::failedWriteKeepsOldFile()
{
    QFETCH(int, valueLength);
    QFETCH(int, sizeLimit);

    // The file size limit makes the write of the new document fail part-way, as a full disk
    // would (root ignores permission bits, so they cannot make it fail).
    QTemporaryDir directory;
    QVERIFY2(directory.isValid(), qPrintable(directory.errorString()));
    const QString target = directory.filePath(QStringLiteral("agent.settings.xml"));
    const QByteArray oldDocument = SettingsDocument(
        "    <setting name=\"UX_DontAskFeedback\" type=\"int\">1</setting>\n");
    QVERIFY(WriteWholeFile(target, oldDocument));

    SaveSettingsValue(UDPTX_UI_DestinationHost, QString(valueLength, QLatin1Char('h')));
    SaveSettingsValue(TestManager_UserId, QString(valueLength, QLatin1Char('u')));
    QVERIFY(QFileInfo(settingsFile).size() > sizeLimit);

    const QString record = QStringLiteral("could not open settings file to write");
    const int before = CountSettingsRecords(TraceLevelError, record);

    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = rlim_t(sizeLimit);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    SaveSettingsToFile(target);
    const int restored = setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    QCOMPARE(restored, 0);

    QCOMPARE(ReadWholeFile(target), oldDocument);
    // No temporary file is left behind.
    const QDir::Filters everything = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden;
    QCOMPARE(QDir(directory.path()).entryList(everything),
             QStringList{QStringLiteral("agent.settings.xml")});
    QCOMPARE(CountSettingsRecords(TraceLevelError, record), before + 1);

    // Without the limit the same save goes through.
    SaveSettingsToFile(target);
    QCOMPARE(ReadWholeFile(target), ReadWholeFile(settingsFile));
}

void Tst_settings::readersRaceSaves()
{
    // Receiving threads read while the GUI thread saves; a second thread saves as well, as a
    // sender stream may. Values read must always be whole values that were written, never older
    // than one already seen, and a file written later must never be replaced by an older one.
    constexpr int saves = 150;
    constexpr int readerCount = 3;
    constexpr int portBase = 1000;
    constexpr int binBase = 2000;
    SaveSettingsValue(UDPTX_UI_DestinationPort, portBase);
    SaveSettingsValue(UDPTX_UI_DestinationHost, StressText(0));
    SaveSettingsValue(UDPRX_JitterHistogramBinSizeMcs, binBase);

    // Read once before the race, so that its empty entry is in every snapshot the writers take.
    GetSettingsStringValue(TestManager_UserDefinedAgentId);

    std::atomic<bool> stop{false};
    std::atomic<int> started{0};
    std::atomic<int> sawFinal{0};
    std::mutex failureMutex;
    QStringList failures;
    auto fail = [&](const QString& what) {
        std::lock_guard<std::mutex> lock(failureMutex);
        if (failures.size() < 10)
            failures << what;
    };

    std::atomic<int> round{0};
    std::vector<std::thread> threads;
    const ScopeExit joinThreads([&] {
        stop.store(true);
        round.store(saves);
        for (std::thread& thread : threads)
            thread.join();
    });
    for (int r = 0; r < readerCount; ++r) {
        threads.emplace_back([&] {
            int lastPort = portBase;
            int lastText = 0;
            int lastBin = binBase;
            bool reportedFinal = false;
            started.fetch_add(1);
            while (!stop.load()) {
                const int port = GetSettingsInt32Value(UDPTX_UI_DestinationPort);
                const int text = StressTextIndex(GetSettingsStringValue(UDPTX_UI_DestinationHost));
                const int bin = GetSettingsInt32Value(UDPRX_JitterHistogramBinSizeMcs);
                // A read of an id nobody writes still takes the inserting lookup, which copies
                // the store while a writer's snapshot shares it.
                if (!GetSettingsStringValue(TestManager_UserDefinedAgentId).isEmpty())
                    fail(QStringLiteral("unwritten id has a value"));
                if (port < lastPort || port > portBase + saves)
                    fail(QStringLiteral("port %1 after %2").arg(port).arg(lastPort));
                if (text < lastText || text > saves)
                    fail(QStringLiteral("host text %1 after %2").arg(text).arg(lastText));
                if (bin < lastBin || bin > binBase + saves)
                    fail(QStringLiteral("bin size %1 after %2").arg(bin).arg(lastBin));
                lastPort = port;
                lastText = text;
                lastBin = bin;
                if (!reportedFinal && port == portBase + saves && text == saves &&
                    bin == binBase + saves) {
                    reportedFinal = true;
                    sawFinal.fetch_add(1);
                }
            }
        });
    }
    while (started.load() < readerCount)
        std::this_thread::yield();

    // The two writers save in lock-step rounds, so their file writes overlap in every round;
    // after each round the file must hold what the store holds.
    std::atomic<int> roundSaved{0};
    threads.emplace_back([&] {
        for (int k = 1; k <= saves; ++k) {
            while (round.load() < k)
                std::this_thread::yield();
            SaveSettingsValue(UDPRX_JitterHistogramBinSizeMcs, binBase + k);
            roundSaved.store(k);
        }
    });
    QStringList staleFiles;
    for (int k = 1; k <= saves; ++k) {
        round.store(k);
        SaveSettingsValue(UDPTX_UI_DestinationPort, portBase + k);
        SaveSettingsValue(UDPTX_UI_DestinationHost, StressText(k));
        while (roundSaved.load() < k)
            std::this_thread::yield();
        QFile file(settingsFile);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
        const QString difference =
            DescribeMapDifference(SettingsXmlProcedures::ImportSettingsFromXml(&file),
                                  ByName(GetSettingsSnapshot()));
        if (!difference.isEmpty() && staleFiles.size() < 5)
            staleFiles << QStringLiteral("round %1: %2").arg(k).arg(difference);
    }
    QVERIFY2(staleFiles.isEmpty(), qPrintable(staleFiles.join(QLatin1Char('\n'))));

    QTRY_COMPARE_WITH_TIMEOUT(sawFinal.load(), readerCount, 30000);
    stop.store(true);
    std::lock_guard<std::mutex> lock(failureMutex);
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(Tst_settings)
#include "tst_settings.moc"
