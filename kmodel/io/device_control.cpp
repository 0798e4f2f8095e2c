// Device control: NtDeviceIoControlFile and ZwDeviceIoControlFile on a file handle, and
// IoBuildDeviceIoControlRequest for drivers. Buffered requests get a system buffer of exactly
// max(input, output) bytes from pool, so that the address sanitizer catches any access past it.
#include <algorithm>

#include "internal/ps.h"
#include "io/io_manager.h"

namespace km::io {

namespace {

// The access bits of a control code (FILE_READ_ACCESS, FILE_WRITE_ACCESS).
constexpr int ControlAccessShift = 14;
constexpr ULONG ControlAccessMask = 3;

// Gives `irp` a system buffer holding the input; false when pool is short.
bool SetUpBufferedIo(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG outputLength)
{
    ULONG size = std::max(inputLength, outputLength);
    irp->UserBuffer = output;
    if (size == 0) {
        return true;
    }
    void* buffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, SystemBufferTag);
    if (buffer == nullptr) {
        return false;
    }
    if (inputLength > 0 && input != nullptr) {
        memcpy(buffer, input, inputLength);
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (outputLength > 0) {
        irp->Flags |= IRP_INPUT_OPERATION;
    }
    return true;
}

void SetDeviceControlParameters(PIO_STACK_LOCATION stack, ULONG code, ULONG inputLength, ULONG outputLength,
                                bool internal)
{
    stack->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
}

void DropFileReference(ob::ObjectHeader* header)
{
    bool last;
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        last = ob::DereferenceLocked(header, true, nullptr);
    }
    if (last) {
        ob::FinishLastReference(header);
    }
}

// A device-control request on a file handle for a caller of previous mode `mode`, synchronous.
NTSTATUS DeviceIoControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                             PIO_STATUS_BLOCK ioStatusBlock, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                             ULONG outputLength, KPROCESSOR_MODE mode)
{
    if (event != nullptr || apcRoutine != nullptr) {
        return STATUS_NOT_IMPLEMENTED;  // the model's requests are synchronous
    }
    ob::ObjectHeader* header;
    ACCESS_MASK granted;
    NTSTATUS status = ob::ReferenceByHandle(fileHandle, mode, nullptr, &header, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG access = (code >> ControlAccessShift) & ControlAccessMask;
    if (header->kind != ob::ObjectKind::File) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
    } else if (mode == UserMode && (((access & FILE_READ_ACCESS) != 0 && (granted & FILE_READ_DATA) == 0) ||
                                    ((access & FILE_WRITE_ACCESS) != 0 && (granted & FILE_WRITE_DATA) == 0))) {
        status = STATUS_ACCESS_DENIED;
    } else if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) {
        status = STATUS_NOT_IMPLEMENTED;  // direct and neither I/O are not modelled for handles
    }
    if (!NT_SUCCESS(status)) {
        DropFileReference(header);
        return status;
    }
    auto* file = static_cast<PFILE_OBJECT>(header->body);
    PDEVICE_OBJECT target = RelatedDevice(file);
    PIRP irp = AllocateIrp(target->StackSize, true, nullptr);
    if (irp == nullptr || !SetUpBufferedIo(irp, input, inputLength, output, outputLength)) {
        if (irp != nullptr) {
            IoFreeIrp(irp);
        }
        DropFileReference(header);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = mode;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    SetDeviceControlParameters(stack, code, inputLength, outputLength, false);
    stack->FileObject = file;
    IoManagerCompletion completion;
    completion.outputLength = outputLength;
    SetIoManagerCompletion(irp, completion);
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS returned = CallSynchronously(target, irp, &ioStatus);
    if (ioStatusBlock != nullptr) {
        *ioStatusBlock = ioStatus;
    }
    DropFileReference(header);
    return returned == STATUS_PENDING ? ioStatus.Status : returned;
}

}  // namespace

}  // namespace km::io

using namespace km::io;

// Sends a device-control request on a file handle for the calling thread's previous mode and
// waits for it; buffered output is copied back (Information bytes, at most the output length).
extern "C" NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                                PVOID OutputBuffer, ULONG OutputBufferLength)
{
    UNREFERENCED_PARAMETER(ApcContext);
    return DeviceIoControlFile(FileHandle, Event, ApcRoutine, IoStatusBlock, IoControlCode, InputBuffer,
                               InputBufferLength, OutputBuffer, OutputBufferLength, CurrentPreviousMode());
}

// As NtDeviceIoControlFile, from kernel mode.
extern "C" NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                                PVOID OutputBuffer, ULONG OutputBufferLength)
{
    UNREFERENCED_PARAMETER(ApcContext);
    PreviousModeScope kernel(KernelMode);
    return DeviceIoControlFile(FileHandle, Event, ApcRoutine, IoStatusBlock, IoControlCode, InputBuffer,
                               InputBufferLength, OutputBuffer, OutputBufferLength, KernelMode);
}

// A device-control IRP for DeviceObject, to be sent with IofCallDriver. On completion the I/O
// manager copies buffered output back, writes *IoStatusBlock, sets Event and frees the IRP.
// METHOD_BUFFERED and METHOD_NEITHER only; null for direct I/O or when pool is short.
extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                    PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method != METHOD_BUFFERED && method != METHOD_NEITHER) {
        return nullptr;
    }
    PIRP irp = AllocateIrp(DeviceObject->StackSize, true, km::ob::ImageContaining(__builtin_return_address(0)));
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    SetDeviceControlParameters(stack, IoControlCode, InputBufferLength, OutputBufferLength,
                               InternalDeviceIoControl != FALSE);
    if (method == METHOD_BUFFERED) {
        if (!SetUpBufferedIo(irp, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength)) {
            IoFreeIrp(irp);
            return nullptr;
        }
    } else {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    IoManagerCompletion completion;
    completion.ioStatus = IoStatusBlock;
    completion.event = Event;
    completion.freeIrp = true;
    completion.outputLength = OutputBufferLength;
    SetIoManagerCompletion(irp, completion);
    return irp;
}
