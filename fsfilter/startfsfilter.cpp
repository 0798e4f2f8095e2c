// StartFsFilter: the attachment manager's start, the last step of driver entry.
#include "driver/hostglobals.h"
#include "fsfilter/attachmanager.h"
#include "fsfilter/fastio.h"

HOST_PAGED
NTSTATUS StartFsFilter(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    HostGlobals.DriverObject = DriverObject;
    InitializeListHead(&HostGlobals.AttachedList);
    NTSTATUS status = ASimpleResource_Init(&HostGlobals.AttachedListLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!NT_SUCCESS(AFastMutex_Init(&HostGlobals.AttachMutex))) {
        ASimpleResource_Destroy(&HostGlobals.AttachedListLock);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Both are in place before the registration, which attaches to running file systems at once.
    DriverObject->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = DispatchFsControl;
    DriverObject->FastIoDispatch = const_cast<PFAST_IO_DISPATCH>(&HostFastIoDispatch);

    status = IoRegisterFsRegistrationChange(DriverObject, OnFsRegistrationChange);
    if (!NT_SUCCESS(status)) {
        DriverObject->FastIoDispatch = nullptr;
        AFastMutex_Free(&HostGlobals.AttachMutex);
        ASimpleResource_Destroy(&HostGlobals.AttachedListLock);
        return status;
    }
    // From here on the control device can be opened.
    HostGlobals.ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
