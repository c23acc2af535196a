// Placeholder: being replaced by the settings store.
#include "settings/settings.h"
#include "core/idnametable.h"
#include <QCoreApplication>

static const char* const settingsListText = "UDPTX_UI_DestinationHost, UDPTX_UI_DestinationPort, UDPRX_MeasurementsIntervalSecs, UDPRX_JitterHistogramBinSizeMcs, UDPRX_SaveToCsvFiles, UX_DontAskFeedback, TestManager_DisableConnection, TestManager_UserId, TestManager_Password, TestManager_UserDefinedAgentId,";
QMap<int, QByteArray> SettingsNames::namesById = BuildNamesById(settingsListText);
QMap<QByteArray, int> SettingsNames::idsByName = BuildIdsByName(settingsListText);
static QMap<int, QVariant> store;
QString GetSettingsFileName() { return QCoreApplication::applicationFilePath() + ".settings.xml"; }
void InitializeSettings() {}
QString GetSettingsStringValue(int id) { return store[id].toString(); }
int GetSettingsInt32Value(int id) { return store[id].toInt(); }
void SaveSettingsValue(int id, int value) { store[id] = value; }
void SaveSettingsValue(int id, QString value) { store[id] = value; }
void SaveSettingsValue(int id, QVariant value) { store[id] = value; }
void SaveSettingsToFile() {}
QMap<int, QVariant> GetSettingsSnapshot() { return store; }
QMap<QString, QVariant> SettingsXmlProcedures::ImportSettingsFromXml(QIODevice*) { return {}; }
void SettingsXmlProcedures::ExportSettingsToXml(QIODevice*, const QMap<QString, QVariant>&) {}
