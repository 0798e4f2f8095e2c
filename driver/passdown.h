// Handing a request to the device below one of the host's attached devices.
#pragma once

#include "base/platform.h"

// The device directly below DeviceObject, or null when it is attached to nothing. The reference
// IoGetLowerDeviceObject adds is dropped: the pointer stays valid only while DeviceObject stays
// attached.
_IRQL_requires_max_(DISPATCH_LEVEL)
PDEVICE_OBJECT LowerDeviceOf(_In_ PDEVICE_OBJECT DeviceObject);

// Hands the IRP, unchanged, to the device below DeviceObject and returns that driver's status; the
// lower driver owns the IRP. With nothing below, completes it with STATUS_NO_MEDIA.
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS PassDown(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);
