// AttachedList: the record of the host's volume filter devices, and the one walk over it.
//
// An attach record's life:
//
//   made by AddAttachRecord, its RecordLock taken while it is still private; two references,
//     |  the list's and the adder's
//     |  inserted at the head of AttachedList (AttachedListLock exclusive)
//     v
//   recorded: routing finds it (AttachedListLock shared) and offers the device's IRPs to the
//     |       module; the first AttachNotify runs under RecordLock, outside the list lock, and
//     |       the adder then drops its reference; RegisterEntryPoints and WithdrawEntryPoints
//     |       offer it again, AttachedListLock shared and RecordLock held
//     |  the device below the filter device is deleted: HostFastIoDetachDevice unlinks it
//     v  (AttachedListLock exclusive, so no walk is on it any more)
//   unlinked: the teardown takes RecordLock (waiting for a notification on another thread),
//     |       marks the record Unlinked, tells the module with DetachNotify and drops the list's
//     |       reference (detach.cpp)
//     v
//   freed by whoever drops the last reference. A module may tear its volume down from inside a
//   notification: the nested teardown passes the recursive RecordLock on the notifier's thread,
//   so it only marks the record, and the notifier, still holding a reference, frees it once the
//   call has returned.
//
// Records come from non-paged pool: routing reads them for every request on a filter device,
// paging I/O included. Lock order: AttachedListLock before a record's RecordLock.
#include "fsfilter/fsfilter.h"

namespace {

// Decides, for one record of a walk, whether the walk stops at it (TRUE).
typedef BOOLEAN RECORD_VISIT(AttachRecord* Record, PVOID Context);

// The one walk of AttachedList: from the head (newest first), Visit on each record until it
// returns TRUE; returns that record, or null. Shared walks hold AttachedListLock shared, so no
// record is unlinked meanwhile; when the shared hold is refused (only when the resource cannot
// record the holder) nothing is walked, and a hold that was not granted is not released. With
// Unlink, the walk holds the lock exclusive and unlinks the record it stops at.
AttachRecord* RecordsWalk(RECORD_VISIT* Visit, PVOID Context, BOOLEAN Unlink)
{
    if (!Unlink) {
        if (!ASimpleResource_AcquireShared(&FsFilter.AttachedListLock)) {
            return nullptr;
        }
    } else {
        // Below DISPATCH_LEVEL the exclusive hold waits until it is granted.
        ASimpleResource_AcquireExclusive(&FsFilter.AttachedListLock);
    }
    AttachRecord* found = nullptr;
    PLIST_ENTRY head = &FsFilter.AttachedList;
    // The list head is set up by StartFsFilter; before that the list is empty.
    if (head->Flink != nullptr) {
        for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
            AttachRecord* record = CONTAINING_RECORD(link, AttachRecord, Links);
            if (Visit(record, Context)) {
                if (Unlink) {
                    RemoveEntryList(link);
                }
                found = record;
                break;
            }
        }
    }
    if (Unlink) {
        ASimpleResource_ReleaseExclusive(&FsFilter.AttachedListLock);
    } else {
        ASimpleResource_ReleaseShared(&FsFilter.AttachedListLock);
    }
    return found;
}

BOOLEAN RecordIsOfDevice(AttachRecord* Record, PVOID FilterDevice)
{
    return Record->FilterDevice == static_cast<PDEVICE_OBJECT>(FilterDevice);
}

BOOLEAN RecordAnnounce(AttachRecord* Record, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    FsFilterNotifyAttach(Record);
    return FALSE;
}

// The withdrawal step of one record: under RecordLock, a record the module has taken is offered
// back; ModuleAttached stays TRUE when the module keeps the device.
BOOLEAN RecordWithdraw(AttachRecord* Record, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    // The wait is unbounded below DISPATCH_LEVEL and cannot fail; were it to, the record is
    // skipped rather than a mutex released that is not held.
    if (AMutex_Wait(&Record->RecordLock, UnboundedWaitMs)) {
        LinkNotifyWithdrawal(Record->FilterDevice, &Record->ModuleAttached);
        AMutex_Release(&Record->RecordLock);
    }
    return FALSE;
}

}  // namespace

NTSTATUS AddAttachRecord(PDEVICE_OBJECT FilterDevice, PDEVICE_OBJECT VolumeDevice, PDEVICE_OBJECT StorageDevice)
{
    // Non-paged: routing reads records for every request on a filter device, paging I/O included.
    auto* record = static_cast<AttachRecord*>(ExAllocatePool(NonPagedPool, sizeof(AttachRecord)));
    if (record == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(AMutex_Init(&record->RecordLock))) {
        ExFreePoolWithTag(record, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->FilterDevice = FilterDevice;
    record->VolumeDevice = VolumeDevice;
    record->StorageDevice = StorageDevice;
    record->ModuleAttached = 0;
    record->Unlinked = FALSE;
    record->References = 2;  // the list's, and ours until the module has heard of the device

    // RecordLock is taken while the record is still private, so that nobody can hold it, and kept
    // until the module has heard of the device: a teardown that finds the record as soon as it is
    // in the list waits on RecordLock before it frees the record. The unbounded wait cannot fail
    // here; were it to, the record is published without a notification.
    BOOLEAN locked = AMutex_Wait(&record->RecordLock, UnboundedWaitMs);

    ASimpleResource_AcquireExclusive(&FsFilter.AttachedListLock);
    InsertHeadList(&FsFilter.AttachedList, &record->Links);
    ASimpleResource_ReleaseExclusive(&FsFilter.AttachedListLock);

    // A registered module hears of every new volume filter device, linked or not; its answer does
    // not change the result.
    if (locked) {
        LinkNotifyAttach(FilterDevice, VolumeDevice, StorageDevice, &record->ModuleAttached);
        AMutex_Release(&record->RecordLock);
    }
    // A teardown nested in the notification has unlinked the record and left it to us.
    FsFilterReleaseRecord(record);
    return STATUS_SUCCESS;
}

void FsFilterReleaseRecord(AttachRecord* Record)
{
    if (InterlockedDecrement(&Record->References) == 0) {
        AMutex_Free(&Record->RecordLock);
        ExFreePoolWithTag(Record, 0);
    }
}

void FsFilterNotifyAttach(AttachRecord* Record)
{
    // As for the withdrawal: a failed wait skips the record.
    if (!AMutex_Wait(&Record->RecordLock, UnboundedWaitMs)) {
        return;
    }
    LinkNotifyAttach(Record->FilterDevice, Record->VolumeDevice, Record->StorageDevice, &Record->ModuleAttached);
    AMutex_Release(&Record->RecordLock);
}

BOOLEAN FsFilterIsRecordedDevice(PDEVICE_OBJECT DeviceObject)
{
    return RecordsWalk(RecordIsOfDevice, DeviceObject, FALSE) != nullptr;
}

void FsFilterAnnounceRecords()
{
    (void)RecordsWalk(RecordAnnounce, nullptr, FALSE);
}

void FsFilterWithdrawRecords()
{
    (void)RecordsWalk(RecordWithdraw, nullptr, FALSE);
}

AttachRecord* FsFilterTakeRecord(PDEVICE_OBJECT FilterDevice)
{
    return RecordsWalk(RecordIsOfDevice, FilterDevice, TRUE);
}
