// Filter-issued I/O, cancellation and MDLs: a read built by IoBuildSynchronousFsdRequest reaches
// the caller's buffer however the device buffers it, pended or not, and the I/O manager frees
// the IRP, the MDL and the system buffer; an asynchronous request is the caller's to finish and
// reuse; IoCancelIrp runs the cancel routine at DISPATCH_LEVEL with the cancel lock held.
#include <cstring>

#include "io_test_util.h"

namespace {

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

using FilterIoTest = KernelTest;

TEST_F(FilterIoTest, ASynchronousReadReachesTheCallerAndTheIoManagerFreesItAll)
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
TEST_F(FilterIoTest, AnAsynchronousRequestIsTheCallersToFinishReuseAndCancel)
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
