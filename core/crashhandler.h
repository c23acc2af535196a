#pragma once

#include <csignal>

// Installs one handler for SIGSEGV, SIGFPE, SIGINT, SIGILL, SIGTERM and SIGABRT on a static
// alternate stack of at least 8192 bytes (more where the C library recommends more). The handler
// writes one "Caught SIG..." line to stderr and calls _Exit(1). A set-up failure ends the process
// through err(1, "sigaltstack") or err(1, "sigaction").
void InitializeCrashHandler();

void posix_signal_handler(int signal, siginfo_t* info, void* context);

// The line (without line feed) that the handler writes for a signal and si_code, or nullptr for
// a signal it does not name. Async-signal-safe: returns a static text.
const char* CrashLineForSignal(int signal, int code);
