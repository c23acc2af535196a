#include "core/crashhandler.h"

#include <err.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

namespace {

// The alternate stack exists before any signal can arrive, so a stack overflow still gets its
// line. 8192 bytes is the floor; the size actually registered is the larger of that and the C
// library's run-time recommendation (sysconf(_SC_SIGSTKSZ)), because the kernel's signal frame
// alone grows with the CPU's register state (about 3.4 KiB with AVX-512, over 8 KiB with AMX,
// where sigaltstack would refuse 8192 bytes outright).
constexpr std::size_t MinimumAltStackBytes = 8192;
constexpr std::size_t AltStackBufferBytes = 64 * 1024;
alignas(64) char altStack[AltStackBufferBytes];

std::size_t AltStackBytes()
{
    std::size_t size = MinimumAltStackBytes;
    const long recommended = sysconf(_SC_SIGSTKSZ);
    if (recommended > 0 && static_cast<std::size_t>(recommended) > size)
        size = static_cast<std::size_t>(recommended);
    if (size > AltStackBufferBytes)
        size = AltStackBufferBytes;
    return size;
}

// Longest line of the table plus its line feed fits easily.
constexpr std::size_t LineBufferBytes = 128;

} // namespace

const char* CrashLineForSignal(int signal, int code)
{
    switch (signal) {
    case SIGINT:
        return "Caught SIGINT: Interactive attention signal, (usually ctrl+c)";
    case SIGABRT:
        return "Caught SIGABRT: usually caused by an abort() or assert()";
    case SIGSEGV:
        return "Caught SIGSEGV: Segmentation Fault";
    case SIGTERM:
        return "Caught SIGTERM: a termination request was sent to the program";
    case SIGFPE:
        switch (code) {
        case FPE_INTDIV:
            return "Caught SIGFPE: (integer divide by zero)";
        case FPE_INTOVF:
            return "Caught SIGFPE: (integer overflow)";
        case FPE_FLTDIV:
            return "Caught SIGFPE: (floating-point divide by zero)";
        case FPE_FLTOVF:
            return "Caught SIGFPE: (floating-point overflow)";
        case FPE_FLTUND:
            return "Caught SIGFPE: (floating-point underflow)";
        case FPE_FLTRES:
            return "Caught SIGFPE: (floating-point inexact result)";
        case FPE_FLTINV:
            return "Caught SIGFPE: (floating-point invalid operation)";
        case FPE_FLTSUB:
            return "Caught SIGFPE: (subscript out of range)";
        default:
            return "Caught SIGFPE: Arithmetic Exception";
        }
    case SIGILL:
        switch (code) {
        case ILL_ILLOPC:
            return "Caught SIGILL: (illegal opcode)";
        case ILL_ILLOPN:
            return "Caught SIGILL: (illegal operand)";
        case ILL_ILLADR:
            return "Caught SIGILL: (illegal addressing mode)";
        case ILL_ILLTRP:
            return "Caught SIGILL: (illegal trap)";
        case ILL_PRVOPC:
            return "Caught SIGILL: (privileged opcode)";
        case ILL_PRVREG:
            return "Caught SIGILL: (privileged register)";
        case ILL_COPROC:
            return "Caught SIGILL: (coprocessor error)";
        case ILL_BADSTK:
            return "Caught SIGILL: (internal stack error)";
        default:
            return "Caught SIGILL: Illegal Instruction";
        }
    default:
        return nullptr;
    }
}

// Runs on the alternate stack of whichever thread got the signal. Only async-signal-safe calls:
// the line and its line feed are copied into a stack buffer so that one write(2) carries both
// (a pipe reader never sees another thread's output between them), then _Exit skips every
// destructor, exit handler and stream flush.
void posix_signal_handler(int signal, siginfo_t* info, void* /*context*/)
{
    const char* line = CrashLineForSignal(signal, info ? info->si_code : 0);
    if (line) {
        char buffer[LineBufferBytes];
        std::size_t length = 0;
        while (line[length] != '\0' && length < sizeof(buffer) - 1) {
            buffer[length] = line[length];
            ++length;
        }
        buffer[length++] = '\n';
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = write(STDERR_FILENO, buffer + done, length - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;
        }
    }
    _Exit(1);
}

void InitializeCrashHandler()
{
    stack_t stack = {};
    stack.ss_sp = altStack;
    stack.ss_size = AltStackBytes();
    stack.ss_flags = 0;
    if (sigaltstack(&stack, nullptr) != 0)
        err(1, "sigaltstack");

    struct sigaction action = {};
    action.sa_sigaction = posix_signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;

    const int signals[] = {SIGSEGV, SIGFPE, SIGINT, SIGILL, SIGTERM, SIGABRT};
    for (int signal : signals) {
        if (sigaction(signal, &action, nullptr) != 0)
            err(1, "sigaction");
    }
}
