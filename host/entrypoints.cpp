// Commands 23 (RegisterEntryPoints) and 24 (WithdrawEntryPoints), and the attach and detach
// notifications over the attachment manager's records.
#include "host/entrypoints.h"

#include "base/asimpleresource.h"
#include "driver/hostglobals.h"
#include "host/callgate.h"

namespace {

// AttachNotify and DetachNotify are read without GateLock, so both sides of every access are
// whole-pointer interlocked operations.
MODULE_ATTACH_NOTIFY* EntryPointsReadAttachNotify()
{
    return reinterpret_cast<MODULE_ATTACH_NOTIFY*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&HostGlobals.AttachNotify), nullptr, nullptr));
}

MODULE_DETACH_NOTIFY* EntryPointsReadDetachNotify()
{
    return reinterpret_cast<MODULE_DETACH_NOTIFY*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&HostGlobals.DetachNotify), nullptr, nullptr));
}

// Caller holds GateLock.
void EntryPointsStoreLocked(PDRIVER_DISPATCH IrpDispatch, PFAST_IO_DISPATCH FastIo, MODULE_ATTACH_NOTIFY* Attach,
                            MODULE_DETACH_NOTIFY* Detach)
{
    HostGlobals.ModuleIrpDispatch = IrpDispatch;
    HostGlobals.ModuleFastIo = FastIo;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&HostGlobals.AttachNotify),
                               reinterpret_cast<PVOID>(Attach));
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&HostGlobals.DetachNotify),
                               reinterpret_cast<PVOID>(Detach));
}

// The withdrawal step of one record: under RecordLock, a record the module has taken is offered
// back through DetachNotify; ModuleAttached stays TRUE when the module keeps the device.
void EntryPointsNotifyWithdrawal(AttachRecord* Record)
{
    // The wait is unbounded below DISPATCH_LEVEL and cannot fail; were it to, the record is
    // skipped rather than a mutex released that is not held.
    if (!AMutex_Wait(&Record->RecordLock, UnboundedWaitMs)) {
        return;
    }
    MODULE_DETACH_NOTIFY* detachNotify = EntryPointsReadDetachNotify();
    if (Record->ModuleAttached != FALSE && detachNotify != nullptr) {
        Record->ModuleAttached = detachNotify(Record->FilterDevice) ? FALSE : TRUE;
    }
    AMutex_Release(&Record->RecordLock);
}

// Runs Step on every record of AttachedList from the head (newest first), with AttachedListLock
// held shared, so no record is unlinked meanwhile. When the shared hold is refused (only when the
// resource cannot record the holder) nothing is walked: the list cannot be walked safely, and a
// hold that was not granted is not released.
void EntryPointsForEachRecord(void (*Step)(AttachRecord*))
{
    if (!ASimpleResource_AcquireShared(&HostGlobals.AttachedListLock)) {
        return;
    }
    PLIST_ENTRY head = &HostGlobals.AttachedList;
    // The list head is set up by the attachment manager; before that the list is empty.
    if (head->Flink != nullptr) {
        for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
            Step(CONTAINING_RECORD(link, AttachRecord, Links));
        }
    }
    ASimpleResource_ReleaseShared(&HostGlobals.AttachedListLock);
}

}  // namespace

void LinkNotifyAttach(AttachRecord* Record)
{
    // As for the withdrawal: a failed wait skips the record.
    if (!AMutex_Wait(&Record->RecordLock, UnboundedWaitMs)) {
        return;
    }
    LinkNotifyAttachLocked(Record);
    AMutex_Release(&Record->RecordLock);
}

void LinkNotifyAttachLocked(AttachRecord* Record)
{
    MODULE_ATTACH_NOTIFY* attachNotify = EntryPointsReadAttachNotify();
    if (attachNotify != nullptr) {
        Record->ModuleAttached = attachNotify(Record->FilterDevice, Record->VolumeDevice, Record->StorageDevice);
    }
}

void LinkNotifyDetach(PDEVICE_OBJECT FilterDevice)
{
    MODULE_DETACH_NOTIFY* detachNotify = EntryPointsReadDetachNotify();
    if (detachNotify != nullptr) {
        (void)detachNotify(FilterDevice);
    }
}

NTSTATUS RegisterEntryPoints(ControlRequest* Request, ControlReply* Reply)
{
    // The request lists the routines in another order than HostGlobals keeps them.
    const auto* request = reinterpret_cast<const RegisterEntryPointsRequest*>(Request);
    auto* attachNotify = reinterpret_cast<MODULE_ATTACH_NOTIFY*>(static_cast<ULONG_PTR>(request->AttachNotify));
    auto* detachNotify = reinterpret_cast<MODULE_DETACH_NOTIFY*>(static_cast<ULONG_PTR>(request->DetachNotify));
    auto irpDispatch = reinterpret_cast<PDRIVER_DISPATCH>(static_cast<ULONG_PTR>(request->IrpDispatch));
    auto fastIo = reinterpret_cast<PFAST_IO_DISPATCH>(static_cast<ULONG_PTR>(request->FastIo));
    GateLockAcquire();
    EntryPointsStoreLocked(irpDispatch, fastIo, attachNotify, detachNotify);
    GateLockRelease();

    // Every record is offered again, also those the module has taken already.
    EntryPointsForEachRecord(LinkNotifyAttach);

    Reply->Status = STATUS_SUCCESS;
    Reply->ReplySize = sizeof(ControlReply);
    return STATUS_SUCCESS;
}

NTSTATUS WithdrawEntryPoints(ControlRequest* Request, ControlReply* Reply)
{
    UNREFERENCED_PARAMETER(Request);
    EntryPointsForEachRecord(EntryPointsNotifyWithdrawal);
    // From here on no new IRP or fast I/O call is forwarded; calls already past the gate finish.
    GateLockAcquire();
    EntryPointsStoreLocked(nullptr, nullptr, nullptr, nullptr);
    GateLockRelease();

    Reply->Status = STATUS_SUCCESS;
    Reply->ReplySize = sizeof(ControlReply);
    return STATUS_SUCCESS;
}
