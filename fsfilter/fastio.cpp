// The fast I/O entries that follow the forwarding rule, and HostFastIoDispatch itself. Every entry
// passes its arguments on unchanged except DeviceObject: the module receives the host device, the
// lower driver its own device. The NtCreateSection pair and FastIoDetachDevice live in their own
// files.
#include "fsfilter/fastio.h"

#include "fsfilter/fastioroute.h"

namespace {

// What an entry returns when nobody serves the call: the caller then uses an IRP.
constexpr BOOLEAN NotHandled = FALSE;
constexpr NTSTATUS NotImplemented = STATUS_NOT_IMPLEMENTED;

// The acquire/release pairs of the table (fastioroute.h).
constexpr ULONG ModWriteAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, AcquireForModWrite);
constexpr ULONG ModWriteRelease = FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseForModWrite);
constexpr ULONG CcFlushAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, AcquireForCcFlush);
constexpr ULONG CcFlushRelease = FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseForCcFlush);
constexpr ULONG MdlReadAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, MdlRead);
constexpr ULONG MdlReadRelease = FIELD_OFFSET(FAST_IO_DISPATCH, MdlReadComplete);
constexpr ULONG MdlWriteAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, PrepareMdlWrite);
constexpr ULONG MdlWriteRelease = FIELD_OFFSET(FAST_IO_DISPATCH, MdlWriteComplete);

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

}  // namespace

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
