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
    PDEVICE_OBJECT lower = LowerDeviceOf(DeviceObject);
    if (lower == nullptr) {
        return HostCompleteRequest(Irp, STATUS_NO_MEDIA);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(lower, Irp);
}
