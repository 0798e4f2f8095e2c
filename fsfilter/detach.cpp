// HostFastIoDetachDevice: the teardown of a host filter device whose lower device is being
// deleted (a dismounted volume, a file system's control device going away).
#include "driver/dispatch.h"
#include "driver/hostglobals.h"
#include "driver/passdown.h"
#include "fsfilter/attachrecord.h"
#include "fsfilter/fastio.h"
#include "fsfilter/fastioroute.h"
#include "host/callgate.h"
#include "host/entrypoints.h"

namespace {

// Unlinks the newest record of FilterDevice from AttachedList and returns it; null when the device
// has none.
AttachRecord* DetachUnlinkRecord(PDEVICE_OBJECT FilterDevice)
{
    AttachRecord* found = nullptr;
    ASimpleResource_AcquireExclusive(&HostGlobals.AttachedListLock);
    PLIST_ENTRY head = &HostGlobals.AttachedList;
    for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
        AttachRecord* record = CONTAINING_RECORD(link, AttachRecord, Links);
        if (record->FilterDevice == FilterDevice) {
            RemoveEntryList(link);
            found = record;
            break;
        }
    }
    ASimpleResource_ReleaseExclusive(&HostGlobals.AttachedListLock);
    return found;
}

}  // namespace

// Called by the I/O manager, at PASSIVE_LEVEL, with the host's SourceDevice attached to the
// TargetDevice that is being deleted. The module's FastIoDetachDevice hears of it first (linked
// only, through the DispatchGate, under an exception guard); then, in every case, the record goes
// (DetachNotify told, whatever ModuleAttached holds) and the device is detached and deleted.
void HostFastIoDetachDevice(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    // Set while the module's member runs, so that an exception raised in it still leaves the gate:
    // a count left behind would keep every later unload from draining.
    volatile BOOLEAN inDispatchGate = FALSE;
    HOST_TRY
    {
        if (FsFilterIsHostFilterDevice(SourceDevice)) {
            PDEVICE_OBJECT lower = LowerDeviceOf(SourceDevice);
            PVOID member = FastIoEnterModuleMember(lower, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice), nullptr);
            if (member != nullptr) {
                inDispatchGate = TRUE;
                reinterpret_cast<FAST_IO_DETACH_DEVICE*>(member)(SourceDevice, TargetDevice);
                inDispatchGate = FALSE;
                LeaveGate(&DispatchGate);
            }
        }
    }
    HOST_EXCEPT
    {
        if (inDispatchGate) {
            LeaveGate(&DispatchGate);
        }
    }
    HOST_END_TRY

    AttachRecord* record = DetachUnlinkRecord(SourceDevice);
    if (record != nullptr) {
        // Out of the list (the unlink waited for the replays, which walk it held shared), the
        // record can still be in its first AttachNotify, made after the insert outside the list
        // lock: wait for it to end, so the record is not freed under it and the module hears of
        // the detach after the attach.
        if (AMutex_Wait(&record->RecordLock, UnboundedWaitMs)) {
            AMutex_Release(&record->RecordLock);
        }
        LinkNotifyDetach(SourceDevice);
        AMutex_Free(&record->RecordLock);
        ExFreePoolWithTag(record, 0);
    }
    IoDetachDevice(TargetDevice);
    HostForgetDevice(SourceDevice);
    IoDeleteDevice(SourceDevice);
}
