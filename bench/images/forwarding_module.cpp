// A filter module that filters nothing, to measure what the host's forwarding costs: every IRP the
// host hands it goes to the device below the host's filter device, and a fast read to the
// FastIoRead of the driver below. It takes every volume it is offered and lets every one go.
//
// It links the way a module does, from kernel mode through a kernel handle of the host's control
// device: Connect, RegisterEntryPoints, SetLink. The benchmark calls ForwardingModuleLink,
// ForwardingModuleSetLink and ForwardingModuleUnlink on a System thread at PASSIVE_LEVEL, one at a
// time.
#include "base/platform.h"
#include "filterhost/module.h"
#include "forwarding_module.h"
#include "support/module_kit.h"

namespace {

HANDLE ControlHandle;
FAST_IO_DISPATCH ModuleFastIo;
volatile LONG ProbeCalls;
// Interrupt time (100 ns) as the last forwarded read with the drain key returned; 0 before.
volatile LONGLONG DrainReadLeft;

// Counts a forwarded read that carries the probe key; other requests cost one comparison.
void ModuleCountProbe(ULONG Key)
{
    if (Key == FORWARDING_MODULE_PROBE_KEY) {
        InterlockedIncrement(&ProbeCalls);
    }
}

// IRP dispatch: the module owns the IRP and passes it down untouched. A read with the drain key
// stamps the time as it leaves (the stack location is not read after the IRP went down).
NTSTATUS NTAPI ModuleIrpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    BOOLEAN drainRead = FALSE;
    if (stack->MajorFunction == IRP_MJ_READ) {
        ModuleCountProbe(stack->Parameters.Read.Key);
        drainRead = stack->Parameters.Read.Key == FORWARDING_MODULE_DRAIN_KEY;
    }
    NTSTATUS status = ModulePassDown(DeviceObject, Irp);
    if (drainRead) {
        InterlockedExchange64(&DrainReadLeft, static_cast<LONGLONG>(KeQueryInterruptTime()));
    }
    return status;
}

// A fast read: the lower driver's member with the lower device, or not handled when it has none.
BOOLEAN NTAPI ModuleFastIoRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                               ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    ModuleCountProbe(LockKey);
    PDEVICE_OBJECT lower = KitLowerDevice(DeviceObject);
    PFAST_IO_DISPATCH fastIo = KitFastIoWith(lower, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoRead));
    if (fastIo == nullptr) {
        return FALSE;
    }
    return fastIo->FastIoRead(FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus, lower);
}

BOOLEAN NTAPI ModuleAttachNotify(PDEVICE_OBJECT FilterDevice, PDEVICE_OBJECT VolumeDevice, PDEVICE_OBJECT StorageDevice)
{
    UNREFERENCED_PARAMETER(FilterDevice);
    UNREFERENCED_PARAMETER(VolumeDevice);
    UNREFERENCED_PARAMETER(StorageDevice);
    return TRUE;
}

BOOLEAN NTAPI ModuleDetachNotify(PDEVICE_OBJECT FilterDevice)
{
    UNREFERENCED_PARAMETER(FilterDevice);
    return TRUE;
}

void NTAPI ModuleUnload(PDRIVER_OBJECT DriverObject);

}  // namespace

// Sets the module's fast I/O table up; the module has nothing else to start.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    ModuleFastIo.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    ModuleFastIo.FastIoRead = ModuleFastIoRead;
    DriverObject->DriverUnload = ModuleUnload;
    return STATUS_SUCCESS;
}

// Opens the host's control device (ControlDeviceName, every character counted) with a kernel
// handle, connects, registers the entry points and links. PASSIVE_LEVEL. On failure the handle
// is closed again.
extern "C" NTSTATUS ForwardingModuleLink(PUNICODE_STRING ControlDeviceName)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, ControlDeviceName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwCreateFile(&ControlHandle, GENERIC_READ | GENERIC_WRITE, &attributes, &ioStatus, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                   nullptr, 0);
    if (!NT_SUCCESS(status)) {
        ControlHandle = nullptr;
        return status;
    }
    status = KitLink(ControlHandle, {ModuleAttachNotify, ModuleDetachNotify, ModuleIrpDispatch, &ModuleFastIo,
                                     nullptr, nullptr});
    if (!NT_SUCCESS(status)) {
        ZwClose(ControlHandle);
        ControlHandle = nullptr;
    }
    return status;
}

// Switches forwarding on (TRUE) or off, entry points kept. After ForwardingModuleLink only.
extern "C" NTSTATUS ForwardingModuleSetLink(BOOLEAN On)
{
    return KitSendCommand(ControlHandle, HostCommandSetLink, On ? HOST_LINK_ON : HOST_LINK_OFF);
}

// Forwarded reads that carried FORWARDING_MODULE_PROBE_KEY so far.
extern "C" LONG ForwardingModuleProbeCalls() { return InterlockedCompareExchange(&ProbeCalls, 0, 0); }

// Unlinks, withdraws the entry points and closes the handle: after it the host calls nothing of
// the module. Harmless when not linked.
extern "C" NTSTATUS ForwardingModuleUnlink()
{
    if (ControlHandle == nullptr) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = KitUnlink(ControlHandle);
    ZwClose(ControlHandle);
    ControlHandle = nullptr;
    return status;
}

namespace {

// Unlinks first if the benchmark has not: nothing of the module may be called once it is gone.
// Then prints when the last drain read left.
void NTAPI ModuleUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    (void)ForwardingModuleUnlink();
    DbgPrint(FORWARDING_MODULE_UNLOAD_LINE "\n",
             static_cast<long long>(InterlockedCompareExchange64(&DrainReadLeft, 0, 0)));
}

}  // namespace
