// The forwarding decision shared by the fast I/O entries: for one member of the FAST_IO_DISPATCH
// table, who serves a call that reached a host device (the filter module through the dispatch
// gate, the driver below, or nobody). Each entry then only makes the call with its own arguments.
#pragma once

#include "base/platform.h"

// Where one fast I/O call goes.
struct FastIoTarget {
    PVOID Routine;           // the member to call
    PDEVICE_OBJECT Device;   // its DeviceObject argument: the host device (module) or the lower device
    BOOLEAN InDispatchGate;  // the module's member: the call is counted in the DispatchGate
};

// True for a device of the host driver of an accepted file-system type (disk, CD-ROM or network
// file system); only such devices have their fast I/O forwarded. Any IRQL.
BOOLEAN FsFilterIsHostFilterDevice(_In_opt_ PDEVICE_OBJECT DeviceObject);

// The forwarding rule for the member at MemberOffset (its byte offset in FAST_IO_DISPATCH) on a
// call through DeviceObject. FALSE: nobody serves it, the entry returns its not-handled result.
// TRUE: *Target says whom to call; for the module's member the DispatchGate has been entered and
// the caller must call FastIoRouteDone after the member returns. Any IRQL up to DISPATCH_LEVEL;
// takes and releases GateLock.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    FastIoRouteFind(_In_opt_ PDEVICE_OBJECT DeviceObject, ULONG MemberOffset, _Out_ FastIoTarget* Target);

// Ends a call found by FastIoRouteFind: leaves the DispatchGate when the call was the module's.
_IRQL_requires_max_(DISPATCH_LEVEL) void FastIoRouteDone(_In_ const FastIoTarget* Target);

// Under GateLock: when LinkState is 1, Lower is not null, ModuleFastIo is set and its member at
// MemberOffset is not null, enters the DispatchGate and returns that member (the caller calls it,
// then LeaveGate). Otherwise returns null. *Linked, when asked for, tells whether LinkState was 1.
_IRQL_requires_max_(DISPATCH_LEVEL) PVOID
    FastIoEnterModuleMember(_In_opt_ PDEVICE_OBJECT Lower, ULONG MemberOffset, _Out_opt_ BOOLEAN* Linked);

// The member at MemberOffset of the fast I/O table of Lower's driver, when the table is long
// enough to hold it (SizeOfFastIoDispatch greater than the offset); null otherwise or when Lower
// is null. Read without a lock.
_IRQL_requires_max_(DISPATCH_LEVEL) PVOID FastIoLowerMember(_In_opt_ PDEVICE_OBJECT Lower, ULONG MemberOffset);

// One entry's whole forwarding: finds the target of the member at MemberOffset, calls it as a
// Routine with Arguments and then the target's device, and ends the call; NotServed when nobody
// serves it. Used by every entry whose arguments all pass through unchanged.
template <typename Routine, typename Result, typename... Arguments>
inline Result FastIoForward(PDEVICE_OBJECT DeviceObject, ULONG MemberOffset, Result NotServed, Arguments... Args)
{
    FastIoTarget target;
    if (!FastIoRouteFind(DeviceObject, MemberOffset, &target)) {
        return NotServed;
    }
    Result result = reinterpret_cast<Routine*>(target.Routine)(Args..., target.Device);
    FastIoRouteDone(&target);
    return result;
}
