// The model clock: absolute time-outs are system times, and a change of the clock's rate wakes the
// waiters. Relative time-outs and delays in model time, and the performance counter, are what the
// host's mutex holder, stopwatch and mount retries measure (tests/base, tests/fsfilter).
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

class ClockTest : public KernelTest {};

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
