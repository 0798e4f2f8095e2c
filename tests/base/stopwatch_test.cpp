// AStopwatch_ElapsedMs: fixed intervals, wrap-around, and intervals that end now.
#include "base_test.h"

using BaseStopwatch = BaseLibraryTest;

TEST_F(BaseStopwatch, FixedIntervalsTruncateAndKeepTheLow32Bits)
{
    constexpr LONGLONG Frequency = 3'000'000;
    constexpr LONGLONG Start = 123'456'789;
    struct Case {
        LONGLONG counts;
        LONGLONG frequency;
        ULONG expectedMs;
    } cases[] = {
        {Frequency * 3 + Frequency / 2, Frequency, 3500},
        {Frequency / 1000 - 1, Frequency, 0},  // just under a millisecond
        {-Frequency, Frequency, static_cast<ULONG>(-1000)},  // end before start
        {(LONGLONG{1} << 32) * (Frequency / 1000) + 5 * (Frequency / 1000), Frequency, 5},  // 2^32 + 5 ms
        {Frequency * 7, 0, 0},  // no frequency
    };
    for (const Case& c : cases) {
        AStopwatch stopwatch{Start, Start + c.counts, c.frequency};
        EXPECT_EQ(host.AStopwatch_ElapsedMs(&stopwatch), c.expectedMs) << c.counts << " counts";
    }
}

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
