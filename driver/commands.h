// The command block of the control device: the table of commands with their buffer needs and who
// may send them, ExecuteCommand, and the command routines that live in the driver core.
#pragma once

#include "base/platform.h"
#include "filterhost/protocol.h"

// A command routine reads every request field it needs before it writes the reply over them, fills
// Status and ReplySize when it answers, and returns STATUS_SUCCESS to have the reply delivered.
typedef NTSTATUS HOST_COMMAND_ROUTINE(ControlRequest* Request, ControlReply* Reply);

// Who may send a command from user mode.
enum HostCommandTrust : UCHAR {
    // Takes or returns kernel addresses: kernel-mode senders only.
    CommandTrustKernelOnly,
    // User-mode senders need SeLoadDriverPrivilege.
    CommandTrustLoadDriverPrivilege,
};

struct HostCommandEntry {
    ULONG Code;
    HOST_COMMAND_ROUTINE* Routine;
    ULONG MinimumInput;  // bytes of input that reach the last request field read
    ULONG ReplySize;     // bytes of output the reply needs
    HostCommandTrust Trust;
};

// The table entry of a command code, or null for a code the host does not serve.
_IRQL_requires_max_(DISPATCH_LEVEL)
const HostCommandEntry* HostFindCommand(ULONG Code);

// Runs the command named by Request->Command. Request and Reply are the same system buffer, and
// Request->OutputLength holds the output buffer's length. STATUS_INVALID_PARAMETER (reported as a
// diagnostic event) for a missing buffer or an output below a reply header, and (silently) for an
// unknown code; STATUS_INVALID_BUFFER_SIZE when the output cannot hold the command's reply;
// otherwise the command's own result. PASSIVE_LEVEL.
extern "C" {
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS ExecuteCommand(_Inout_opt_ ControlRequest* Request, _Inout_opt_ ControlReply* Reply);
}

// Commands 18, 19 and 20: the redirect device and its handler.
HOST_COMMAND_ROUTINE SetRedirectDevice;
HOST_COMMAND_ROUTINE GetRedirectDevice;
HOST_COMMAND_ROUTINE SetRedirectHandler;
// Command 22: the host's pool routines.
HOST_COMMAND_ROUTINE GetPoolRoutines;
