// Work items: the routine runs on a system worker thread at PASSIVE_LEVEL with the device and
// context it was queued with, and may queue its item again or free it.
#include "io_test_util.h"

namespace {

class WorkItemTest : public KernelTest {};

struct WorkRun {
    PIO_WORKITEM item = nullptr;
    PDEVICE_OBJECT device = nullptr;
    HANDLE thread = nullptr;
    HANDLE process = nullptr;
    KIRQL irql = HIGH_LEVEL;
    LONG runs = 0;
    LONG runsWanted = 2;
    KEVENT done;
};

// Runs twice: queues its own item again the first time, frees it the second.
void NTAPI CountingRoutine(PDEVICE_OBJECT device, PVOID context)
{
    auto* run = static_cast<WorkRun*>(context);
    run->device = device;
    run->thread = PsGetCurrentThreadId();
    run->process = PsGetCurrentProcessId();
    run->irql = KeGetCurrentIrql();
    if (++run->runs < run->runsWanted) {
        IoQueueWorkItem(run->item, CountingRoutine, DelayedWorkQueue, run);
        return;
    }
    IoFreeWorkItem(run->item);
    KeSetEvent(&run->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItemTest, RoutineRunsOnASystemWorkerAndMayRequeueAndFreeItsItem)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
    WorkRun run;
    KeInitializeEvent(&run.done, NotificationEvent, FALSE);
    run.item = IoAllocateWorkItem(device);
    ASSERT_NE(run.item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queuing is legal up to DISPATCH_LEVEL
    IoQueueWorkItem(run.item, CountingRoutine, DelayedWorkQueue, &run);
    KeLowerIrql(old);
    KeWaitForSingleObject(&run.done, Executive, KernelMode, FALSE, nullptr);
    km::WaitSystemThreadsEnded();
    EXPECT_EQ(run.runs, 2);
    EXPECT_EQ(run.device, device);
    EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    EXPECT_NE(run.thread, PsGetCurrentThreadId());
    EXPECT_EQ(run.process, PsGetCurrentProcessId()) << "the System process";
}

}  // namespace
