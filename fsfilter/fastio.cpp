// Fast I/O: HostFastIoDispatch, the host driver's fast I/O table, and its forwarding. Each entry
// hands the call to the member of the same name in the filter module's table through the
// DispatchGate while the module is linked, else to the member of the driver below the host device,
// else returns the not-handled result. Every entry passes its arguments on unchanged except
// DeviceObject: the module receives the host device, the lower driver its own device. The
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

// The routine pointer stored at a byte offset of a fast I/O table.
PVOID FastIoMemberAt(const FAST_IO_DISPATCH* Table, ULONG MemberOffset)
{
    PVOID member = nullptr;
    RtlCopyMemory(&member, reinterpret_cast<const UCHAR*>(Table) + MemberOffset, sizeof(member));
    return member;
}

// The member at MemberOffset of the fast I/O table of Lower's driver, when the table is long
// enough to hold it (SizeOfFastIoDispatch greater than the offset); null otherwise or when Lower
// is null. Read without a lock.
PVOID FastIoLowerMember(PDEVICE_OBJECT Lower, ULONG MemberOffset)
{
    if (Lower == nullptr) {
        return nullptr;
    }
    const FAST_IO_DISPATCH* lowerFastIo = Lower->DriverObject->FastIoDispatch;
    if (lowerFastIo == nullptr || lowerFastIo->SizeOfFastIoDispatch <= MemberOffset) {
        return nullptr;
    }
    return FastIoMemberAt(lowerFastIo, MemberOffset);
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

// Calls the member at MemberOffset (AcquireFileForNtCreateSection or ReleaseFileForNtCreateSection)
// for the file, at most once. At each host device above the volume device: while the module is
// linked, the module's member if it has one (the lower driver is not tried then); otherwise the
// lower driver's member. Devices where neither applies are passed over; no device-type test.
void FastIoSectionCall(PFILE_OBJECT FileObject, ULONG MemberOffset)
{
    PDEVICE_OBJECT fileDevice = FileObject->DeviceObject;
    PVPB vpb = fileDevice != nullptr ? fileDevice->Vpb : nullptr;
    if (vpb == nullptr) {
        return;
    }
    for (PDEVICE_OBJECT device = vpb->DeviceObject; device != nullptr; device = device->AttachedDevice) {
        if (device->DriverObject != FsFilter.DriverObject) {
            continue;
        }
        PDEVICE_OBJECT lower = LowerDeviceOf(device);
        BOOLEAN linked = FALSE;
        PVOID member = FastIoEnterModuleMember(lower, MemberOffset, &linked);
        if (member != nullptr) {
            reinterpret_cast<FAST_IO_ACQUIRE_FILE*>(member)(FileObject);
            LeaveGate(&DispatchGate);
            return;
        }
        if (linked) {
            continue;
        }
        member = FastIoLowerMember(lower, MemberOffset);
        if (member != nullptr) {
            reinterpret_cast<FAST_IO_ACQUIRE_FILE*>(member)(FileObject);
            return;
        }
    }
}

}  // namespace

BOOLEAN FsFilterIsHostFilterDevice(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject != nullptr && FsFilterIsAcceptedType(DeviceObject->DeviceType) &&
           DeviceObject->DriverObject == FsFilter.DriverObject;
}

PVOID FastIoEnterModuleMember(PDEVICE_OBJECT Lower, ULONG MemberOffset, BOOLEAN* Linked)
{
    PVOID member = nullptr;
    GateLockAcquire();
    BOOLEAN linked = ModuleHost.LinkState == LinkStateLinked;
    PFAST_IO_DISPATCH moduleFastIo = ModuleHost.ModuleFastIo;
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

// Acquires the file for the modified page writer.
NTSTATUS HostAcquireForModWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER EndingOffset,
                                struct _ERESOURCE** ResourceToRelease, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_ACQUIRE_FOR_MOD_WRITE>(DeviceObject,
                                                        FIELD_OFFSET(FAST_IO_DISPATCH, AcquireForModWrite),
                                                        NotImplemented, FileObject, EndingOffset, ResourceToRelease);
}

// Read handing out the cache pages as an MDL chain.
BOOLEAN HostMdlRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                    struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_MDL_READ>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, MdlRead), NotHandled,
                                           FileObject, FileOffset, Length, LockKey, MdlChain, IoStatus);
}

// Gives back the MDL chain of an MDL read.
BOOLEAN HostMdlReadComplete(PFILE_OBJECT FileObject, struct _MDL* MdlChain, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_MDL_READ_COMPLETE>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, MdlReadComplete),
                                                    NotHandled, FileObject, MdlChain);
}

// MDL chain of cache pages for the caller to write into.
BOOLEAN HostPrepareMdlWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                            struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_PREPARE_MDL_WRITE>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, PrepareMdlWrite),
                                                    NotHandled, FileObject, FileOffset, Length, LockKey, MdlChain,
                                                    IoStatus);
}

// Ends an MDL write.
BOOLEAN HostMdlWriteComplete(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, struct _MDL* MdlChain,
                             PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_MDL_WRITE_COMPLETE>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, MdlWriteComplete),
                                                     NotHandled, FileObject, FileOffset, MdlChain);
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
    return FastIoForward<FAST_IO_RELEASE_FOR_MOD_WRITE>(DeviceObject,
                                                        FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseForModWrite),
                                                        NotImplemented, FileObject, ResourceToRelease);
}

// Acquires the file for a cache flush.
NTSTATUS HostAcquireForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_ACQUIRE_FOR_CCFLUSH>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, AcquireForCcFlush),
                                                      NotImplemented, FileObject);
}

// Releases what AcquireForCcFlush took.
NTSTATUS HostReleaseForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject)
{
    return FastIoForward<FAST_IO_RELEASE_FOR_CCFLUSH>(DeviceObject, FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseForCcFlush),
                                                      NotImplemented, FileObject);
}

// Acquires the file's resources before a section is created for it.
void HostAcquireFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    FastIoSectionCall(FileObject, FIELD_OFFSET(FAST_IO_DISPATCH, AcquireFileForNtCreateSection));
}

// Releases what HostAcquireFileForNtCreateSection acquired.
void HostReleaseFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    FastIoSectionCall(FileObject, FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseFileForNtCreateSection));
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
