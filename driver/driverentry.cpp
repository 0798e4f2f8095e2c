// DriverEntry: prepares HostGlobals, points every major function at HostDispatch, creates the
// control device and the locks, events and tables that routing needs, and hands over to the
// attachment manager last. The host installs no unload routine: once started it stays until
// shutdown.
#include "base/routinetable.h"
#include "driver/controldevice.h"
#include "driver/dispatch.h"
#include "driver/hostglobals.h"
#include "driver/override.h"
#include "fsfilter/attachmanager.h"

namespace {

// Marks the loader record's lock as gone, under the lock. Resident: the lock raises to
// DISPATCH_LEVEL, where pageable code must not run.
HOST_RESIDENT
void DriverRetireLoaderLock()
{
    ASpinLock_Acquire(&HostGlobals.LoaderLock, nullptr);
    HostGlobals.LoaderLockReady = 0;
    ASpinLock_Release(&HostGlobals.LoaderLock, nullptr);
}

// Undoes a start-up that failed at any step after BaseInit, in reverse order; each step acts only
// on what exists. GateLock and the drained events need no teardown.
HOST_PAGED
void DriverUnwindStartup()
{
    PAGED_CODE();
    HostGlobals.Started = 0;
    if (HostGlobals.LoaderLockReady != 0) {
        DriverRetireLoaderLock();
    }
    HostDestroyOverrideTable();
    AMutex_Free(&HostGlobals.ModuleLifecycleMutex);
    if (HostGlobals.ControlDevice != nullptr) {
        IoDeleteDevice(HostGlobals.ControlDevice);
        HostGlobals.ControlDevice = nullptr;
    }
}

}  // namespace

// Runs once, at PASSIVE_LEVEL, in the thread that loads the driver. RegistryPath is not used.
// Returns the status of the first step that fails, after undoing the steps before it.
extern "C" HOST_PAGED NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
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
    HostGlobals.ModuleServiceName.Length = 0;
    HostGlobals.ModuleServiceName.MaximumLength = ModuleServiceNameBytes;
    HostGlobals.ModuleServiceName.Buffer = HostGlobals.ModuleServiceNameStorage;
    HostGlobals.DriverObject = DriverObject;

    status = HostCreateControlDevice(DriverObject, &HostGlobals.ControlDevice);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    // The module link: GateLock, then the drained events of the two gates.
    if (!ASpinLock_Init(&HostGlobals.GateLock)) {
        status = STATUS_UNSUCCESSFUL;
        goto exit;
    }
    KeInitializeEvent(&HostGlobals.NotifyDrained, NotificationEvent, FALSE);
    KeInitializeEvent(&HostGlobals.DispatchDrained, NotificationEvent, FALSE);

    // The module's life cycle and its loader record.
    status = AMutex_Init(&HostGlobals.ModuleLifecycleMutex);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }
    HostGlobals.LoaderProcessId = reinterpret_cast<HANDLE>(NoLoaderProcess);
    HostGlobals.LoaderRecorded = 0;
    if (!ASpinLock_Init(&HostGlobals.LoaderLock)) {
        status = STATUS_UNSUCCESSFUL;
        goto exit;
    }
    HostGlobals.LoaderLockReady = 1;

    status = HostCreateOverrideTable();
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    // Everything routing touches is ready: filter devices may receive requests from the next step
    // on.
    HostGlobals.Started = 1;

    // The attachment manager takes over: it installs its dispatch slot and fast I/O table, registers
    // for file-system changes (attaching at once to the file systems already running) and opens the
    // control device. When it fails it has undone its own work; the unwinding below does the rest.
    status = StartFsFilter(DriverObject);

exit:
    if (!NT_SUCCESS(status)) {
        DriverUnwindStartup();
    }
    return status;
}
