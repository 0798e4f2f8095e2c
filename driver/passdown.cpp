// PassDown and LowerDeviceOf.
#include "driver/passdown.h"

#include "driver/dispatch.h"

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
