// The model clock: time-outs and delays expire in model time, which runs faster than real time,
// and the performance counter and system time follow the same clock.
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

using std::chrono::steady_clock;

// A generous real-time bound for a wait that lasts seconds of model time at the test's clock
// rate: it only shows that the wait did not take its model length in real time.
constexpr auto MuchShorterThanModelTime = std::chrono::seconds(3);
// 0xFFFFFFFF ms as the support library converts it: about 49.7 days.
constexpr LONGLONG LongestMillisecondTimeout = -(LONGLONG)0xFFFFFFFFull * 10000;

class ClockTest : public KernelTest {};

TEST_F(ClockTest, TimeOutsDelaysAndTheCounterFollowModelTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(9000);
    LARGE_INTEGER interval = RelativeMs(5000);
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counterBefore = KeQueryPerformanceCounter(&frequency);
    int64_t modelStart = km::Now100ns();
    auto realStart = steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(km::Now100ns() - modelStart, -timeout.QuadPart);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_GE(km::Now100ns() - modelStart, -timeout.QuadPart - interval.QuadPart);
    EXPECT_LT(steady_clock::now() - realStart, MuchShorterThanModelTime);

    EXPECT_EQ(frequency.QuadPart, km::PerformanceFrequency);
    LARGE_INTEGER counterAfter = KeQueryPerformanceCounter(nullptr);
    EXPECT_GE(counterAfter.QuadPart - counterBefore.QuadPart, 14 * km::PerformanceFrequency);
    EXPECT_GE((int64_t)KeQueryInterruptTime(), counterAfter.QuadPart);
}

TEST_F(ClockTest, AbsoluteTimeoutIsASystemTime)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS result = STATUS_SUCCESS;
    int64_t waited = 0;
    km::RunInProcess(km::SystemProcess(), [&] {
        int64_t start = km::Now100ns();
        LARGE_INTEGER deadline;
        KeQuerySystemTime(&deadline);
        deadline.QuadPart += 2000 * 10000;
        result = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &deadline);
        waited = km::Now100ns() - start;
    });
    EXPECT_EQ(result, STATUS_TIMEOUT);
    EXPECT_GE(waited, 2000 * 10000);
    KeReleaseMutex(&mutex, FALSE);
}

TEST_F(ClockTest, LongestMillisecondTimeoutStillEndsWhenSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    km::Thread* setter = km::StartThread(km::SystemProcess(), [&] {
        LARGE_INTEGER pause = RelativeMs(100);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER timeout;
    timeout.QuadPart = LongestMillisecondTimeout;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    km::JoinThread(setter);
}

TEST_F(ClockTest, RateChangeKeepsTimeMonotonicAndWakesWaiters)
{
    km::SetClockRate(1.0);
    int64_t before = km::Now100ns();
    NTSTATUS result = STATUS_SUCCESS;
    // 1000 s at rate 1 would outlast the test; the rate change below shortens it to a millisecond.
    km::Thread* waiter = km::StartThread(km::SystemProcess(), [&] {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        LARGE_INTEGER timeout = RelativeMs(1000 * 1000);
        result = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    });
    km::SetClockRate(1e6);
    int64_t after = km::Now100ns();
    EXPECT_GE(after, before);
    km::JoinThread(waiter);
    EXPECT_EQ(result, STATUS_TIMEOUT);
    km::SetClockRate(1.0);
    EXPECT_GE(km::Now100ns(), after);
}

}  // namespace
