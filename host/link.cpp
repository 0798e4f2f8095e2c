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
// The entry points are written under GateLock. AttachNotify and DetachNotify are made in every link
// state but unloading (an unload must not see one start after its drain), through a third gate,
// DeviceNotifyGate, that an unload drains like the other two: each notification reads
// its routine and enters the gate in one hold of GateLock, so that once WithdrawEntryPoints has
// cleared the routines and seen the gate drained, no notification is inside the module and none
// starts. The caller serialises one device's notifications (its attach record's RecordLock).
#include "host/host.h"

namespace {

LONG CallGateReadCount(const CallGate* gate)
{
    return InterlockedCompareExchange(gate->InFlight, 0, 0);
}

// The one way into AttachNotify and DetachNotify: under GateLock, reads the routine (the address
// of ModuleHost.AttachNotify or .DetachNotify) and, when it is set and no unload is under way,
// enters DeviceNotifyGate; the
// caller calls it and then leaves the gate.
PVOID LinkEnterDeviceNotify(PVOID* Routine)
{
    GateLockAcquire();
    PVOID routine = *Routine;
    if (ModuleHost.LinkState == LinkStateUnloading) {
        routine = nullptr;  // the module is being unloaded: it hears nothing more
    }
    if (routine != nullptr) {
        EnterGate(&DeviceNotifyGate);
    }
    GateLockRelease();
    return routine;
}

// Leaves DeviceNotifyGate after a notification, and, when the module raised from it, before the
// exception goes on, so that a drain is not kept waiting for a call that has gone.
#define LINK_DEVICE_NOTIFY_CALL(call)             \
    HOST_TRY                                      \
    {                                             \
        call;                                     \
    }                                             \
    HOST_EXCEPT                                   \
    {                                             \
        LeaveGate(&DeviceNotifyGate);             \
        ExRaiseStatus(HOST_EXCEPTION_CODE());     \
    }                                             \
    HOST_END_TRY                                  \
    LeaveGate(&DeviceNotifyGate)

MODULE_ATTACH_NOTIFY* LinkEnterAttachNotify()
{
    return reinterpret_cast<MODULE_ATTACH_NOTIFY*>(
        LinkEnterDeviceNotify(reinterpret_cast<PVOID*>(&ModuleHost.AttachNotify)));
}

MODULE_DETACH_NOTIFY* LinkEnterDetachNotify()
{
    return reinterpret_cast<MODULE_DETACH_NOTIFY*>(
        LinkEnterDeviceNotify(reinterpret_cast<PVOID*>(&ModuleHost.DetachNotify)));
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

void LinkSetState(LONG State)
{
    InterlockedExchange(&ModuleHost.LinkState, State);
}

// A plain atomic load (acquire): an interlocked read-modify-write here would count as a write
// racing the plain reads made under GateLock.
BOOLEAN LinkIsLinked()
{
    return __atomic_load_n(&ModuleHost.LinkState, __ATOMIC_ACQUIRE) == LinkStateLinked;
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
        LinkSetState(LinkStateUnlinked);
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
        LinkSetState(LinkStateLinked);
    } else if (Switch == HOST_LINK_OFF && ModuleHost.LinkState == LinkStateLinked) {
        LinkSetState(LinkStateUnlinked);
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
    MODULE_ATTACH_NOTIFY* attachNotify = LinkEnterAttachNotify();
    if (attachNotify != nullptr) {
        LINK_DEVICE_NOTIFY_CALL(*ModuleAttached = attachNotify(FilterDevice, VolumeDevice, StorageDevice));
    }
}

void LinkNotifyWithdrawal(PDEVICE_OBJECT FilterDevice, UCHAR* ModuleAttached)
{
    if (*ModuleAttached == FALSE) {
        return;
    }
    MODULE_DETACH_NOTIFY* detachNotify = LinkEnterDetachNotify();
    if (detachNotify != nullptr) {
        LINK_DEVICE_NOTIFY_CALL(*ModuleAttached = detachNotify(FilterDevice) ? FALSE : TRUE);
    }
}

void LinkNotifyDetach(PDEVICE_OBJECT FilterDevice)
{
    MODULE_DETACH_NOTIFY* detachNotify = LinkEnterDetachNotify();
    if (detachNotify != nullptr) {
        LINK_DEVICE_NOTIFY_CALL((void)detachNotify(FilterDevice));
    }
}

NTSTATUS LinkDrainDeviceNotifications()
{
    GateLockAcquire();
    LONG inFlight = CallGateReadCount(&DeviceNotifyGate);
    GateLockRelease();
    if (inFlight == 0) {
        return STATUS_SUCCESS;
    }
    // The event was cleared when the count rose from 0 and is set when it falls back to 0.
    LARGE_INTEGER timeout;
    timeout.QuadPart = (LONGLONG)DeviceNotifyDrainTimeoutMs * RelativeTimePerMs;
    NTSTATUS status = KeWaitForSingleObject(DeviceNotifyGate.Drained, Executive, KernelMode, FALSE, &timeout);
    return status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_IO_TIMEOUT;
}
