// The fast I/O forwarding decision: module member through the DispatchGate while linked, else the
// lower driver's member, else nothing.
#include "fsfilter/fastioroute.h"

#include "driver/hostglobals.h"
#include "driver/passdown.h"
#include "fsfilter/attachmanager.h"
#include "host/callgate.h"

namespace {

// The routine pointer stored at a byte offset of a fast I/O table; null when the table's declared
// size ends before the whole member (a table built for an older layout), which is then not read.
PVOID FastIoMemberAt(const FAST_IO_DISPATCH* Table, ULONG MemberOffset)
{
    PVOID member = nullptr;
    if (Table->SizeOfFastIoDispatch >= MemberOffset + sizeof(member)) {
        RtlCopyMemory(&member, reinterpret_cast<const UCHAR*>(Table) + MemberOffset, sizeof(member));
    }
    return member;
}

// ---- Outstanding acquires --------------------------------------------------------------------
// A record per acquire that a release will follow, naming whoever served it, so that the release
// goes there too whatever the link did meanwhile. The records are a fixed array (no allocation on
// the fast path, nothing to leak): when all are taken, acquires that can be refused are.

struct FastIoPairRecord {
    ULONG AcquireOffset;  // 0: free
    ULONG Sequence;       // 0 while reserved; the newest matching record is taken first
    PFILE_OBJECT FileObject;
    PVOID Key;
    PVOID Release;  // the server's release member; may be null
    PDEVICE_OBJECT Device;
    BOOLEAN ViaModule;
};

constexpr ULONG FastIoPairRecordCount = 64;

FastIoPairRecord FastIoPairRecords[FastIoPairRecordCount];
ULONG FastIoPairSequence;
ASpinLock FastIoPairLock;  // guards the records and the sequence

ULONG FastIoPairReserve(ULONG AcquireOffset)
{
    ULONG slot = FastIoPairNoRecord;
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&FastIoPairLock, &queueHandle);
    for (ULONG index = 0; index < FastIoPairRecordCount; index += 1) {
        if (FastIoPairRecords[index].AcquireOffset == 0) {
            FastIoPairRecords[index].AcquireOffset = AcquireOffset;
            FastIoPairRecords[index].Sequence = 0;
            slot = index;
            break;
        }
    }
    ASpinLock_Release(&FastIoPairLock, &queueHandle);
    return slot;
}

}  // namespace

BOOLEAN FsFilterIsHostFilterDevice(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject != nullptr && FsFilterIsAcceptedType(DeviceObject->DeviceType) &&
           DeviceObject->DriverObject == HostGlobals.DriverObject;
}

PVOID FastIoEnterModuleMember(PDEVICE_OBJECT Lower, ULONG MemberOffset, BOOLEAN* Linked)
{
    PVOID member = nullptr;
    GateLockAcquire();
    BOOLEAN linked = HostGlobals.LinkState == LinkStateLinked;
    PFAST_IO_DISPATCH moduleFastIo = HostGlobals.ModuleFastIo;
    if (linked && Lower != nullptr && moduleFastIo != nullptr) {
        member = FastIoMemberAt(moduleFastIo, MemberOffset);
        if (member != nullptr) {
            EnterGate(&DispatchGate);
        }
    }
    GateLockRelease();
    if (Linked != nullptr) {
        *Linked = linked;
    }
    return member;
}

PVOID FastIoLowerMember(PDEVICE_OBJECT Lower, ULONG MemberOffset)
{
    if (Lower == nullptr) {
        return nullptr;
    }
    const FAST_IO_DISPATCH* lowerFastIo = Lower->DriverObject->FastIoDispatch;
    return lowerFastIo != nullptr ? FastIoMemberAt(lowerFastIo, MemberOffset) : nullptr;
}

BOOLEAN FastIoRouteFind(PDEVICE_OBJECT DeviceObject, ULONG MemberOffset, FastIoTarget* Target)
{
    Target->Routine = nullptr;
    Target->Device = nullptr;
    Target->InDispatchGate = FALSE;
    if (!FsFilterIsHostFilterDevice(DeviceObject)) {
        return FALSE;
    }
    // The lower device is looked up before GateLock is taken.
    PDEVICE_OBJECT lower = LowerDeviceOf(DeviceObject);
    PVOID member = FastIoEnterModuleMember(lower, MemberOffset, nullptr);
    if (member != nullptr) {
        Target->Routine = member;
        Target->Device = DeviceObject;
        Target->InDispatchGate = TRUE;
        return TRUE;
    }
    member = FastIoLowerMember(lower, MemberOffset);
    if (member == nullptr) {
        return FALSE;
    }
    Target->Routine = member;
    Target->Device = lower;
    return TRUE;
}

void FastIoRouteDone(const FastIoTarget* Target)
{
    if (Target->InDispatchGate) {
        LeaveGate(&DispatchGate);
    }
}

BOOLEAN FastIoPairServer(PDEVICE_OBJECT DeviceObject, ULONG AcquireOffset, ULONG ReleaseOffset, FastIoTarget* Target,
                         PVOID* Release)
{
    *Release = nullptr;
    Target->Routine = nullptr;
    Target->Device = nullptr;
    Target->InDispatchGate = FALSE;
    PDEVICE_OBJECT lower = LowerDeviceOf(DeviceObject);
    if (lower == nullptr) {
        return FALSE;
    }
    GateLockAcquire();
    PFAST_IO_DISPATCH moduleFastIo = HostGlobals.ModuleFastIo;
    if (HostGlobals.LinkState == LinkStateLinked && moduleFastIo != nullptr) {
        PVOID acquire = FastIoMemberAt(moduleFastIo, AcquireOffset);
        PVOID release = ReleaseOffset != 0 ? FastIoMemberAt(moduleFastIo, ReleaseOffset) : nullptr;
        if (acquire != nullptr && (ReleaseOffset == 0 || release != nullptr)) {
            EnterGate(&DispatchGate);
            Target->Routine = acquire;
            Target->Device = DeviceObject;
            Target->InDispatchGate = TRUE;
            *Release = release;
        }
    }
    GateLockRelease();
    if (Target->Routine != nullptr) {
        return TRUE;
    }
    Target->Routine = FastIoLowerMember(lower, AcquireOffset);
    if (Target->Routine == nullptr) {
        return FALSE;
    }
    Target->Device = lower;
    *Release = ReleaseOffset != 0 ? FastIoLowerMember(lower, ReleaseOffset) : nullptr;
    return TRUE;
}

BOOLEAN FastIoPairAcquireFind(PDEVICE_OBJECT DeviceObject, ULONG AcquireOffset, ULONG ReleaseOffset,
                              FastIoPairTarget* Pair)
{
    Pair->AcquireOffset = AcquireOffset;
    Pair->Slot = FastIoPairNoRecord;
    if (!FastIoPairServer(DeviceObject, AcquireOffset, ReleaseOffset, &Pair->Acquire, &Pair->Release)) {
        return FALSE;
    }
    Pair->Slot = FastIoPairReserve(AcquireOffset);
    return TRUE;
}

void FastIoPairAcquireDone(FastIoPairTarget* Pair, BOOLEAN Served, PFILE_OBJECT FileObject, PVOID Key)
{
    FastIoRouteDone(&Pair->Acquire);
    if (Pair->Slot == FastIoPairNoRecord) {
        return;
    }
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&FastIoPairLock, &queueHandle);
    FastIoPairRecord* record = &FastIoPairRecords[Pair->Slot];
    if (Served) {
        FastIoPairSequence += 1;
        if (FastIoPairSequence == 0) {
            FastIoPairSequence = 1;
        }
        record->Sequence = FastIoPairSequence;
        record->FileObject = FileObject;
        record->Key = Key;
        record->Release = Pair->Release;
        record->Device = Pair->Acquire.Device;
        record->ViaModule = Pair->Acquire.InDispatchGate;
    } else {
        record->AcquireOffset = 0;
    }
    ASpinLock_Release(&FastIoPairLock, &queueHandle);
}

BOOLEAN FastIoPairReleaseFind(ULONG AcquireOffset, PFILE_OBJECT FileObject, PVOID Key, FastIoTarget* Target)
{
    FastIoPairRecord found = {};
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&FastIoPairLock, &queueHandle);
    FastIoPairRecord* newest = nullptr;
    for (ULONG index = 0; index < FastIoPairRecordCount; index += 1) {
        FastIoPairRecord* record = &FastIoPairRecords[index];
        if (record->AcquireOffset == AcquireOffset && record->Sequence != 0 && record->FileObject == FileObject &&
            record->Key == Key && (newest == nullptr || record->Sequence - newest->Sequence < 0x80000000UL)) {
            newest = record;
        }
    }
    if (newest != nullptr) {
        found = *newest;
        newest->AcquireOffset = 0;
        newest->Sequence = 0;
    }
    ASpinLock_Release(&FastIoPairLock, &queueHandle);
    if (newest == nullptr) {
        return FALSE;
    }
    Target->Routine = found.Release;
    Target->Device = found.Device;
    Target->InDispatchGate = FALSE;
    if (found.ViaModule && found.Release != nullptr) {
        // The module served the acquire: its release is made whatever the link is now, counted in
        // the gate as every call into the module.
        GateLockAcquire();
        EnterGate(&DispatchGate);
        GateLockRelease();
        Target->InDispatchGate = TRUE;
    }
    return TRUE;
}
