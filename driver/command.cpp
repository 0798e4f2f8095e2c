// The command protocol of the control device: its two device-control requests (the version
// query, open to every caller, and the command block, with its buffer checks and the requestor
// rule for user-mode senders), ExecuteCommand with the command table, and the decoding of the
// module link's commands into the calls of the filter-module host and the file-system filter.
// The buffer needs and requestor of every command are the protocol's (HostCommandRules); the
// table here adds the routine that serves each code.
#include "diag/eventlog.h"
#include "driver/driver.h"

namespace {

// Source line reported with a command block that cannot be used.
constexpr ULONG BadCommandBlockLine = 232;

// Answers a command with a reply of the head alone, Status as given; the reply is delivered.
NTSTATUS CommandReply(ControlReply* Reply, NTSTATUS Outcome)
{
    Reply->Status = Outcome;
    Reply->ReplySize = HEADER_ONLY_REPLY_BYTES;
    return STATUS_SUCCESS;
}

// Connect: the host's notify routines and a reset link, then the reply with the interface
// version, the host's driver object and a constant (bytes 12 to 15 and 28 to 31 keep what the
// request had there). STATUS_INVALID_DEVICE_STATE, nothing changed, above PASSIVE_LEVEL.
NTSTATUS Connect(ControlRequest* Request, ControlReply* Reply)
{
    UNREFERENCED_PARAMETER(Request);
    NTSTATUS status = LinkConnect();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* reply = reinterpret_cast<ConnectReply*>(Reply);
    reply->Header.Status = STATUS_SUCCESS;
    reply->Header.ReplySize = CONNECT_REPLY_BYTES;
    reply->InterfaceVersion = HOST_INTERFACE_VERSION;
    reply->DriverObject = reinterpret_cast<ULONG_PTR>(HostGlobals.DriverObject);
    reply->Constant = HOST_CONNECT_CONSTANT;
    return STATUS_SUCCESS;
}

// SetLink: Argument HOST_LINK_ON or HOST_LINK_OFF. Another value is reported in Status
// (STATUS_INVALID_PARAMETER) while the request itself succeeds.
NTSTATUS SetLink(ControlRequest* Request, ControlReply* Reply)
{
    return CommandReply(Reply, LinkSwitch(Request->Argument));
}

// RegisterEntryPoints: stores the module's four entry points (the request lists them in another
// order than the host keeps them; nulls stored as given), then replays AttachNotify over every
// recorded volume filter device, newest first. Accepted in every link state; Status 0.
NTSTATUS RegisterEntryPoints(ControlRequest* Request, ControlReply* Reply)
{
    const auto* request = reinterpret_cast<const RegisterEntryPointsRequest*>(Request);
    ModuleEntryPoints entryPoints;
    entryPoints.ModuleIrpDispatch = reinterpret_cast<PDRIVER_DISPATCH>(static_cast<ULONG_PTR>(request->IrpDispatch));
    entryPoints.ModuleFastIo = reinterpret_cast<PFAST_IO_DISPATCH>(static_cast<ULONG_PTR>(request->FastIo));
    entryPoints.AttachNotify =
        reinterpret_cast<MODULE_ATTACH_NOTIFY*>(static_cast<ULONG_PTR>(request->AttachNotify));
    entryPoints.DetachNotify =
        reinterpret_cast<MODULE_DETACH_NOTIFY*>(static_cast<ULONG_PTR>(request->DetachNotify));
    LinkSetEntryPoints(&entryPoints);
    // Every record is offered again, also those the module has taken already. A list that cannot
    // be walked leaves the module to hear of each device's next attach only.
    (void)FsFilterAnnounceRecords();
    return CommandReply(Reply, STATUS_SUCCESS);
}

// WithdrawEntryPoints: DetachNotify for every device the module has taken (its answer decides
// ModuleAttached), then the four entry points are cleared, and the command returns once no attach
// or detach notification is inside the module: from then on the module is never notified again.
// Status 0, or STATUS_IO_TIMEOUT when a notification is still running after the drain time-out.
// When the records cannot be walked (STATUS_INSUFFICIENT_RESOURCES) nothing changes, the entry
// points included: the module has not been offered its devices back and must send it again.
NTSTATUS WithdrawEntryPoints(ControlRequest* Request, ControlReply* Reply)
{
    UNREFERENCED_PARAMETER(Request);
    NTSTATUS status = FsFilterWithdrawRecords();
    if (!NT_SUCCESS(status)) {
        return CommandReply(Reply, status);
    }
    // From here on no new IRP or fast I/O call is forwarded; calls already past the gate finish.
    LinkSetEntryPoints(nullptr);
    return CommandReply(Reply, LinkDrainDeviceNotifications());
}

// RegisterNotifyForwarders: request offset 16 the process forwarder, 24 the thread forwarder.
// Fails with STATUS_INVALID_DEVICE_STATE until the notify routines are registered.
NTSTATUS RegisterNotifyForwarders(ControlRequest* Request, ControlReply* Reply)
{
    const auto* request = reinterpret_cast<const RegisterNotifyForwardersRequest*>(Request);
    NTSTATUS status = LinkSetNotifyForwarders(
        reinterpret_cast<MODULE_PROCESS_NOTIFY*>(static_cast<ULONG_PTR>(request->ProcessNotifyForwarder)),
        reinterpret_cast<MODULE_THREAD_NOTIFY*>(static_cast<ULONG_PTR>(request->ThreadNotifyForwarder)));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CommandReply(Reply, STATUS_SUCCESS);
}

// LoadModule: request offset 12 the image path's length in bytes, 16 the image path, 536 the
// service name, 636 the service name's size; the outcome in Status.
HOST_PAGED
NTSTATUS LoadModule(ControlRequest* Request, ControlReply* Reply)
{
    PAGED_CODE();
    const auto* request = reinterpret_cast<const LoadModuleRequest*>(Request);
    NTSTATUS outcome = ModuleLoad(reinterpret_cast<const WCHAR*>(request->ImagePath), request->Header.Argument,
                                  reinterpret_cast<const WCHAR*>(request->ServiceName), request->ServiceNameLength);
    return CommandReply(Reply, outcome);
}

// UnloadModule: the unload's outcome in Status.
HOST_PAGED
NTSTATUS UnloadModule(ControlRequest* Request, ControlReply* Reply)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Request);
    return CommandReply(Reply, ModuleUnload());
}

// RequestUnload: STATUS_PENDING in Status once the unload runs in the background, or why it could
// not start. Without pool for the module device's name the request fails with no reply.
NTSTATUS RequestUnload(ControlRequest* Request, ControlReply* Reply)
{
    UNREFERENCED_PARAMETER(Request);
    NTSTATUS outcome = STATUS_UNSUCCESSFUL;
    NTSTATUS status = ModuleRequestUnload(&outcome);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CommandReply(Reply, outcome);
}

// A command the host serves: its routine, and the protocol's rule for its code.
struct CommandEntry {
    ULONG Code;
    HOST_COMMAND_ROUTINE* Routine;
    const HostCommandRule* Rule;
};

// The index of a command's rule in HostCommandRules, checked while compiling.
constexpr size_t CommandRuleIndex(ULONG Code)
{
    size_t index = 0;
    while (HostCommandRules[index].Code != Code) {
        index += 1;
    }
    return index;
}

#define HOST_COMMAND(code, routine) {code, routine, &HostCommandRules[CommandRuleIndex(code)]}

// The commands served, ordered by code.
constexpr CommandEntry CommandTable[] = {
    HOST_COMMAND(HostCommandLoadModule, LoadModule),
    HOST_COMMAND(HostCommandUnloadModule, UnloadModule),
    HOST_COMMAND(HostCommandConnect, Connect),
    HOST_COMMAND(HostCommandSetLink, SetLink),
    HOST_COMMAND(HostCommandSetRedirectDevice, SetRedirectDevice),
    HOST_COMMAND(HostCommandGetRedirectDevice, GetRedirectDevice),
    HOST_COMMAND(HostCommandSetRedirectHandler, SetRedirectHandler),
    HOST_COMMAND(HostCommandRequestUnload, RequestUnload),
    HOST_COMMAND(HostCommandGetPoolRoutines, GetPoolRoutines),
    HOST_COMMAND(HostCommandRegisterEntryPoints, RegisterEntryPoints),
    HOST_COMMAND(HostCommandWithdrawEntryPoints, WithdrawEntryPoints),
    HOST_COMMAND(HostCommandRegisterNotifyForwarders, RegisterNotifyForwarders),
    HOST_COMMAND(HostCommandAddOverride, AddOverride),
    HOST_COMMAND(HostCommandRemoveOverride, RemoveOverride),
};

#undef HOST_COMMAND

// The table entry of a command code, or null for a code the host does not serve.
const CommandEntry* CommandFind(ULONG Code)
{
    for (const CommandEntry& entry : CommandTable) {
        if (entry.Code == Code) {
            return &entry;
        }
    }
    return nullptr;
}

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
NTSTATUS DeviceControlCheckTrust(KPROCESSOR_MODE requestorMode, const HostCommandRule* rule)
{
    PAGED_CODE();
    if (requestorMode == KernelMode) {
        return STATUS_SUCCESS;
    }
    if (rule != nullptr && rule->Requestor == HostRequestorKernelOnly) {
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
    const CommandEntry* entry = CommandFind(request->Command);
    const HostCommandRule* rule = entry != nullptr ? entry->Rule : nullptr;
    NTSTATUS status = DeviceControlCheckTrust(Irp->RequestorMode, rule);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A command whose fields or reply do not fit is refused before it reads or writes anything.
    if (rule != nullptr && (inputLength < rule->MinimumInput || outputLength < rule->ReplySize)) {
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

HOST_PAGED
NTSTATUS ExecuteCommand(ControlRequest* Request, ControlReply* Reply)
{
    PAGED_CODE();
    if (Request == nullptr || Reply == nullptr || Request->OutputLength < sizeof(ControlReply)) {
        (void)ReportEvent(EventCommandFailure, EventSourceHost, BadCommandBlockLine, FALSE, "0x%X",
                          STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    const CommandEntry* entry = CommandFind(Request->Command);
    if (entry == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Request->OutputLength < entry->Rule->ReplySize) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    return entry->Routine(Request, Reply);
}
