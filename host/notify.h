// The host's process and thread notify routines, which the kernel calls and which forward to the
// module's notify forwarders through the NotifyGate while the module is linked, and command 25,
// which registers those forwarders.
#pragma once

#include "base/platform.h"
#include "driver/commands.h"

extern "C" {

// Registers HostProcessNotify and HostThreadNotify with the kernel, each once for the life of the
// system; a routine the kernel refused is tried again by the next call. FALSE only above
// PASSIVE_LEVEL (nothing is done then); TRUE otherwise, also when a registration failed or raised
// an exception. The routines are never removed: the host stays loaded until shutdown.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN RegisterNotifyRoutines();

// Process creation and exit, as the kernel reports them at PASSIVE_LEVEL: forwarded unchanged to
// the module's process forwarder while the module is linked.
_IRQL_requires_(PASSIVE_LEVEL)
void NTAPI HostProcessNotify(_In_ HANDLE ParentId, _In_ HANDLE ProcessId, BOOLEAN Create);

// Thread creation and exit, as the kernel reports them at PASSIVE_LEVEL: forwarded unchanged to
// the module's thread forwarder while the module is linked.
_IRQL_requires_(PASSIVE_LEVEL)
void NTAPI HostThreadNotify(_In_ HANDLE ProcessId, _In_ HANDLE ThreadId, BOOLEAN Create);

}  // extern "C"

// Command 25, RegisterNotifyForwarders: request offset 16 the process forwarder, 24 the thread
// forwarder; a null forwarder switches that forwarding off. Refused with
// STATUS_INVALID_DEVICE_STATE (and diagnostic event 8003) until both notify routines are
// registered.
_IRQL_requires_max_(DISPATCH_LEVEL)
HOST_COMMAND_ROUTINE RegisterNotifyForwarders;
