// The filter module's life cycle on the host's side: the module's service name, the
// ModuleLifecycleMutex that serialises loading and unloading, and the loader record (the process
// that loaded the module, guarded by LoaderLock).
//
// The life of a module, as its commands drive it (include/filterhost/module.h has the module's
// view, host/link.cpp the link states):
//
//   no module --LoadModule--> loaded, unlinked <--SetLink 0 / SetLink 1--> linked
//       ^                          |
//       +--- drained, unloaded ----+ UnloadModule, RequestUnload or the loader's exit:
//                                    LinkState unloading while the gates drain
//
// Loading and unloading are not served yet (their command codes are refused as unknown); this file
// prepares the state they use when driver entry starts the host.
#include "host/host.h"

HOST_PAGED
NTSTATUS StartModuleHost()
{
    PAGED_CODE();
    ModuleHost.ModuleServiceName.Length = 0;
    ModuleHost.ModuleServiceName.MaximumLength = ModuleServiceNameBytes;
    ModuleHost.ModuleServiceName.Buffer = ModuleHost.ModuleServiceNameStorage;

    // The module link: GateLock, then the drained events of the two gates.
    if (!ASpinLock_Init(&ModuleHost.GateLock)) {
        return STATUS_UNSUCCESSFUL;
    }
    KeInitializeEvent(&ModuleHost.NotifyDrained, NotificationEvent, FALSE);
    KeInitializeEvent(&ModuleHost.DispatchDrained, NotificationEvent, FALSE);
    KeInitializeEvent(&ModuleHost.DeviceNotifyDrained, NotificationEvent, FALSE);

    // The module's life cycle and its loader record.
    NTSTATUS status = AMutex_Init(&ModuleHost.ModuleLifecycleMutex);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ModuleHost.LoaderProcessId = reinterpret_cast<HANDLE>(NoLoaderProcess);
    ModuleHost.LoaderRecorded = 0;
    if (!ASpinLock_Init(&ModuleHost.LoaderLock)) {
        return STATUS_UNSUCCESSFUL;
    }
    ModuleHost.LoaderLockReady = 1;
    return STATUS_SUCCESS;
}

HOST_PAGED
void StopModuleHost()
{
    PAGED_CODE();
    // GateLock and the drained events need no teardown.
    if (ModuleHost.LoaderLockReady != 0) {
        ASpinLock_Acquire(&ModuleHost.LoaderLock, nullptr);
        ModuleHost.LoaderLockReady = 0;
        ASpinLock_Release(&ModuleHost.LoaderLock, nullptr);
    }
    AMutex_Free(&ModuleHost.ModuleLifecycleMutex);
}
