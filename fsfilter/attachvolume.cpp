// Attaching a volume filter device to a volume and recording it.
#include "driver/hostglobals.h"
#include "fsfilter/attachmanager.h"
#include "fsfilter/attachrecord.h"
#include "host/entrypoints.h"

namespace {

// The attach attempts, with AttachMutex held: up to VolumeAttachAttempts, each failure followed
// by a wait of VolumeAttachRetryDelayMs (the last one included). Returns the last attach status.
HOST_PAGED
NTSTATUS AttachVolumeWithRetries(PDEVICE_OBJECT VolumeDevice, PDEVICE_OBJECT FilterDevice)
{
    PAGED_CODE();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG attempt = 0; attempt < VolumeAttachAttempts; attempt += 1) {
        PDEVICE_OBJECT attachedTo = nullptr;
        status = IoAttachDeviceToDeviceStackSafe(FilterDevice, VolumeDevice, &attachedTo);
        if (NT_SUCCESS(status)) {
            FilterDevice->Flags &= ~DO_DEVICE_INITIALIZING;
            return status;
        }
        LARGE_INTEGER delay;
        delay.QuadPart = (LONGLONG)VolumeAttachRetryDelayMs * RelativeTimePerMs;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    return status;
}

}  // namespace

HOST_PAGED
NTSTATUS AttachToVolume(PDEVICE_OBJECT VolumeDevice, PDEVICE_OBJECT FilterDevice, PDEVICE_OBJECT StorageDevice)
{
    PAGED_CODE();
    RtlZeroMemory(FilterDevice->DeviceExtension, VolumeFilterExtensionBytes);
    // The stack test and the attach are one step: an enumeration and a mount of the same volume
    // cannot both attach.
    AFastMutex_Acquire(&HostGlobals.AttachMutex);
    NTSTATUS status;
    PDEVICE_OBJECT hostDevice = nullptr;
    if (IsFilterInStack(VolumeDevice, &hostDevice)) {
        IoDeleteDevice(FilterDevice);
        ObfDereferenceObject(hostDevice);
        status = STATUS_INVALID_PARAMETER;
    } else {
        FilterDevice->Flags |= VolumeDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
        status = AttachVolumeWithRetries(VolumeDevice, FilterDevice);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(FilterDevice);
        }
    }
    AFastMutex_Release(&HostGlobals.AttachMutex);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return AddAttachRecord(FilterDevice, VolumeDevice, StorageDevice);
}

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

    // RecordLock is taken while the record is still private, so that nobody can hold it, and kept
    // until the module has heard of the device: a teardown that finds the record as soon as it is
    // in the list waits on RecordLock before it frees the record. The unbounded wait cannot fail
    // here; were it to, the record is published without a notification.
    BOOLEAN locked = AMutex_Wait(&record->RecordLock, UnboundedWaitMs);

    ASimpleResource_AcquireExclusive(&HostGlobals.AttachedListLock);
    InsertHeadList(&HostGlobals.AttachedList, &record->Links);
    ASimpleResource_ReleaseExclusive(&HostGlobals.AttachedListLock);

    // A registered module hears of every new volume filter device, linked or not; its answer does
    // not change the result.
    if (locked) {
        LinkNotifyAttachLocked(record);
        AMutex_Release(&record->RecordLock);
    }
    return STATUS_SUCCESS;
}
