// IRPs: stack locations, IofCallDriver, and IofCompleteRequest's completion-routine rules
// (SL_INVOKE_* against the status and Cancel, STATUS_MORE_PROCESSING_REQUIRED, PendingReturned),
// also when the IRP is pended and completed on another thread; and work items. Filter-issued I/O,
// cancellation and MDLs: a read built by IoBuildSynchronousFsdRequest reaches the caller's buffer
// however the device buffers it, pended or not, and the I/O manager frees the IRP, the MDL and the
// system buffer; an asynchronous request is the caller's to finish and reuse; IoCancelIrp runs the
// cancel routine at DISPATCH_LEVEL with the cancel lock held.
#include <cstring>
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

constexpr char Payload[] = "filter-issued";
constexpr ULONG PayloadLength = sizeof(Payload);

// Where the device finds the caller's data, as its buffering says.
void* DeviceBuffer(PDEVICE_OBJECT device, PIRP irp)
{
    if ((device->Flags & DO_BUFFERED_IO) != 0) {
        return irp->AssociatedIrp.SystemBuffer;
    }
    if ((device->Flags & DO_DIRECT_IO) != 0) {
        return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    }
    return irp->UserBuffer;
}

TEST_F(IoIrpTest, ASynchronousReadReachesTheCallerAndTheIoManagerFreesItAll)
{
    struct Read {
        const char* name;
        ULONG deviceFlags;
        bool pend;
    } reads[] = {{"Buffered", DO_BUFFERED_IO, false},
                 {"BufferedPended", DO_BUFFERED_IO, true},
                 {"Direct", DO_DIRECT_IO, false},
                 {"DirectPended", DO_DIRECT_IO, true},
                 {"Neither", 0, false}};
    for (const Read& read : reads) {
        PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK, u"", 0, read.deviceFlags});
        km::Thread* completer = nullptr;
        km::SetModelDeviceHandler(device, [&](PDEVICE_OBJECT target, PIRP irp) {
            memcpy(DeviceBuffer(target, irp), Payload, PayloadLength);
            if (!read.pend) {
                return CompleteIrp(irp, STATUS_SUCCESS, PayloadLength);
            }
            completer = PendAndCompleteElsewhere(irp, STATUS_SUCCESS, PayloadLength);
            return NTSTATUS(STATUS_PENDING);
        });
        char buffer[PayloadLength] = {};
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus{};
        LARGE_INTEGER offset{{0x2000, 0}};  // the read's byte offset
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, PayloadLength, &offset, &event, &ioStatus);
        ASSERT_NE(irp, nullptr);
        EXPECT_TRUE(irp->UserIosb == &ioStatus && irp->UserEvent == &event);
        NTSTATUS status = IoCallDriver(device, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            km::JoinThread(completer);
        }
        EXPECT_EQ(status, read.pend ? STATUS_PENDING : STATUS_SUCCESS) << read.name;
        EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(ioStatus.Information, PayloadLength);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_STREQ(buffer, Payload) << read.name;
        EXPECT_EQ(km::ModelDeviceIrps(device).at(0).stack.Parameters.Read.ByteOffset.QuadPart, 0x2000);
    }
}

// Completion stops here: the IRP is the caller's again.
NTSTATUS NTAPI StopCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct CancelSeen {
    KIRQL irql;
    BOOLEAN cancel;
    KIRQL cancelIrql;
};
CancelSeen Seen;

// Releases the cancel lock it is called with (a bug check if it were not held) and completes.
void NTAPI CancelPended(PDEVICE_OBJECT, PIRP irp)
{
    Seen = {KeGetCurrentIrql(), irp->Cancel, irp->CancelIrql};
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteIrp(irp, STATUS_CANCELLED);
}

// The caller finishes an asynchronous request (its MDL) and reuses the IRP for a read the device
// pends; IoCancelIrp runs the cancel routine at DISPATCH_LEVEL with the cancel lock held.
TEST_F(IoIrpTest, AnAsynchronousRequestIsTheCallersToFinishReuseAndCancel)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK, u"", 0, DO_DIRECT_IO});
    char data[] = "written";
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, device, data, sizeof data, nullptr, &ioStatus);
    ASSERT_NE(irp, nullptr);
    ASSERT_NE(irp->MdlAddress, nullptr) << "its MDL (locked, over `data`) is the caller's to unlock and free";
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, StopCompletion, &done, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(km::ModelDeviceIrps(device).at(0).stack.Parameters.Write.Length, sizeof data);
    MmUnlockPages(irp->MdlAddress);
    IoFreeMdl(irp->MdlAddress);
    irp->MdlAddress = nullptr;

    UCHAR allocationFlags = irp->AllocationFlags;
    IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(irp->AllocationFlags, allocationFlags);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    km::SetModelDeviceHandler(device, [](PDEVICE_OBJECT, PIRP pended) {
        IoMarkIrpPending(pended);
        IoSetCancelRoutine(pended, CancelPended);
        return STATUS_PENDING;
    });
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    KeClearEvent(&done);
    IoSetCompletionRoutine(irp, StopCompletion, &done, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING) << "sent again after reuse";
    Seen = {};
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(Seen.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(Seen.cancel);
    EXPECT_EQ(Seen.cancelIrql, PASSIVE_LEVEL);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine is left to call";
    IoFreeIrp(irp);
}

}  // namespace
