// The control device: the device through which user mode and the filter module talk to the host.
// It is named after the driver object and has no symbolic link; clients open it by its NT name.
#pragma once

#include "base/platform.h"

// First word of the control device's extension, the bytes 'K' 'T' 'D' 'v'.
constexpr ULONG ControlDeviceMagic = 0x7644544B;
// Capacity of the control device's name, and the most its composed name may need.
constexpr USHORT ControlDeviceNameBytes = 100;
// Pool tag of the name buffer: "HNam".
constexpr ULONG ControlDeviceNamePoolTag = 0x6D614E48;

struct ControlDeviceExtension {
    ULONG Magic;  // ControlDeviceMagic
    ULONG Reserved;  // 0
};
static_assert(sizeof(ControlDeviceExtension) == 8, "control device extension layout");

// Creates the control device on the driver object, named "\Device\" + the driver's name without a
// leading "\Driver\", then U+0000 (unless the name already ends with one) and a space. Buffered
// I/O, extension written. STATUS_NO_MEMORY without paged pool for the name, STATUS_UNSUCCESSFUL
// for an empty name or one that needs more than ControlDeviceNameBytes, else IoCreateDevice's
// status. PASSIVE_LEVEL, driver entry only.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS HostCreateControlDevice(_In_ PDRIVER_OBJECT DriverObject, _Out_ PDEVICE_OBJECT* ControlDevice);

// True when the device carries the control device's extension with its magic.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN HostControlExtensionIsValid(_In_ PDEVICE_OBJECT DeviceObject);
