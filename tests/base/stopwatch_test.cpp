// AStopwatch_ElapsedMs over an interval that ends now, the one way the library measures.
#include "base_test.h"

using BaseStopwatch = BaseLibraryTest;

TEST_F(BaseStopwatch, EndOfZeroMeasuresUpToNow)
{
    // Real time here, so that a slow machine cannot pass for a unit error.
    km::SetClockRate(1.0);
    constexpr LONGLONG DelayMs = 40;
    LARGE_INTEGER frequency;
    AStopwatch stopwatch{KeQueryPerformanceCounter(&frequency).QuadPart, 0, 0};
    stopwatch.frequency = frequency.QuadPart;
    LARGE_INTEGER interval;
    interval.QuadPart = DelayMs * -10000;
    ASSERT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    ULONG elapsed = host.AStopwatch_ElapsedMs(&stopwatch);
    EXPECT_GE(elapsed, ULONG{DelayMs});
    EXPECT_LT(elapsed, ULONG{DelayMs * 1000});
}
