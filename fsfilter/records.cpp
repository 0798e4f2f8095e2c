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
//     |       offer it again from a snapshot (a reference each, taken with AttachedListLock
//     |       shared), outside the list lock and under RecordLock
//     |  the device below the filter device is deleted: HostFastIoDetachDevice unlinks it
//     v  (AttachedListLock exclusive, so no walk is on it any more)
//   unlinked: the teardown takes RecordLock (waiting for a notification on another thread),
//     |       marks the record Unlinked, tells the module with DetachNotify and drops the list's
//     |       reference (detach.cpp)
//     v
//   freed by whoever drops the last reference. A snapshot's offer finds an unlinked record
//   marked and passes over it, so the module hears nothing of a device after its DetachNotify. A module may tear its volume down from inside a
//   notification: the nested teardown passes the recursive RecordLock on the notifier's thread,
//   so it only marks the record, and the notifier, still holding a reference, frees it once the
//   call has returned.
//
// Records come from non-paged pool: routing reads them for every request on a filter device,
// paging I/O included. No module call is made with AttachedListLock held: a notification may
// mount or dismount a volume, which takes it exclusive. A record's RecordLock is taken with
// AttachedListLock held only while the record is still private (AddAttachRecord's insert).
#include "fsfilter/fsfilter.h"

namespace {

// Decides, for one record of a walk, whether the walk stops at it (TRUE).
typedef BOOLEAN RECORD_VISIT(AttachRecord* Record, PVOID Context);

// Sets or clears the Recorded mark of the record's device. AttachedListLock held exclusive.
void MarkRecorded(AttachRecord* Record, LONG Recorded)
{
    auto* extension = static_cast<VolumeFilterExtension*>(Record->FilterDevice->DeviceExtension);
    if (extension != nullptr) {
        InterlockedExchange(&extension->Recorded, Recorded);
    }
}

// The one walk of AttachedList: from the head (newest first), Visit on each record until it
// returns TRUE; *Found (when asked for) receives that record, or null. Shared walks hold
// AttachedListLock shared, so no record is unlinked meanwhile; when the shared hold is refused
// (only when the resource cannot record the holder) nothing is walked, a hold that was not granted
// is not released, and the result is STATUS_INSUFFICIENT_RESOURCES. With Unlink, the walk holds
// the lock exclusive and unlinks the record it stops at. Visit makes no call out of the host.
NTSTATUS RecordsWalk(RECORD_VISIT* Visit, PVOID Context, BOOLEAN Unlink, AttachRecord** Found)
{
    if (Found != nullptr) {
        *Found = nullptr;
    }
    if (!Unlink) {
        if (!ASimpleResource_AcquireShared(&FsFilter.AttachedListLock)) {
            return STATUS_INSUFFICIENT_RESOURCES;
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
                    MarkRecorded(record, 0);
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
    if (Found != nullptr) {
        *Found = found;
    }
    return STATUS_SUCCESS;
}

BOOLEAN RecordIsOfDevice(AttachRecord* Record, PVOID FilterDevice)
{
    return Record->FilterDevice == static_cast<PDEVICE_OBJECT>(FilterDevice);
}

// The records of one moment, each referenced, so that the module can be called for them outside
// AttachedListLock.
struct RecordSnapshot {
    AttachRecord** Records;  // "FhRs" pool, null when there are none
    ULONG Count;
    ULONG Capacity;
};

BOOLEAN RecordCount(AttachRecord* Record, PVOID Count)
{
    UNREFERENCED_PARAMETER(Record);
    *static_cast<ULONG*>(Count) += 1;
    return FALSE;
}

// Stops at a full snapshot: a record inserted since the count has its own first AttachNotify.
BOOLEAN RecordCollect(AttachRecord* Record, PVOID Context)
{
    auto* snapshot = static_cast<RecordSnapshot*>(Context);
    if (snapshot->Count == snapshot->Capacity) {
        return TRUE;
    }
    InterlockedIncrement(&Record->References);
    snapshot->Records[snapshot->Count] = Record;
    snapshot->Count += 1;
    return FALSE;
}

// Takes a referenced snapshot of AttachedList, newest first. STATUS_INSUFFICIENT_RESOURCES, with
// an empty snapshot, when the list cannot be walked or the array not allocated.
NTSTATUS RecordsTakeSnapshot(RecordSnapshot* Snapshot)
{
    Snapshot->Records = nullptr;
    Snapshot->Count = 0;
    Snapshot->Capacity = 0;
    ULONG count = 0;
    NTSTATUS status = RecordsWalk(RecordCount, &count, FALSE, nullptr);
    if (!NT_SUCCESS(status) || count == 0) {
        return status;
    }
    Snapshot->Records = static_cast<AttachRecord**>(
        ExAllocatePoolWithTag(NonPagedPool, count * sizeof(AttachRecord*), RecordSnapshotPoolTag));
    if (Snapshot->Records == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Snapshot->Capacity = count;
    status = RecordsWalk(RecordCollect, Snapshot, FALSE, nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(Snapshot->Records, 0);
        Snapshot->Records = nullptr;
    }
    return status;
}

// Offers every record of a snapshot to the module, outside AttachedListLock, and drops the
// snapshot's references and array.
typedef void RECORD_OFFER(AttachRecord* Record);
NTSTATUS RecordsOffer(RECORD_OFFER* Offer)
{
    RecordSnapshot snapshot;
    NTSTATUS status = RecordsTakeSnapshot(&snapshot);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG index = 0; index < snapshot.Count; index += 1) {
        Offer(snapshot.Records[index]);
        FsFilterReleaseRecord(snapshot.Records[index]);
    }
    if (snapshot.Records != nullptr) {
        ExFreePoolWithTag(snapshot.Records, 0);
    }
    return STATUS_SUCCESS;
}

// The withdrawal step of one record: under RecordLock, a record the module has taken is offered
// back; ModuleAttached stays TRUE when the module keeps the device.
void RecordWithdraw(AttachRecord* Record)
{
    // The wait is unbounded below DISPATCH_LEVEL and cannot fail; were it to, the record is
    // skipped rather than a mutex released that is not held.
    if (AMutex_Wait(&Record->RecordLock, UnboundedWaitMs)) {
        if (!Record->Unlinked) {
            LinkNotifyWithdrawal(Record->FilterDevice, &Record->ModuleAttached);
        }
        AMutex_Release(&Record->RecordLock);
    }
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

    // A teardown since the attach found no record and deleted the device (our caller's reference
    // keeps it readable): it marked the extension before it looked, so under the exclusive hold
    // either the mark shows here or the teardown finds the record.
    auto* extension = static_cast<VolumeFilterExtension*>(FilterDevice->DeviceExtension);
    ASimpleResource_AcquireExclusive(&FsFilter.AttachedListLock);
    BOOLEAN tornDown = extension != nullptr && InterlockedCompareExchange(&extension->TornDown, 0, 0) != 0;
    if (!tornDown) {
        InsertHeadList(&FsFilter.AttachedList, &record->Links);
        MarkRecorded(record, 1);
    }
    ASimpleResource_ReleaseExclusive(&FsFilter.AttachedListLock);
    if (tornDown) {
        if (locked) {
            AMutex_Release(&record->RecordLock);
        }
        AMutex_Free(&record->RecordLock);
        ExFreePoolWithTag(record, 0);
        return STATUS_NO_SUCH_DEVICE;
    }

    // A registered module hears of every new volume filter device, linked or not; its answer does
    // not change the result.
    if (locked) {
        // An exception out of the module releases RecordLock and our reference, then goes on.
        HOST_TRY
        {
            LinkNotifyAttach(FilterDevice, VolumeDevice, StorageDevice, &record->ModuleAttached);
        }
        HOST_EXCEPT
        {
            AMutex_Release(&record->RecordLock);
            FsFilterReleaseRecord(record);
            ExRaiseStatus(HOST_EXCEPTION_CODE());
        }
        HOST_END_TRY
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
    if (!Record->Unlinked) {
        LinkNotifyAttach(Record->FilterDevice, Record->VolumeDevice, Record->StorageDevice,
                         &Record->ModuleAttached);
    }
    AMutex_Release(&Record->RecordLock);
}

BOOLEAN FsFilterIsRecordedDevice(PDEVICE_OBJECT DeviceObject)
{
    const auto* extension = static_cast<const VolumeFilterExtension*>(DeviceObject->DeviceExtension);
    return extension != nullptr && __atomic_load_n(&extension->Recorded, __ATOMIC_ACQUIRE) != 0;
}

NTSTATUS FsFilterAnnounceRecords()
{
    return RecordsOffer(FsFilterNotifyAttach);
}

NTSTATUS FsFilterWithdrawRecords()
{
    return RecordsOffer(RecordWithdraw);
}

AttachRecord* FsFilterTakeRecord(PDEVICE_OBJECT FilterDevice)
{
    AttachRecord* found = nullptr;
    (void)RecordsWalk(RecordIsOfDevice, FilterDevice, TRUE, &found);
    return found;
}
