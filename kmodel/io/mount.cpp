// Mounting, as the I/O manager does it on the first open of a volume: under the storage device's
// device lock and the file-system database lock held shared, IRP_MJ_FILE_SYSTEM_CONTROL /
// IRP_MN_MOUNT_VOLUME goes to the top of each registered file system's control-device stack of
// the matching kind, newest first, until one mounts the volume; a file system that answers
// STATUS_UNRECOGNIZED_VOLUME passes the volume on to the next, any other failure ends the mount.
#include "internal/verifier.h"
#include "io/file_systems.h"

namespace km::io {

namespace {

// Parameter 1 of DRIVER_VERIFIER_IOMANAGER_VIOLATION: a mount reported success without a volume.
constexpr ULONG_PTR CheckMountWithoutVolume = 0x2104;

constexpr ACCESS_MASK AccessSystemSecurity = 0x01000000;
constexpr ACCESS_MASK WriteDac = 0x00040000;
constexpr ACCESS_MASK WriteOwner = 0x00080000;
// An open of the device itself asking for no more than this opens the storage device directly,
// without mounting its volume.
constexpr ACCESS_MASK DirectDeviceOpenAccess =
    SYNCHRONIZE | FILE_READ_ATTRIBUTES | READ_CONTROL | AccessSystemSecurity | WriteDac | WriteOwner;

bool IsMounted(PDEVICE_OBJECT storage)
{
    std::lock_guard<std::mutex> hold(VpbLock());
    return (storage->Vpb->Flags & VPB_MOUNTED) != 0;
}

// Sends the mount request to the top of one file system's control-device stack and waits for
// its final status.
NTSTATUS AskFileSystem(PDEVICE_OBJECT fileSystem, PDEVICE_OBJECT storage)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(fileSystem);
    PVPB vpb;
    {
        std::lock_guard<std::mutex> hold(VpbLock());
        vpb = storage->Vpb;
    }
    PIRP irp = AllocateIrp(top->StackSize, false, nullptr);
    irp->Flags = IRP_MOUNT_COMPLETION | IRP_SYNCHRONOUS_PAGING_IO;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
    stack->MinorFunction = IRP_MN_MOUNT_VOLUME;
    stack->Parameters.MountVolume.Vpb = vpb;
    stack->Parameters.MountVolume.DeviceObject = IoGetAttachedDevice(storage);
    IO_STATUS_BLOCK ioStatus{};
    CallSynchronously(top, irp, &ioStatus);
    return ioStatus.Status;
}

// A file system mounted the volume: the I/O manager marks the VPB mounted and ties the volume
// device to it.
void MarkMounted(PDEVICE_OBJECT storage, PDEVICE_OBJECT fileSystem)
{
    std::lock_guard<std::mutex> hold(VpbLock());
    PVPB vpb = storage->Vpb;
    if (vpb->DeviceObject == nullptr) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, CheckMountWithoutVolume, (ULONG_PTR)fileSystem,
                   (ULONG_PTR)storage, 0,
                   "the file system of control device %p mounted storage device %p without setting the VPB's "
                   "DeviceObject",
                   (void*)fileSystem, (void*)storage);
    }
    vpb->Flags |= VPB_MOUNTED;
    vpb->DeviceObject->DeviceObjectExtension->Vpb = vpb;
}

// Device lock of the storage device held: asks the registered file systems in turn.
NTSTATUS MountThroughFileSystems(PDEVICE_OBJECT storage)
{
    std::shared_lock<std::shared_mutex> shared(FileSystemDatabaseLock());
    NTSTATUS status = STATUS_UNRECOGNIZED_VOLUME;
    for (PDEVICE_OBJECT fileSystem : FileSystemsForVolumeLocked(storage->DeviceType)) {
        status = AskFileSystem(fileSystem, storage);
        if (NT_SUCCESS(status)) {
            MarkMounted(storage, fileSystem);
            return status;
        }
        if (status != STATUS_UNRECOGNIZED_VOLUME && status != STATUS_FS_DRIVER_REQUIRED) {
            return status;
        }
    }
    return STATUS_UNRECOGNIZED_VOLUME;
}

// Mounts the storage device's volume unless it is mounted. Opens of one device wait for each
// other on its device lock, so that one of them mounts and the others find it mounted.
NTSTATUS MountIfNeeded(PDEVICE_OBJECT storage)
{
    KeWaitForSingleObject(&storage->DeviceLock, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = IsMounted(storage) ? STATUS_SUCCESS : MountThroughFileSystems(storage);
    KeSetEvent(&storage->DeviceLock, IO_NO_INCREMENT, FALSE);
    return status;
}

}  // namespace

NTSTATUS PrepareDeviceOpen(PDEVICE_OBJECT device, bool remainingEmpty, ACCESS_MASK granted, bool* directOpen)
{
    *directOpen = false;
    bool hasVpb;
    {
        std::lock_guard<std::mutex> hold(VpbLock());
        hasVpb = device->Vpb != nullptr;
    }
    if (!hasVpb) {
        return STATUS_SUCCESS;
    }
    if (remainingEmpty && (granted & ~DirectDeviceOpenAccess) == 0) {
        *directOpen = true;
        return STATUS_SUCCESS;
    }
    return MountIfNeeded(device);
}

}  // namespace km::io
