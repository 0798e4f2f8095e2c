// The fast I/O table of the model's file systems. Every member a file system has is here (a file
// system has no FastIoDetachDevice: that one is for filters); each counts its call with the
// device and file it was given. Read, Write, the three queries and QueryOpen serve the request
// from the file store unless the file system declines fast I/O; the lock members succeed; the
// acquire and release members succeed without holding anything; the MDL and compressed members
// and FastIoDeviceControl answer FALSE (the model has no MDLs), so that an IRP follows.
#include <cstdlib>
#include <cstring>

#include "fs/model_fs.h"

namespace km::fs {

namespace {

constexpr char16_t Separator = u'\\';

// A fast I/O call as the file system sees it: the open (null when the file is not one of its
// opens) and whether it declines to serve data.
struct CallContext {
    FileSystem* fs = nullptr;
    OpenFile* open = nullptr;
    bool declines = false;
    bool dismounted = false;
};

FileSystem* FileSystemOfFile(PFILE_OBJECT file)
{
    if (file == nullptr) {
        return nullptr;
    }
    std::vector<FileSystem*> fileSystems;
    {
        std::lock_guard<std::mutex> hold(State().lock);
        for (auto& fs : State().fileSystems) {
            fileSystems.push_back(fs.get());
        }
    }
    for (FileSystem* fs : fileSystems) {
        bool dismounted;
        if (LiveOpen(fs, nullptr, file->FsContext2, &dismounted) != nullptr) {
            return fs;
        }
    }
    return nullptr;
}

// Counts the call and finds what it concerns.
CallContext Enter(FastIoMember member, PDEVICE_OBJECT device, PFILE_OBJECT file, PDEVICE_OBJECT stackDevice = nullptr)
{
    CallContext context;
    context.fs = device != nullptr ? FileSystemOfDriver(device->DriverObject) : FileSystemOfFile(file);
    if (context.fs == nullptr) {
        return context;
    }
    {
        std::lock_guard<std::mutex> hold(context.fs->lock);
        CountFastIoLocked(context.fs, FastIoCall{member, device, file, stackDevice});
        context.declines = context.fs->fastIoDeclines;
    }
    if (file != nullptr) {
        context.open = LiveOpen(context.fs, VolumeOfDevice(context.fs, device), file->FsContext2, &context.dismounted);
    }
    return context;
}

// Whether the call may serve file data.
bool ServesData(const CallContext& context)
{
    return context.open != nullptr && context.open->node != nullptr && !context.declines && !context.dismounted;
}

BOOLEAN Succeed(PIO_STATUS_BLOCK ioStatus)
{
    ioStatus->Status = STATUS_SUCCESS;
    ioStatus->Information = 0;
    return TRUE;
}

BOOLEAN NTAPI CheckIfPossible(PFILE_OBJECT FileObject, PLARGE_INTEGER /*FileOffset*/, ULONG /*Length*/,
                              BOOLEAN /*Wait*/, ULONG /*LockKey*/, BOOLEAN /*CheckForReadOperation*/,
                              PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    CallContext context = Enter(FastIoMember::CheckIfPossible, DeviceObject, FileObject);
    bool possible = context.open != nullptr && context.open->node != nullptr && !context.dismounted;
    return possible ? Succeed(IoStatus) : FALSE;
}

// FastIoRead and FastIoWrite: served from the file store unless the file system declines.
template <FastIoMember member>
BOOLEAN NTAPI Transfer(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN /*Wait*/,
                       ULONG /*LockKey*/, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    CallContext context = Enter(member, DeviceObject, FileObject);
    if (!ServesData(context)) {
        return FALSE;
    }
    ULONG_PTR done = 0;
    OpenFile* open = context.open;
    NTSTATUS status = member == FastIoMember::Write
                          ? WriteNode(open->medium, open->node, FileOffset->QuadPart, Buffer, Length, &done)
                          : ReadNode(open->medium, open->node, FileOffset->QuadPart, Buffer, Length, &done);
    if (NT_SUCCESS(status) && (FileObject->Flags & FO_SYNCHRONOUS_IO) != 0) {
        FileObject->CurrentByteOffset.QuadPart = FileOffset->QuadPart + static_cast<LONGLONG>(done);
    }
    IoStatus->Status = status;
    IoStatus->Information = done;
    return TRUE;
}

// The three information queries: `query` fills `Buffer` from the file store unless the file
// system declines.
template <FastIoMember member, typename Information, void (*query)(Medium*, FileNode*, Information*)>
BOOLEAN NTAPI QueryInfo(PFILE_OBJECT FileObject, BOOLEAN /*Wait*/, Information* Buffer, PIO_STATUS_BLOCK IoStatus,
                        PDEVICE_OBJECT DeviceObject)
{
    CallContext context = Enter(member, DeviceObject, FileObject);
    if (!ServesData(context)) {
        return FALSE;
    }
    query(context.open->medium, context.open->node, Buffer);
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = sizeof(Information);
    return TRUE;
}

BOOLEAN NTAPI Lock(PFILE_OBJECT FileObject, PLARGE_INTEGER /*FileOffset*/, PLARGE_INTEGER /*Length*/,
                   PEPROCESS /*ProcessId*/, ULONG /*Key*/, BOOLEAN /*FailImmediately*/, BOOLEAN /*ExclusiveLock*/,
                   PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    Enter(FastIoMember::Lock, DeviceObject, FileObject);
    return Succeed(IoStatus);
}

BOOLEAN NTAPI UnlockSingle(PFILE_OBJECT FileObject, PLARGE_INTEGER /*FileOffset*/, PLARGE_INTEGER /*Length*/,
                           PEPROCESS /*ProcessId*/, ULONG /*Key*/, PIO_STATUS_BLOCK IoStatus,
                           PDEVICE_OBJECT DeviceObject)
{
    Enter(FastIoMember::UnlockSingle, DeviceObject, FileObject);
    return Succeed(IoStatus);
}

BOOLEAN NTAPI UnlockAll(PFILE_OBJECT FileObject, PEPROCESS /*ProcessId*/, PIO_STATUS_BLOCK IoStatus,
                        PDEVICE_OBJECT DeviceObject)
{
    Enter(FastIoMember::UnlockAll, DeviceObject, FileObject);
    return Succeed(IoStatus);
}

BOOLEAN NTAPI UnlockAllByKey(PFILE_OBJECT FileObject, PVOID /*ProcessId*/, ULONG /*Key*/, PIO_STATUS_BLOCK IoStatus,
                             PDEVICE_OBJECT DeviceObject)
{
    Enter(FastIoMember::UnlockAllByKey, DeviceObject, FileObject);
    return Succeed(IoStatus);
}

BOOLEAN NTAPI DeviceControl(PFILE_OBJECT FileObject, BOOLEAN /*Wait*/, PVOID /*InputBuffer*/,
                            ULONG /*InputBufferLength*/, PVOID /*OutputBuffer*/, ULONG /*OutputBufferLength*/,
                            ULONG /*IoControlCode*/, PIO_STATUS_BLOCK /*IoStatus*/, PDEVICE_OBJECT DeviceObject)
{
    Enter(FastIoMember::DeviceControl, DeviceObject, FileObject);
    return FALSE;
}

// The NtCreateSection pair: counted, nothing held.
template <FastIoMember member>
void NTAPI ForNtCreateSection(PFILE_OBJECT FileObject)
{
    Enter(member, nullptr, FileObject);
}

NTSTATUS NTAPI AcquireForModWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER /*EndingOffset*/,
                                  struct _ERESOURCE** ResourceToRelease, PDEVICE_OBJECT DeviceObject)
{
    Enter(FastIoMember::AcquireForModWrite, DeviceObject, FileObject);
    *ResourceToRelease = nullptr;
    return STATUS_SUCCESS;
}

// The MDL and compressed members: counted, and FALSE, so that an IRP follows.
template <FastIoMember member>
BOOLEAN NTAPI MdlTransfer(PFILE_OBJECT FileObject, PLARGE_INTEGER /*FileOffset*/, ULONG /*Length*/,
                          ULONG /*LockKey*/, struct _MDL** /*MdlChain*/, PIO_STATUS_BLOCK /*IoStatus*/,
                          PDEVICE_OBJECT DeviceObject)
{
    Enter(member, DeviceObject, FileObject);
    return FALSE;
}

template <FastIoMember member>
BOOLEAN NTAPI MdlReadDone(PFILE_OBJECT FileObject, struct _MDL* /*MdlChain*/, PDEVICE_OBJECT DeviceObject)
{
    Enter(member, DeviceObject, FileObject);
    return FALSE;
}

template <FastIoMember member>
BOOLEAN NTAPI MdlWriteDone(PFILE_OBJECT FileObject, PLARGE_INTEGER /*FileOffset*/, struct _MDL* /*MdlChain*/,
                           PDEVICE_OBJECT DeviceObject)
{
    Enter(member, DeviceObject, FileObject);
    return FALSE;
}

template <FastIoMember member>
BOOLEAN NTAPI Compressed(PFILE_OBJECT FileObject, PLARGE_INTEGER /*FileOffset*/, ULONG /*Length*/,
                         ULONG /*LockKey*/, PVOID /*Buffer*/, struct _MDL** /*MdlChain*/,
                         PIO_STATUS_BLOCK /*IoStatus*/, struct _COMPRESSED_DATA_INFO* /*CompressedDataInfo*/,
                         ULONG /*CompressedDataInfoLength*/, PDEVICE_OBJECT DeviceObject)
{
    Enter(member, DeviceObject, FileObject);
    return FALSE;
}

// The medium a query-open on `device` concerns and the path on it, or null.
Medium* MediumForName(FileSystem* fs, PDEVICE_OBJECT device, std::u16string* path)
{
    if (!IsControlDevice(fs, device)) {
        Volume* volume = VolumeOfDevice(fs, device);
        return volume != nullptr ? volume->medium : nullptr;
    }
    if (fs->options.type != FileSystemType::Network || fs->recognizer) {
        return nullptr;
    }
    size_t server = path->find(Separator, 1);
    size_t share = server == std::u16string::npos ? std::u16string::npos : path->find(Separator, server + 1);
    if (share == std::u16string::npos) {
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(fs->lock);
    auto found = fs->shares.find(Upcased(path->substr(0, share)));
    *path = path->substr(share);
    return found == fs->shares.end() ? nullptr : found->second.get();
}

BOOLEAN NTAPI QueryOpen(PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION NetworkInformation, PDEVICE_OBJECT DeviceObject)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT file = stack->FileObject;
    CallContext context = Enter(FastIoMember::QueryOpen, DeviceObject, file, stack->DeviceObject);
    if (context.fs == nullptr || context.declines || file == nullptr) {
        return FALSE;
    }
    std::u16string path(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
    Medium* medium = path.empty() ? nullptr : MediumForName(context.fs, DeviceObject, &path);
    FileNode* node = medium != nullptr ? FindInMedium(medium, path) : nullptr;
    if (node == nullptr) {
        return FALSE;
    }
    QueryNetworkOpen(medium, node, NetworkInformation);
    return TRUE;
}

NTSTATUS NTAPI ReleaseForModWrite(PFILE_OBJECT FileObject, struct _ERESOURCE* /*ResourceToRelease*/,
                                  PDEVICE_OBJECT DeviceObject)
{
    Enter(FastIoMember::ReleaseForModWrite, DeviceObject, FileObject);
    return STATUS_SUCCESS;
}

// The Cc flush pair: counted, nothing held.
template <FastIoMember member>
NTSTATUS NTAPI ForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject)
{
    Enter(member, DeviceObject, FileObject);
    return STATUS_SUCCESS;
}

const FAST_IO_DISPATCH FullTable = {
    sizeof(FAST_IO_DISPATCH),
    CheckIfPossible,
    Transfer<FastIoMember::Read>,
    Transfer<FastIoMember::Write>,
    QueryInfo<FastIoMember::QueryBasicInfo, FILE_BASIC_INFORMATION, QueryBasic>,
    QueryInfo<FastIoMember::QueryStandardInfo, FILE_STANDARD_INFORMATION, QueryStandard>,
    Lock,
    UnlockSingle,
    UnlockAll,
    UnlockAllByKey,
    DeviceControl,
    ForNtCreateSection<FastIoMember::AcquireFileForNtCreateSection>,
    ForNtCreateSection<FastIoMember::ReleaseFileForNtCreateSection>,
    nullptr,  // FastIoDetachDevice: filters have one, file systems do not
    QueryInfo<FastIoMember::QueryNetworkOpenInfo, FILE_NETWORK_OPEN_INFORMATION, QueryNetworkOpen>,
    AcquireForModWrite,
    MdlTransfer<FastIoMember::MdlRead>,
    MdlReadDone<FastIoMember::MdlReadComplete>,
    MdlTransfer<FastIoMember::PrepareMdlWrite>,
    MdlWriteDone<FastIoMember::MdlWriteComplete>,
    Compressed<FastIoMember::ReadCompressed>,
    Compressed<FastIoMember::WriteCompressed>,
    MdlReadDone<FastIoMember::MdlReadCompleteCompressed>,
    MdlWriteDone<FastIoMember::MdlWriteCompleteCompressed>,
    QueryOpen,
    ReleaseForModWrite,
    ForCcFlush<FastIoMember::AcquireForCcFlush>,
    ForCcFlush<FastIoMember::ReleaseForCcFlush>,
};

constexpr size_t MemberSize = sizeof(void*);
}  // namespace

void CountFastIoLocked(FileSystem* fs, const FastIoCall& call)
{
    fs->calls.fastIo[static_cast<unsigned>(call.member)]++;
    if (fs->calls.fastIoCalls.size() < FastIoCallLogLimit) {
        fs->calls.fastIoCalls.push_back(call);
    }
}

void* BuildFastIoTable(const FileSystemOptions& options)
{
    if (options.fastIo == FastIoTableKind::Missing) {
        return nullptr;
    }
    FAST_IO_DISPATCH table = FullTable;
    for (unsigned k = 1; k <= FastIoMemberCount; ++k) {
        if ((options.omittedMembers & FastIoMemberBit(static_cast<FastIoMember>(k))) != 0) {
            memset(reinterpret_cast<char*>(&table) + FastIoMemberOffset(static_cast<FastIoMember>(k)), 0, MemberSize);
        }
    }
    if (options.fastIo == FastIoTableKind::Short) {
        // The members past the size stay in the table: a caller that ignores the size calls them,
        // and its call shows in the counts.
        table.SizeOfFastIoDispatch = options.shortTableSize;
    }
    void* memory = malloc(sizeof table);
    memcpy(memory, &table, sizeof table);
    return memory;
}

}  // namespace km::fs
