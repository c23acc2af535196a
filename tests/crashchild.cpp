// A process that sets up like the agent's main and then dies in the way its argument names, so
// that tst_crashhandler can check the one line the fatal-signal handler leaves on stderr.

#include "core/common.h"
#include "core/crashhandler.h"
#include "core/exception.h"
#include "core/logging.h"

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile int zeroDivisor = 0;
volatile int dividend = 1;
volatile int quotient = 0;
volatile bool keepRecursing = true;
volatile int* volatile nullTarget = nullptr;

// Operands and result are volatile so the division happens at run time; UBSan's own divide
// check is off here so that the CPU's divide-error trap (SIGFPE, FPE_INTDIV) reaches the handler.
__attribute__((noinline, no_sanitize("undefined"))) void DivideByZero()
{
    quotient = dividend / zeroDivisor;
}

__attribute__((noinline, no_sanitize("address", "undefined"))) void WriteThroughNull()
{
    *nullTarget = 1;
}

// Each frame keeps 4 KiB alive across the non-tail recursive call, so the stack really runs
// out; uninstrumented so that no sanitizer bookkeeping gets in the way of the guard page.
__attribute__((noinline, no_sanitize("address", "undefined", "thread"))) int Recurse(int depth)
{
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    frame[sizeof(frame) - 1] = static_cast<char>(depth);
    int below = 0;
    if (keepRecursing)
        below = Recurse(depth + 1);
    return below + frame[0] + frame[sizeof(frame) - 1];
}

// A shell with "ulimit -s unlimited" would let the recursion eat all memory first.
void CapStackAt8MiB()
{
    constexpr rlim_t cap = 8u * 1024u * 1024u;
    rlimit limit = {};
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > cap)) {
        limit.rlim_cur = cap;
        setrlimit(RLIMIT_STACK, &limit);
    }
}

[[noreturn]] void ThrowUncaught()
{
    throw Exception("crashchild: nobody catches this");
}

int Usage()
{
    std::fputs("usage: crashchild intdiv|stackoverflow|nullwrite|illegalinstruction|sigterm|sigint|"
               "sigfpe|sigill|abort|uncaught|sleep\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    InitializeCommonModule();
    InitializeLoggingModule();
    InitializeCrashHandler();

    if (argc != 2)
        return Usage();
    const char* mode = argv[1];

    if (std::strcmp(mode, "intdiv") == 0) {
        DivideByZero();
    } else if (std::strcmp(mode, "stackoverflow") == 0) {
        CapStackAt8MiB();
        Recurse(0);
    } else if (std::strcmp(mode, "nullwrite") == 0) {
        WriteThroughNull();
    } else if (std::strcmp(mode, "illegalinstruction") == 0) {
        __builtin_trap();
    } else if (std::strcmp(mode, "sigterm") == 0) {
        raise(SIGTERM);
    } else if (std::strcmp(mode, "sigint") == 0) {
        raise(SIGINT);
    } else if (std::strcmp(mode, "sigfpe") == 0) {
        raise(SIGFPE);
    } else if (std::strcmp(mode, "sigill") == 0) {
        raise(SIGILL);
    } else if (std::strcmp(mode, "abort") == 0) {
        std::abort();
    } else if (std::strcmp(mode, "uncaught") == 0) {
        ThrowUncaught();
    } else if (std::strcmp(mode, "sleep") == 0) {
        // The parent waits for this word before it sends its signal.
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        for (;;)
            pause();
    } else {
        return Usage();
    }
    // Reaching this point means the fault did not happen; the parent reports it.
    std::fputs("crashchild: survived\n", stderr);
    return 3;
}
