// The link to the filter module: LinkState, GateLock and the two call gates, the module's entry
// points, and the attach and detach notifications.
//
// LinkState says whether calls may be forwarded to the module. Every change is made under
// GateLock, and forwarding happens only in the linked state:
//
//                       SetLink 1
//       unlinked (0) ---------------> linked (1)
//        |     ^    <---------------
//        |     |     SetLink 0, Connect
//        |     | the unload ends
//        v     |
//       unloading (2)    an unload starts only from unlinked
//
// Unloading keeps SetLink from linking the module while it is being unloaded; Connect leaves it
// as it is. Unlinking does not wait: a call already inside the module finishes and is counted out
// normally.
//
// A call gate counts the forwarded calls that are inside the module: DispatchGate for IRPs and
// fast I/O, NotifyGate for process and thread notifications. Every forwarding site takes GateLock,
// tests its conditions (LinkState linked and the routine set, the routine read once), enters the
// gate, releases GateLock, calls the module, and leaves the gate:
//
//   count 0, drained event set  --EnterGate-->  count 1, event cleared  --EnterGate-->  count n
//         ^                                                                              |
//         +---------------------- LeaveGate of the last call out ------------------------+
//
// Both the count change and the event change are made under GateLock, so while GateLock is free
// a gate's event is set exactly when its count is 0 (the event starts clear at count 0 until the
// first call has left). An unload waits on the drained events. GateLock is innermost: it is held
// only for those tests and updates, never across a call out, a wait or another lock.
//
// The entry points are written under GateLock. AttachNotify and DetachNotify are made in every
// link state but unloading; they are read under GateLock, once per notification, and counted in
// the NotifyGate like the process and thread notifications, so that an unload waits for them too.
// The caller serialises one device's notifications (its attach record's RecordLock).
#include "host/host.h"

namespace {

LONG CallGateReadCount(const CallGate* gate)
{
    return InterlockedCompareExchange(gate->InFlight, 0, 0);
}

enum ModuleNotification { ModuleNotificationAttach, ModuleNotificationDetach };

// The attach and detach notifications' way into the module: under GateLock, reads the routine
// once and, unless the module is being unloaded, counts the call into the NotifyGate, so that an
// unload waits for it. The routine to call (the caller leaves the NotifyGate after it), or null
// when there is none to call. The pointers are also written whole, with interlocked exchanges.
PVOID LinkEnterNotification(ModuleNotification Which)
{
    GateLockAcquire();
    PVOID routine = Which == ModuleNotificationAttach ? reinterpret_cast<PVOID>(ModuleHost.AttachNotify)
                                                      : reinterpret_cast<PVOID>(ModuleHost.DetachNotify);
    if (ModuleHost.LinkState == LinkStateUnloading) {
        routine = nullptr;
    }
    if (routine != nullptr) {
        EnterGate(&NotifyGate);
    }
    GateLockRelease();
    return routine;
}

}  // namespace

void GateLockAcquire()
{
    KIRQL previousIrql = KeAcquireSpinLockRaiseToDpc(&ModuleHost.GateLock.lock);
    ModuleHost.GateLock.savedIrql = previousIrql;
}

void GateLockRelease()
{
    KeReleaseSpinLock(&ModuleHost.GateLock.lock, ModuleHost.GateLock.savedIrql);
}

void EnterGate(const CallGate* gate)
{
    InterlockedExchangeAdd(gate->InFlight, 1);
    if (CallGateReadCount(gate) == 1) {
        KeClearEvent(gate->Drained);
    }
}

void LeaveGate(const CallGate* gate)
{
    GateLockAcquire();
    if (CallGateReadCount(gate) != 0) {
        InterlockedExchangeAdd(gate->InFlight, -1);
        if (CallGateReadCount(gate) == 0) {
            KeSetEvent(gate->Drained, IO_NO_INCREMENT, FALSE);
        }
    }
    GateLockRelease();
}

NTSTATUS LinkConnect()
{
    if (!RegisterNotifyRoutines()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // A Connect during an unload must not let a later SetLink link the module that is going away.
    GateLockAcquire();
    if (ModuleHost.LinkState != LinkStateUnloading) {
        ModuleHost.LinkState = LinkStateUnlinked;
    }
    GateLockRelease();
    return STATUS_SUCCESS;
}

NTSTATUS LinkSwitch(ULONG Switch)
{
    if (Switch != HOST_LINK_ON && Switch != HOST_LINK_OFF) {
        return STATUS_INVALID_PARAMETER;
    }
    GateLockAcquire();
    if (Switch == HOST_LINK_ON && ModuleHost.LinkState == LinkStateUnlinked) {
        ModuleHost.LinkState = LinkStateLinked;
    } else if (Switch == HOST_LINK_OFF && ModuleHost.LinkState == LinkStateLinked) {
        ModuleHost.LinkState = LinkStateUnlinked;
    }
    GateLockRelease();
    return STATUS_SUCCESS;
}

void LinkSetEntryPoints(const ModuleEntryPoints* EntryPoints)
{
    const ModuleEntryPoints none = {};
    const ModuleEntryPoints* stored = EntryPoints != nullptr ? EntryPoints : &none;
    GateLockAcquire();
    ModuleHost.ModuleIrpDispatch = stored->ModuleIrpDispatch;
    ModuleHost.ModuleFastIo = stored->ModuleFastIo;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ModuleHost.AttachNotify),
                               reinterpret_cast<PVOID>(stored->AttachNotify));
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ModuleHost.DetachNotify),
                               reinterpret_cast<PVOID>(stored->DetachNotify));
    GateLockRelease();
}

void LinkNotifyAttach(PDEVICE_OBJECT FilterDevice, PDEVICE_OBJECT VolumeDevice, PDEVICE_OBJECT StorageDevice,
                      UCHAR* ModuleAttached)
{
    auto* attachNotify = reinterpret_cast<MODULE_ATTACH_NOTIFY*>(LinkEnterNotification(ModuleNotificationAttach));
    if (attachNotify != nullptr) {
        *ModuleAttached = attachNotify(FilterDevice, VolumeDevice, StorageDevice);
        LeaveGate(&NotifyGate);
    }
}

void LinkNotifyWithdrawal(PDEVICE_OBJECT FilterDevice, UCHAR* ModuleAttached)
{
    if (*ModuleAttached == FALSE) {
        return;
    }
    auto* detachNotify = reinterpret_cast<MODULE_DETACH_NOTIFY*>(LinkEnterNotification(ModuleNotificationDetach));
    if (detachNotify != nullptr) {
        *ModuleAttached = detachNotify(FilterDevice) ? FALSE : TRUE;
        LeaveGate(&NotifyGate);
    }
}

void LinkNotifyDetach(PDEVICE_OBJECT FilterDevice)
{
    auto* detachNotify = reinterpret_cast<MODULE_DETACH_NOTIFY*>(LinkEnterNotification(ModuleNotificationDetach));
    if (detachNotify != nullptr) {
        (void)detachNotify(FilterDevice);
        LeaveGate(&NotifyGate);
    }
}
