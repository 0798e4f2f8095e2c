// Filter devices going away: the host's filter device on a file system that unregisters, and
// the teardown of a host device whose lower device is being deleted (a dismounted volume, a file
// system's control device going away), which also ends the device's attach record.
#include "fsfilter/fsfilter.h"

// The driver core keys its overrides and redirect by device address, and this layer may not call
// it: its hook, handed in at start-up, clears them before the address can be reused. PASSIVE_LEVEL.
void FsFilterDeleteDevice(PDEVICE_OBJECT FilterDevice)
{
    FSFILTER_DEVICE_GOING* deviceGoing = FsFilter.DeviceGoing;
    if (deviceGoing != nullptr) {
        deviceGoing(FilterDevice);
    }
    IoDeleteDevice(FilterDevice);
}

// The chain is read without a lock.
HOST_PAGED
void DetachFromFileSystem(PDEVICE_OBJECT FileSystemDevice)
{
    PAGED_CODE();
    PDEVICE_OBJECT below = FileSystemDevice;
    for (PDEVICE_OBJECT device = FileSystemDevice->AttachedDevice; device != nullptr; device = device->AttachedDevice) {
        if (device->DriverObject == FsFilter.DriverObject) {
            IoDetachDevice(below);
            FsFilterDeleteDevice(device);
            return;
        }
        below = device;
    }
}

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
            PVOID member = FastIoEnterModuleMember(lower != nullptr, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice),
                                                   nullptr);
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

    // Marked first: an attach whose record is not in the list yet will then not insert it.
    auto* extension = static_cast<VolumeFilterExtension*>(SourceDevice->DeviceExtension);
    if (extension != nullptr && FsFilterIsHostFilterDevice(SourceDevice)) {
        InterlockedExchange(&extension->TornDown, 1);
    }
    AttachRecord* record = FsFilterTakeRecord(SourceDevice);
    if (record != nullptr) {
        // Out of the list, the record can still be offered by a replay that took it in its
        // snapshot, or be in its first AttachNotify, made after the insert outside the list
        // lock: on another thread, wait for it to end, so that the module hears of the detach
        // after the attach. Nested in that notification on this thread, the recursive RecordLock
        // passes at once: the record is only marked, and its notifier frees it after the call.
        if (AMutex_Wait(&record->RecordLock, UnboundedWaitMs)) {
            record->Unlinked = TRUE;
            AMutex_Release(&record->RecordLock);
        }
        LinkNotifyDetach(SourceDevice);
        FsFilterReleaseRecord(record);
    }
    IoDetachDevice(TargetDevice);
    FsFilterDeleteDevice(SourceDevice);
}
