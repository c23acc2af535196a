// Placeholder: being replaced by the trace ring implementation.
#include "core/logging.h"
#include "core/idnametable.h"

static const char* const modulesListText = "UDPTX, UDPRX, GUI, VOIPC, VOIPS, CP, UX, ManagerC, Settings";
QMap<int, QByteArray> Modules::initNamesById() { return BuildNamesById(modulesListText); }
QMap<QByteArray, int> Modules::initIdsByName() { return BuildIdsByName(modulesListText); }
QMap<int, QByteArray> Modules::namesById = Modules::initNamesById();
QMap<QByteArray, int> Modules::idsByName = Modules::initIdsByName();

void InitializeLoggingModule() {}
void LeaveTrace(Trace* record) { delete record->message; }
QString GetRecentTrace(int, TraceLevel) { return QString(); }
void SetUxTrackerSink(UxTrackerSink) {}
ScopeTrace::ScopeTrace(const char*, const char*, int, int, int) {}
ScopeTrace::~ScopeTrace() {}
void LeaveTraceText(const char*, const char*, int, int, int, const char*) {}
void LeaveTraceMessage(const char*, const char*, int, int, int, const QString&) {}
