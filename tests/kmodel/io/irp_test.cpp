// IRPs: stack locations, IofCallDriver, and IofCompleteRequest's completion-routine rules
// (SL_INVOKE_* against the status and Cancel, STATUS_MORE_PROCESSING_REQUIRED, PendingReturned),
// also when the IRP is pended and completed on another thread; and work items.
#include <vector>

#include "io_test_util.h"

namespace {

class IoIrpTest : public KernelTest {
protected:
    // A filter device `top` attached to `bottom`, both of the model's lower driver.
    void SetUp() override
    {
        KernelTest::SetUp();
        bottom = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
        top = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
        ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(top, bottom, nullptr), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT bottom = nullptr;
    PDEVICE_OBJECT top = nullptr;
};

// An injected failure refuses the allocation; an allocated IRP counts until freed. (Where a new
// IRP's stack locations start, every IRP sent in these tests relies on.)
TEST_F(IoIrpTest, AnAllocationCanBeRefusedAndAnIrpCountsUntilFreed)
{
    km::FailIoAllocateIrp(1);
    EXPECT_EQ(IoAllocateIrp(3, FALSE), nullptr);
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(km::OutstandingIrps(), 1u);
    IoFreeIrp(irp);
}

// Records the device it is called for in the vector at `context`.
NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP, PVOID context)
{
    static_cast<std::vector<PDEVICE_OBJECT>*>(context)->push_back(device);
    return STATUS_SUCCESS;
}

// A completion routine runs exactly when its invoke bits match the final status and Cancel.
TEST_F(IoIrpTest, ACompletionRoutineRunsExactlyWhenItsInvokeBitsMatch)
{
    struct Rule {
        const char* name;
        NTSTATUS status;
        bool cancel, onSuccess, onError, onCancel, invoked;  // Cancel set; SL_INVOKE_* bits; the routine runs
    } rules[] = {{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
                 {"SuccessOnErrorAndCancel", STATUS_SUCCESS, false, false, true, true, false},
                 {"WarningIsNoSuccess", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                 {"ErrorOnError", STATUS_UNSUCCESSFUL, false, false, true, false, true},
                 {"ErrorOnSuccessAndCancel", STATUS_UNSUCCESSFUL, false, true, false, true, false},
                 {"CancelledOnCancel", STATUS_CANCELLED, true, false, false, true, true},
                 {"CancelFlagWithSuccess", STATUS_SUCCESS, true, false, false, true, true},
                 {"CancelledStatusWithoutFlag", STATUS_CANCELLED, false, false, false, true, false}};
    for (const Rule& rule : rules) {
        std::vector<PDEVICE_OBJECT> calls;
        km::SetModelDeviceHandler(top, [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, RecordCompletion, &calls, rule.onSuccess, rule.onError, rule.onCancel);
            irp->Cancel = rule.cancel;
            return IoCallDriver(bottom, irp);
        });
        km::SetModelDeviceResult(bottom, IRP_MJ_WRITE, rule.status, 0);
        EXPECT_EQ(km::SendIrp(top, km::IrpRequest{IRP_MJ_WRITE}).status, rule.status) << rule.name;
        EXPECT_EQ(calls, rule.invoked ? std::vector<PDEVICE_OBJECT>{top} : std::vector<PDEVICE_OBJECT>{})
            << rule.name << ": once, with the device of the location that set it";
    }
}

// Records PendingReturned in the bool at `context` and propagates the mark.
NTSTATUS NTAPI PropagatePending(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    *static_cast<bool*>(context) = irp->PendingReturned;
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

// Pended below and completed on another thread: the filter's routine sees PendingReturned (and
// marks its own location); without a routine the mark moves up by itself. Either way the sender
// gets STATUS_PENDING back and the final status once the IRP has completed.
TEST_F(IoIrpTest, PendedOnAnotherThreadThePendingMarkReachesTheTop)
{
    km::Thread* completer = nullptr;
    km::SetModelDeviceHandler(bottom, [&completer](PDEVICE_OBJECT, PIRP irp) {
        completer = PendAndCompleteElsewhere(irp, STATUS_END_OF_FILE, 7);
        return STATUS_PENDING;
    });
    for (bool withRoutine : {true, false}) {
        bool pendingReturned = false;
        km::SetModelDeviceHandler(top, [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            if (withRoutine) {
                IoSetCompletionRoutine(irp, PropagatePending, &pendingReturned, TRUE, TRUE, TRUE);
            }
            return IoCallDriver(bottom, irp);
        });
        km::IrpResult result = km::SendIrp(top, km::IrpRequest{IRP_MJ_READ});
        EXPECT_EQ(result.returned, STATUS_PENDING);
        EXPECT_EQ(result.status, STATUS_END_OF_FILE);
        EXPECT_EQ(result.information, 7u);
        EXPECT_EQ(pendingReturned, withRoutine);
        km::JoinThread(completer);
    }
}

struct WorkRun {
    PIO_WORKITEM item = nullptr;
    HANDLE thread = nullptr;
    HANDLE process = nullptr;
    LONG runs = 0;
    KEVENT done;
};

// Runs twice: queues its own item again the first time, frees it the second.
void NTAPI CountingRoutine(PDEVICE_OBJECT, PVOID context)
{
    auto* run = static_cast<WorkRun*>(context);
    run->thread = PsGetCurrentThreadId();
    run->process = PsGetCurrentProcessId();
    if (++run->runs < 2) {
        IoQueueWorkItem(run->item, CountingRoutine, DelayedWorkQueue, run);
        return;
    }
    IoFreeWorkItem(run->item);
    KeSetEvent(&run->done, IO_NO_INCREMENT, FALSE);
}

// A work item's routine runs on a system worker thread with the context it was queued with, and may
// queue its item again or free it. (Its device and PASSIVE_LEVEL the routines module checks in
// tests/host.)
TEST_F(IoIrpTest, AWorkItemRunsOnASystemWorkerAndMayRequeueAndFreeItsItem)
{
    WorkRun run;
    KeInitializeEvent(&run.done, NotificationEvent, FALSE);
    run.item = IoAllocateWorkItem(top);
    ASSERT_NE(run.item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queuing is legal up to DISPATCH_LEVEL
    IoQueueWorkItem(run.item, CountingRoutine, DelayedWorkQueue, &run);
    KeLowerIrql(old);
    KeWaitForSingleObject(&run.done, Executive, KernelMode, FALSE, nullptr);
    km::WaitSystemThreadsEnded();
    EXPECT_EQ(run.runs, 2);
    EXPECT_NE(run.thread, PsGetCurrentThreadId());
    EXPECT_EQ(run.process, PsGetCurrentProcessId()) << "the System process";
}

}  // namespace
