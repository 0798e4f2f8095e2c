// Fast I/O: HostFastIoDispatch, the host driver's fast I/O table, and its forwarding. Each entry
// hands the call to the member of the same name in the filter module's table through the
// DispatchGate while the module is linked, else to the member of the driver below the host device,
// else returns the not-handled result. Every entry passes its arguments on unchanged except
// DeviceObject: the module receives the host device, the lower driver its own device. The five
// acquire/release pairs are served as one: each release goes to whoever served its acquire. The
// NtCreateSection pair carries no device and finds the host device itself; FastIoDetachDevice is
// the teardown in detach.cpp. Entries run at the caller's IRQL and stay resident.
#include "fsfilter/fsfilter.h"

namespace {

// What an entry returns when nobody serves the call: the caller then uses an IRP.
constexpr BOOLEAN NotHandled = FALSE;
constexpr NTSTATUS NotImplemented = STATUS_NOT_IMPLEMENTED;

// Where one fast I/O call goes.
struct FastIoTarget {
    PVOID Routine;           // the member to call
    PDEVICE_OBJECT Device;   // its DeviceObject argument: the host device (module) or the lower device
    BOOLEAN InDispatchGate;  // the module's member: the call is counted in the DispatchGate
};

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

// The member at MemberOffset of the fast I/O table of Lower's driver, when the table's declared
// size holds the whole member; null otherwise or when Lower is null. Read without a lock. (The
// module's table is read under the same size rule.)
PVOID FastIoLowerMember(PDEVICE_OBJECT Lower, ULONG MemberOffset)
{
    if (Lower == nullptr) {
        return nullptr;
    }
    const FAST_IO_DISPATCH* lowerFastIo = Lower->DriverObject->FastIoDispatch;
    return lowerFastIo != nullptr ? FastIoMemberAt(lowerFastIo, MemberOffset) : nullptr;
}

// The forwarding rule for the member at MemberOffset (its byte offset in FAST_IO_DISPATCH) on a
// call through DeviceObject. FALSE: nobody serves it, the entry returns its not-handled result.
// TRUE: *Target says whom to call; for the module's member the DispatchGate has been entered and
// the caller must call FastIoRouteDone after the member returns. Any IRQL up to DISPATCH_LEVEL;
// takes and releases GateLock.
BOOLEAN FastIoRouteFind(PDEVICE_OBJECT DeviceObject, ULONG MemberOffset, FastIoTarget* Target)
{
    Target->Routine = nullptr;
    Target->Device = nullptr;
    Target->InDispatchGate = FALSE;
    if (!FsFilterIsHostFilterDevice(DeviceObject)) {
        return FALSE;
    }
    // A recorded volume filter device is attached (its teardown takes the record before it
    // detaches), so the module's member needs no lookup of the lower device; any other device's
    // lower device is looked up before GateLock is taken.
    PDEVICE_OBJECT lower = nullptr;
    BOOLEAN attached = FsFilterIsRecordedDevice(DeviceObject);
    if (!attached) {
        lower = LowerDeviceOf(DeviceObject);
        attached = lower != nullptr;
    }
    PVOID member = FastIoEnterModuleMember(attached, MemberOffset, nullptr);
    if (member != nullptr) {
        Target->Routine = member;
        Target->Device = DeviceObject;
        Target->InDispatchGate = TRUE;
        return TRUE;
    }
    if (lower == nullptr) {
        lower = LowerDeviceOf(DeviceObject);
    }
    member = FastIoLowerMember(lower, MemberOffset);
    if (member == nullptr) {
        return FALSE;
    }
    Target->Routine = member;
    Target->Device = lower;
    return TRUE;
}

// Ends a call found by FastIoRouteFind: leaves the DispatchGate when the call was the module's.
void FastIoRouteDone(const FastIoTarget* Target)
{
    if (Target->InDispatchGate) {
        LeaveGate(&DispatchGate);
    }
}

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

// ---- Acquire/release pairs ----
// AcquireFileForNtCreateSection, AcquireForModWrite, AcquireForCcFlush, MdlRead and PrepareMdlWrite
// each take something that a later release gives back. The pair is served as one: by the module
// while linked when its table has both members, else by the lower driver. The server of each
// acquire is recorded, and its release goes to the same server whatever the link does meanwhile.
// A record is found by the acquire member, the file and a key: the calling thread for the three
// lock brackets, which release on the thread that acquired (nested brackets are released newest
// first); the MDL chain for the two MDL operations, whose completion names the chain and may come
// from any thread. A release with no record follows the forwarding rule.
//
// The records are a fixed array (no allocation on the fast path, nothing to leak): when all are
// taken, acquires that can be refused are.

// The acquire/release members of the pairs.
constexpr ULONG ModWriteAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, AcquireForModWrite);
constexpr ULONG ModWriteRelease = FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseForModWrite);
constexpr ULONG CcFlushAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, AcquireForCcFlush);
constexpr ULONG CcFlushRelease = FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseForCcFlush);
constexpr ULONG MdlReadAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, MdlRead);
constexpr ULONG MdlReadRelease = FIELD_OFFSET(FAST_IO_DISPATCH, MdlReadComplete);
constexpr ULONG MdlWriteAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, PrepareMdlWrite);
constexpr ULONG MdlWriteRelease = FIELD_OFFSET(FAST_IO_DISPATCH, MdlWriteComplete);
constexpr ULONG SectionAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, AcquireFileForNtCreateSection);
constexpr ULONG SectionRelease = FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseFileForNtCreateSection);

constexpr ULONG FastIoPairNoRecord = 0xFFFFFFFF;

struct FastIoPairTarget {
    FastIoTarget Acquire;  // whom to call for the acquire
    PVOID Release;         // the same server's release member; may be null
    ULONG AcquireOffset;
    ULONG Slot;  // the reserved record; FastIoPairNoRecord when all records are taken
};

// One outstanding acquire that a release will follow, naming whoever served it.
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

// Reserves a free record for an acquire at AcquireOffset; FastIoPairNoRecord when all are taken.
// Up to DISPATCH_LEVEL; takes FastIoPairLock.
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

// Whoever serves the member at AcquireOffset (and, unless ReleaseOffset is 0, its release) at the
// host device DeviceObject: the module's members while linked when it has them all (the
// DispatchGate is entered), else the lower driver's. FALSE: nobody (or nothing below). No device
// type test. Up to DISPATCH_LEVEL; takes and releases GateLock.
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
    PFAST_IO_DISPATCH moduleFastIo = ModuleHost.ModuleFastIo;
    if (ModuleHost.LinkState == LinkStateLinked && moduleFastIo != nullptr) {
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

// The server of an acquire (FastIoPairServer) and a reserved record for it. FALSE: nobody serves
// it. After the call, FastIoPairAcquireDone. Up to DISPATCH_LEVEL.
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

// Ends the acquire's call: leaves the gate, and keeps the record under (FileObject, Key) when the
// acquire took something (Served), else frees it. Up to DISPATCH_LEVEL; takes FastIoPairLock.
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

// Takes the newest record of an acquire at AcquireOffset for (FileObject, Key): TRUE with *Target
// the server's release (Routine may be null: nothing to call), the gate entered for the module's;
// end with FastIoRouteDone. FALSE: no such acquire was recorded. Up to DISPATCH_LEVEL.
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

// An acquire entry: finds the pair's server through a host filter device; FALSE when nobody
// serves it or its release could not be remembered (the entry then returns its not-handled
// result and the caller takes its other path).
BOOLEAN FastIoPairBegin(PDEVICE_OBJECT DeviceObject, ULONG AcquireOffset, ULONG ReleaseOffset, FastIoPairTarget* Pair)
{
    if (!FsFilterIsHostFilterDevice(DeviceObject) ||
        !FastIoPairAcquireFind(DeviceObject, AcquireOffset, ReleaseOffset, Pair)) {
        return FALSE;
    }
    if (Pair->Slot == FastIoPairNoRecord) {
        FastIoRouteDone(&Pair->Acquire);
        return FALSE;
    }
    return TRUE;
}

// The key of the lock brackets: the calling thread.
PVOID FastIoPairThreadKey() { return PsGetCurrentThreadId(); }

// The first host device above the file's volume device (named by its VPB) whose member at
// MemberOffset has a server (FastIoPairServer; with ReleaseOffset its release too). FALSE when none
// has one, or the file's device has no VPB naming a volume. No device-type test.
BOOLEAN FastIoSectionFind(PFILE_OBJECT FileObject, ULONG MemberOffset, ULONG ReleaseOffset, FastIoPairTarget* Pair)
{
    PDEVICE_OBJECT fileDevice = FileObject->DeviceObject;
    PVPB vpb = fileDevice != nullptr ? fileDevice->Vpb : nullptr;
    if (vpb == nullptr) {
        return FALSE;
    }
    for (PDEVICE_OBJECT device = vpb->DeviceObject; device != nullptr; device = device->AttachedDevice) {
        if (device->DriverObject == FsFilter.DriverObject) {
            BOOLEAN found = ReleaseOffset != 0 ? FastIoPairAcquireFind(device, MemberOffset, ReleaseOffset, Pair)
                                               : FastIoPairServer(device, MemberOffset, 0, &Pair->Acquire, &Pair->Release);
            if (found) {
                return TRUE;
            }
        }
    }
    return FALSE;
}

}  // namespace

BOOLEAN FsFilterIsHostFilterDevice(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject != nullptr && FsFilterIsAcceptedType(DeviceObject->DeviceType) &&
           DeviceObject->DriverObject == FsFilter.DriverObject;
}

PVOID FastIoEnterModuleMember(BOOLEAN Attached, ULONG MemberOffset, BOOLEAN* Linked)
{
    PVOID member = nullptr;
    // Unlinked: nothing to enter, told without GateLock.
    if (!LinkIsLinked()) {
        if (Linked != nullptr) {
            *Linked = FALSE;
        }
        return nullptr;
    }
    GateLockAcquire();
    BOOLEAN linked = ModuleHost.LinkState == LinkStateLinked;
    PFAST_IO_DISPATCH moduleFastIo = ModuleHost.ModuleFastIo;
    if (linked && Attached && moduleFastIo != nullptr) {
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

extern "C" {


// Can a fast read or write of this range go ahead without an IRP.
BOOLEAN HostFastIoCheckIfPossible(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                                  ULONG LockKey, BOOLEAN CheckForReadOperation, PIO_STATUS_BLOCK IoStatus,
                                  PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_CHECK_IF_POSSIBLE>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoCheckIfPossible),
                                                    NotHandled, FileObject, FileOffset, Length, Wait, LockKey,
                                                    CheckForReadOperation, IoStatus);
}

// Read from the cache.
BOOLEAN HostFastIoRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait, ULONG LockKey,
                       PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_READ>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoRead), NotHandled, FileObject,
                                       FileOffset, Length, Wait, LockKey, Buffer, IoStatus);
}

// Write to the cache.
BOOLEAN HostFastIoWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait, ULONG LockKey,
                        PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_WRITE>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoWrite), NotHandled,
                                        FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus);
}

// Basic information (times, attributes) of an open file.
BOOLEAN HostFastIoQueryBasicInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_BASIC_INFORMATION Buffer,
                                 PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_QUERY_BASIC_INFO>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryBasicInfo),
                                                   NotHandled, FileObject, Wait, Buffer, IoStatus);
}

// Standard information (sizes, links) of an open file.
BOOLEAN HostFastIoQueryStandardInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_STANDARD_INFORMATION Buffer,
                                    PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_QUERY_STANDARD_INFO>(DeviceObject,
                                                      FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryStandardInfo),
                                                      NotHandled, FileObject, Wait, Buffer, IoStatus);
}

// Takes a byte-range lock.
BOOLEAN HostFastIoLock(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length, PEPROCESS ProcessId,
                       ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK IoStatus,
                       PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_LOCK>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoLock), NotHandled, FileObject,
                                       FileOffset, Length, ProcessId, Key, FailImmediately, ExclusiveLock, IoStatus);
}

// Releases one byte-range lock.
BOOLEAN HostFastIoUnlockSingle(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                               PEPROCESS ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_UNLOCK_SINGLE>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoUnlockSingle),
                                                NotHandled, FileObject, FileOffset, Length, ProcessId, Key, IoStatus);
}

// Releases a process's byte-range locks on the file.
BOOLEAN HostFastIoUnlockAll(PFILE_OBJECT FileObject, PEPROCESS ProcessId, PIO_STATUS_BLOCK IoStatus,
                            PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_UNLOCK_ALL>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoUnlockAll), NotHandled,
                                             FileObject, ProcessId, IoStatus);
}

// Releases the byte-range locks taken with one key.
BOOLEAN HostFastIoUnlockAllByKey(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus,
                                 PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_UNLOCK_ALL_BY_KEY>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoUnlockAllByKey),
                                                    NotHandled, FileObject, ProcessId, Key, IoStatus);
}

// Device control without an IRP.
BOOLEAN HostFastIoDeviceControl(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer, ULONG InputBufferLength,
                                PVOID OutputBuffer, ULONG OutputBufferLength, ULONG IoControlCode,
                                PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_DEVICE_CONTROL>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDeviceControl),
                                                 NotHandled, FileObject, Wait, InputBuffer, InputBufferLength,
                                                 OutputBuffer, OutputBufferLength, IoControlCode, IoStatus);
}

// Network-open information of an open file.
BOOLEAN HostFastIoQueryNetworkOpenInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_NETWORK_OPEN_INFORMATION Buffer,
                                       PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_QUERY_NETWORK_OPEN_INFO>(DeviceObject,
                                                          FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryNetworkOpenInfo),
                                                          NotHandled, FileObject, Wait, Buffer, IoStatus);
}

// Acquires the file for the modified page writer; its release goes to the same server.
NTSTATUS HostAcquireForModWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER EndingOffset,
                                struct _ERESOURCE** ResourceToRelease, PDEVICE_OBJECT DeviceObject)
{
    FastIoPairTarget pair;
    if (!FastIoPairBegin(DeviceObject, ModWriteAcquire, ModWriteRelease, &pair)) {
        return NotImplemented;
    }
    NTSTATUS status = reinterpret_cast<FAST_IO_ACQUIRE_FOR_MOD_WRITE*>(pair.Acquire.Routine)(
        FileObject, EndingOffset, ResourceToRelease, pair.Acquire.Device);
    FastIoPairAcquireDone(&pair, NT_SUCCESS(status), FileObject, FastIoPairThreadKey());
    return status;
}

// Read handing out the cache pages as an MDL chain; the chain's completion goes to the same server.
BOOLEAN HostMdlRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                    struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    FastIoPairTarget pair;
    if (!FastIoPairBegin(DeviceObject, MdlReadAcquire, MdlReadRelease, &pair)) {
        return NotHandled;
    }
    BOOLEAN handled = reinterpret_cast<FAST_IO_MDL_READ*>(pair.Acquire.Routine)(FileObject, FileOffset, Length, LockKey,
                                                                                 MdlChain, IoStatus, pair.Acquire.Device);
    FastIoPairAcquireDone(&pair, handled, FileObject, handled ? *MdlChain : nullptr);
    return handled;
}

// Gives back the MDL chain of an MDL read.
BOOLEAN HostMdlReadComplete(PFILE_OBJECT FileObject, struct _MDL* MdlChain, PDEVICE_OBJECT DeviceObject)
{
    return FastIoPairRelease<FAST_IO_MDL_READ_COMPLETE>(DeviceObject, MdlReadAcquire, MdlReadRelease, NotHandled,
                                                        FileObject, MdlChain, FileObject, MdlChain);
}

// MDL chain of cache pages for the caller to write into; its completion goes to the same server.
BOOLEAN HostPrepareMdlWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                            struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    FastIoPairTarget pair;
    if (!FastIoPairBegin(DeviceObject, MdlWriteAcquire, MdlWriteRelease, &pair)) {
        return NotHandled;
    }
    BOOLEAN handled = reinterpret_cast<FAST_IO_PREPARE_MDL_WRITE*>(pair.Acquire.Routine)(
        FileObject, FileOffset, Length, LockKey, MdlChain, IoStatus, pair.Acquire.Device);
    FastIoPairAcquireDone(&pair, handled, FileObject, handled ? *MdlChain : nullptr);
    return handled;
}

// Ends an MDL write.
BOOLEAN HostMdlWriteComplete(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, struct _MDL* MdlChain,
                             PDEVICE_OBJECT DeviceObject)
{
    return FastIoPairRelease<FAST_IO_MDL_WRITE_COMPLETE>(DeviceObject, MdlWriteAcquire, MdlWriteRelease, NotHandled,
                                                         FileObject, MdlChain, FileObject, FileOffset, MdlChain);
}

// Read of compressed data.
BOOLEAN HostFastIoReadCompressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                                 PVOID Buffer, struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus,
                                 struct _COMPRESSED_DATA_INFO* CompressedDataInfo, ULONG CompressedDataInfoLength,
                                 PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_READ_COMPRESSED>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoReadCompressed),
                                                  NotHandled, FileObject, FileOffset, Length, LockKey, Buffer, MdlChain,
                                                  IoStatus, CompressedDataInfo, CompressedDataInfoLength);
}

// Write of compressed data.
BOOLEAN HostFastIoWriteCompressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                                  PVOID Buffer, struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus,
                                  struct _COMPRESSED_DATA_INFO* CompressedDataInfo, ULONG CompressedDataInfoLength,
                                  PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_WRITE_COMPRESSED>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoWriteCompressed),
                                                   NotHandled, FileObject, FileOffset, Length, LockKey, Buffer,
                                                   MdlChain, IoStatus, CompressedDataInfo, CompressedDataInfoLength);
}

// Gives back the MDL chain of a compressed MDL read.
BOOLEAN HostMdlReadCompleteCompressed(PFILE_OBJECT FileObject, struct _MDL* MdlChain, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_MDL_READ_COMPLETE_COMPRESSED>(
        DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, MdlReadCompleteCompressed), NotHandled, FileObject, MdlChain);
}

// Ends a compressed MDL write.
BOOLEAN HostMdlWriteCompleteCompressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, struct _MDL* MdlChain,
                                       PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_MDL_WRITE_COMPLETE_COMPRESSED>(
        DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, MdlWriteCompleteCompressed), NotHandled, FileObject, FileOffset,
        MdlChain);
}

// Network-open information of a file by name, without a create. The lower driver receives
// its own device in the IRP's current stack location for the call; the host device is put back after it.
BOOLEAN HostFastIoQueryOpen(PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION NetworkInformation, PDEVICE_OBJECT DeviceObject)
{
    FastIoTarget target;
    if (!FastIoRouteFind(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryOpen), &target)) {
        return FALSE;
    }
    if (target.InDispatchGate) {
        BOOLEAN handled = reinterpret_cast<FAST_IO_QUERY_OPEN*>(target.Routine)(Irp, NetworkInformation, DeviceObject);
        FastIoRouteDone(&target);
        return handled;
    }
    // The lower driver looks for its own device in the create request's stack location.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = target.Device;
    BOOLEAN handled = reinterpret_cast<FAST_IO_QUERY_OPEN*>(target.Routine)(Irp, NetworkInformation, target.Device);
    stack->DeviceObject = DeviceObject;
    return handled;
}

// Releases what AcquireForModWrite took.
NTSTATUS HostReleaseForModWrite(PFILE_OBJECT FileObject, struct _ERESOURCE* ResourceToRelease,
                                PDEVICE_OBJECT DeviceObject)
{
    return FastIoPairRelease<FAST_IO_RELEASE_FOR_MOD_WRITE>(DeviceObject, ModWriteAcquire, ModWriteRelease,
                                                            NotImplemented, FileObject, FastIoPairThreadKey(),
                                                            FileObject, ResourceToRelease);
}

// Acquires the file for a cache flush; its release goes to the same server.
NTSTATUS HostAcquireForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject)
{
    FastIoPairTarget pair;
    if (!FastIoPairBegin(DeviceObject, CcFlushAcquire, CcFlushRelease, &pair)) {
        return NotImplemented;
    }
    NTSTATUS status =
        reinterpret_cast<FAST_IO_ACQUIRE_FOR_CCFLUSH*>(pair.Acquire.Routine)(FileObject, pair.Acquire.Device);
    FastIoPairAcquireDone(&pair, NT_SUCCESS(status), FileObject, FastIoPairThreadKey());
    return status;
}

// Releases what AcquireForCcFlush took.
NTSTATUS HostReleaseForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject)
{
    return FastIoPairRelease<FAST_IO_RELEASE_FOR_CCFLUSH>(DeviceObject, CcFlushAcquire, CcFlushRelease, NotImplemented,
                                                          FileObject, FastIoPairThreadKey(), FileObject);
}

// Acquires the file's resources before a section is created for it: at the first host device
// above the volume whose pair has a server, the module's members while linked when it has both,
// else the lower driver's. The release goes to the same server. At most one routine is called.
void HostAcquireFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    FastIoPairTarget pair;
    if (!FastIoSectionFind(FileObject, SectionAcquire, SectionRelease, &pair)) {
        return;
    }
    // Nothing can be refused here: with no record free the release follows the rule.
    reinterpret_cast<FAST_IO_ACQUIRE_FILE*>(pair.Acquire.Routine)(FileObject);
    FastIoPairAcquireDone(&pair, TRUE, FileObject, PsGetCurrentThreadId());
}

// Releases what HostAcquireFileForNtCreateSection acquired, through whoever acquired it; with no
// record of it, through the first host device above the volume whose release has a server.
void HostReleaseFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    FastIoTarget target;
    if (!FastIoPairReleaseFind(SectionAcquire, FileObject, PsGetCurrentThreadId(), &target)) {
        FastIoPairTarget pair;
        if (!FastIoSectionFind(FileObject, SectionRelease, 0, &pair)) {
            return;
        }
        target = pair.Acquire;
    }
    if (target.Routine != nullptr) {
        reinterpret_cast<FAST_IO_RELEASE_FILE*>(target.Routine)(FileObject);
    }
    FastIoRouteDone(&target);
}

}  // extern "C"

// Every member set, in the order of the x64 layout.
const FAST_IO_DISPATCH HostFastIoDispatch = {
    sizeof(FAST_IO_DISPATCH),
    HostFastIoCheckIfPossible,
    HostFastIoRead,
    HostFastIoWrite,
    HostFastIoQueryBasicInfo,
    HostFastIoQueryStandardInfo,
    HostFastIoLock,
    HostFastIoUnlockSingle,
    HostFastIoUnlockAll,
    HostFastIoUnlockAllByKey,
    HostFastIoDeviceControl,
    HostAcquireFileForNtCreateSection,
    HostReleaseFileForNtCreateSection,
    HostFastIoDetachDevice,
    HostFastIoQueryNetworkOpenInfo,
    HostAcquireForModWrite,
    HostMdlRead,
    HostMdlReadComplete,
    HostPrepareMdlWrite,
    HostMdlWriteComplete,
    HostFastIoReadCompressed,
    HostFastIoWriteCompressed,
    HostMdlReadCompleteCompressed,
    HostMdlWriteCompleteCompressed,
    HostFastIoQueryOpen,
    HostReleaseForModWrite,
    HostAcquireForCcFlush,
    HostReleaseForCcFlush,
};
static_assert(sizeof(FAST_IO_DISPATCH) == 224, "the x64 table: a size word and 27 members");
