// File-system control requests on the host's devices: mounts are followed, so that every newly
// mounted volume gets a volume filter device; everything else goes down untouched.
#include "driver/dispatch.h"
#include "driver/hostglobals.h"
#include "driver/passdown.h"
#include "fsfilter/attachmanager.h"

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
    NTSTATUS status = IoCreateDevice(HostGlobals.DriverObject, VolumeFilterExtensionBytes, nullptr,
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
