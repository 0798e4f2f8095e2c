// The IRPs the file-system filter handles on the host's devices: file-system control, where mounts
// are followed so that every newly mounted volume gets a volume filter device, and the pass-down
// of a request the host does not serve, unchanged, to the device below.
#include "fsfilter/fsfilter.h"

HOST_PAGED
NTSTATUS DispatchFsControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_MOUNT_VOLUME) {
        return HandleMountVolume(DeviceObject, Irp);
    }
    return PassDown(DeviceObject, Irp);
}

HOST_PAGED
NTSTATUS HandleMountVolume(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    // The storage device, taken before the file system below can change the stack location.
    PVPB mountVpb = IoGetCurrentIrpStackLocation(Irp)->Parameters.MountVolume.Vpb;
    PDEVICE_OBJECT storageDevice = mountVpb != nullptr ? mountVpb->RealDevice : nullptr;

    PDEVICE_OBJECT filter = nullptr;
    NTSTATUS status = IoCreateDevice(FsFilter.DriverObject, VolumeFilterExtensionBytes, nullptr,
                                     DeviceObject->DeviceType, 0, FALSE, &filter);
    if (!NT_SUCCESS(status)) {
        return HostCompleteRequest(Irp, status);
    }
    PDEVICE_OBJECT lower = LowerDeviceOf(DeviceObject);
    if (lower == nullptr) {
        IoDeleteDevice(filter);
        return HostCompleteRequest(Irp, STATUS_NO_MEDIA);
    }

    KEVENT mountDone;
    KeInitializeEvent(&mountDone, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, MountCompletion, &mountDone, TRUE, TRUE, TRUE);
    if (IofCallDriver(lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&mountDone, Executive, KernelMode, FALSE, nullptr);
    }

    // The IRP's final status, not what the call returned.
    status = Irp->IoStatus.Status;
    PDEVICE_OBJECT volumeDevice = nullptr;
    if (NT_SUCCESS(status) && storageDevice != nullptr && storageDevice->Vpb != nullptr) {
        // The volume the file system has just mounted, as the storage device's VPB names it now.
        volumeDevice = storageDevice->Vpb->DeviceObject;
    }
    if (volumeDevice != nullptr) {
        (void)AttachToVolume(volumeDevice, filter, storageDevice);
    } else {
        IoDeleteDevice(filter);
    }
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS MountCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    // The IRP stays with HandleMountVolume, which completes it again; it is not marked pending.
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(DeviceObject);
    if (lower != nullptr) {
        ObfDereferenceObject(lower);
    }
    return lower;
}

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // The reference keeps the lower device object while IofCallDriver uses it, even if it is
    // detached and deleted meanwhile.
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(DeviceObject);
    if (lower == nullptr) {
        return HostCompleteRequest(Irp, STATUS_NO_MEDIA);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IofCallDriver(lower, Irp);
    ObfDereferenceObject(lower);
    return status;
}

NTSTATUS HostCompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
