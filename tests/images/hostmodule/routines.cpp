// The routine areas a module may call beyond the host's own, run once by the routines build of the
// host-loaded test module (hostmodule.cpp, HOST_MODULE_ROUTINES) from its DriverEntry.
#include "hostmodule.h"

namespace {

PDEVICE_OBJECT Device;  // the module's own device, for the IRP and work-item areas
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
    ObfReferenceObject(self);
    ObfDereferenceObject(self);
    PEPROCESS found = nullptr;
    steps.Check(PsLookupProcessByProcessId(PsGetCurrentProcessId(), &found));
    if (found != nullptr) {
        steps.Expect(found == self);
        ObfDereferenceObject(found);
    }
    PETHREAD thread = nullptr;
    steps.Check(PsLookupThreadByThreadId(PsGetCurrentThreadId(), &thread));
    if (thread != nullptr) {
        steps.Expect(IoThreadToProcess(thread) == self && PsGetThreadProcessId(thread) == PsGetCurrentProcessId());
        UCHAR name[sizeof(OBJECT_NAME_INFORMATION) + 16];
        ULONG returned = 0;
        steps.Check(ObQueryNameString(thread, reinterpret_cast<POBJECT_NAME_INFORMATION>(name), sizeof(name), &returned));
        ObfDereferenceObject(thread);
    }
    HANDLE handle = nullptr;
    steps.Check(ObOpenObjectByPointer(self, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &handle));
    if (handle != nullptr) {
        UCHAR image[sizeof(UNICODE_STRING) + 64];
        ULONG needed = 0;
        steps.Check(ZwQueryInformationProcess(handle, ProcessImageFileName, image, sizeof(image), &needed));
        ZwClose(handle);
    }
    return steps.status;
}

NTSTATUS Resources()
{
    Steps steps;
    auto* resource = static_cast<PERESOURCE>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ERESOURCE), ModuleTag));
    if (resource == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    steps.Check(ExInitializeResourceLite(resource));
    KeEnterCriticalRegion();
    steps.Expect(ExAcquireResourceExclusiveLite(resource, TRUE) && ExAcquireResourceSharedLite(resource, FALSE));
    steps.Expect(ExIsResourceAcquiredExclusiveLite(resource) && ExIsResourceAcquiredSharedLite(resource) == 2);
    ExReleaseResourceLite(resource);
    ExReleaseResourceLite(resource);
    KeLeaveCriticalRegion();
    steps.Check(ExDeleteResourceLite(resource));
    ExFreePoolWithTag(resource, ModuleTag);
    return steps.status;
}

NTSTATUS Irps()
{
    Steps steps;
    PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    steps.Expect((irp->AllocationFlags & IRP_ALLOCATED_FIXED_SIZE) != 0);
    IoFreeIrp(irp);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    constexpr ULONG Code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_NEITHER, FILE_ANY_ACCESS);
    irp = IoBuildDeviceIoControlRequest(Code, Device, nullptr, 0, nullptr, 0, FALSE, &event, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    steps.Expect(irp->UserIosb == &ioStatus && irp->UserEvent == &event);
    IoFreeIrp(irp);
    return steps.status;
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
    if (code == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(code, returnsSeven, sizeof(returnsSeven));
    int result = reinterpret_cast<int (*)()>(code)();
    ExFreePoolWithTag(code, ModuleTag);
    return result == 7 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS Strings()
{
    WCHAR buffer[2] = {};
    UNICODE_STRING destination = {8, 4, buffer};
    UNICODE_STRING empty = {0, 0, nullptr};
    return RtlAppendUnicodeStringToString(&destination, &empty);
}

struct WorkContext {
    KEVENT done;
    NTSTATUS status;
};

void NTAPI WorkRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    auto* work = static_cast<WorkContext*>(Context);
    bool worker = DeviceObject == Device && KeGetCurrentIrql() == PASSIVE_LEVEL && PsIsSystemThread(PsGetCurrentThread());
    work->status = worker ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    KeSetEvent(&work->done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS WorkItems()
{
    PIO_WORKITEM item = IoAllocateWorkItem(Device);
    if (item == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WorkContext work;
    KeInitializeEvent(&work.done, NotificationEvent, FALSE);
    work.status = STATUS_PENDING;
    IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, &work);
    KeWaitForSingleObject(&work.done, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(item);
    return work.status;
}

void NTAPI CancelHere(PDEVICE_OBJECT, PIRP Irp) { IoReleaseCancelSpinLock(Irp->CancelIrql); }

NTSTATUS FilterIo()
{
    Steps steps;
    UCHAR buffer[32] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    LARGE_INTEGER offset = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Device, buffer, sizeof(buffer), &offset, &event, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (IoCallDriver(Device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    steps.Check(ioStatus.Status);
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(mdl);
    steps.Expect(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) == buffer);
    IoFreeMdl(mdl);
    irp = IoAllocateIrp(Device->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetCancelRoutine(irp, CancelHere);
    steps.Expect(IoCancelIrp(irp) && irp->Cancel);
    IoFreeIrp(irp);
    return steps.status;
}

NTSTATUS Lookaside()
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 64, ModuleTag, 0);
    PVOID block = ExAllocateFromNPagedLookasideList(&list);
    if (block != nullptr) {
        ExFreeToNPagedLookasideList(&list, block);
    }
    ExDeleteNPagedLookasideList(&list);
    return block != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
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

}  // namespace

void HostModuleRunRoutines(PDEVICE_OBJECT ModuleDevice, NTSTATUS* Status)
{
    Device = ModuleDevice;
    Status[RoutinesProcessThread] = ProcessesAndThreads();
    Status[RoutinesResource] = Resources();
    Status[RoutinesIrp] = Irps();
    Status[RoutinesDataExport] = DataExports();
    Status[RoutinesPool] = ExecutablePool();
    Status[RoutinesString] = Strings();
    Status[RoutinesWorkItem] = WorkItems();
    Status[RoutinesFilterIo] = FilterIo();
    Status[RoutinesLookaside] = Lookaside();
    Status[RoutinesTimer] = Timers();
}
