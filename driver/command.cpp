// ExecuteCommand and the command table.
#include "driver/commands.h"

#include "diag/eventlog.h"
#include "driver/override.h"
#include "host/entrypoints.h"
#include "host/link.h"
#include "host/notify.h"

namespace {

// Source line reported with a command block that cannot be used.
constexpr ULONG BadCommandBlockLine = 232;

// Commands that read nothing beyond the Argument.
constexpr ULONG HeaderOnlyRequestBytes = CONTROL_REQUEST_MINIMUM_INPUT;
constexpr ULONG HeaderOnlyReplyBytes = sizeof(ControlReply);
// Commands that read the whole 32-bit Argument.
constexpr ULONG ArgumentRequestBytes = sizeof(ControlRequest);
// Request bytes up to the end of one, two, three and four pointer fields from offset 16.
constexpr ULONG OnePointerRequestBytes = sizeof(ControlRequest) + 8;
constexpr ULONG TwoPointerRequestBytes = sizeof(ControlRequest) + 16;
constexpr ULONG ThreePointerRequestBytes = sizeof(ControlRequest) + 24;
constexpr ULONG FourPointerRequestBytes = sizeof(ControlRequest) + 32;

static_assert(OnePointerRequestBytes == sizeof(PointerRequest), "request layout");
static_assert(TwoPointerRequestBytes == sizeof(RegisterNotifyForwardersRequest), "request layout");
static_assert(ThreePointerRequestBytes == sizeof(AddOverrideRequest), "request layout");
static_assert(FourPointerRequestBytes == sizeof(RegisterEntryPointsRequest), "request layout");

// Ordered by code. The module life-cycle commands join as their owner lands.
const HostCommandEntry CommandTable[] = {
    {HostCommandConnect, Connect, HeaderOnlyRequestBytes, sizeof(ConnectReply), CommandTrustKernelOnly},
    {HostCommandSetLink, SetLink, ArgumentRequestBytes, HeaderOnlyReplyBytes, CommandTrustLoadDriverPrivilege},
    {HostCommandSetRedirectDevice, SetRedirectDevice, OnePointerRequestBytes, HeaderOnlyReplyBytes,
     CommandTrustKernelOnly},
    {HostCommandGetRedirectDevice, GetRedirectDevice, HeaderOnlyRequestBytes, GET_REDIRECT_DEVICE_REPLY_BYTES,
     CommandTrustKernelOnly},
    {HostCommandSetRedirectHandler, SetRedirectHandler, OnePointerRequestBytes, HeaderOnlyReplyBytes,
     CommandTrustKernelOnly},
    {HostCommandGetPoolRoutines, GetPoolRoutines, HeaderOnlyRequestBytes, POOL_ROUTINES_REPLY_BYTES,
     CommandTrustKernelOnly},
    {HostCommandRegisterEntryPoints, RegisterEntryPoints, FourPointerRequestBytes, HeaderOnlyReplyBytes,
     CommandTrustKernelOnly},
    {HostCommandWithdrawEntryPoints, WithdrawEntryPoints, HeaderOnlyRequestBytes, HeaderOnlyReplyBytes,
     CommandTrustLoadDriverPrivilege},
    {HostCommandRegisterNotifyForwarders, RegisterNotifyForwarders, TwoPointerRequestBytes, HeaderOnlyReplyBytes,
     CommandTrustKernelOnly},
    {HostCommandAddOverride, AddOverride, ThreePointerRequestBytes, HeaderOnlyReplyBytes, CommandTrustKernelOnly},
    {HostCommandRemoveOverride, RemoveOverride, OnePointerRequestBytes, HeaderOnlyReplyBytes,
     CommandTrustLoadDriverPrivilege},
};

}  // namespace

const HostCommandEntry* HostFindCommand(ULONG Code)
{
    for (const HostCommandEntry& entry : CommandTable) {
        if (entry.Code == Code) {
            return &entry;
        }
    }
    return nullptr;
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
    const HostCommandEntry* entry = HostFindCommand(Request->Command);
    if (entry == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Request->OutputLength < entry->ReplySize) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    return entry->Routine(Request, Reply);
}
