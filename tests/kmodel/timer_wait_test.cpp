// Semaphores, waits on several objects, timers and DPCs: WaitAny answers the index of the object
// that satisfied it and takes only that one, WaitAll takes all at once or none; a periodic timer
// queues its DPC, which runs at DISPATCH_LEVEL, until the timer is cancelled.
#include "model_test_util.h"

namespace {

class TimerWaitTest : public KernelTest {};

TEST_F(TimerWaitTest, WaitAnyTakesTheFirstSignalledObjectAndWaitAllTakesEveryOne)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    PVOID objects[] = {&event, &semaphore};
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_WAIT_0 + 1);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1) << "WaitAll takes nothing until all are signalled";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

struct DpcRuns {
    LONG runs = 0;
    KIRQL irql = PASSIVE_LEVEL;
    KEVENT thirdRun;
};

void NTAPI CountRun(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* runs = static_cast<DpcRuns*>(context);
    runs->irql = KeGetCurrentIrql();
    if (++runs->runs == 3) {
        KeSetEvent(&runs->thirdRun, IO_NO_INCREMENT, FALSE);
    }
}

TEST_F(TimerWaitTest, PeriodicTimerQueuesItsDpcUntilCancelled)
{
    DpcRuns runs;
    KeInitializeEvent(&runs.thirdRun, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, CountRun, &runs);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    LARGE_INTEGER due = RelativeMs(10);
    // A period long enough (50 ms of wall time at the tests' clock rate) that the timer cannot
    // fire again between the wait and the state read below.
    constexpr LONG PeriodMs = 50'000;
    EXPECT_FALSE(KeSetTimerEx(&timer, due, PeriodMs, &dpc));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer resets as its wait is satisfied";
    KeWaitForSingleObject(&runs.thirdRun, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    km::WaitSystemThreadsEnded();
    EXPECT_GE(runs.runs, 3);
    EXPECT_EQ(runs.irql, DISPATCH_LEVEL);
}

}  // namespace
