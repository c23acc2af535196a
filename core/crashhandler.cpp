// Placeholder: being replaced by the fatal-signal handler.
#include "core/crashhandler.h"
void InitializeCrashHandler() {}
void posix_signal_handler(int, siginfo_t*, void*) {}
const char* CrashLineForSignal(int, int) { return nullptr; }
