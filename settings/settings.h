#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QMap>
#include <QString>
#include <QVariant>

class SettingsNames
{
public:
    static QMap<int, QByteArray> namesById;
    static QMap<QByteArray, int> idsByName;
};

enum SettingId {
    UDPTX_UI_DestinationHost = 0,
    UDPTX_UI_DestinationPort = 1,
    UDPRX_MeasurementsIntervalSecs = 2,
    UDPRX_JitterHistogramBinSizeMcs = 3,
    UDPRX_SaveToCsvFiles = 4,
    UX_DontAskFeedback = 5,
    TestManager_DisableConnection = 6,
    TestManager_UserId = 7,
    TestManager_Password = 8,
    TestManager_UserDefinedAgentId = 9,
};

// The executable's absolute path followed by ".settings.xml".
QString GetSettingsFileName();

// Empties the store and loads the settings file; failures leave level-3 records and an empty
// store (nothing of a broken file is applied).
void InitializeSettings();

// Readers may run on any thread; an absent id reads as empty text / 0 and creates an empty entry.
// They never wait for file I/O: the store lock is held only to copy one value.
QString GetSettingsStringValue(int id);
int GetSettingsInt32Value(int id);

// The int and QString overloads save only a changed value (QVariant equality); the QVariant one
// always. A failed save leaves a level-3 record and keeps the new value in the store.
void SaveSettingsValue(int id, int value);
void SaveSettingsValue(int id, QString value);
void SaveSettingsValue(int id, QVariant value);

// Writes the whole store to GetSettingsFileName(); the old file stays intact when the write fails.
void SaveSettingsToFile();

// Writes the whole store to the given file through a QSaveFile: the new document is written
// beside the old one and renamed over it only when complete. On failure the old file is left
// as it was and the level-3 record "could not open settings file to write" is left; no exception.
void SaveSettingsToFile(const QString& fileName);

// A copy of the store, for tests and diagnostics.
QMap<int, QVariant> GetSettingsSnapshot();

class SettingsXmlProcedures
{
public:
    // Name/value pairs of a settings document; throws Exception on errors.
    static QMap<QString, QVariant> ImportSettingsFromXml(QIODevice* device);
    // Writes the document for the given name/value pairs (already in name order).
    static void ExportSettingsToXml(QIODevice* device, const QMap<QString, QVariant>& values);
};
