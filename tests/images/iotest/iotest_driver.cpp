// A small driver image for the I/O manager's loading tests. The test picks what DriverEntry and
// DriverUnload do through IoTestScenario before DriverEntry runs, or, for a load through
// ZwLoadDriver, through a REG_DWORD "Scenario" in the service key; DriverEntry records what it
// was given for the test to read.
#include "ntmodel/ntifs.h"

#define EXPORTED __attribute__((visibility("default")))

namespace {

constexpr ULONG IoTestTag = 0x64546F49;  // 'IoTd'
constexpr ULONG DeviceExtensionSize = 16;
constexpr ULONG PoolBlockSize = 48;
constexpr USHORT RecordedPathCharacters = 128;

const WCHAR DeviceName[] = u"\\Device\\IoTest";
const WCHAR LowerDeviceName[] = u"\\Device\\IoTestLower";
const WCHAR LinkName[] = u"\\DosDevices\\IoTest";

PDEVICE_OBJECT Device;

}  // namespace

extern "C" {

// What DriverEntry does.
enum IoTestScenarios : LONG {
    IoTestStartWithUnload = 0,     // a device, an unload routine that deletes it
    IoTestStartWithoutUnload = 1,  // a device and a pool block kept until shutdown, no unload routine
    IoTestFailClean = 2,           // a device and pool, both given back, then failure
    IoTestFailLeaky = 3,           // failure leaving a device, pool, a handle, a reference and an IRP
    IoTestUnloadLeaky = 4,         // starts; its unload routine leaves the device and a pool block
    IoTestUnloadTimerSet = 5,      // starts with a periodic timer its unload routine leaves set
    IoTestUnloadLookaside = 6,     // starts with a lookaside list its unload routine leaves
    IoTestUnloadLinkAndNotify = 7,  // starts with a symbolic link and an image-load notify routine,
                                    // both left by its unload routine
};

EXPORTED LONG IoTestScenario = IoTestStartWithUnload;
EXPORTED LONG IoTestEntryIrql = -1;
EXPORTED ULONG_PTR IoTestEntryProcessId = 0;
EXPORTED LONG IoTestEntryPreviousMode = -1;
EXPORTED WCHAR IoTestRegistryPath[RecordedPathCharacters];
EXPORTED USHORT IoTestRegistryPathLength = 0;
EXPORTED LONG IoTestCreates = 0;
EXPORTED LONG IoTestCloses = 0;
// The pool block the driver keeps (visible, so that its allocation is not a tail call).
EXPORTED PVOID IoTestKeptBlock = nullptr;

}  // extern "C"

namespace {

// Create, cleanup and close succeed; creates and closes are counted.
NTSTATUS NTAPI IoTestDispatchFile(PDEVICE_OBJECT, PIRP Irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (major == IRP_MJ_CREATE) {
        IoTestCreates++;
    } else if (major == IRP_MJ_CLOSE) {
        IoTestCloses++;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void NTAPI IoTestUnload(PDRIVER_OBJECT) { IoDeleteDevice(Device); }

void NTAPI IoTestUnloadLeaving(PDRIVER_OBJECT)
{
    IoTestKeptBlock = ExAllocatePoolWithTag(NonPagedPoolNx, PoolBlockSize, IoTestTag);
}

// Leaves a handle to the lower device, a reference on it and an unsent IRP behind.
void LeaveHandleReferenceAndIrp()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, LowerDeviceName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle;
    IO_STATUS_BLOCK ioStatus;
    ZwOpenFile(&handle, GENERIC_READ, &attributes, &ioStatus, FILE_SHARE_READ, 0);
    PFILE_OBJECT file;
    if (NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, (PVOID*)&file, nullptr))) {
        IoGetAttachedDeviceReference(file->DeviceObject);
        ObDereferenceObject(file);
    }
    IoAllocateIrp(1, FALSE);
}

void NTAPI IgnoreImageLoad(PUNICODE_STRING, HANDLE, PIMAGE_INFO) {}

// A "Scenario" value in the service key overrides IoTestScenario.
void ReadScenario(PUNICODE_STRING RegistryPath)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, RegistryPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes))) {
        return;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Scenario");
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(LONG)];
    auto* value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG length;
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, sizeof buffer, &length)) &&
        value->Type == REG_DWORD) {
        RtlCopyMemory(&IoTestScenario, value->Data, sizeof(LONG));
    }
    ZwClose(key);
}

}  // namespace

extern "C" EXPORTED NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    ReadScenario(RegistryPath);
    IoTestEntryIrql = KeGetCurrentIrql();
    IoTestEntryProcessId = (ULONG_PTR)PsGetCurrentProcessId();
    IoTestEntryPreviousMode = ExGetPreviousMode();
    UNICODE_STRING recorded = {0, sizeof(IoTestRegistryPath), IoTestRegistryPath};
    RtlCopyUnicodeString(&recorded, RegistryPath);  // as much as fits
    IoTestRegistryPathLength = recorded.Length;

    DriverObject->MajorFunction[IRP_MJ_CREATE] = IoTestDispatchFile;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = IoTestDispatchFile;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = IoTestDispatchFile;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, DeviceName);
    NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IoTestKeptBlock = ExAllocatePoolWithTag(NonPagedPoolNx, PoolBlockSize, IoTestTag);
    if (IoTestScenario == IoTestStartWithoutUnload) {
        return STATUS_SUCCESS;
    }
    if (IoTestScenario == IoTestFailLeaky) {
        LeaveHandleReferenceAndIrp();
        return STATUS_UNSUCCESSFUL;
    }
    // The other scenarios give the block back at once.
    ExFreePoolWithTag(IoTestKeptBlock, IoTestTag);
    DriverObject->DriverUnload = IoTestScenario == IoTestUnloadLeaky ? IoTestUnloadLeaving : IoTestUnload;
    switch (IoTestScenario) {
    case IoTestStartWithUnload:
    case IoTestUnloadLeaky:
        return STATUS_SUCCESS;
    case IoTestFailClean:
        DriverObject->DriverUnload = nullptr;
        IoDeleteDevice(Device);
        return STATUS_INSUFFICIENT_RESOURCES;
    case IoTestUnloadTimerSet: {
        static KTIMER timer;
        constexpr LONG PeriodMs = 1000;
        LARGE_INTEGER due;
        due.QuadPart = -PeriodMs * 10000LL;
        KeInitializeTimer(&timer);
        KeSetTimerEx(&timer, due, PeriodMs, nullptr);
        return STATUS_SUCCESS;
    }
    case IoTestUnloadLookaside: {
        static NPAGED_LOOKASIDE_LIST list;
        ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, PoolBlockSize, IoTestTag, 0);
        return STATUS_SUCCESS;
    }
    case IoTestUnloadLinkAndNotify: {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, LinkName);
        status = IoCreateSymbolicLink(&link, &name);
        return NT_SUCCESS(status) ? PsSetLoadImageNotifyRoutine(IgnoreImageLoad) : status;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}
