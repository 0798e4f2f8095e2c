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

// The member at MemberOffset of the fast I/O table of Lower's driver, when the table's declared
// size holds the whole member; null otherwise or when Lower is null. Read without a lock. (The
// module's table is read under the same size rule.)
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

// ---- Acquire/release pairs ------------------------------------------------------------------
// AcquireFileForNtCreateSection, AcquireForModWrite, AcquireForCcFlush, MdlRead and PrepareMdlWrite
// each take something that a later release gives back. The pair is served as one: by the module
// while linked when its table has both members, else by the lower driver. The server of each
// acquire is recorded, and its release goes to the same server whatever the link does meanwhile.
// A record is found by the acquire member, the file and a key: the calling thread for the three
// lock brackets, which release on the thread that acquired (nested brackets are released newest
// first); the MDL chain for the two MDL operations, whose completion names the chain and may come
// from any thread. A release with no record follows the forwarding rule.

constexpr ULONG FastIoPairNoRecord = 0xFFFFFFFF;

struct FastIoPairTarget {
    FastIoTarget Acquire;  // whom to call for the acquire
    PVOID Release;         // the same server's release member; may be null
    ULONG AcquireOffset;
    ULONG Slot;  // the reserved record; FastIoPairNoRecord when all records are taken
};

// Whoever serves the member at AcquireOffset (and, unless ReleaseOffset is 0, its release) at the
// host device DeviceObject: the module's members while linked when it has them all (the
// DispatchGate is entered), else the lower driver's. FALSE: nobody (or nothing below). No device
// type test. Up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    FastIoPairServer(_In_ PDEVICE_OBJECT DeviceObject, ULONG AcquireOffset, ULONG ReleaseOffset,
                     _Out_ FastIoTarget* Target, _Out_ PVOID* Release);

// The server of an acquire (FastIoPairServer) and a reserved record for it. FALSE: nobody serves
// it. After the call, FastIoPairAcquireDone.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    FastIoPairAcquireFind(_In_ PDEVICE_OBJECT DeviceObject, ULONG AcquireOffset, ULONG ReleaseOffset,
                          _Out_ FastIoPairTarget* Pair);

// Ends the acquire's call: leaves the gate, and keeps the record under (FileObject, Key) when the
// acquire took something (Served), else frees it.
_IRQL_requires_max_(DISPATCH_LEVEL) void
    FastIoPairAcquireDone(_Inout_ FastIoPairTarget* Pair, BOOLEAN Served, _In_opt_ PFILE_OBJECT FileObject,
                          _In_opt_ PVOID Key);

// Takes the newest record of an acquire at AcquireOffset for (FileObject, Key): TRUE with *Target
// the server's release (Routine may be null: nothing to call), the gate entered for the module's;
// end with FastIoRouteDone. FALSE: no such acquire was recorded.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    FastIoPairReleaseFind(ULONG AcquireOffset, _In_opt_ PFILE_OBJECT FileObject, _In_opt_ PVOID Key,
                          _Out_ FastIoTarget* Target);

// A pair's release entry: to whoever served the recorded acquire, else by the forwarding rule.
template <typename Routine, typename Result, typename... Arguments>
inline Result FastIoPairRelease(PDEVICE_OBJECT DeviceObject, ULONG AcquireOffset, ULONG ReleaseOffset,
                                Result NotServed, PFILE_OBJECT FileObject, PVOID Key, Arguments... Args)
{
    FastIoTarget target;
    if (!FsFilterIsHostFilterDevice(DeviceObject) || !FastIoPairReleaseFind(AcquireOffset, FileObject, Key, &target)) {
        return FastIoForward<Routine>(DeviceObject, ReleaseOffset, NotServed, Args...);
    }
    Result result = NotServed;
    if (target.Routine != nullptr) {
        result = reinterpret_cast<Routine*>(target.Routine)(Args..., target.Device);
    }
    FastIoRouteDone(&target);
    return result;
}
