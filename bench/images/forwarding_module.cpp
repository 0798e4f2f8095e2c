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

namespace {

// Largest command block or reply the module sends or reads.
constexpr ULONG CommandBufferBytes = 64;

HANDLE ControlHandle;
FAST_IO_DISPATCH ModuleFastIo;
volatile LONG ProbeCalls;

// Counts a forwarded read that carries the probe key; other requests cost one comparison.
void ModuleCountProbe(ULONG Key)
{
    if (Key == FORWARDING_MODULE_PROBE_KEY) {
        InterlockedIncrement(&ProbeCalls);
    }
}

// The device below the host's filter device, unreferenced (the filter device keeps it attached
// for as long as the host passes requests through it); null when none.
PDEVICE_OBJECT ModuleLowerDevice(PDEVICE_OBJECT FilterDevice)
{
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(FilterDevice);
    if (lower != nullptr) {
        ObfDereferenceObject(lower);
    }
    return lower;
}

// IRP dispatch: the module owns the IRP and passes it down untouched.
NTSTATUS NTAPI ModuleIrpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_READ) {
        ModuleCountProbe(stack->Parameters.Read.Key);
    }
    PDEVICE_OBJECT lower = ModuleLowerDevice(DeviceObject);
    if (lower == nullptr) {
        Irp->IoStatus.Status = STATUS_NO_MEDIA;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NO_MEDIA;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(lower, Irp);
}

// A fast read: the lower driver's member with the lower device, or not handled when it has none.
BOOLEAN NTAPI ModuleFastIoRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                               ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    ModuleCountProbe(LockKey);
    PDEVICE_OBJECT lower = ModuleLowerDevice(DeviceObject);
    if (lower == nullptr) {
        return FALSE;
    }
    PFAST_IO_DISPATCH fastIo = lower->DriverObject->FastIoDispatch;
    if (fastIo == nullptr || fastIo->SizeOfFastIoDispatch <= FIELD_OFFSET(FAST_IO_DISPATCH, FastIoRead) ||
        fastIo->FastIoRead == nullptr) {
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

// Sends one command block and answers the host's outcome: the request's status when it failed,
// else the reply's Status.
NTSTATUS ModuleSendCommand(const void* Block, ULONG BlockBytes, ULONG ReplyBytes)
{
    UCHAR reply[CommandBufferBytes];
    RtlZeroMemory(reply, sizeof(reply));
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwDeviceIoControlFile(ControlHandle, nullptr, nullptr, nullptr, &ioStatus, IOCTL_HOST_COMMAND,
                                            const_cast<void*>(Block), BlockBytes, reply, ReplyBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return reinterpret_cast<const ControlReply*>(reply)->Status;
}

NTSTATUS ModuleSendSimple(ULONG Command, ULONG Argument, ULONG ReplyBytes)
{
    ControlRequest request;
    RtlZeroMemory(&request, sizeof(request));
    request.Command = Command;
    request.Argument = Argument;
    return ModuleSendCommand(&request, sizeof(request), ReplyBytes);
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
    status = ModuleSendSimple(HostCommandConnect, 0, sizeof(ConnectReply));
    if (NT_SUCCESS(status)) {
        RegisterEntryPointsRequest request;
        RtlZeroMemory(&request, sizeof(request));
        request.Header.Command = HostCommandRegisterEntryPoints;
        request.AttachNotify = reinterpret_cast<ULONG_PTR>(ModuleAttachNotify);
        request.DetachNotify = reinterpret_cast<ULONG_PTR>(ModuleDetachNotify);
        request.IrpDispatch = reinterpret_cast<ULONG_PTR>(ModuleIrpDispatch);
        request.FastIo = reinterpret_cast<ULONG_PTR>(&ModuleFastIo);
        status = ModuleSendCommand(&request, sizeof(request), sizeof(ControlReply));
    }
    if (NT_SUCCESS(status)) {
        status = ModuleSendSimple(HostCommandSetLink, HOST_LINK_ON, sizeof(ControlReply));
    }
    if (!NT_SUCCESS(status)) {
        ZwClose(ControlHandle);
        ControlHandle = nullptr;
    }
    return status;
}

// Switches forwarding on (TRUE) or off, entry points kept. After ForwardingModuleLink only.
extern "C" NTSTATUS ForwardingModuleSetLink(BOOLEAN On)
{
    return ModuleSendSimple(HostCommandSetLink, On ? HOST_LINK_ON : HOST_LINK_OFF, sizeof(ControlReply));
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
    NTSTATUS status = ModuleSendSimple(HostCommandSetLink, HOST_LINK_OFF, sizeof(ControlReply));
    NTSTATUS withdrawn = ModuleSendSimple(HostCommandWithdrawEntryPoints, 0, sizeof(ControlReply));
    ZwClose(ControlHandle);
    ControlHandle = nullptr;
    return NT_SUCCESS(status) ? withdrawn : status;
}

namespace {

// Unlinks first if the benchmark has not: nothing of the module may be called once it is gone.
void NTAPI ModuleUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    (void)ForwardingModuleUnlink();
}

}  // namespace
