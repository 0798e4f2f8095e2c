// AttachToMountedVolumes: volume filter devices for the volumes a file system had mounted before
// the host saw it.
#include "driver/hostglobals.h"
#include "fsfilter/attachmanager.h"

namespace {

// The tests that skip an enumerated device, in order, up to the storage device: not the control
// device, the control device's type, no host device in its stack yet, an unnamed base device.
HOST_PAGED
BOOLEAN MountedVolumeIsCandidate(PDEVICE_OBJECT FileSystemDevice, PDEVICE_OBJECT Device, PUNICODE_STRING NameBuffer)
{
    PAGED_CODE();
    if (Device == FileSystemDevice || Device->DeviceType != FileSystemDevice->DeviceType) {
        return FALSE;
    }
    if (IsFilterInStack(Device, nullptr)) {
        return FALSE;
    }
    QueryBaseDeviceName(Device, NameBuffer);
    return NameBuffer->Length == 0;
}

// Drops the references the enumeration and IoGetDiskDeviceObject handed out for one device.
HOST_PAGED
void MountedVolumeDropReferences(PDEVICE_OBJECT Device, PDEVICE_OBJECT StorageDevice)
{
    PAGED_CODE();
    if (StorageDevice != nullptr) {
        ObfDereferenceObject(StorageDevice);
    }
    ObfDereferenceObject(Device);
}

// One enumerated device: a volume filter device for it unless it is skipped. Its reference (and
// its storage device's) is dropped exactly once, also when an exception leaves the attach, which
// then goes on to the caller.
HOST_PAGED
void MountedVolumeAttach(PDEVICE_OBJECT FileSystemDevice, PDEVICE_OBJECT Device, PUNICODE_STRING NameBuffer)
{
    PAGED_CODE();
    PDEVICE_OBJECT volatile storageDevice = nullptr;
    HOST_TRY
    {
        PDEVICE_OBJECT storage = nullptr;
        if (MountedVolumeIsCandidate(FileSystemDevice, Device, NameBuffer) &&
            NT_SUCCESS(IoGetDiskDeviceObject(Device, &storage))) {
            storageDevice = storage;
            PDEVICE_OBJECT filter = nullptr;
            if (NT_SUCCESS(IoCreateDevice(HostGlobals.DriverObject, VolumeFilterExtensionBytes, nullptr,
                                          Device->DeviceType, 0, FALSE, &filter))) {
                (void)AttachToVolume(Device, filter, storage);
            }
        }
    }
    HOST_EXCEPT
    {
        MountedVolumeDropReferences(Device, storageDevice);
        ExRaiseStatus(HOST_EXCEPTION_CODE());
    }
    HOST_END_TRY
    MountedVolumeDropReferences(Device, storageDevice);
}

}  // namespace

HOST_PAGED
NTSTATUS AttachToMountedVolumes(PDEVICE_OBJECT FileSystemDevice, PUNICODE_STRING NameBuffer)
{
    PAGED_CODE();
    PDRIVER_OBJECT fileSystemDriver = FileSystemDevice->DriverObject;
    ULONG count = 0;
    NTSTATUS status = IoEnumerateDeviceObjectList(fileSystemDriver, nullptr, 0, &count);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        return status;
    }
    count += DeviceListSpareEntries;
    ULONG arrayBytes = count * sizeof(PDEVICE_OBJECT);
    auto* devices = static_cast<PDEVICE_OBJECT*>(ExAllocatePoolWithTag(NonPagedPool, arrayBytes, DeviceListPoolTag));
    if (devices == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IoEnumerateDeviceObjectList(fileSystemDriver, devices, arrayBytes, &count);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(devices, 0);
        return status;
    }
    for (ULONG index = 0; index < count; index += 1) {
        MountedVolumeAttach(FileSystemDevice, devices[index], NameBuffer);
    }
    ExFreePoolWithTag(devices, 0);
    return STATUS_SUCCESS;
}
