#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <cstdint>

// One log record. The caller fills it on its own stack and passes it by address; LeaveTrace
// sets the timestamp. A heap message handed over with the record belongs to the logging module.
struct Trace
{
    int64_t timestamp = 0;            // ns on the logging clock; set by LeaveTrace
    const char* compileDate = nullptr;
    const char* sourceFile = nullptr;
    const char* function = nullptr;   // bare function name
    int32_t line = 0;
    int32_t module = 0;               // a Modules id
    const char* text = nullptr;       // static text, or null
    QString* message = nullptr;       // owned by the logging module once left, or null
    int32_t level = 0;                // a TraceLevel
};

enum TraceLevel : int32_t {
    TraceLevelRoutine = 0,
    TraceLevelNotable = 1,
    TraceLevelWarning = 2,
    TraceLevelError = 3,
};

enum ModuleId : int32_t {
    ModuleUDPTX = 0,
    ModuleUDPRX = 1,
    ModuleGUI = 2,
    ModuleVOIPC = 3,
    ModuleVOIPS = 4,
    ModuleCP = 5,
    ModuleUX = 6,
    ModuleManagerC = 7,
    ModuleSettings = 8,
};

class Modules
{
public:
    static QMap<int, QByteArray> namesById;
    static QMap<QByteArray, int> idsByName;
    static QMap<int, QByteArray> initNamesById();
    static QMap<QByteArray, int> initIdsByName();
};

// Number of records each ring holds, and the most a listing walks.
constexpr int TraceRingSize = 16384;
constexpr int TraceListingMaxCount = TraceRingSize - 1000;

void InitializeLoggingModule();

// Stores one record; never blocks. Callable from any thread (module UX only on the GUI thread).
void LeaveTrace(Trace* record);

// Listing of up to count newest records of the requested level and above, newest first.
// Level 0 reads the ring of all records, any other level the ring of notable records. Safe while
// other threads leave records: a slot never written, still being written, or overwritten since
// the listing began is skipped (it uses up its step).
QString GetRecentTrace(int count, TraceLevel level);

// Receives the text of every UX record; set by the usage tracker. Null: nothing is sent.
using UxTrackerSink = void (*)(const char* text);
void SetUxTrackerSink(UxTrackerSink sink);

// Entry record ">>" at construction and exit record "<<" at destruction, also when an
// exception leaves the scope.
class ScopeTrace
{
public:
    ScopeTrace(const char* sourceFile, const char* function, int line, int module, int level);
    ~ScopeTrace();
    ScopeTrace(const ScopeTrace&) = delete;
    ScopeTrace& operator=(const ScopeTrace&) = delete;

private:
    Trace exitRecord;
};

void LeaveTraceText(const char* sourceFile, const char* function, int line, int module, int level,
                    const char* text);
void LeaveTraceMessage(const char* sourceFile, const char* function, int line, int module,
                       int level, const QString& message);

#define NRI_TRACE_CONCAT_INNER(a, b) a##b
#define NRI_TRACE_CONCAT(a, b) NRI_TRACE_CONCAT_INNER(a, b)

#define TRACE_SCOPE(module, level)                                                                 \
    ScopeTrace NRI_TRACE_CONCAT(scopeTrace_, __LINE__)(__FILE__, __func__, __LINE__, (module), (level))

#define TRACE_TEXT(module, level, text)                                                            \
    LeaveTraceText(__FILE__, __func__, __LINE__, (module), (level), (text))

#define TRACE_MESSAGE(module, level, message)                                                      \
    LeaveTraceMessage(__FILE__, __func__, __LINE__, (module), (level), (message))
