#include "core/common.h"

#include <cstdarg>
#include <cstdio>

QElapsedTimer timerSinceStart;

void InitializeCommonModule()
{
    timerSinceStart.start();
}

double TimeSinceStartMs()
{
    return timerSinceStart.nsecsElapsed() * 1e-6;
}

QString CompiledAt()
{
    return QString::fromLatin1(__DATE__);
}

std::string Format(const char* format, ...)
{
    char buffer[4096];
    va_list args;
    va_start(args, format);
    int written = vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (written < 0)
        buffer[0] = '\0';
    return std::string(buffer);
}

namespace {

QString NumberText(double value)
{
    return QString::number(value, 'g', 6);
}

// First limit that x lies below picks the divisor; NaN fails every comparison and takes "G".
QString FormatWithBase(double x, double base)
{
    const double k = base;
    const double m = base * base;
    const double g = m * base;
    if (x < k)
        return NumberText(x);
    if (x < m)
        return NumberText(x / k) + QLatin1Char('k');
    if (x < g)
        return NumberText(x / m) + QLatin1Char('M');
    return NumberText(x / g) + QLatin1Char('G');
}

} // namespace

QString FormatKMG(double x)
{
    return FormatWithBase(x, 1000.0);
}

QString FormatKMG1024(double x)
{
    return FormatWithBase(x, 1024.0);
}

QString FormatBps(double x)
{
    return FormatKMG1024(x) + QLatin1String("bps");
}
