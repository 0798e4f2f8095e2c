// IsFilterInStack: whether the host already sits in a device's attachment stack.
#include "driver/hostglobals.h"
#include "fsfilter/attachmanager.h"

HOST_PAGED
BOOLEAN IsFilterInStack(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT* HostDevice)
{
    PAGED_CODE();
    // Downward from the top, holding a reference on the device being looked at.
    PDEVICE_OBJECT current = IoGetAttachedDeviceReference(DeviceObject);
    while (current != nullptr) {
        if (current->DriverObject == HostGlobals.DriverObject) {
            if (HostDevice != nullptr) {
                *HostDevice = current;
            } else {
                ObfDereferenceObject(current);
            }
            return TRUE;
        }
        PDEVICE_OBJECT lower = IoGetLowerDeviceObject(current);
        ObfDereferenceObject(current);
        current = lower;
    }
    if (HostDevice != nullptr) {
        *HostDevice = nullptr;
    }
    return FALSE;
}
