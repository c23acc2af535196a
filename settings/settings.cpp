#include "settings/settings.h"

#include "core/exception.h"
#include "core/idnametable.h"
#include "core/logging.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <exception>
#include <mutex>

#include <unistd.h>

static const char* const settingsListText =
    "UDPTX_UI_DestinationHost, UDPTX_UI_DestinationPort, UDPRX_MeasurementsIntervalSecs, "
    "UDPRX_JitterHistogramBinSizeMcs, UDPRX_SaveToCsvFiles, UX_DontAskFeedback, "
    "TestManager_DisableConnection, TestManager_UserId, TestManager_Password, "
    "TestManager_UserDefinedAgentId,";

QMap<int, QByteArray> SettingsNames::namesById = BuildNamesById(settingsListText);
QMap<QByteArray, int> SettingsNames::idsByName = BuildIdsByName(settingsListText);

namespace {

// The store. Receiving threads read it while the GUI thread saves, and reads insert empty
// entries, so every access takes the lock. The lock is held only to copy values in or out;
// file I/O works on a snapshot outside it.
//
// Values go in and out only as detached copies, so no text or list of the store shares its
// reference-counted data with anything outside the lock. Qt's reference counts are sound, but
// the counting inside the (uninstrumented) Qt library is invisible to ThreadSanitizer, which then
// reports the final free of a shared text as a race with another thread's copy of it.
std::mutex settingsMutex;
QMap<int, QVariant> settings;

// Serialises whole file writes, so that a snapshot taken later is never overwritten on disk by
// one taken earlier. Taken before settingsMutex, never while holding it.
std::mutex settingsFileMutex;

// QCoreApplication::applicationFilePath() fills an unguarded cache on first use.
std::mutex applicationPathMutex;

// The types written as plain text: Bool, Int, UInt, LongLong, ULongLong, Double (meta-type ids
// 1 to 6) and QString (10). Everything else, an empty entry included, goes through QDataStream.
bool IsTextType(int typeId)
{
    return (typeId >= QMetaType::Bool && typeId <= QMetaType::Double) ||
           typeId == QMetaType::QString;
}

QString DetachedText(const QString& text)
{
    return QString(text.unicode(), text.size());
}

// A copy that shares no data with the original.
QVariant DetachedCopy(const QVariant& value)
{
    const int typeId = value.userType();
    if (!value.isValid() || (typeId >= QMetaType::Bool && typeId <= QMetaType::Double))
        return value; // held inside the QVariant itself
    if (typeId == QMetaType::QString)
        return QVariant(DetachedText(value.toString()));
    // Lists, byte arrays and the like: rebuilt through the same serialisation as the file.
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << value;
        if (out.status() != QDataStream::Ok)
            return value;
    }
    QDataStream in(bytes);
    QVariant copy;
    in >> copy;
    return in.status() == QDataStream::Ok ? copy : value;
}

QMap<int, QVariant> DetachedSnapshot()
{
    QMap<int, QVariant> snapshot;
    std::lock_guard<std::mutex> lock(settingsMutex);
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        snapshot.insert(it.key(), DetachedCopy(it.value()));
    return snapshot;
}

// Stores the value and rewrites the file; with onlyIfChanged, a value equal to the stored one
// (QVariant equality, which converts between types) changes nothing.
void StoreValue(int id, const QVariant& value, bool onlyIfChanged)
{
    QVariant fresh = DetachedCopy(value);
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        QVariant& stored = settings[id];
        if (onlyIfChanged && stored == fresh)
            return;
        stored.swap(fresh);
    }
    SaveSettingsToFile();
}

// Only Qt Core's own plain types are read back: a hand-edited file could otherwise name a GUI type
// (a cursor or a pixmap, which need a GUI application and may allocate without bound) or a
// user type. Settings never hold either.
// Containers of variants are left out for the same reason: their elements could be such types.
bool IsCoreTypeId(quint32 typeId)
{
    switch (typeId) {
    case QMetaType::QVariantMap:
    case QMetaType::QVariantList:
    case QMetaType::QVariantHash:
    case QMetaType::QVariant:
        return false;
    default:
        return typeId <= QMetaType::LastCoreType;
    }
}

QVariant DecodeDataStreamHex(const QString& text)
{
    const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
    QDataStream stream(bytes);
    quint32 typeId = 0;
    stream >> typeId; // a QVariant's stream form starts with its type id
    if (stream.status() != QDataStream::Ok || !IsCoreTypeId(typeId))
        return QVariant();
    stream.device()->seek(0);
    QVariant value;
    stream >> value;
    // Truncated or corrupt data gives no value rather than a half-read one.
    if (stream.status() != QDataStream::Ok)
        return QVariant();
    return value;
}

QByteArray EncodeDataStreamHex(const QVariant& value)
{
    QByteArray bytes;
    {
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        stream << value;
    }
    return bytes.toHex();
}

QVariant DecodeValue(const QString& typeName, const QString& text)
{
    const int typeId = QVariant::nameToType(typeName.toLatin1().constData());
    if (IsTextType(typeId)) {
        QVariant converted(text);
        if (converted.convert(typeId))
            return converted;
        // Text that does not fit its type is kept as it is, so nothing typed is lost.
        return QVariant(text);
    }
    return DecodeDataStreamHex(text);
}

} // namespace

QString GetSettingsFileName()
{
    std::lock_guard<std::mutex> lock(applicationPathMutex);
    return QCoreApplication::applicationFilePath() + QStringLiteral(".settings.xml");
}

void InitializeSettings()
{
    TRACE_SCOPE(ModuleSettings, TraceLevelRoutine);
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        settings.clear();
    }
    try {
        const QString fileName = GetSettingsFileName();
        TRACE_MESSAGE(ModuleSettings, TraceLevelRoutine,
                      QStringLiteral("loading settings from ") + fileName);
        QFile file(fileName);
        if (!file.open(QIODevice::ReadOnly)) {
            TRACE_TEXT(ModuleSettings, TraceLevelError, "could not open settings file");
            return;
        }
        QMap<int, QVariant> loaded;
        {
            const QMap<QString, QVariant> pairs =
                SettingsXmlProcedures::ImportSettingsFromXml(&file);
            file.close();
            for (auto it = pairs.cbegin(); it != pairs.cend(); ++it) {
                const auto found = SettingsNames::idsByName.constFind(it.key().toUtf8());
                if (found != SettingsNames::idsByName.cend())
                    loaded.insert(found.value(), DetachedCopy(it.value()));
            }
        }
        // Applied in one step, and only when the whole file was read.
        std::lock_guard<std::mutex> lock(settingsMutex);
        settings.swap(loaded);
    } catch (const std::exception& e) {
        TRACE_MESSAGE(ModuleSettings, TraceLevelError,
                      QStringLiteral("can not read settings xml file: ") +
                          QString::fromLatin1(e.what()));
    }
}

// Both readers use the inserting lookup: an absent id gets an entry without value, which the
// next save writes with an empty type.
QString GetSettingsStringValue(int id)
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return DetachedText(settings[id].toString());
}

int GetSettingsInt32Value(int id)
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return settings[id].toInt();
}

void SaveSettingsValue(int id, int value)
{
    StoreValue(id, QVariant(value), true);
}

void SaveSettingsValue(int id, QString value)
{
    StoreValue(id, QVariant(value), true);
}

void SaveSettingsValue(int id, QVariant value)
{
    StoreValue(id, value, false);
}

void SaveSettingsToFile()
{
    SaveSettingsToFile(GetSettingsFileName());
}

void SaveSettingsToFile(const QString& fileName)
{
    TRACE_SCOPE(ModuleSettings, TraceLevelRoutine);
    TRACE_MESSAGE(ModuleSettings, TraceLevelRoutine,
                  QStringLiteral("saving settings to ") + fileName);

    std::lock_guard<std::mutex> fileLock(settingsFileMutex);

    const QMap<int, QVariant> snapshot = DetachedSnapshot();
    // The name map sorts the entries by name. An id without a name (only a read of an id outside
    // the table creates one) could never be loaded again, so it is not written.
    QMap<QString, QVariant> byName;
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it) {
        const auto name = SettingsNames::namesById.constFind(it.key());
        if (name != SettingsNames::namesById.cend())
            byName.insert(QString::fromLatin1(name.value()), it.value());
    }
    QByteArray document;
    {
        QBuffer buffer(&document);
        buffer.open(QIODevice::WriteOnly);
        SettingsXmlProcedures::ExportSettingsToXml(&buffer, byName);
    }

    // QSaveFile writes a temporary file in the same directory and renames it over the old one at
    // commit, so a failed or interrupted save never leaves the settings file truncated.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        TRACE_TEXT(ModuleSettings, TraceLevelError, "could not open settings file to write");
        return;
    }
    // Qt 5's commit() does not notice a short write (disk full, file size limit) that happens
    // when it flushes its buffer, and would rename the truncated file over the old one; nor does
    // it look at the result of its fsync. So every step is checked here, and on failure the
    // QSaveFile is destroyed uncommitted, which removes the temporary file.
    const bool written = file.write(document) == document.size() && file.flush() &&
                         ::fsync(file.handle()) == 0;
    if (!written || !file.commit())
        TRACE_TEXT(ModuleSettings, TraceLevelError, "could not open settings file to write");
}

QMap<int, QVariant> GetSettingsSnapshot()
{
    return DetachedSnapshot();
}

QMap<QString, QVariant> SettingsXmlProcedures::ImportSettingsFromXml(QIODevice* device)
{
    if (device == nullptr || !device->isReadable())
        throw Exception("XML file is not readable");

    QXmlStreamReader reader(device);
    if (reader.readNext() != QXmlStreamReader::StartDocument)
        throw Exception("Invalid xml document format");

    QXmlStreamReader::TokenType token = reader.readNext();
    while (token != QXmlStreamReader::StartElement && !reader.atEnd() && !reader.hasError())
        token = reader.readNext();
    if (token != QXmlStreamReader::StartElement)
        throw Exception("Empty settings xml document");
    if (reader.name() != QLatin1String("settings"))
        throw Exception("Unknown settings XML root element");

    QMap<QString, QVariant> result;
    token = reader.readNext();
    while (!reader.atEnd() && !reader.hasError()) {
        if (token == QXmlStreamReader::StartElement && reader.name() == QLatin1String("setting")) {
            const QXmlStreamAttributes attributes = reader.attributes();
            const QString name = attributes.value(QLatin1String("name")).toString();
            const QString type = attributes.value(QLatin1String("type")).toString();
            token = reader.readNext();
            if (token == QXmlStreamReader::Characters) {
                result.insert(name, DecodeValue(type, reader.text().toString()));
            } else if (token == QXmlStreamReader::EndElement) {
                result.insert(name, DecodeValue(type, QString()));
            } else {
                // A child element, comment or anything else first: the element is dropped, and
                // the token just read is looked at by the loop (it may be another setting).
                continue;
            }
        }
        token = reader.readNext();
    }
    if (reader.hasError())
        throw Exception(QStringLiteral("Error in settings XML file: ") + reader.errorString());
    return result;
}

void SettingsXmlProcedures::ExportSettingsToXml(QIODevice* device,
                                                const QMap<QString, QVariant>& values)
{
    QXmlStreamWriter writer(device);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("settings"));
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QVariant& value = it.value();
        writer.writeStartElement(QStringLiteral("setting"));
        writer.writeAttribute(QStringLiteral("name"), it.key());
        writer.writeAttribute(QStringLiteral("type"), QString::fromLatin1(value.typeName()));
        if (IsTextType(value.userType()))
            writer.writeCharacters(value.toString());
        else
            writer.writeCharacters(QString::fromLatin1(EncodeDataStreamHex(value)));
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
}
