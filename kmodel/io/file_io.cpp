// Reading, writing and querying files: NtReadFile, NtWriteFile and NtQueryInformationFile with
// their Zw forms. As the I/O manager does for a synchronous file, the top device's driver is first
// offered the request through its fast I/O member (only when the driver has a table whose
// SizeOfFastIoDispatch reaches past the member, and the member is set); when the member is absent
// or answers FALSE, an IRP goes to the top of the stack. Every request here is synchronous.
#include <cstring>

#include "internal/ps.h"
#include "io/file_systems.h"
#include "kmodel/fs_model.h"

namespace km::io {

namespace {

constexpr ULONG FilePointerHighPart = 0xFFFFFFFF;  // HighPart of the special byte offsets

struct FileReference {
    ob::ObjectHeader* header = nullptr;
    PFILE_OBJECT file = nullptr;
    ACCESS_MASK granted = 0;
};

void DropFileReference(const FileReference& reference)
{
    bool last;
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        last = ob::DereferenceLocked(reference.header, true, nullptr);
    }
    if (last) {
        ob::FinishLastReference(reference.header);
    }
}

NTSTATUS ReferenceFile(HANDLE handle, KPROCESSOR_MODE mode, FileReference* reference)
{
    NTSTATUS status = ob::ReferenceByHandle(handle, mode, nullptr, &reference->header, &reference->granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (reference->header->kind != ob::ObjectKind::File) {
        DropFileReference(*reference);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    reference->file = static_cast<PFILE_OBJECT>(reference->header->body);
    return STATUS_SUCCESS;
}

// The member at `offset` of the fast I/O table of the device's driver, or null: no table, a
// table whose SizeOfFastIoDispatch does not reach past the member, or a null member. Nothing
// beyond SizeOfFastIoDispatch is read.
template <typename Member>
Member* FastIoMemberOf(PDEVICE_OBJECT device, LONG offset)
{
    PFAST_IO_DISPATCH table = device->DriverObject->FastIoDispatch;
    if (table == nullptr || table->SizeOfFastIoDispatch <= static_cast<ULONG>(offset)) {
        return nullptr;
    }
    Member* member;
    memcpy(&member, reinterpret_cast<const char*>(table) + offset, sizeof member);
    return member;
}

// An IRP for `file` on `device` from a caller of `mode`, with the I/O manager's fields set.
PIRP FileIrp(PDEVICE_OBJECT device, PFILE_OBJECT file, KPROCESSOR_MODE mode, ULONG flags)
{
    PIRP irp = AllocateIrp(device->StackSize, true, nullptr);
    if (irp == nullptr) {
        return nullptr;
    }
    irp->RequestorMode = mode;
    irp->Flags = IRP_SYNCHRONOUS_API | flags;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    return irp;
}

// A system buffer of `length` bytes for a buffered request; `input` is copied in when given.
// Output is copied back to `userBuffer` at completion when `output` is set. False when pool is short.
bool GiveSystemBuffer(PIRP irp, ULONG length, const void* input, bool output, void* userBuffer)
{
    irp->UserBuffer = userBuffer;
    if (length == 0) {
        return true;
    }
    void* buffer = ExAllocatePoolWithTag(NonPagedPoolNx, length, SystemBufferTag);
    if (buffer == nullptr) {
        return false;
    }
    if (input != nullptr) {
        memcpy(buffer, input, length);
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output ? IRP_INPUT_OPERATION : 0);
    IoManagerCompletion completion;
    completion.outputLength = output ? length : 0;
    SetIoManagerCompletion(irp, completion);
    return true;
}

// Sends the IRP and answers the request's status: the final one, as for a synchronous file.
NTSTATUS SendFileRequest(PDEVICE_OBJECT device, PIRP irp, PIO_STATUS_BLOCK ioStatusBlock)
{
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS returned = CallSynchronously(device, irp, &ioStatus);
    if (ioStatusBlock != nullptr) {
        *ioStatusBlock = ioStatus;
    }
    return returned == STATUS_PENDING ? ioStatus.Status : returned;
}

// Answers a request a fast I/O member served: its status block is the request's.
NTSTATUS ServedByFastIo(const IO_STATUS_BLOCK& ioStatus, PIO_STATUS_BLOCK ioStatusBlock, bool* fastIo)
{
    *fastIo = true;
    if (ioStatusBlock != nullptr) {
        *ioStatusBlock = ioStatus;
    }
    return ioStatus.Status;
}

// Offers a query of `Information` to the device's fast I/O member at `offset`: TRUE when it
// served the query.
template <typename Member, typename Information>
BOOLEAN OfferQuery(PDEVICE_OBJECT device, LONG offset, PFILE_OBJECT file, PVOID information,
                   PIO_STATUS_BLOCK ioStatus)
{
    auto* member = FastIoMemberOf<Member>(device, offset);
    return member != nullptr && member(file, TRUE, static_cast<Information*>(information), ioStatus, device);
}

ULONG MinimumInformationLength(FILE_INFORMATION_CLASS infoClass)
{
    switch (infoClass) {
    case FileBasicInformation:
        return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation:
        return sizeof(FILE_STANDARD_INFORMATION);
    case FileNetworkOpenInformation:
        return sizeof(FILE_NETWORK_OPEN_INFORMATION);
    default:
        return 0;
    }
}

NTSTATUS ReadWriteLocked(const FileReference& reference, bool write, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer,
                         ULONG length, PLARGE_INTEGER byteOffset, PULONG key, KPROCESSOR_MODE mode, bool* fastIo)
{
    PFILE_OBJECT file = reference.file;
    bool synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    bool usePointer = byteOffset == nullptr || (byteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION &&
                                                static_cast<ULONG>(byteOffset->HighPart) == FilePointerHighPart);
    if (usePointer && !synchronous) {
        return STATUS_INVALID_PARAMETER;
    }
    LARGE_INTEGER offset = usePointer ? file->CurrentByteOffset : *byteOffset;
    ULONG lockKey = key != nullptr ? *key : 0;
    PDEVICE_OBJECT device = RelatedDevice(file);

    if (synchronous) {
        auto* member = FastIoMemberOf<FAST_IO_READ>(
            device, write ? FIELD_OFFSET(FAST_IO_DISPATCH, FastIoWrite) : FIELD_OFFSET(FAST_IO_DISPATCH, FastIoRead));
        IO_STATUS_BLOCK ioStatus{};
        if (member != nullptr && member(file, &offset, length, TRUE, lockKey, buffer, &ioStatus, device)) {
            return ServedByFastIo(ioStatus, ioStatusBlock, fastIo);
        }
    }

    PIRP irp = FileIrp(device, file, mode, write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The buffer method is the top device's: a system buffer for DO_BUFFERED_IO, else the
    // caller's buffer (direct I/O is served like neither I/O: the model has no MDLs).
    if ((device->Flags & DO_BUFFERED_IO) != 0) {
        if (!GiveSystemBuffer(irp, length, write ? buffer : nullptr, !write, buffer)) {
            IoFreeIrp(irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    } else {
        irp->UserBuffer = buffer;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = write ? IRP_MJ_WRITE : IRP_MJ_READ;
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.Key = lockKey;
    stack->Parameters.Read.ByteOffset = offset;
    return SendFileRequest(device, irp, ioStatusBlock);
}

NTSTATUS QueryLocked(const FileReference& reference, PIO_STATUS_BLOCK ioStatusBlock, PVOID information, ULONG length,
                     FILE_INFORMATION_CLASS infoClass, KPROCESSOR_MODE mode, bool* fastIo)
{
    PFILE_OBJECT file = reference.file;
    PDEVICE_OBJECT device = RelatedDevice(file);
    if ((file->Flags & FO_SYNCHRONOUS_IO) != 0 &&
        (infoClass == FileBasicInformation || infoClass == FileStandardInformation)) {
        IO_STATUS_BLOCK ioStatus{};
        BOOLEAN served =
            infoClass == FileBasicInformation
                ? OfferQuery<FAST_IO_QUERY_BASIC_INFO, FILE_BASIC_INFORMATION>(
                      device, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryBasicInfo), file, information, &ioStatus)
                : OfferQuery<FAST_IO_QUERY_STANDARD_INFO, FILE_STANDARD_INFORMATION>(
                      device, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryStandardInfo), file, information, &ioStatus);
        if (served) {
            return ServedByFastIo(ioStatus, ioStatusBlock, fastIo);
        }
    }

    PIRP irp = FileIrp(device, file, mode, 0);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Queries are always buffered.
    if (!GiveSystemBuffer(irp, length, nullptr, true, information)) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_QUERY_INFORMATION;
    stack->Parameters.QueryFile.Length = length;
    stack->Parameters.QueryFile.FileInformationClass = infoClass;
    return SendFileRequest(device, irp, ioStatusBlock);
}

}  // namespace

NTSTATUS ReadWriteFile(HANDLE fileHandle, bool write, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                       PLARGE_INTEGER byteOffset, PULONG key, KPROCESSOR_MODE mode, bool* fastIo)
{
    *fastIo = false;
    FileReference reference;
    NTSTATUS status = ReferenceFile(fileHandle, mode, &reference);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ACCESS_MASK needed = write ? (FILE_WRITE_DATA | FILE_APPEND_DATA) : FILE_READ_DATA;
    if (mode == UserMode && (reference.granted & needed) == 0) {
        status = STATUS_ACCESS_DENIED;
    } else {
        status = ReadWriteLocked(reference, write, ioStatusBlock, buffer, length, byteOffset, key, mode, fastIo);
    }
    DropFileReference(reference);
    return status;
}

NTSTATUS QueryFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID information, ULONG length,
                   FILE_INFORMATION_CLASS infoClass, KPROCESSOR_MODE mode, bool* fastIo)
{
    *fastIo = false;
    ULONG minimum = MinimumInformationLength(infoClass);
    if (minimum == 0) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (length < minimum) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    FileReference reference;
    NTSTATUS status = ReferenceFile(fileHandle, mode, &reference);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool needsAttributes = infoClass != FileStandardInformation;
    if (mode == UserMode && needsAttributes && (reference.granted & FILE_READ_ATTRIBUTES) == 0) {
        status = STATUS_ACCESS_DENIED;
    } else {
        status = QueryLocked(reference, ioStatusBlock, information, length, infoClass, mode, fastIo);
    }
    DropFileReference(reference);
    return status;
}

}  // namespace km::io

using namespace km::io;

namespace {

// NtReadFile, NtWriteFile and their Zw forms: a Zw call runs with KernelMode as its previous mode.
template <bool write, bool kernel>
NTSTATUS ReadWriteService(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PIO_STATUS_BLOCK IoStatusBlock,
                          PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    if (Event != nullptr || ApcRoutine != nullptr) {
        return STATUS_NOT_IMPLEMENTED;  // the model's requests are synchronous
    }
    bool fastIo;
    if (kernel) {
        PreviousModeScope scope(KernelMode);
        return ReadWriteFile(FileHandle, write, IoStatusBlock, Buffer, Length, ByteOffset, Key, KernelMode, &fastIo);
    }
    return ReadWriteFile(FileHandle, write, IoStatusBlock, Buffer, Length, ByteOffset, Key, CurrentPreviousMode(),
                         &fastIo);
}

}  // namespace

// Reads from a file for the calling thread's previous mode. ByteOffset null (or
// FILE_USE_FILE_POINTER_POSITION) reads at the current position of a synchronous file.
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID /*ApcContext*/,
                                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                     PLARGE_INTEGER ByteOffset, PULONG Key)
{
    return ReadWriteService<false, false>(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset,
                                          Key);
}

// Writes to a file for the calling thread's previous mode; ByteOffset as for NtReadFile, or
// FILE_WRITE_TO_END_OF_FILE.
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID /*ApcContext*/,
                                      PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key)
{
    return ReadWriteService<true, false>(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset,
                                         Key);
}

// As NtReadFile, from kernel mode.
extern "C" NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID /*ApcContext*/,
                                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                     PLARGE_INTEGER ByteOffset, PULONG Key)
{
    return ReadWriteService<false, true>(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset,
                                         Key);
}

// As NtWriteFile, from kernel mode.
extern "C" NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID /*ApcContext*/,
                                      PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key)
{
    return ReadWriteService<true, true>(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset,
                                        Key);
}

// Basic, standard or network-open information of a file for the calling thread's previous mode.
// STATUS_INVALID_INFO_CLASS for other classes, STATUS_INFO_LENGTH_MISMATCH below the class's size.
extern "C" NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass)
{
    bool fastIo;
    return QueryFile(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass, CurrentPreviousMode(),
                     &fastIo);
}

// As NtQueryInformationFile, from kernel mode.
extern "C" NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass)
{
    PreviousModeScope kernel(KernelMode);
    bool fastIo;
    return QueryFile(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass, KernelMode, &fastIo);
}

// ---- The tests' way in -------------------------------------------------------------------------

km::OpenResult km::CreateFile(const std::u16string& name, ULONG disposition, ACCESS_MASK access, bool kernel)
{
    UNICODE_STRING objectName{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                              static_cast<USHORT>(name.size() * sizeof(WCHAR)), const_cast<PWCH>(name.data())};
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    OpenResult result{STATUS_UNSUCCESSFUL, nullptr, {}};
    auto create = kernel ? ZwCreateFile : NtCreateFile;
    result.status = create(&result.handle, access, &objectAttributes, &result.ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return result;
}

namespace {

// A read or write at `offset` through the services' own path, as the tests ask for it.
km::FileIoResult TestReadWrite(HANDLE file, bool write, uint64_t offset, void* buffer, ULONG length, bool kernel)
{
    km::FileIoResult result{};
    IO_STATUS_BLOCK ioStatus{};
    LARGE_INTEGER byteOffset;
    byteOffset.QuadPart = static_cast<LONGLONG>(offset);
    KPROCESSOR_MODE mode = kernel ? static_cast<KPROCESSOR_MODE>(KernelMode) : CurrentPreviousMode();
    PreviousModeScope scope(mode);
    result.status = ReadWriteFile(file, write, &ioStatus, buffer, length, &byteOffset, nullptr, mode, &result.fastIo);
    result.information = ioStatus.Information;
    return result;
}

}  // namespace

km::FileIoResult km::ReadFile(HANDLE file, uint64_t offset, void* buffer, ULONG length, bool kernel)
{
    return TestReadWrite(file, false, offset, buffer, length, kernel);
}

km::FileIoResult km::WriteFile(HANDLE file, uint64_t offset, const void* buffer, ULONG length, bool kernel)
{
    return TestReadWrite(file, true, offset, const_cast<void*>(buffer), length, kernel);
}

km::FileIoResult km::QueryInformationFile(HANDLE file, void* buffer, ULONG length, FILE_INFORMATION_CLASS infoClass,
                                          bool kernel)
{
    km::FileIoResult result{};
    IO_STATUS_BLOCK ioStatus{};
    KPROCESSOR_MODE mode = kernel ? static_cast<KPROCESSOR_MODE>(KernelMode) : CurrentPreviousMode();
    PreviousModeScope scope(mode);
    result.status = QueryFile(file, &ioStatus, buffer, length, infoClass, mode, &result.fastIo);
    result.information = ioStatus.Information;
    return result;
}
