// The driver core's own header: driver entry and the control device, HostDispatch's routing with
// its override and redirect steps, and the command protocol, which decodes each command block
// into plain calls of the driver core, the filter-module host (host/host.h) and the file-system
// filter (fsfilter/fsfilter.h).
//
//   driverentry.cpp   HostGlobals, DriverEntry and the control device
//   dispatch.cpp      HostDispatch: where an IRP on one of the host's devices goes
//   command.cpp       the control device's device-control requests and the command table
//   override.cpp      per-device dispatch overrides (AddOverride, RemoveOverride)
//   redirect.cpp      the redirect device (SetRedirectDevice, GetRedirectDevice, SetRedirectHandler)
//   poolroutines.cpp  the host's pool routines (GetPoolRoutines)
#pragma once

#include "base/platform.h"
#include "driver/hostglobals.h"
#include "filterhost/protocol.h"

// ---- The control device (driverentry.cpp) ----

// First word of the control device's extension, the bytes 'K' 'T' 'D' 'v'.
constexpr ULONG ControlDeviceMagic = 0x7644544B;
// Pool tag of the name buffer: "HNam".
constexpr ULONG ControlDeviceNamePoolTag = 0x6D614E48;

struct ControlDeviceExtension {
    ULONG Magic;     // ControlDeviceMagic
    ULONG Reserved;  // 0
};
static_assert(sizeof(ControlDeviceExtension) == 8, "control device extension layout");

// True when the device carries the control device's extension with its magic.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN HostControlExtensionIsValid(_In_ PDEVICE_OBJECT DeviceObject);

// ---- Routing (dispatch.cpp, override.cpp, redirect.cpp) ----

// Routes an IRP that reached one of the host's devices, in this order: a per-device override, the
// control device, the redirect device, a recorded volume filter device (to the module while it is
// linked), otherwise the lower driver; a device of any other type is refused. Any IRQL at which
// IRPs arrive (PASSIVE_LEVEL or APC_LEVEL). The IRP belongs to whoever the routing hands it to;
// the host completes only the ones it refuses or answers itself.
extern "C" {
_Function_class_(DRIVER_DISPATCH)
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS HostDispatch(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);
}

// Routing step of the overrides. FALSE when the device has no override (the request is untouched);
// TRUE when an override served it, with the result in *Status, or when the host refused it: the
// handler is null, or the filter module is being unloaded (STATUS_INVALID_DEVICE_STATE).
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN HostServeOverride(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp, _Out_ NTSTATUS* Status);

// Routing step of the redirect device. FALSE when DeviceObject is not the redirect device (nothing
// done); TRUE when the request was served, with its result in *Status: the handler's while the
// module is linked, otherwise a refusal the host has completed.
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN HostServeRedirect(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp, _Out_ NTSTATUS* Status);

// Called before the host deletes one of its own devices: the device's overrides go and it stops
// being the redirect device, so that a new device at the same address inherits neither. Devices
// that others create on the host's driver object are theirs to clear (see the protocol header).
// The file-system filter, which deletes its filter devices but sits below the driver core, is
// handed this routine as its DeviceGoing hook at start-up (StartFsFilter). Up to DISPATCH_LEVEL,
// inside an override or redirect handler too.
_IRQL_requires_max_(DISPATCH_LEVEL)
void HostForgetDevice(_In_ PDEVICE_OBJECT DeviceObject);

// Removes every override of DeviceObject (HostForgetDevice's first half). Handlers already running
// are not waited for. Up to DISPATCH_LEVEL; callable inside an override handler.
_IRQL_requires_max_(DISPATCH_LEVEL)
void HostRemoveDeviceOverrides(_In_ PDEVICE_OBJECT DeviceObject);

// Called by a completed module unload (the host's ImageGone hook, handed over at start-up) with
// the gone image's range: the overrides whose handlers lie in it go, and the redirect device and
// handler are cleared when the handler does. PASSIVE_LEVEL, no spin lock held.
_IRQL_requires_(PASSIVE_LEVEL)
void HostForgetImage(ULONG_PTR ImageStart, SIZE_T ImageSize);

// HostForgetImage's halves: every override whose handler lies in the range (OverrideLock
// exclusive), and the redirect device and handler when the handler does (under GateLock).
_IRQL_requires_(PASSIVE_LEVEL)
void HostRemoveImageOverrides(ULONG_PTR ImageStart, SIZE_T ImageSize);
_IRQL_requires_max_(DISPATCH_LEVEL)
void HostForgetRedirectImage(ULONG_PTR ImageStart, SIZE_T ImageSize);

// Clears RedirectDevice if it is DeviceObject (under GateLock).
_IRQL_requires_max_(DISPATCH_LEVEL)
void HostForgetRedirectDevice(_In_ PDEVICE_OBJECT DeviceObject);

// IRP_MJ_DEVICE_CONTROL on the control device: the version query and the command block. Sets the
// IRP's Information and returns its status; the caller completes the IRP. PASSIVE_LEVEL.
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS HostControlDeviceControl(_Inout_ PIRP Irp);

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

// ---- Commands (command.cpp and the files named below) ----

// A command routine decodes its request, makes its plain calls, fills Status and ReplySize when it
// answers, and returns STATUS_SUCCESS to have the reply delivered. It reads every request field it
// needs before it writes the reply over them. The command table (command.cpp) pairs each code with
// its routine; include/filterhost/protocol.h gives each code's buffer needs and requestor.
typedef NTSTATUS HOST_COMMAND_ROUTINE(ControlRequest* Request, ControlReply* Reply);

// Runs the command named by Request->Command. Request and Reply are the same system buffer, and
// Request->OutputLength holds the output buffer's length. STATUS_INVALID_PARAMETER (reported as a
// diagnostic event) for a missing buffer or an output below a reply header, and (silently) for a
// code the host does not serve; STATUS_INVALID_BUFFER_SIZE when the output cannot hold the
// command's reply; otherwise the command's own result. PASSIVE_LEVEL.
extern "C" {
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS ExecuteCommand(_Inout_opt_ ControlRequest* Request, _Inout_opt_ ControlReply* Reply);
}

// redirect.cpp: the redirect device and its handler.
HOST_COMMAND_ROUTINE SetRedirectDevice;
HOST_COMMAND_ROUTINE GetRedirectDevice;
HOST_COMMAND_ROUTINE SetRedirectHandler;
// poolroutines.cpp: the host's pool routines.
HOST_COMMAND_ROUTINE GetPoolRoutines;
// override.cpp. AddOverride: request offset 16 the key (a device object), 24 the handler, 32 the
// context. RemoveOverride: offset 16 the key; removes the newest entry for the key,
// STATUS_UNSUCCESSFUL when there is none. Both reply Status and ReplySize 8 and return the same
// status. PASSIVE_LEVEL; an override handler must not send them on its own thread (it would wait
// for itself).
_IRQL_requires_(PASSIVE_LEVEL)
HOST_COMMAND_ROUTINE AddOverride;
_IRQL_requires_(PASSIVE_LEVEL)
HOST_COMMAND_ROUTINE RemoveOverride;

// ---- The host's pool routines (poolroutines.cpp) ----
// Handed out by GetPoolRoutines so that a filter module can allocate and free through the host,
// which is never unloaded. Each has exactly the parameters and result of the kernel routine it
// serves, and works at the IRQL that routine allows.
extern "C" {

PVOID NTAPI HostPoolAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
PVOID NTAPI HostPoolAllocateWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI HostPoolAllocateWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI HostPoolAllocateWithTagPriority(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                            EX_POOL_PRIORITY Priority);
// ExFreePoolWithTag(P, 0).
void NTAPI HostPoolFree(PVOID P);
// ExFreePoolWithTag(P, Tag) through HostGlobals.CachedFreePoolWithTag, which is taken from the
// RoutineTable on first use; without a RoutineTable entry, the directly linked routine.
void NTAPI HostPoolFreeWithTag(PVOID P, ULONG Tag);

}  // extern "C"
