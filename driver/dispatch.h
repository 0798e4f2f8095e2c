// HostDispatch, the one dispatch routine of every major function of the host's driver object
// (the attachment manager later takes IRP_MJ_FILE_SYSTEM_CONTROL for itself), and the helpers
// of its routing steps.
#pragma once

#include "base/platform.h"

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

// Completes an IRP the host answers itself: the status, Information 0, IO_NO_INCREMENT. Returns the
// status. The IRP is gone afterwards. No spin lock may be held.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS HostCompleteRequest(_Inout_ PIRP Irp, NTSTATUS Status);

// IRP_MJ_DEVICE_CONTROL on the control device: the version query and the command block. Sets the
// IRP's Information and returns its status; the caller completes the IRP. PASSIVE_LEVEL.
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS HostControlDeviceControl(_Inout_ PIRP Irp);

// Called before the host deletes one of its own devices: the device's overrides go and it stops
// being the redirect device, so that a new device at the same address inherits neither. Devices
// that others create on the host's driver object are theirs to clear (see the protocol header).
// Up to DISPATCH_LEVEL, inside an override or redirect handler too.
_IRQL_requires_max_(DISPATCH_LEVEL)
void HostForgetDevice(_In_ PDEVICE_OBJECT DeviceObject);

// Clears RedirectDevice if it is DeviceObject (under GateLock).
_IRQL_requires_max_(DISPATCH_LEVEL)
void HostForgetRedirectDevice(_In_ PDEVICE_OBJECT DeviceObject);

// Routing step of the redirect device. FALSE when DeviceObject is not the redirect device (nothing
// done); TRUE when the request was served, with its result in *Status: the handler's while the
// module is linked, otherwise a refusal the host has completed.
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN HostServeRedirect(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp, _Out_ NTSTATUS* Status);

// Routing step of the overrides. FALSE when the device has no override (the request is untouched);
// TRUE when an override served it, with the result in *Status.
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN HostServeOverride(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp, _Out_ NTSTATUS* Status);
