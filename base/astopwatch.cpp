// AStopwatch: elapsed time between two performance-counter readings.
#include "base/locks.h"

namespace {
constexpr LONGLONG MsPerSecond = 1000;
}

ULONG AStopwatch_ElapsedMs(const AStopwatch* stopwatch)
{
    if (stopwatch == nullptr) {
        return 0;
    }
    LONGLONG end = stopwatch->end;
    if (end == 0) {
        end = KeQueryPerformanceCounter(nullptr).QuadPart;
    }
    if (stopwatch->frequency == 0) {
        return 0;
    }
    // Signed 64-bit arithmetic that wraps as the processor's does, then the low 32 bits.
    LONGLONG counts = static_cast<LONGLONG>(static_cast<ULONGLONG>(end) - static_cast<ULONGLONG>(stopwatch->start));
    LONGLONG scaled = static_cast<LONGLONG>(static_cast<ULONGLONG>(counts) * static_cast<ULONGLONG>(MsPerSecond));
    return static_cast<ULONG>(scaled / stopwatch->frequency);
}
