#include "core/logging.h"

#include "core/idnametable.h"

#include <QLatin1String>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

static const char* const modulesListText =
    "UDPTX, UDPRX, GUI, VOIPC, VOIPS, CP, UX, ManagerC, Settings";

QMap<int, QByteArray> Modules::initNamesById()
{
    return BuildNamesById(modulesListText);
}

QMap<QByteArray, int> Modules::initIdsByName()
{
    return BuildIdsByName(modulesListText);
}

QMap<int, QByteArray> Modules::namesById = Modules::initNamesById();
QMap<QByteArray, int> Modules::idsByName = Modules::initIdsByName();

// How the rings stay safe without a lock on the writer path
// ----------------------------------------------------------
// Every slot holds the fields of one record as atomics (release stores, acquire loads) plus a
// state word (a sequence lock). A writer reserves a record number with fetch_add on the ring counter, claims
// the slot by a CAS of the state from "published" to "busy", stores the fields with release
// order and publishes the state of its record number. It never waits: when the slot is busy (a
// writer that reserved the same slot 16384 records earlier has not finished) or already holds a
// newer record, it reserves another number.
//
// A listing walks record numbers, not slots: the slot of number n is accepted only when its state
// reads "published by record n" both before and after the fields are copied. Each field load is
// an acquire, so once it sees a value stored after a writer's claiming CAS, the second state load
// sees that CAS or later and the copy is thrown away. A skipped slot is one that is being
// written or was overwritten by a record newer than the listing's start.
//
// The message pointer needs more: a listing copies the QString it points to (the copy shares the
// text through an atomic reference count), so the pointed-to QString must outlive the copy even
// when a writer replaces it at that moment. Deletion is deferred while a listing runs:
//   listing: listingRunning = true (seq_cst); ... p = slot.message (seq_cst); copy *p; ...
//            listingRunning = false (seq_cst); delete everything on the retired list.
//   writer:  old = slot.message.exchange(new) (seq_cst); if listingRunning (seq_cst) push old on
//            the retired list, else delete old.
// All four operations are seq_cst, so they lie in one total order (Dekker's pattern). For any
// listing L: if the writer's flag load precedes L's flag store, the writer's exchange precedes
// every pointer load of L, which therefore never returns old. If it follows L's flag store, the
// writer reads either true (old goes to the retired list, freed by a listing only after clearing
// its own flag, when no listing can still hold old: listings are serialised by a mutex that
// writers never touch, and old is in no slot any more) or the false stored at L's end, and then
// L's copy of *old happens-before the deletion (release store read by an acquire load).

namespace {

constexpr uint32_t SlotIndexMask = TraceRingSize - 1;
constexpr int LapShift = 14;
static_assert((1 << LapShift) == TraceRingSize, "record number = lap * TraceRingSize + slot index");

// State word of a slot: bit 0 = a writer is filling it, bit 1 = it has held a record, bits 2..19 =
// the lap of that record (record number >> 14). The slot index gives the low 14 bits, so a
// published state names its record number exactly; it repeats only after 2^32 records.
constexpr uint32_t StateBusy = 1;
constexpr uint32_t StateWritten = 2;
constexpr uint32_t LapMask = (1u << (32 - LapShift)) - 1;

constexpr uint32_t PublishedState(uint32_t number)
{
    return ((number >> LapShift) << 2) | StateWritten;
}

// True when the slot already holds a record newer than number (laps compared modulo 2^18).
bool HoldsNewerRecord(uint32_t state, uint32_t number)
{
    if (!(state & StateWritten))
        return false;
    const uint32_t lapDistance = ((state >> 2) - (number >> LapShift)) & LapMask;
    return lapDistance != 0 && lapDistance <= LapMask / 2;
}

// One slot fills one cache line, so writers of neighbouring records do not share lines.
struct alignas(64) Slot
{
    std::atomic<uint32_t> state;
    std::atomic<int32_t> line;
    std::atomic<int64_t> timestamp;
    std::atomic<const char*> compileDate;
    std::atomic<const char*> sourceFile;
    std::atomic<const char*> function;
    std::atomic<const char*> text;
    std::atomic<QString*> message;
    std::atomic<int32_t> module;
    std::atomic<int32_t> level;
};
static_assert(sizeof(Slot) == 64, "a slot is one cache line");

struct Ring
{
    // Number of records ever reserved in this ring; slot = counter modulo 16384. Wraps at 2^32,
    // a multiple of the ring size, so slot numbering stays continuous.
    alignas(64) std::atomic<uint32_t> counter;
    Slot slots[TraceRingSize];
};

struct RetiredMessage
{
    QString* message;
    RetiredMessage* next;
};

// The process-wide logging module. Static storage: both rings are zero (never written, counters
// 0) from program load, live to the end of the process and need no dynamic initialisation, so a
// record left from any static initialiser is safe too.
struct LoggingModule
{
    Ring firstRing;   // every record
    Ring secondRing;  // records of level above 0
    std::atomic<int64_t> clockStartNs;
    std::atomic<UxTrackerSink> uxTrackerSink;
    std::atomic<bool> listingRunning;
    std::atomic<RetiredMessage*> retiredMessages;  // freed by the next listing's end
};

LoggingModule loggingModule;

// Serialises listings; never taken by writers. Kept apart from loggingModule so that both are
// constant-initialised (std::mutex has a constexpr constructor, the atomics are trivial).
std::mutex listingMutex;

int64_t MonotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The logging clock: nanoseconds since InitializeLoggingModule().
int64_t LoggingClockNs()
{
    return MonotonicNs() - loggingModule.clockStartNs.load(std::memory_order_relaxed);
}

void RetireMessage(QString* message)
{
    if (!loggingModule.listingRunning.load(std::memory_order_seq_cst)) {
        delete message;
        return;
    }
    // Rare: only while a listing runs. Push on the Treiber stack; the listing frees it.
    RetiredMessage* node = new RetiredMessage{message, nullptr};
    node->next = loggingModule.retiredMessages.load(std::memory_order_relaxed);
    while (!loggingModule.retiredMessages.compare_exchange_weak(
        node->next, node, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

void FreeRetiredMessages()
{
    RetiredMessage* node = loggingModule.retiredMessages.exchange(nullptr, std::memory_order_acquire);
    while (node) {
        RetiredMessage* next = node->next;
        delete node->message;
        delete node;
        node = next;
    }
}

// Copies the record into a free slot of the ring; the slot takes ownership of message, and the
// message the slot owned before is deleted (or retired while a listing runs).
void StoreRecord(Ring& ring, const Trace& record, QString* message)
{
    for (;;) {
        const uint32_t number = ring.counter.fetch_add(1, std::memory_order_relaxed);
        Slot& slot = ring.slots[number & SlotIndexMask];
        uint32_t state = slot.state.load(std::memory_order_relaxed);
        if ((state & StateBusy) || HoldsNewerRecord(state, number))
            continue;
        if (!slot.state.compare_exchange_strong(state, state | StateBusy, std::memory_order_acquire,
                                                std::memory_order_relaxed))
            continue;

        slot.timestamp.store(record.timestamp, std::memory_order_release);
        slot.compileDate.store(record.compileDate, std::memory_order_release);
        slot.sourceFile.store(record.sourceFile, std::memory_order_release);
        slot.function.store(record.function, std::memory_order_release);
        slot.line.store(record.line, std::memory_order_release);
        slot.module.store(record.module, std::memory_order_release);
        slot.text.store(record.text, std::memory_order_release);
        slot.level.store(record.level, std::memory_order_release);
        // Only the owner of the busy state changes the pointer, so this load is exact. The common
        // case (no message before, none now) stays free of read-modify-writes.
        QString* oldMessage = slot.message.load(std::memory_order_relaxed);
        if (oldMessage)
            slot.message.exchange(message, std::memory_order_seq_cst);
        else if (message)
            slot.message.store(message, std::memory_order_release);
        slot.state.store(PublishedState(number), std::memory_order_release);

        if (oldMessage)
            RetireMessage(oldMessage);
        return;
    }
}

struct RecordCopy
{
    int64_t timestamp;
    const char* sourceFile;
    const char* function;
    const char* text;
    QString message;
    int32_t line;
    int32_t module;
    int32_t level;
};

// Copies the record numbered number; false if the slot never held it whole (never written,
// being written, or overwritten by a newer record).
bool ReadRecord(const Slot& slot, uint32_t number, RecordCopy* copy)
{
    const uint32_t state = slot.state.load(std::memory_order_acquire);
    if (state != PublishedState(number))
        return false;
    copy->timestamp = slot.timestamp.load(std::memory_order_acquire);
    copy->sourceFile = slot.sourceFile.load(std::memory_order_acquire);
    copy->function = slot.function.load(std::memory_order_acquire);
    copy->line = slot.line.load(std::memory_order_acquire);
    copy->module = slot.module.load(std::memory_order_acquire);
    copy->text = slot.text.load(std::memory_order_acquire);
    copy->level = slot.level.load(std::memory_order_acquire);
    const QString* message = slot.message.load(std::memory_order_seq_cst);
    if (message)
        copy->message = *message;
    else
        copy->message.clear();
    return slot.state.load(std::memory_order_relaxed) == state;
}

// Marks a listing as running for the writers and, when it ends (also by an exception), frees the
// messages that writers retired meanwhile.
class ListingGuard
{
public:
    ListingGuard() : lock(listingMutex)
    {
        loggingModule.listingRunning.store(true, std::memory_order_seq_cst);
    }
    ~ListingGuard()
    {
        loggingModule.listingRunning.store(false, std::memory_order_seq_cst);
        FreeRetiredMessages();
    }
    ListingGuard(const ListingGuard&) = delete;
    ListingGuard& operator=(const ListingGuard&) = delete;

private:
    std::lock_guard<std::mutex> lock;
};

// Source paths of the original build tree are shown relative to it.
const char sourceTreePrefix[] = "..\\NorvastelleRavidadIrerod\\";
constexpr size_t sourceTreePrefixLength = sizeof(sourceTreePrefix) - 1;
static_assert(sourceTreePrefixLength == 28, "prefix of 28 characters");

const char* ShownSourcePath(const char* path)
{
    if (std::strlen(path) > sourceTreePrefixLength &&
        std::memcmp(path, sourceTreePrefix, sourceTreePrefixLength) == 0)
        return path + sourceTreePrefixLength;
    return path;
}

void AppendLine(QString* listing, const RecordCopy& record, int64_t nowNs,
                const QMap<int, QString>& moduleNames)
{
    const double ageSeconds = static_cast<double>(record.timestamp - nowNs) / 1e9;
    listing->append(QLatin1Char('['));
    listing->append(QString::number(ageSeconds, 'g', 6));
    listing->append(QLatin1String("s "));
    listing->append(moduleNames.value(record.module));
    listing->append(QLatin1String("] "));
    if (record.text)
        listing->append(QString::fromUtf8(record.text));
    listing->append(record.message);
    listing->append(QLatin1String(" @"));
    if (record.function)
        listing->append(QString::fromUtf8(record.function));
    listing->append(QLatin1String(" @"));
    if (record.sourceFile)
        listing->append(QString::fromUtf8(ShownSourcePath(record.sourceFile)));
    listing->append(QLatin1Char(':'));
    listing->append(QString::number(record.line));
    listing->append(QLatin1String("\r\n"));
}

const char* const compileDate = __DATE__;

}  // namespace

void InitializeLoggingModule()
{
    // The rings are already zero (static storage) and are never cleared: a second call keeps
    // them and the clock as they are.
    static std::once_flag started;
    std::call_once(started, [] {
        loggingModule.clockStartNs.store(MonotonicNs(), std::memory_order_relaxed);
    });
}

void LeaveTrace(Trace* record)
{
    if (record->module == ModuleUX) {
        const UxTrackerSink sink = loggingModule.uxTrackerSink.load(std::memory_order_acquire);
        if (sink) {
            if (record->text) {
                sink(record->text);
            } else if (record->message) {
                const QByteArray local8Bit = record->message->toLocal8Bit();
                sink(local8Bit.constData());
            }
        }
    }

    record->timestamp = LoggingClockNs();

    if (record->level > 0) {
        QString* copy = record->message ? new QString(*record->message) : nullptr;
        StoreRecord(loggingModule.secondRing, *record, copy);
    }
    StoreRecord(loggingModule.firstRing, *record, record->message);
}

QString GetRecentTrace(int count, TraceLevel level)
{
    uint32_t steps = static_cast<uint32_t>(count);
    if (steps > static_cast<uint32_t>(TraceListingMaxCount))
        steps = TraceListingMaxCount;
    if (steps == 0)
        return QString();

    QMap<int, QString> moduleNames;
    for (auto it = Modules::namesById.cbegin(); it != Modules::namesById.cend(); ++it)
        moduleNames.insert(it.key(), QString::fromLatin1(it.value()));

    const Ring& ring = level == TraceLevelRoutine ? loggingModule.firstRing : loggingModule.secondRing;
    QString listing;
    ListingGuard guard;
    // Counter before clock: every record counted was stamped before the clock is read, so no
    // age is positive.
    const uint32_t end = ring.counter.load(std::memory_order_acquire);
    const int64_t nowNs = LoggingClockNs();
    RecordCopy record;
    for (uint32_t step = 0; step < steps; ++step) {
        const uint32_t number = end - 1 - step;
        if (!ReadRecord(ring.slots[number & SlotIndexMask], number, &record))
            continue;
        if (record.level < level)
            continue;
        AppendLine(&listing, record, nowNs, moduleNames);
    }
    return listing;
}

void SetUxTrackerSink(UxTrackerSink sink)
{
    loggingModule.uxTrackerSink.store(sink, std::memory_order_release);
}

namespace {

Trace RecordAt(const char* sourceFile, const char* function, int line, int module, int level)
{
    Trace record;
    record.compileDate = compileDate;
    record.sourceFile = sourceFile;
    record.function = function;
    record.line = line;
    record.module = module;
    record.level = level;
    return record;
}

} // namespace

ScopeTrace::ScopeTrace(const char* sourceFile, const char* function, int line, int module, int level)
    : exitRecord(RecordAt(sourceFile, function, line, module, level))
{
    Trace entryRecord = exitRecord;
    entryRecord.text = ">>";
    exitRecord.text = "<<";
    LeaveTrace(&entryRecord);
}

ScopeTrace::~ScopeTrace()
{
    LeaveTrace(&exitRecord);
}

void LeaveTraceText(const char* sourceFile, const char* function, int line, int module, int level,
                    const char* text)
{
    Trace record = RecordAt(sourceFile, function, line, module, level);
    record.text = text;
    LeaveTrace(&record);
}

void LeaveTraceMessage(const char* sourceFile, const char* function, int line, int module,
                       int level, const QString& message)
{
    Trace record = RecordAt(sourceFile, function, line, module, level);
    record.message = new QString(message);
    LeaveTrace(&record);
}
