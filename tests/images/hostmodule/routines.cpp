// The routine areas a module may call beyond the host's own, run once by the routines build of the
// host-loaded test module (hostmodule.cpp, HOST_MODULE_ROUTINES) from its DriverEntry. Each area
// calls its routines through the module's own imports and answers the first failing status. What
// the routines do is for the kernel model's tests to check; this module checks only what they
// cannot see from outside an image: a data export, code run from pool, the IRPs a module builds.
// Allocations go unchecked: the module never runs short of memory, and a null stops the model.
#include "hostmodule.h"

namespace {

PDEVICE_OBJECT Device;  // the module's own device, for the IRP and work-item areas
ERESOURCE Resource;     // in the image's non-paged data
PCUNICODE_STRING ServiceKey;  // the module's registry path
constexpr ULONG ModuleTag = 0x4D6E7452;  // "RtnM"

// The first failure of a sequence of steps.
struct Steps {
    NTSTATUS status = STATUS_SUCCESS;
    void Check(NTSTATUS result)
    {
        if (NT_SUCCESS(status) && !NT_SUCCESS(result)) {
            status = result;
        }
    }
    void Expect(bool holds) { Check(holds ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL); }
};

NTSTATUS ProcessesAndThreads()
{
    Steps steps;
    PEPROCESS self = PsGetCurrentProcess();
    ObfReferenceObject(self);  // a process record not yet referenced as an object
    ObfDereferenceObject(self);
    PEPROCESS found = nullptr;
    steps.Check(PsLookupProcessByProcessId(PsGetCurrentProcessId(), &found));
    ObfDereferenceObject(found);
    PETHREAD thread = nullptr;
    steps.Check(PsLookupThreadByThreadId(PsGetCurrentThreadId(), &thread));
    steps.Expect(IoThreadToProcess(thread) == self && PsGetThreadProcessId(thread) == PsGetCurrentProcessId());
    UCHAR name[sizeof(OBJECT_NAME_INFORMATION) + 16];
    ULONG returned = 0;
    steps.Check(ObQueryNameString(thread, reinterpret_cast<POBJECT_NAME_INFORMATION>(name), sizeof(name), &returned));
    ObfDereferenceObject(thread);
    HANDLE handle = nullptr;
    steps.Check(ObOpenObjectByPointer(self, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &handle));
    UCHAR image[sizeof(UNICODE_STRING) + 64];
    steps.Check(ZwQueryInformationProcess(handle, ProcessImageFileName, image, sizeof(image), &returned));
    steps.Check(ZwClose(handle));
    return steps.status;
}

NTSTATUS Resources()
{
    Steps steps;
    PERESOURCE resource = &Resource;
    steps.Check(ExInitializeResourceLite(resource));
    KeEnterCriticalRegion();
    steps.Expect(ExAcquireResourceExclusiveLite(resource, TRUE) && ExAcquireResourceSharedLite(resource, FALSE));
    steps.Expect(ExIsResourceAcquiredExclusiveLite(resource) && ExIsResourceAcquiredSharedLite(resource) == 2);
    ExReleaseResourceLite(resource);
    ExReleaseResourceLite(resource);
    KeLeaveCriticalRegion();
    steps.Check(ExDeleteResourceLite(resource));
    return steps.status;
}

// A control request built for the module's own device: the IRP carries the caller's status block
// and event.
NTSTATUS Irps()
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    constexpr ULONG Code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_NEITHER, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Device, nullptr, 0, nullptr, 0, FALSE, &event, &ioStatus);
    bool built = irp->UserIosb == &ioStatus && irp->UserEvent == &event;
    IoFreeIrp(irp);
    return built ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS DataExports()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"PsInitialSystemProcess");
    auto* system = static_cast<PEPROCESS*>(MmGetSystemRoutineAddress(&name));
    RtlInitUnicodeString(&name, u"NtBuildNumber");
    auto* build = static_cast<ULONG*>(MmGetSystemRoutineAddress(&name));
    constexpr ULONG_PTR SystemProcessId = 4;
    bool found = system != nullptr && PsGetProcessId(*system) == reinterpret_cast<HANDLE>(SystemProcessId) &&
                 build != nullptr && (*build >> 28) == 0xF;
    return found ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS ExecutablePool()
{
    const UCHAR returnsSeven[] = {0xB8, 0x07, 0x00, 0x00, 0x00, 0xC3};  // mov eax, 7; ret
    void* code = ExAllocatePoolWithTag(NonPagedPool, sizeof(returnsSeven), ModuleTag);
    RtlCopyMemory(code, returnsSeven, sizeof(returnsSeven));
    int result = reinterpret_cast<int (*)()>(code)();
    ExFreePoolWithTag(code, ModuleTag);
    return result == 7 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS Strings()
{
    Steps steps;
    WCHAR buffer[8] = {};
    UNICODE_STRING destination = {0, sizeof(buffer), buffer};
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"vol");
    RtlCopyUnicodeString(&destination, &source);
    steps.Check(RtlAppendUnicodeStringToString(&destination, &source));
    steps.Check(RtlAppendUnicodeToString(&destination, u"x"));
    UNICODE_STRING upper = {};
    steps.Check(RtlUpcaseUnicodeString(&upper, &source, TRUE));
    UNICODE_STRING copy = {};
    steps.Check(RtlDuplicateUnicodeString(RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE, &upper, &copy));
    steps.Expect(RtlEqualUnicodeString(&copy, &source, TRUE) && RtlCompareUnicodeString(&copy, &source, FALSE) < 0 &&
                 RtlPrefixUnicodeString(&source, &destination, FALSE));
    RtlFreeUnicodeString(&copy);
    RtlFreeUnicodeString(&upper);
    return steps.status;
}

void NTAPI WorkRoutine(PDEVICE_OBJECT, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
}

NTSTATUS WorkItems()
{
    PIO_WORKITEM item = IoAllocateWorkItem(Device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, &done);
    NTSTATUS status = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(item);
    return status;
}

void NTAPI CancelHere(PDEVICE_OBJECT, PIRP Irp) { IoReleaseCancelSpinLock(Irp->CancelIrql); }

// An FSD read sent to the module's own device, an MDL for a buffer, and an IRP of the module's
// own (of fixed size) cancelled.
NTSTATUS FilterIo()
{
    Steps steps;
    UCHAR buffer[32] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    LARGE_INTEGER offset = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Device, buffer, sizeof(buffer), &offset, &event, &ioStatus);
    if (IoCallDriver(Device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    steps.Check(ioStatus.Status);
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    steps.Expect(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) == buffer);
    IoFreeMdl(mdl);
    irp = IoAllocateIrp(Device->StackSize, FALSE);
    steps.Expect((irp->AllocationFlags & IRP_ALLOCATED_FIXED_SIZE) != 0);
    IoSetCancelRoutine(irp, CancelHere);
    steps.Expect(IoCancelIrp(irp));
    IoFreeIrp(irp);
    return steps.status;
}

NTSTATUS Lookaside()
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 64, ModuleTag, 0);
    ExFreeToNPagedLookasideList(&list, ExAllocateFromNPagedLookasideList(&list));
    ExDeleteNPagedLookasideList(&list);
    return STATUS_SUCCESS;
}

void NTAPI TimerDpc(PKDPC, PVOID Context, PVOID, PVOID)
{
    KeReleaseSemaphore(static_cast<PKSEMAPHORE>(Context), IO_NO_INCREMENT, 1, FALSE);
}

NTSTATUS Timers()
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 1);
    KDPC dpc;
    KeInitializeDpc(&dpc, TimerDpc, &semaphore);
    KTIMER timer;
    KeInitializeTimerEx(&timer, NotificationTimer);
    constexpr LONGLONG DueIn100ns = -10 * 10000;
    LARGE_INTEGER due;
    due.QuadPart = DueIn100ns;
    KeSetTimer(&timer, due, &dpc);
    PVOID objects[] = {&timer, &semaphore};
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
    KeCancelTimer(&timer);
    return status;
}

// An event made, duplicated, set through the copy and found signalled through the original.
NTSTATUS Handles()
{
    Steps steps;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE event = nullptr;
    steps.Check(ZwCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE));
    HANDLE duplicate = nullptr;
    steps.Check(ZwDuplicateObject(NtCurrentProcess(), event, NtCurrentProcess(), &duplicate, 0, OBJ_KERNEL_HANDLE,
                                  DUPLICATE_SAME_ACCESS));
    steps.Check(ZwSetEvent(duplicate, nullptr));
    steps.Check(ZwClose(duplicate));
    LARGE_INTEGER poll = {};
    steps.Expect(ZwWaitForSingleObject(event, FALSE, &poll) == STATUS_SUCCESS);
    steps.Check(ZwClose(event));
    return steps.status;
}

NTSTATUS SymbolicLinks()
{
    Steps steps;
    UCHAR nameBuffer[sizeof(OBJECT_NAME_INFORMATION) + 128];
    auto* deviceName = reinterpret_cast<POBJECT_NAME_INFORMATION>(nameBuffer);
    ULONG returned = 0;
    steps.Check(ObQueryNameString(Device, deviceName, sizeof(nameBuffer), &returned));
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\RoutinesModuleLink");
    steps.Check(IoCreateSymbolicLink(&link, &deviceName->Name));
    UNICODE_STRING byLink;
    RtlInitUnicodeString(&byLink, u"\\??\\RoutinesModuleLink");
    PVOID object = nullptr;
    steps.Check(ObReferenceObjectByName(&byLink, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDeviceObjectType, KernelMode,
                                        nullptr, &object));
    steps.Expect(object == Device);
    ObfDereferenceObject(object);
    steps.Check(IoDeleteSymbolicLink(&link));
    return steps.status;
}

void NTAPI ImageLoaded(PUNICODE_STRING, HANDLE, PIMAGE_INFO) {}

NTSTATUS ImageNotify()
{
    NTSTATUS status = PsSetLoadImageNotifyRoutine(ImageLoaded);
    return NT_SUCCESS(status) ? PsRemoveLoadImageNotifyRoutine(ImageLoaded) : status;
}

// The module's own service key: its Type and ImagePath read directly (the string without its
// terminator), its other values through a query routine.
NTSTATUS NTAPI CountValue(PWSTR, ULONG, PVOID, ULONG, PVOID Context, PVOID)
{
    *static_cast<ULONG*>(Context) += 1;
    return STATUS_SUCCESS;
}

NTSTATUS Registry()
{
    constexpr USHORT PathCharacters = 160;
    WCHAR path[PathCharacters] = {};
    if (ServiceKey->Length >= sizeof(path)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(path, ServiceKey->Buffer, ServiceKey->Length);
    ULONG type = 0;
    UNICODE_STRING imagePath = {};
    ULONG values = 0;
    WCHAR typeName[] = u"Type";
    WCHAR imagePathName[] = u"ImagePath";
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, typeName, &type, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, imagePathName, &imagePath, REG_NONE, nullptr, 0},
        {CountValue, 0, nullptr, nullptr, REG_NONE, nullptr, 0},
        {},
    };
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, &values, nullptr);
    bool read = imagePath.Length != 0;
    RtlFreeUnicodeString(&imagePath);
    constexpr ULONG KernelDriverType = 1;
    return NT_SUCCESS(status) && (type != KernelDriverType || !read || values < 2) ? STATUS_UNSUCCESSFUL : status;
}

}  // namespace

void HostModuleRunRoutines(PDEVICE_OBJECT ModuleDevice, PCUNICODE_STRING RegistryPath, NTSTATUS* Status)
{
    Device = ModuleDevice;
    ServiceKey = RegistryPath;
    NTSTATUS (*const areas[])() = {ProcessesAndThreads, Resources, Irps, DataExports, ExecutablePool, Strings,
                                   WorkItems, FilterIo, Lookaside, Timers, Handles, SymbolicLinks, ImageNotify,
                                   Registry};
    static_assert(sizeof(areas) / sizeof(areas[0]) == RoutinesAreas, "one status per area");
    for (LONG area = 0; area < RoutinesAreas; area += 1) {
        Status[area] = areas[area]();
    }
}
