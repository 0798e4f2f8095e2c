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
    auto* open = static_cast<OpenFile*>(file->FsContext2);
    std::lock_guard<std::mutex> hold(State().lock);
    for (auto& fs : State().fileSystems) {
        std::lock_guard<std::mutex> fsHold(fs->lock);
        if (fs->opens.count(open) != 0) {
            return fs.get();
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
    std::lock_guard<std::mutex> hold(context.fs->lock);
    CountFastIoLocked(context.fs, FastIoCall{member, device, file, stackDevice});
    context.declines = context.fs->fastIoDeclines;
    if (file != nullptr) {
        auto* open = static_cast<OpenFile*>(file->FsContext2);
        if (context.fs->opens.count(open) != 0) {
            context.open = open;
            context.dismounted = open->volume != nullptr && open->volume->dismounted;
        }
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

BOOLEAN NTAPI CheckIfPossible(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                              ULONG LockKey, BOOLEAN CheckForReadOperation, PIO_STATUS_BLOCK IoStatus,
                              PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(FileOffset);
    UNREFERENCED_PARAMETER(Length);
    UNREFERENCED_PARAMETER(Wait);
    UNREFERENCED_PARAMETER(LockKey);
    UNREFERENCED_PARAMETER(CheckForReadOperation);
    CallContext context = Enter(FastIoMember::CheckIfPossible, DeviceObject, FileObject);
    bool possible = context.open != nullptr && context.open->node != nullptr && !context.dismounted;
    return possible ? Succeed(IoStatus) : FALSE;
}

BOOLEAN Transfer(FastIoMember member, PFILE_OBJECT file, PLARGE_INTEGER offset, ULONG length, PVOID buffer,
                 PIO_STATUS_BLOCK ioStatus, PDEVICE_OBJECT device)
{
    CallContext context = Enter(member, device, file);
    if (!ServesData(context)) {
        return FALSE;
    }
    ULONG_PTR done = 0;
    OpenFile* open = context.open;
    NTSTATUS status = member == FastIoMember::Write
                          ? WriteNode(open->medium, open->node, offset->QuadPart, buffer, length, &done)
                          : ReadNode(open->medium, open->node, offset->QuadPart, buffer, length, &done);
    if (NT_SUCCESS(status) && (file->Flags & FO_SYNCHRONOUS_IO) != 0) {
        file->CurrentByteOffset.QuadPart = offset->QuadPart + static_cast<LONGLONG>(done);
    }
    ioStatus->Status = status;
    ioStatus->Information = done;
    return TRUE;
}

BOOLEAN NTAPI Read(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait, ULONG LockKey,
                   PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(Wait);
    UNREFERENCED_PARAMETER(LockKey);
    return Transfer(FastIoMember::Read, FileObject, FileOffset, Length, Buffer, IoStatus, DeviceObject);
}

BOOLEAN NTAPI Write(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait, ULONG LockKey,
                    PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(Wait);
    UNREFERENCED_PARAMETER(LockKey);
    return Transfer(FastIoMember::Write, FileObject, FileOffset, Length, Buffer, IoStatus, DeviceObject);
}

BOOLEAN NTAPI QueryBasicInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_BASIC_INFORMATION Buffer,
                             PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(Wait);
    CallContext context = Enter(FastIoMember::QueryBasicInfo, DeviceObject, FileObject);
    if (!ServesData(context)) {
        return FALSE;
    }
    QueryBasic(context.open->medium, context.open->node, Buffer);
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = sizeof(FILE_BASIC_INFORMATION);
    return TRUE;
}

BOOLEAN NTAPI QueryStandardInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_STANDARD_INFORMATION Buffer,
                                PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(Wait);
    CallContext context = Enter(FastIoMember::QueryStandardInfo, DeviceObject, FileObject);
    if (!ServesData(context)) {
        return FALSE;
    }
    QueryStandard(context.open->medium, context.open->node, Buffer);
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = sizeof(FILE_STANDARD_INFORMATION);
    return TRUE;
}

BOOLEAN NTAPI QueryNetworkOpenInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_NETWORK_OPEN_INFORMATION Buffer,
                                   PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(Wait);
    CallContext context = Enter(FastIoMember::QueryNetworkOpenInfo, DeviceObject, FileObject);
    if (!ServesData(context)) {
        return FALSE;
    }
    QueryNetworkOpen(context.open->medium, context.open->node, Buffer);
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = sizeof(FILE_NETWORK_OPEN_INFORMATION);
    return TRUE;
}

BOOLEAN NTAPI Lock(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length, PEPROCESS ProcessId,
                   ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK IoStatus,
                   PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(FileOffset);
    UNREFERENCED_PARAMETER(Length);
    UNREFERENCED_PARAMETER(ProcessId);
    UNREFERENCED_PARAMETER(Key);
    UNREFERENCED_PARAMETER(FailImmediately);
    UNREFERENCED_PARAMETER(ExclusiveLock);
    Enter(FastIoMember::Lock, DeviceObject, FileObject);
    return Succeed(IoStatus);
}

BOOLEAN NTAPI UnlockSingle(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                           PEPROCESS ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(FileOffset);
    UNREFERENCED_PARAMETER(Length);
    UNREFERENCED_PARAMETER(ProcessId);
    UNREFERENCED_PARAMETER(Key);
    Enter(FastIoMember::UnlockSingle, DeviceObject, FileObject);
    return Succeed(IoStatus);
}

BOOLEAN NTAPI UnlockAll(PFILE_OBJECT FileObject, PEPROCESS ProcessId, PIO_STATUS_BLOCK IoStatus,
                        PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(ProcessId);
    Enter(FastIoMember::UnlockAll, DeviceObject, FileObject);
    return Succeed(IoStatus);
}

BOOLEAN NTAPI UnlockAllByKey(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus,
                             PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(ProcessId);
    UNREFERENCED_PARAMETER(Key);
    Enter(FastIoMember::UnlockAllByKey, DeviceObject, FileObject);
    return Succeed(IoStatus);
}

BOOLEAN NTAPI DeviceControl(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer, ULONG InputBufferLength,
                            PVOID OutputBuffer, ULONG OutputBufferLength, ULONG IoControlCode,
                            PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(Wait);
    UNREFERENCED_PARAMETER(InputBuffer);
    UNREFERENCED_PARAMETER(InputBufferLength);
    UNREFERENCED_PARAMETER(OutputBuffer);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(IoControlCode);
    UNREFERENCED_PARAMETER(IoStatus);
    Enter(FastIoMember::DeviceControl, DeviceObject, FileObject);
    return FALSE;
}

void NTAPI AcquireFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    Enter(FastIoMember::AcquireFileForNtCreateSection, nullptr, FileObject);
}

void NTAPI ReleaseFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    Enter(FastIoMember::ReleaseFileForNtCreateSection, nullptr, FileObject);
}

NTSTATUS NTAPI AcquireForModWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER EndingOffset,
                                  struct _ERESOURCE** ResourceToRelease, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(EndingOffset);
    Enter(FastIoMember::AcquireForModWrite, DeviceObject, FileObject);
    *ResourceToRelease = nullptr;
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI MdlRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                      struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(FileOffset);
    UNREFERENCED_PARAMETER(Length);
    UNREFERENCED_PARAMETER(LockKey);
    UNREFERENCED_PARAMETER(MdlChain);
    UNREFERENCED_PARAMETER(IoStatus);
    Enter(FastIoMember::MdlRead, DeviceObject, FileObject);
    return FALSE;
}

BOOLEAN NTAPI MdlReadComplete(PFILE_OBJECT FileObject, struct _MDL* MdlChain, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(MdlChain);
    Enter(FastIoMember::MdlReadComplete, DeviceObject, FileObject);
    return FALSE;
}

BOOLEAN NTAPI PrepareMdlWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                              struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(FileOffset);
    UNREFERENCED_PARAMETER(Length);
    UNREFERENCED_PARAMETER(LockKey);
    UNREFERENCED_PARAMETER(MdlChain);
    UNREFERENCED_PARAMETER(IoStatus);
    Enter(FastIoMember::PrepareMdlWrite, DeviceObject, FileObject);
    return FALSE;
}

BOOLEAN NTAPI MdlWriteComplete(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, struct _MDL* MdlChain,
                               PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(FileOffset);
    UNREFERENCED_PARAMETER(MdlChain);
    Enter(FastIoMember::MdlWriteComplete, DeviceObject, FileObject);
    return FALSE;
}

BOOLEAN NTAPI ReadCompressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                             PVOID Buffer, struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus,
                             struct _COMPRESSED_DATA_INFO* CompressedDataInfo, ULONG CompressedDataInfoLength,
                             PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(FileOffset);
    UNREFERENCED_PARAMETER(Length);
    UNREFERENCED_PARAMETER(LockKey);
    UNREFERENCED_PARAMETER(Buffer);
    UNREFERENCED_PARAMETER(MdlChain);
    UNREFERENCED_PARAMETER(IoStatus);
    UNREFERENCED_PARAMETER(CompressedDataInfo);
    UNREFERENCED_PARAMETER(CompressedDataInfoLength);
    Enter(FastIoMember::ReadCompressed, DeviceObject, FileObject);
    return FALSE;
}

BOOLEAN NTAPI WriteCompressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, ULONG LockKey,
                              PVOID Buffer, struct _MDL** MdlChain, PIO_STATUS_BLOCK IoStatus,
                              struct _COMPRESSED_DATA_INFO* CompressedDataInfo, ULONG CompressedDataInfoLength,
                              PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(FileOffset);
    UNREFERENCED_PARAMETER(Length);
    UNREFERENCED_PARAMETER(LockKey);
    UNREFERENCED_PARAMETER(Buffer);
    UNREFERENCED_PARAMETER(MdlChain);
    UNREFERENCED_PARAMETER(IoStatus);
    UNREFERENCED_PARAMETER(CompressedDataInfo);
    UNREFERENCED_PARAMETER(CompressedDataInfoLength);
    Enter(FastIoMember::WriteCompressed, DeviceObject, FileObject);
    return FALSE;
}

BOOLEAN NTAPI MdlReadCompleteCompressed(PFILE_OBJECT FileObject, struct _MDL* MdlChain, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(MdlChain);
    Enter(FastIoMember::MdlReadCompleteCompressed, DeviceObject, FileObject);
    return FALSE;
}

BOOLEAN NTAPI MdlWriteCompleteCompressed(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, struct _MDL* MdlChain,
                                         PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(FileOffset);
    UNREFERENCED_PARAMETER(MdlChain);
    Enter(FastIoMember::MdlWriteCompleteCompressed, DeviceObject, FileObject);
    return FALSE;
}

// The medium a query-open on `device` concerns and the path on it, or null.
Medium* MediumForName(FileSystem* fs, PDEVICE_OBJECT device, std::u16string* path)
{
    if (!IsControlDevice(fs, device)) {
        Volume* volume = static_cast<VolumeExtension*>(device->DeviceExtension)->volume;
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

NTSTATUS NTAPI ReleaseForModWrite(PFILE_OBJECT FileObject, struct _ERESOURCE* ResourceToRelease,
                                  PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(ResourceToRelease);
    Enter(FastIoMember::ReleaseForModWrite, DeviceObject, FileObject);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AcquireForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject)
{
    Enter(FastIoMember::AcquireForCcFlush, DeviceObject, FileObject);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ReleaseForCcFlush(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject)
{
    Enter(FastIoMember::ReleaseForCcFlush, DeviceObject, FileObject);
    return STATUS_SUCCESS;
}

const FAST_IO_DISPATCH FullTable = {
    sizeof(FAST_IO_DISPATCH),
    CheckIfPossible,
    Read,
    Write,
    QueryBasicInfo,
    QueryStandardInfo,
    Lock,
    UnlockSingle,
    UnlockAll,
    UnlockAllByKey,
    DeviceControl,
    AcquireFileForNtCreateSection,
    ReleaseFileForNtCreateSection,
    nullptr,  // FastIoDetachDevice: filters have one, file systems do not
    QueryNetworkOpenInfo,
    AcquireForModWrite,
    MdlRead,
    MdlReadComplete,
    PrepareMdlWrite,
    MdlWriteComplete,
    ReadCompressed,
    WriteCompressed,
    MdlReadCompleteCompressed,
    MdlWriteCompleteCompressed,
    QueryOpen,
    ReleaseForModWrite,
    AcquireForCcFlush,
    ReleaseForCcFlush,
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
