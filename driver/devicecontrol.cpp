// The device-control requests of the control device: the version query, open to every caller, and
// the command block, with its buffer checks and the trust rule for user-mode senders.
#include "driver/commands.h"
#include "driver/dispatch.h"
#include "driver/hostglobals.h"

namespace {

// Flags byte of the version reply.
constexpr UCHAR HostVersionFlags = 0;

HOST_PAGED
NTSTATUS DeviceControlQueryVersion(PIRP Irp, ULONG outputLength)
{
    PAGED_CODE();
    if (outputLength < sizeof(HostVersionReply)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    // Every byte written: the reserved ones would otherwise carry old pool contents to the caller.
    auto* reply = static_cast<HostVersionReply*>(Irp->AssociatedIrp.SystemBuffer);
    RtlZeroMemory(reply, sizeof(*reply));
    reply->Version = HOST_PROTOCOL_VERSION;
    reply->Flags = HostVersionFlags;
    Irp->IoStatus.Information = sizeof(HostVersionReply);
    return STATUS_SUCCESS;
}

// Who may run the command. Kernel-mode senders may run anything. From user mode, commands that
// take or return kernel addresses are refused outright, and every other code (an unknown one
// included) needs SeLoadDriverPrivilege.
HOST_PAGED
NTSTATUS DeviceControlCheckTrust(KPROCESSOR_MODE requestorMode, const HostCommandEntry* entry)
{
    PAGED_CODE();
    if (requestorMode == KernelMode) {
        return STATUS_SUCCESS;
    }
    if (entry != nullptr && entry->Trust == CommandTrustKernelOnly) {
        return STATUS_ACCESS_DENIED;
    }
    if (!SeSinglePrivilegeCheck(RtlConvertLongToLuid(SE_LOAD_DRIVER_PRIVILEGE), UserMode)) {
        return STATUS_PRIVILEGE_NOT_HELD;
    }
    return STATUS_SUCCESS;
}

// The command block: checks the buffers and the sender, runs the command, and delivers its reply
// only when the command asks for it.
HOST_PAGED
NTSTATUS DeviceControlCommand(PIRP Irp, ULONG inputLength, ULONG outputLength)
{
    PAGED_CODE();
    if (inputLength < CONTROL_REQUEST_MINIMUM_INPUT || outputLength < sizeof(ControlReply)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    auto* request = static_cast<ControlRequest*>(Irp->AssociatedIrp.SystemBuffer);
    if (request == nullptr) {
        return ExecuteCommand(nullptr, nullptr);
    }
    const HostCommandEntry* entry = HostFindCommand(request->Command);
    NTSTATUS status = DeviceControlCheckTrust(Irp->RequestorMode, entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A command whose fields or reply do not fit is refused before it reads or writes anything.
    if (entry != nullptr && (inputLength < entry->MinimumInput || outputLength < entry->ReplySize)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }

    // The buffer beyond the request holds old pool contents; a reply that leaves bytes there
    // unwritten must send back zeros. Bytes inside the request are the caller's own.
    if (outputLength > inputLength) {
        RtlZeroMemory(reinterpret_cast<PUCHAR>(request) + inputLength, outputLength - inputLength);
    }
    request->OutputLength = outputLength;
    auto* reply = reinterpret_cast<ControlReply*>(request);
    status = ExecuteCommand(request, reply);
    if (status == STATUS_SUCCESS) {
        ULONG replySize = reply->ReplySize;
        Irp->IoStatus.Information = replySize <= outputLength ? replySize : outputLength;
    }
    return status;
}

}  // namespace

HOST_PAGED
NTSTATUS HostControlDeviceControl(PIRP Irp)
{
    PAGED_CODE();
    if (HostGlobals.Started == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HOST_QUERY_VERSION:
        return DeviceControlQueryVersion(Irp, outputLength);
    case IOCTL_HOST_COMMAND:
        return DeviceControlCommand(Irp, inputLength, outputLength);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}
