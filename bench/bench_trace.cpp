#include "core/common.h"
#include "core/logging.h"

#include <benchmark/benchmark.h>

// Cost of leaving one record (the hot path of every sender and receiver thread) and of the log
// tab's listing of a full ring.

namespace {

void LeaveOne(int level, QString* message)
{
    Trace record;
    record.compileDate = __DATE__;
    record.sourceFile = __FILE__;
    record.function = __func__;
    record.line = __LINE__;
    record.module = ModuleUDPRX;
    record.text = "datagram received";
    record.message = message;
    record.level = level;
    LeaveTrace(&record);
}

// Level 0 without message: the first ring only, no allocation.
void BM_LeaveTraceRoutine(benchmark::State& state)
{
    for (auto _ : state)
        LeaveOne(TraceLevelRoutine, nullptr);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LeaveTraceRoutine)->Threads(1)->Threads(2)->UseRealTime();

// Level 1 with a message: both rings, the caller's heap QString and the second ring's copy
// (sharing the text), and the deletion of the two messages the slots held before.
void BM_LeaveTraceNotableWithMessage(benchmark::State& state)
{
    const QString text = QStringLiteral("observation created for 192.0.2.7:500%1").arg(state.thread_index());
    for (auto _ : state)
        LeaveOne(TraceLevelNotable, new QString(text));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LeaveTraceNotableWithMessage)->Threads(1)->Threads(2)->UseRealTime();

// A listing of 15384 lines from full rings (argument: the level, 0 = first ring, 1 = second).
void BM_GetRecentTraceFullRing(benchmark::State& state)
{
    const QString text = QString::fromLatin1("interval closed, loss %1").arg(0.25);
    for (int i = 0; i < TraceRingSize; ++i)
        LeaveOne(TraceLevelNotable, new QString(text));
    const TraceLevel level = TraceLevel(state.range(0));
    qint64 characters = 0;
    for (auto _ : state) {
        const QString listing = GetRecentTrace(TraceListingMaxCount, level);
        characters = listing.size();
        benchmark::DoNotOptimize(characters);
    }
    state.SetItemsProcessed(state.iterations() * TraceListingMaxCount);
    state.counters["characters"] = double(characters);
}
BENCHMARK(BM_GetRecentTraceFullRing)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    InitializeCommonModule();
    InitializeLoggingModule();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
