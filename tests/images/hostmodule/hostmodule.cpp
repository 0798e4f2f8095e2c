// A filter module that the host loads through LoadModule in the tests: DriverEntry creates
// "\Device\<service name>", opens the host's control device (the host runs as "filterhost") and
// links itself the way a module does (Connect, RegisterEntryPoints, RegisterNotifyForwarders,
// SetLink 1); UnloadNotice makes it unlink and withdraw; DriverUnload closes and deletes what it
// made. Every entry point counts its call and passes through the test's hook. The routines build
// (HOST_MODULE_ROUTINES) also runs every routine area of routines.cpp from DriverEntry.
#include "hostmodule.h"

#include "support/module_kit.h"

#ifndef HOST_MODULE_BUILD
#define HOST_MODULE_BUILD 1
#endif

namespace {

constexpr USHORT NameCharacters = 100;
const WCHAR HostServiceName[] = u"filterhost";

HostModuleControl* Control;
PDEVICE_OBJECT Device;
HANDLE HostHandle;

void Enter(HostModuleCallKind kind)
{
    InterlockedIncrement(&Control->Calls[kind]);
    auto* hook = Control->Hook;
    if (hook != nullptr) {
        hook(kind);
    }
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI ModuleIrpDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    Enter(HostModuleIrp);
    return Complete(Irp, STATUS_SUCCESS);
}

BOOLEAN NTAPI ModuleAttachNotify(PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT)
{
    Enter(HostModuleAttachNotify);
    return TRUE;
}

BOOLEAN NTAPI ModuleDetachNotify(PDEVICE_OBJECT)
{
    Enter(HostModuleDetachNotify);
    return TRUE;
}

void NTAPI ModuleProcessNotify(HANDLE, HANDLE, BOOLEAN) { Enter(HostModuleProcessNotify); }

void NTAPI ModuleThreadNotify(HANDLE, HANDLE, BOOLEAN) { Enter(HostModuleThreadNotify); }

NTSTATUS ModuleLink()
{
    return KitLink(HostHandle, {ModuleAttachNotify, ModuleDetachNotify, ModuleIrpDispatch, nullptr, ModuleProcessNotify,
                                ModuleThreadNotify});
}

NTSTATUS ModuleUnlink() { return KitUnlink(HostHandle); }

// The module's own device: create, cleanup and close succeed; UnloadNotice is answered.
NTSTATUS NTAPI ModuleDeviceDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return Complete(Irp, STATUS_SUCCESS);
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_MODULE_UNLOAD_NOTICE) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    Enter(HostModuleUnloadNotice);
    NTSTATUS answer = Control->NoticeAnswer;
    if (answer == STATUS_SUCCESS) {
        answer = ModuleUnlink();
    }
    return Complete(Irp, answer);
}

void NTAPI ModuleUnload(PDRIVER_OBJECT)
{
    ZwClose(HostHandle);
    IoDeleteDevice(Device);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                            PUNICODE_STRING RegistryPath)
{
    // The service name is the key path's last component.
    USHORT characters = RegistryPath->Length / sizeof(WCHAR);
    USHORT first = characters;
    while (first > 0 && RegistryPath->Buffer[first - 1] != u'\\') {
        first -= 1;
    }
    WCHAR name[NameCharacters] = u"\\Device\\";
    USHORT used = 8;
    for (USHORT index = first; index < characters && used < NameCharacters; index += 1) {
        name[used++] = RegistryPath->Buffer[index];
    }
    UNICODE_STRING deviceName = {static_cast<USHORT>(used * sizeof(WCHAR)), sizeof(name), name};
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(HostModuleControl), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &Device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Device->Flags |= DO_BUFFERED_IO;
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    Control = static_cast<HostModuleControl*>(Device->DeviceExtension);
    RtlZeroMemory(Control, sizeof(*Control));
    Control->Build = HOST_MODULE_BUILD;
    Control->Unlink = ModuleUnlink;
    Control->Link = ModuleLink;
    Control->IrpDispatch = ModuleIrpDispatch;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major += 1) {
        DriverObject->MajorFunction[major] = ModuleDeviceDispatch;
    }
#ifdef HOST_MODULE_ROUTINES
    // After the dispatch table: the filter-issued I/O area sends requests to the module's device.
    HostModuleRunRoutines(Device, RegistryPath, Control->Routines);
#endif
    DriverObject->DriverUnload = ModuleUnload;

    WCHAR hostName[HOST_CONTROL_DEVICE_NAME_CHARACTERS];
    uint32_t hostCharacters = HostComposeControlDeviceName<WCHAR>(
        HostServiceName, sizeof(HostServiceName) / sizeof(WCHAR) - 1, hostName, HOST_CONTROL_DEVICE_NAME_CHARACTERS);
    UNICODE_STRING hostDevice = {static_cast<USHORT>(hostCharacters * sizeof(WCHAR)), sizeof(hostName), hostName};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &hostDevice, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    status = ZwOpenFile(&HostHandle, GENERIC_READ | GENERIC_WRITE, &attributes, &ioStatus,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SYNCHRONOUS_IO_NONALERT);
    if (NT_SUCCESS(status)) {
        status = ModuleLink();
        if (!NT_SUCCESS(status)) {
            ZwClose(HostHandle);
        }
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(Device);
    }
    return status;
}
