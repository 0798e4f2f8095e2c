// HostGlobals: the host driver's one global record, in non-paged memory. Every field is zero when
// the image is loaded except CachedFreePoolWithTag; driver entry gives the rest their start
// values. The support library's own process-wide state (RoutineTable, the queued-lock cache,
// OwnerLock) and the event log's sink settings live with that code, not here.
#pragma once

#include "base/platform.h"
#include "base/ahashtable.h"
#include "base/asimpleresource.h"
#include "base/locks.h"
#include "filterhost/protocol.h"

// Bytes of storage behind ModuleServiceName.
constexpr USHORT ModuleServiceNameBytes = 100;
// CachedFreePoolWithTag before its first use: the 32-bit all-ones pattern in a pointer-sized slot.
constexpr ULONG_PTR FreePoolRoutineNotTaken = 0xFFFFFFFF;
// LoaderProcessId while no loader is recorded.
constexpr LONG_PTR NoLoaderProcess = -1;

// Values of LinkState. Calls are forwarded to the filter module only while it is linked.
constexpr LONG LinkStateUnlinked = 0;
constexpr LONG LinkStateLinked = 1;
constexpr LONG LinkStateUnloading = 2;

struct HostGlobalsRecord {
    // ---- Pool routines handed out by command 22 ----
    // ExFreePoolWithTag as taken from the RoutineTable on first use; FreePoolRoutineNotTaken
    // until then. Kept as an integer so that its start value needs no run-time initialiser.
    ULONG_PTR CachedFreePoolWithTag;

    // ---- Start-up ----
    volatile UCHAR Started;  // 1 from just before the attachment manager starts
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT ControlDevice;

    // ---- Redirect device (commands 18 to 20; guarded by GateLock) ----
    PDEVICE_OBJECT RedirectDevice;
    PDRIVER_DISPATCH RedirectHandler;

    // ---- Per-device dispatch overrides (commands 26 and 27) ----
    AHashTable* OverrideTable;  // OverrideEntry payloads keyed by device object address
    ASimpleResource OverrideLock;
    volatile UCHAR OverrideReady;  // OverrideTable and OverrideLock exist

    // ---- Filter module service, load and unload ----
    WCHAR ModuleServiceNameStorage[ModuleServiceNameBytes / sizeof(WCHAR)];
    UNICODE_STRING ModuleServiceName;
    AMutex ModuleLifecycleMutex;
    HANDLE LoaderProcessId;
    UCHAR LoaderLockReady;
    UCHAR LoaderRecorded;
    ASpinLock LoaderLock;  // guards LoaderProcessId and LoaderRecorded

    // ---- Module link and call gates ----
    // Both notify routines are registered with the kernel; never cleared. Read and set without a
    // lock.
    volatile UCHAR NotifyRoutinesRegistered;
    // Registration of each notify routine on its own (NotifyRoutineUnregistered, ...Registering,
    // ...Registered; host/notify.cpp), so that a later Connect registers only what is missing.
    volatile LONG ProcessNotifyRegistration;
    volatile LONG ThreadNotifyRegistration;
    volatile LONG LinkState;  // LinkStateUnlinked, LinkStateLinked or LinkStateUnloading
    // Guards LinkState, both gates, the module's entry points, the notify forwarders and the
    // redirect fields. Always taken in its plain form (GateLockAcquire, host/callgate.h).
    ASpinLock GateLock;
    KEVENT NotifyDrained;
    KEVENT DispatchDrained;
    volatile LONG DispatchInFlight;
    volatile LONG NotifyInFlight;
    // The module's entry points, written under GateLock. ModuleIrpDispatch and ModuleFastIo are
    // read under GateLock too; AttachNotify and DetachNotify are read without it, whole
    // (host/entrypoints.h).
    PDRIVER_DISPATCH ModuleIrpDispatch;
    PFAST_IO_DISPATCH ModuleFastIo;
    MODULE_ATTACH_NOTIFY* AttachNotify;
    MODULE_DETACH_NOTIFY* DetachNotify;
    MODULE_PROCESS_NOTIFY* ProcessNotifyForwarder;
    MODULE_THREAD_NOTIFY* ThreadNotifyForwarder;

    // ---- Attachment manager ----
    LIST_ENTRY AttachedList;  // AttachRecord entries, newest first
    AFastMutex AttachMutex;
    ASimpleResource AttachedListLock;  // guards AttachedList
};

extern "C" {
extern HostGlobalsRecord HostGlobals;
}
