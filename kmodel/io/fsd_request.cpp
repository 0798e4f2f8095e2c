// Filter-issued I/O: IoBuildSynchronousFsdRequest and IoBuildAsynchronousFsdRequest build a read,
// write, flush or shutdown IRP for a device, buffered the way the device asks. Who finishes it:
// the synchronous IRP belongs to the I/O manager, which at the end of completion copies a
// buffered read back, unlocks and frees the MDL, writes the status block, signals the event and
// frees the IRP. The asynchronous IRP belongs to the caller, whose completion routine frees the
// MDL and the IRP and stops completion; when it does not, the I/O manager finishes it the same way.
#include "internal/ps.h"
#include "internal/routines.h"
#include "internal/verifier.h"
#include "io/io_manager.h"

namespace km::io {

namespace {

// A device's buffering for reads and writes, from its flags.
enum class Buffering { Buffered, Direct, Neither };

Buffering BufferingOf(PDEVICE_OBJECT device)
{
    if ((device->Flags & DO_BUFFERED_IO) != 0) {
        return Buffering::Buffered;
    }
    return (device->Flags & DO_DIRECT_IO) != 0 ? Buffering::Direct : Buffering::Neither;
}

// Sets up the transfer of a read or write; false when pool is short.
bool SetUpTransfer(PIRP irp, PDEVICE_OBJECT device, bool read, PVOID buffer, ULONG length, const void* allocator)
{
    switch (BufferingOf(device)) {
    case Buffering::Buffered: {
        irp->UserBuffer = buffer;
        if (length == 0) {
            return true;
        }
        void* system = ExAllocatePoolWithTag(NonPagedPoolNx, length, SystemBufferTag);
        if (system == nullptr) {
            return false;
        }
        if (!read) {
            memcpy(system, buffer, length);
        }
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (read ? IRP_INPUT_OPERATION : 0);
        return true;
    }
    case Buffering::Direct: {
        PMDL mdl = KmAllocateMdl(buffer, length, allocator);
        if (mdl == nullptr) {
            return false;
        }
        irp->MdlAddress = mdl;
        MmProbeAndLockPages(mdl, KernelMode, read ? IoWriteAccess : IoReadAccess);
        return true;
    }
    case Buffering::Neither:
        irp->UserBuffer = buffer;
        return true;
    }
    return true;
}

// The common part of both forms. IRQL <= `limit`.
PIRP BuildFsdRequest(const char* routine, KIRQL limit, ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                     PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK ioStatus, const void* allocator)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > limit) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, limit, major, 0, "%s at IRQL %u", routine, irql);
    }
    PIRP irp = AllocateIrp(device->StackSize, true, allocator);
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = static_cast<UCHAR>(major);
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->UserIosb = ioStatus;
    irp->UserEvent = event;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        bool read = major == IRP_MJ_READ;
        if (!SetUpTransfer(irp, device, read, buffer, length, allocator)) {
            IoFreeIrp(irp);
            return nullptr;
        }
        stack->Parameters.Read.Length = length;
        stack->Parameters.Read.ByteOffset.QuadPart = offset != nullptr ? offset->QuadPart : 0;
    }
    IoManagerCompletion completion;
    completion.ioStatus = ioStatus;
    completion.event = event;
    completion.freeIrp = true;
    completion.outputLength = length;
    SetIoManagerCompletion(irp, completion);
    return irp;
}

}  // namespace

}  // namespace km::io

// PASSIVE_LEVEL. The caller sends it and, on STATUS_PENDING, waits for Event.
extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                   ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                   PIO_STATUS_BLOCK IoStatusBlock)
{
    return km::io::BuildFsdRequest("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL, MajorFunction, DeviceObject, Buffer,
                                   Length, StartingOffset, Event, IoStatusBlock,
                                   km::ob::ImageContaining(__builtin_return_address(0)));
}

// IRQL <= DISPATCH_LEVEL.
extern "C" PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                    ULONG Length, PLARGE_INTEGER StartingOffset,
                                                    PIO_STATUS_BLOCK IoStatusBlock)
{
    return km::io::BuildFsdRequest("IoBuildAsynchronousFsdRequest", DISPATCH_LEVEL, MajorFunction, DeviceObject,
                                   Buffer, Length, StartingOffset, nullptr, IoStatusBlock,
                                   km::ob::ImageContaining(__builtin_return_address(0)));
}
