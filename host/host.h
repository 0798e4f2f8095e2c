// The filter-module host: the link to the filter module (LinkState, GateLock and the two call
// gates, the module's entry points and notify forwarders), the host's process and thread notify
// routines, and the module's life cycle. This header is the layer's whole interface: the
// file-system filter (fsfilter/) and the driver core (driver/) reach the host's state and calls
// through it, and nothing here knows of the layers above. Every call that can fail returns an
// NTSTATUS; the driver core turns the command blocks into these calls.
#pragma once

#include "base/platform.h"
#include "base/locks.h"
#include "filterhost/module.h"

// Bytes of storage behind ModuleServiceName.
constexpr USHORT ModuleServiceNameBytes = 100;
// Smallest service name size LoadModule accepts, in bytes with the terminating U+0000.
constexpr USHORT ModuleServiceNameMinimumBytes = 3;
// How long WithdrawEntryPoints waits for the module's attach and detach notifications still running
// (as long as an unload waits for each gate to drain).
constexpr ULONG DeviceNotifyDrainTimeoutMs = 9000;
// LoaderProcessId while no loader is recorded.
constexpr LONG_PTR NoLoaderProcess = -1;

// Values of LinkState. Calls are forwarded to the filter module only while it is linked.
constexpr LONG LinkStateUnlinked = 0;
constexpr LONG LinkStateLinked = 1;
constexpr LONG LinkStateUnloading = 2;

// The hook of the layer above for a completed unload: the module's image occupied
// [ImageStart, ImageStart + ImageSize) and is gone, so whatever was registered with code in that
// range must go before anything calls it. Called by ModuleUnload at PASSIVE_LEVEL, with
// ModuleLifecycleMutex held and the link still unloading; no spin lock held.
typedef void MODULE_IMAGE_GONE(ULONG_PTR ImageStart, SIZE_T ImageSize);

// The host's part of HostGlobals (driver/hostglobals.h composes the record). Zero at load; driver
// entry starts it through StartModuleHost.
struct ModuleHostState {
    // ---- Filter module service, load and unload (host/lifecycle.cpp) ----
    WCHAR ModuleServiceNameStorage[ModuleServiceNameBytes / sizeof(WCHAR)];
    UNICODE_STRING ModuleServiceName;
    AMutex ModuleLifecycleMutex;
    HANDLE LoaderProcessId;
    UCHAR LoaderLockReady;
    UCHAR LoaderRecorded;
    ASpinLock LoaderLock;  // guards LoaderProcessId and LoaderRecorded
    // Stored by StartModuleHost, never changed afterwards; may be null.
    MODULE_IMAGE_GONE* ImageGone;

    // ---- Module link and call gates (host/link.cpp, host/notify.cpp) ----
    // Both notify routines are registered with the kernel; never cleared. Read and set without a
    // lock.
    volatile UCHAR NotifyRoutinesRegistered;
    // Registration of each notify routine on its own (NotifyRoutineUnregistered, ...Registering,
    // ...Registered; host/notify.cpp), so that a later Connect registers only what is missing.
    volatile LONG ProcessNotifyRegistration;
    volatile LONG ThreadNotifyRegistration;
    volatile LONG LinkState;  // LinkStateUnlinked, LinkStateLinked or LinkStateUnloading
    // Guards LinkState, both gates, the module's entry points, the notify forwarders and the
    // driver core's redirect fields. Always taken in its plain form (GateLockAcquire).
    ASpinLock GateLock;
    KEVENT NotifyDrained;
    KEVENT DispatchDrained;
    volatile LONG DispatchInFlight;
    volatile LONG NotifyInFlight;
    // The module's entry points, written under GateLock. ModuleIrpDispatch and ModuleFastIo are
    // read under GateLock too, and so are AttachNotify and DetachNotify, with the entry into
    // DeviceNotifyGate.
    PDRIVER_DISPATCH ModuleIrpDispatch;
    PFAST_IO_DISPATCH ModuleFastIo;
    MODULE_ATTACH_NOTIFY* AttachNotify;
    MODULE_DETACH_NOTIFY* DetachNotify;
    MODULE_PROCESS_NOTIFY* ProcessNotifyForwarder;
    MODULE_THREAD_NOTIFY* ThreadNotifyForwarder;
    // The gate of AttachNotify and DetachNotify calls, in every link state, so that
    // WithdrawEntryPoints can wait until none is inside the module.
    KEVENT DeviceNotifyDrained;
    volatile LONG DeviceNotifyInFlight;
};

// The module's four entry points, as RegisterEntryPoints hands them over.
struct ModuleEntryPoints {
    PDRIVER_DISPATCH ModuleIrpDispatch;
    PFAST_IO_DISPATCH ModuleFastIo;
    MODULE_ATTACH_NOTIFY* AttachNotify;
    MODULE_DETACH_NOTIFY* DetachNotify;
};

// A call gate: an in-flight count and a notification event that is clear while the count is
// above 0 (host/link.cpp explains the protocol).
struct CallGate {
    volatile LONG* InFlight;
    PKEVENT Drained;
};

// The host's state inside HostGlobals; defined with the record, in driver/hostglobals.cpp.
extern ModuleHostState& ModuleHost;

extern "C" {

// IRPs and fast I/O forwarded to the module: DispatchInFlight and DispatchDrained.
extern const CallGate DispatchGate;
// Process and thread notifications forwarded to the module: NotifyInFlight and NotifyDrained.
extern const CallGate NotifyGate;
// AttachNotify and DetachNotify calls: DeviceNotifyInFlight and DeviceNotifyDrained.
extern const CallGate DeviceNotifyGate;

// ---- Start-up (host/lifecycle.cpp) ----

// Driver entry's steps for the host: the module's service name buffer, GateLock, the drained
// events of both gates, ModuleLifecycleMutex and the loader record with its lock, and the ImageGone
// hook (may be null). On failure the status of the failing step (STATUS_UNSUCCESSFUL for a lock);
// StopModuleHost undoes what was done.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartModuleHost(_In_opt_ MODULE_IMAGE_GONE* ImageGone);

// Start-up unwinding: gives up the loader lock and frees ModuleLifecycleMutex if they exist.
_IRQL_requires_(PASSIVE_LEVEL)
void StopModuleHost();

// ---- The module's life cycle (host/lifecycle.cpp) ----

// LoadModule: names the module ServiceName (ServiceNameBytes with its U+0000, 3 to 100, copied as
// they stand), writes its volatile service key with ImagePath (ImagePathBytes, at most 520 used)
// and loads it with ZwLoadDriver; a module already loaded counts as loaded. On success the calling
// process becomes the loader. The outcome: STATUS_INVALID_DEVICE_STATE above PASSIVE_LEVEL,
// STATUS_INVALID_BUFFER_SIZE for a name size out of bounds, STATUS_NO_MEMORY, or ZwLoadDriver's.
// Serialised with ModuleUnload by ModuleLifecycleMutex.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ModuleLoad(_In_ const WCHAR* ImagePath, ULONG ImagePathBytes, _In_ const WCHAR* ServiceName,
                    USHORT ServiceNameBytes);

// UnloadModule: from LinkState unlinked only (STATUS_INVALID_DEVICE_STATE otherwise), holds the
// link unloading, waits up to 9 s for each gate to drain (STATUS_IO_TIMEOUT and an event when one
// does not), unloads the module with ZwUnloadDriver and deletes its service key; the outcome is the
// first failure or the key deletion's result. Once the image is gone, the ImageGone hook hears its
// range (taken from "\Driver\<service name>" before the unload) and then the entry points and
// notify forwarders are cleared. LinkState is unlinked again at the end, whatever the outcome. Holds
// ModuleLifecycleMutex throughout, drain waits included.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ModuleUnload();

// RequestUnload: opens the module's device, starts a system thread that sends it UnloadNotice and
// unloads the module when the notice succeeds, and puts STATUS_PENDING in *Outcome (or the failure:
// STATUS_INVALID_DEVICE_STATE above PASSIVE_LEVEL, the open's status, STATUS_NO_MEMORY, the
// thread's). STATUS_NO_MEMORY, with no outcome, when there is no pool for the device's name;
// otherwise STATUS_SUCCESS.
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS ModuleRequestUnload(_Out_ NTSTATUS* Outcome);

// Called for every exiting process: when it is the recorded loader, runs RequestUnload and then
// forgets the loader, whatever came of it. The request's outcome, STATUS_SUCCESS for any other
// process. PASSIVE_LEVEL, in the exiting process's notify callback.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CheckLoaderExit(_In_ HANDLE ProcessId);

// ---- GateLock and the gates (host/link.cpp) ----

// Takes GateLock in its plain form and returns at DISPATCH_LEVEL; the previous IRQL is kept in the
// lock holder until GateLockRelease. GateLock is innermost: no call out, wait or other lock while
// it is held.
_IRQL_requires_max_(DISPATCH_LEVEL)
_IRQL_raises_(DISPATCH_LEVEL)
void GateLockAcquire();

// Releases GateLock and returns to the IRQL saved by GateLockAcquire.
_IRQL_requires_(DISPATCH_LEVEL)
void GateLockRelease();

// Counts one call into the gate; the first call in clears its drained event. Caller holds GateLock,
// in the same hold in which it tested that the call may be forwarded.
_IRQL_requires_(DISPATCH_LEVEL)
void EnterGate(const CallGate* gate);

// Counts one call out of the gate once the forwarded call has returned; the last call out sets the
// drained event. A count of 0 stays 0. Caller holds no lock; takes GateLock itself.
_IRQL_requires_max_(DISPATCH_LEVEL)
void LeaveGate(const CallGate* gate);

// ---- The link (host/link.cpp) ----

// Sets LinkState; the caller holds GateLock. The store is interlocked so that LinkIsLinked may
// read it without the lock.
_IRQL_requires_(DISPATCH_LEVEL)
void LinkSetState(LONG State);

// Whether LinkState is linked at this moment, read without GateLock: a forwarding site that finds
// it unlinked passes the call on as if it had come before any link that is being made; one that
// finds it linked takes GateLock and tests again. Any IRQL.
BOOLEAN LinkIsLinked();

// Connect: registers the host's notify routines (once) and resets the link to unlinked unless an
// unload is under way (LinkStateUnloading stays). STATUS_INVALID_DEVICE_STATE, with nothing
// changed, when called above PASSIVE_LEVEL.
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS LinkConnect();

// SetLink: HOST_LINK_ON links an unlinked module, HOST_LINK_OFF unlinks a linked one; any other
// state stays as it is. Does not wait for calls already inside the module.
// STATUS_INVALID_PARAMETER, with nothing changed, for any other switch.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS LinkSwitch(ULONG Switch);

// Stores the module's four entry points under GateLock (nulls as given); a null EntryPoints clears
// them all. Calls already inside the module finish normally.
_IRQL_requires_max_(DISPATCH_LEVEL)
void LinkSetEntryPoints(_In_opt_ const ModuleEntryPoints* EntryPoints);

// Tells the module about a volume filter device: when an AttachNotify is registered, calls it with
// the three devices and stores its answer in *ModuleAttached. Counted by DeviceNotifyGate, made in
// every link state but unloading (the module then hears nothing). The caller serialises the calls for one device (the attach record's RecordLock) and
// holds no spin lock. PASSIVE_LEVEL or APC_LEVEL.
_IRQL_requires_max_(APC_LEVEL)
void LinkNotifyAttach(_In_ PDEVICE_OBJECT FilterDevice, _In_ PDEVICE_OBJECT VolumeDevice,
                      _In_opt_ PDEVICE_OBJECT StorageDevice, _Inout_ UCHAR* ModuleAttached);

// Offers a device the module has taken (*ModuleAttached set) back: when a DetachNotify is
// registered, calls it, and *ModuleAttached becomes FALSE when the module lets go, TRUE when it
// keeps the device. Serialised, counted and skipped while unloading like LinkNotifyAttach.
_IRQL_requires_max_(APC_LEVEL)
void LinkNotifyWithdrawal(_In_ PDEVICE_OBJECT FilterDevice, _Inout_ UCHAR* ModuleAttached);

// After the entry points are cleared: waits until no AttachNotify or DetachNotify call is inside
// the module any more (DeviceNotifyGate drained), at most DeviceNotifyDrainTimeoutMs.
// STATUS_IO_TIMEOUT when one is still running then. PASSIVE_LEVEL; the caller must not be inside
// a notification itself.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS LinkDrainDeviceNotifications();

// Tells the module that a volume filter device is going away: calls DetachNotify (if registered)
// with the device, whatever the module answered before, and ignores the answer. For the teardown
// of a device whose record is gone; takes no lock but GateLock, to enter DeviceNotifyGate. Not made
// while unloading.
_IRQL_requires_max_(DISPATCH_LEVEL)
void LinkNotifyDetach(_In_ PDEVICE_OBJECT FilterDevice);

// ---- Notifications (host/notify.cpp) ----

// Registers HostProcessNotify and HostThreadNotify with the kernel, each once for the life of the
// system; a routine the kernel refused is tried again by the next call. FALSE only above
// PASSIVE_LEVEL (nothing is done then); TRUE otherwise, also when a registration failed or raised
// an exception. The routines are never removed: the host stays loaded until shutdown.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN RegisterNotifyRoutines();

// Process creation and exit, as the kernel reports them at PASSIVE_LEVEL: forwarded unchanged to
// the module's process forwarder through the NotifyGate while the module is linked.
_IRQL_requires_(PASSIVE_LEVEL)
void NTAPI HostProcessNotify(_In_ HANDLE ParentId, _In_ HANDLE ProcessId, BOOLEAN Create);

// Thread creation and exit, as the kernel reports them at PASSIVE_LEVEL: forwarded unchanged to
// the module's thread forwarder through the NotifyGate while the module is linked.
_IRQL_requires_(PASSIVE_LEVEL)
void NTAPI HostThreadNotify(_In_ HANDLE ProcessId, _In_ HANDLE ThreadId, BOOLEAN Create);

// RegisterNotifyForwarders: stores both forwarders under GateLock; a null forwarder switches that
// forwarding off. STATUS_INVALID_DEVICE_STATE (and diagnostic event 8003), with nothing stored,
// until both notify routines are registered.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS LinkSetNotifyForwarders(_In_opt_ MODULE_PROCESS_NOTIFY* ProcessForwarder,
                                 _In_opt_ MODULE_THREAD_NOTIFY* ThreadForwarder);

}  // extern "C"
