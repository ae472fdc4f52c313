#pragma once

#include <QJsonObject>
#include <QtGlobal>

// What a bench program learns about itself, and how it tells bench/run.sh.
namespace BenchProbe {

// A "kB" field of /proc/self/status, such as "VmRSS" or "VmHWM"; -1 when it cannot be read.
qint64 statusKib(const char *field);

// Starts the peak-memory record (VmHWM) afresh from the current resident size, so that a later
// VmHWM covers only what came after. False where the kernel does not offer it.
bool resetPeak();

// Prints "BENCH-RESULT " and the object as one line of compact JSON on stdout.
void printResult(const QJsonObject &result);

// Peak minus idle, or -1 when either is unknown or the peak could not be reset at idle.
inline qint64 aboveIdle(qint64 peakKib, qint64 idleKib, bool peakWasReset)
{
    return peakWasReset && peakKib >= 0 && idleKib >= 0 ? peakKib - idleKib : -1;
}

} // namespace BenchProbe
