// Start-up: HostGlobals and the views the lower layers reach it through, DriverEntry, and the
// control device. DriverEntry points every major function at HostDispatch, creates the control
// device, starts the filter-module host and the override table, and hands over to the file-system
// filter last; then it opens the control device. The host installs no unload routine: once started
// it stays until shutdown.
#include "base/routinetable.h"
#include "driver/driver.h"

// Only the first field has a start value other than zero, so the record is initialised by the
// image loader and no code runs before driver entry. The references and the gates below are
// constant addresses inside it, fixed at load as well.
HostGlobalsRecord HostGlobals = {FreePoolRoutineNotTaken};
ModuleHostState& ModuleHost = HostGlobals.ModuleHost;
FsFilterState& FsFilter = HostGlobals.FsFilter;
const CallGate DispatchGate = {&HostGlobals.ModuleHost.DispatchInFlight, &HostGlobals.ModuleHost.DispatchDrained};
const CallGate NotifyGate = {&HostGlobals.ModuleHost.NotifyInFlight, &HostGlobals.ModuleHost.NotifyDrained};
const CallGate DeviceNotifyGate = {&HostGlobals.ModuleHost.DeviceNotifyInFlight,
                                   &HostGlobals.ModuleHost.DeviceNotifyDrained};

namespace {

// Creates the control device on the driver object, named by the protocol's rule
// (HostComposeControlDeviceName). Buffered I/O, extension written. STATUS_NO_MEMORY without paged
// pool for the name, STATUS_UNSUCCESSFUL for an empty name or one that needs more than
// HOST_CONTROL_DEVICE_NAME_BYTES, else IoCreateDevice's status.
HOST_INIT
NTSTATUS DriverCreateControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* ControlDevice)
{
    PAGED_CODE();
    *ControlDevice = nullptr;
    auto* buffer = static_cast<PWCH>(
        ExAllocatePoolWithTag(PagedPool, HOST_CONTROL_DEVICE_NAME_BYTES, ControlDeviceNamePoolTag));
    if (buffer == nullptr) {
        return STATUS_NO_MEMORY;
    }

    const UNICODE_STRING& driverName = DriverObject->DriverName;
    ULONG characters = HostComposeControlDeviceName<WCHAR>(driverName.Buffer, driverName.Length / sizeof(WCHAR),
                                                           buffer, HOST_CONTROL_DEVICE_NAME_CHARACTERS);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (characters != 0) {
        UNICODE_STRING deviceName;
        deviceName.Buffer = buffer;
        deviceName.Length = (USHORT)(characters * sizeof(WCHAR));
        deviceName.MaximumLength = HOST_CONTROL_DEVICE_NAME_BYTES;
        PDEVICE_OBJECT device = nullptr;
        status = IoCreateDevice(DriverObject, sizeof(ControlDeviceExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                FALSE, &device);
        if (NT_SUCCESS(status)) {
            device->Flags |= DO_BUFFERED_IO;
            auto* extension = static_cast<ControlDeviceExtension*>(device->DeviceExtension);
            extension->Magic = ControlDeviceMagic;
            extension->Reserved = 0;
            *ControlDevice = device;
        }
    }
    ExFreePoolWithTag(buffer, 0);
    return status;
}

// Undoes a start-up that failed at any step after BaseInit, in reverse order; each step acts only
// on what exists.
HOST_INIT
void DriverUnwindStartup()
{
    PAGED_CODE();
    HostGlobals.Started = 0;
    HostDestroyOverrideTable();
    StopModuleHost();
    if (HostGlobals.ControlDevice != nullptr) {
        IoDeleteDevice(HostGlobals.ControlDevice);
        HostGlobals.ControlDevice = nullptr;
    }
}

}  // namespace

BOOLEAN HostControlExtensionIsValid(PDEVICE_OBJECT DeviceObject)
{
    auto* extension = static_cast<const ControlDeviceExtension*>(DeviceObject->DeviceExtension);
    return extension != nullptr && extension->Magic == ControlDeviceMagic;
}

// Runs once, at PASSIVE_LEVEL, in the thread that loads the driver. RegistryPath is not used.
// Returns the status of the first step that fails, after undoing the steps before it.
extern "C" HOST_INIT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(RegistryPath);

    // Every later lock depends on the support library; nothing exists yet to undo.
    NTSTATUS status = BaseInit();
    if (!NT_SUCCESS(status)) {
        return status;
    }

    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major += 1) {
        DriverObject->MajorFunction[major] = HostDispatch;
    }
    HostGlobals.DriverObject = DriverObject;

    status = DriverCreateControlDevice(DriverObject, &HostGlobals.ControlDevice);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    // The filter-module host: the module's service name, GateLock and the gates' drained events,
    // the life-cycle mutex and the loader record. A completed unload calls HostForgetImage, which
    // removes the overrides and redirect handler that lay in the gone image.
    status = StartModuleHost(HostForgetImage);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    status = HostCreateOverrideTable();
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    // Everything routing touches is ready: filter devices may receive requests from the next step
    // on.
    HostGlobals.Started = 1;

    // The file-system filter takes over: it installs its dispatch slot and fast I/O table and
    // registers for file-system changes (attaching at once to the file systems already running).
    // When it fails it has undone its own work; the unwinding below does the rest. Before it
    // deletes one of its filter devices it calls HostForgetDevice, which clears the device's
    // overrides and redirect.
    status = StartFsFilter(DriverObject, HostForgetDevice);
    if (NT_SUCCESS(status)) {
        // From here on the control device can be opened.
        HostGlobals.ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    }

exit:
    if (!NT_SUCCESS(status)) {
        DriverUnwindStartup();
    }
    return status;
}
