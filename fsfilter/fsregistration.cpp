// File systems coming and going: the registration callback and the attach to a file system's
// control device.
#include "driver/dispatch.h"
#include "driver/hostglobals.h"
#include "fsfilter/attachmanager.h"

namespace {

// The file system recognizer's driver; it mounts nothing itself and is never filtered.
constexpr WCHAR FileSystemRecognizerName[] = HOST_TEXT("\\FileSystem\\Fs_Rec");

// Takes the host's file-system filter device off a file system that unregisters: the first host
// device above the control device is detached from the device below it and deleted. A chain
// without one is left as it is. The chain is read without a lock.
HOST_PAGED
void FsRegistrationDetachFromFileSystem(PDEVICE_OBJECT FileSystemDevice)
{
    PAGED_CODE();
    PDEVICE_OBJECT below = FileSystemDevice;
    for (PDEVICE_OBJECT device = FileSystemDevice->AttachedDevice; device != nullptr; device = device->AttachedDevice) {
        if (device->DriverObject == HostGlobals.DriverObject) {
            IoDetachDevice(below);
            HostForgetDevice(device);
            IoDeleteDevice(device);
            return;
        }
        below = device;
    }
}

}  // namespace

HOST_PAGED
void OnFsRegistrationChange(PDEVICE_OBJECT DeviceObject, BOOLEAN FsActive)
{
    PAGED_CODE();
    if (FsActive) {
        (void)AttachToFileSystem(DeviceObject);
    } else {
        // Volume filter devices stay: they go when their volumes are deleted.
        FsRegistrationDetachFromFileSystem(DeviceObject);
    }
}

HOST_PAGED
NTSTATUS AttachToFileSystem(PDEVICE_OBJECT FileSystemDevice)
{
    PAGED_CODE();
    if (!FsFilterIsAcceptedType(FileSystemDevice->DeviceType)) {
        return STATUS_SUCCESS;
    }
    // One name buffer on the stack: first the file system driver's name, then, lent to
    // AttachToMountedVolumes, the candidates' base device names.
    WCHAR nameCharacters[FileSystemNameBufferBytes / sizeof(WCHAR)];
    UNICODE_STRING name;
    name.Buffer = nameCharacters;
    name.Length = 0;
    name.MaximumLength = FileSystemNameBufferBytes;
    QueryObjectName(FileSystemDevice->DriverObject, &name);
    UNICODE_STRING recognizer;
    RtlInitUnicodeString(&recognizer, FileSystemRecognizerName);
    if (RtlCompareUnicodeString(&name, &recognizer, TRUE) == 0) {
        return STATUS_SUCCESS;
    }

    PDEVICE_OBJECT filter = nullptr;
    NTSTATUS status =
        IoCreateDevice(HostGlobals.DriverObject, 0, nullptr, FileSystemDevice->DeviceType, 0, FALSE, &filter);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    filter->Flags |= FileSystemDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    filter->Characteristics |= FileSystemDevice->Characteristics & FILE_DEVICE_SECURE_OPEN;
    PDEVICE_OBJECT attachedTo = nullptr;
    status = IoAttachDeviceToDeviceStackSafe(filter, FileSystemDevice, &attachedTo);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(filter);
        return status;
    }
    filter->Flags &= ~DO_DEVICE_INITIALIZING;

    status = AttachToMountedVolumes(FileSystemDevice, &name);
    if (!NT_SUCCESS(status)) {
        // The volumes cannot be looked at: the file system stays wholly unfiltered.
        IoDetachDevice(attachedTo);
        HostForgetDevice(filter);
        IoDeleteDevice(filter);
        return status;
    }
    return STATUS_SUCCESS;
}
