// HostDispatch: the routing of every IRP that reaches a device of the host.
#include "driver/dispatch.h"

#include "driver/controldevice.h"
#include "driver/hostglobals.h"
#include "driver/override.h"
#include "driver/passdown.h"
#include "fsfilter/attachrecord.h"
#include "host/callgate.h"

namespace {

BOOLEAN DispatchIsFileSystemType(DEVICE_TYPE type)
{
    return type == FILE_DEVICE_DISK_FILE_SYSTEM || type == FILE_DEVICE_CD_ROM_FILE_SYSTEM ||
           type == FILE_DEVICE_NETWORK_FILE_SYSTEM;
}

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

// True when AttachedList records DeviceObject as a volume filter device. The walk holds
// AttachedListLock shared; when the hold is refused the device counts as unrecorded, so its
// request goes down to the file system.
BOOLEAN DispatchIsRecordedFilterDevice(PDEVICE_OBJECT DeviceObject)
{
    if (!ASimpleResource_AcquireShared(&HostGlobals.AttachedListLock)) {
        return FALSE;
    }
    BOOLEAN found = FALSE;
    PLIST_ENTRY head = &HostGlobals.AttachedList;
    // The list head is set up by the attachment manager; before that the list is empty.
    if (head->Flink != nullptr) {
        for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
            if (CONTAINING_RECORD(link, AttachRecord, Links)->FilterDevice == DeviceObject) {
                found = TRUE;
                break;
            }
        }
    }
    ASimpleResource_ReleaseShared(&HostGlobals.AttachedListLock);
    return found;
}

// Requests of a file-system filter device: to the module while it is linked and the device is a
// recorded volume filter device, else down to the file system.
NTSTATUS DispatchFilterDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (DispatchIsRecordedFilterDevice(DeviceObject)) {
        GateLockAcquire();
        PDRIVER_DISPATCH moduleDispatch = HostGlobals.ModuleIrpDispatch;
        if (HostGlobals.Started != 0 && moduleDispatch != nullptr && HostGlobals.LinkState == LinkStateLinked) {
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

NTSTATUS HostCompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

void HostForgetDevice(PDEVICE_OBJECT DeviceObject)
{
    HostRemoveDeviceOverrides(DeviceObject);
    HostForgetRedirectDevice(DeviceObject);
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
    if (DispatchIsFileSystemType(DeviceObject->DeviceType)) {
        return DispatchFilterDevice(DeviceObject, Irp);
    }
    return HostCompleteRequest(Irp, STATUS_NOT_SAME_DEVICE);
}
