// Per-device dispatch overrides: a handler registered for one device object receives every
// request of that device before any other routing. Entries live in HostGlobals.OverrideTable,
// keyed by the device object's address, newest first for one key; OverrideLock is held shared
// around every handler call and exclusive while commands 26 and 27 change the table.
#pragma once

#include "base/platform.h"
#include "filterhost/protocol.h"

// Payload of one OverrideTable entry.
struct OverrideEntry {
    PDRIVER_DISPATCH OverrideHandler;  // may be null: the device's requests are then refused
    ULONG_PTR OverrideContext;         // the caller's value; the host never reads it
};
static_assert(sizeof(OverrideEntry) == 16, "override entry layout");

// Buckets of the OverrideTable.
constexpr ULONG OverrideTableBuckets = 7;

// Start-up: initialises OverrideLock and creates the OverrideTable, then sets OverrideReady.
// On failure nothing is left behind and the status of the failing creation is returned.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS HostCreateOverrideTable();

// Start-up unwinding: destroys the table and its lock if they exist and zeroes all three fields.
_IRQL_requires_(PASSIVE_LEVEL)
void HostDestroyOverrideTable();

// Removes every override of DeviceObject, before the host deletes one of its own devices: a new
// device at the same address must not inherit them. Handlers already running are not waited for.
// Up to DISPATCH_LEVEL; callable inside an override handler.
_IRQL_requires_max_(DISPATCH_LEVEL)
void HostRemoveDeviceOverrides(_In_ PDEVICE_OBJECT DeviceObject);

// Command 26, AddOverride: request offset 16 the key (a device object), 24 the handler, 32 the
// context. Replies Status and ReplySize 8; returns the same status. PASSIVE_LEVEL; an override
// handler must not send it on its own thread (it would wait for itself).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AddOverride(_Inout_ ControlRequest* Request, _Out_ ControlReply* Reply);

// Command 27, RemoveOverride: request offset 16 the key. Removes the newest entry for the key;
// STATUS_UNSUCCESSFUL when there is none. Replies Status and ReplySize 8; returns the same status.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS RemoveOverride(_Inout_ ControlRequest* Request, _Out_ ControlReply* Reply);
