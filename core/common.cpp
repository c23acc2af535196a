#include "core/common.h"

#include <charconv>
#include <cmath>
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

// General format with 6 significant digits, as printf's "%.6g" in the C locale. std::to_chars
// rounds the exact binary value, so a tie goes to the even digit (976.5625 -> "976.562");
// QString::number in Qt 5.15 rounds such ties up instead. It never depends on the process
// locale, which QCoreApplication sets from the environment. NaN is "nan" whatever its sign bit
// (0.0 / 0.0 yields a negative NaN on x86-64).
QString NumberText(double value)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    char text[32];
    const std::to_chars_result result =
        std::to_chars(text, text + sizeof(text), value, std::chars_format::general, 6);
    return QString::fromLatin1(text, static_cast<int>(result.ptr - text));
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
