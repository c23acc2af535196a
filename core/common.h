#pragma once

#include <QElapsedTimer>
#include <QString>
#include <string>

// Monotonic clock started once by InitializeCommonModule(); every "time since start" reads it.
extern QElapsedTimer timerSinceStart;

void InitializeCommonModule();

// Milliseconds (with fractions) since InitializeCommonModule().
double TimeSinceStartMs();

// The build date as the compiler gives it, e.g. "Nov 16 2016"; doubles as the version text.
QString CompiledAt();

// printf-style formatting into a 4096-byte stack buffer; output beyond 4095 characters is cut.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Number texts with k/M/G suffixes: powers of 1000, powers of 1024, and bits per second (1024).
QString FormatKMG(double x);
QString FormatKMG1024(double x);
QString FormatBps(double x);
