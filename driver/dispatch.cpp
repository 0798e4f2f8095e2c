// HostDispatch: the routing of every IRP that reaches a device of the host, except file-system
// control, which the file-system filter's DispatchFsControl takes. In order: a per-device override
// (override.cpp), the control device (its device-control requests in command.cpp), the redirect
// device (redirect.cpp), a volume filter device recorded in AttachedList (to the module through the
// DispatchGate while it is linked), otherwise the device below (PassDown).
#include "driver/driver.h"

namespace {

// The control device answers create, close, cleanup and device control itself; its extension must
// carry the magic. Completes the IRP.
NTSTATUS DispatchControlDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    if (!HostControlExtensionIsValid(DeviceObject)) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        Irp->IoStatus.Information = 0;
        switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            status = STATUS_SUCCESS;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            status = HostControlDeviceControl(Irp);
            break;
        default:
            status = STATUS_NOT_SUPPORTED;
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Requests of a file-system filter device: to the module while it is linked and the device is a
// recorded volume filter device, else down to the file system. While no module is linked, neither
// AttachedList nor GateLock is looked at (LinkIsLinked).
NTSTATUS DispatchFilterDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (LinkIsLinked() && FsFilterIsRecordedDevice(DeviceObject)) {
        GateLockAcquire();
        PDRIVER_DISPATCH moduleDispatch = ModuleHost.ModuleIrpDispatch;
        if (HostGlobals.Started != 0 && moduleDispatch != nullptr && ModuleHost.LinkState == LinkStateLinked) {
            EnterGate(&DispatchGate);
            GateLockRelease();
            // The module owns the IRP from here on.
            NTSTATUS status = moduleDispatch(DeviceObject, Irp);
            LeaveGate(&DispatchGate);
            return status;
        }
        GateLockRelease();
    }
    return PassDown(DeviceObject, Irp);
}

}  // namespace

void HostForgetDevice(PDEVICE_OBJECT DeviceObject)
{
    HostRemoveDeviceOverrides(DeviceObject);
    HostForgetRedirectDevice(DeviceObject);
}

HOST_PAGED
void HostForgetImage(ULONG_PTR ImageStart, SIZE_T ImageSize)
{
    PAGED_CODE();
    HostRemoveImageOverrides(ImageStart, ImageSize);
    HostForgetRedirectImage(ImageStart, ImageSize);
}

NTSTATUS HostDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    // An override comes first, so it also captures the control and redirect devices.
    if (HostServeOverride(DeviceObject, Irp, &status)) {
        return status;
    }
    if (DeviceObject == HostGlobals.ControlDevice) {
        return DispatchControlDevice(DeviceObject, Irp);
    }
    if (HostServeRedirect(DeviceObject, Irp, &status)) {
        return status;
    }
    if (FsFilterIsAcceptedType(DeviceObject->DeviceType)) {
        return DispatchFilterDevice(DeviceObject, Irp);
    }
    return HostCompleteRequest(Irp, STATUS_NOT_SAME_DEVICE);
}
