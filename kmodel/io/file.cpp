// File objects: NtCreateFile, ZwCreateFile and ZwOpenFile open a device (or a path below it) by
// its exact name and send IRP_MJ_CREATE; the last handle sends IRP_MJ_CLEANUP and the last
// reference IRP_MJ_CLOSE.
#include <cstdlib>

#include "internal/ps.h"
#include "io/file_systems.h"
#include "io/io_manager.h"

namespace km::io {

namespace {

// The create disposition sits in the top byte of Parameters.Create.Options.
constexpr int CreateDispositionShift = 24;
constexpr ULONG CreateOptionsMask = 0x00FFFFFF;

struct FileRecord {
    bool opened = false;  // IRP_MJ_CREATE succeeded: cleanup and close follow
    std::vector<WCHAR> name;
};

// Sends IRP_MJ_CLEANUP or IRP_MJ_CLOSE for a file to the top of its device's stack and waits.
void SendFileIrp(PFILE_OBJECT file, UCHAR majorFunction)
{
    PDEVICE_OBJECT target = RelatedDevice(file);
    PIRP irp = AllocateIrp(target->StackSize, false, nullptr);
    irp->RequestorMode = KernelMode;
    irp->Flags = IRP_SYNCHRONOUS_API | (majorFunction == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = majorFunction;
    stack->FileObject = file;
    IO_STATUS_BLOCK ioStatus{};
    CallSynchronously(target, irp, &ioStatus);
}

void FileLastHandle(ob::ObjectHeader* header)
{
    if (static_cast<FileRecord*>(header->modelData)->opened && !TearingDown()) {
        SendFileIrp(static_cast<PFILE_OBJECT>(header->body), IRP_MJ_CLEANUP);
    }
}

void FileDiscard(ob::ObjectHeader* header)
{
    delete static_cast<FileRecord*>(header->modelData);
    free(header->body);
}

// The file's last reference: IRP_MJ_CLOSE if it was opened, then its device lets go of it.
void FileLastReference(ob::ObjectHeader* header)
{
    auto* file = static_cast<PFILE_OBJECT>(header->body);
    if (static_cast<FileRecord*>(header->modelData)->opened && !TearingDown()) {
        SendFileIrp(file, IRP_MJ_CLOSE);
    }
    PDEVICE_OBJECT device = file->DeviceObject;
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        device->ReferenceCount--;
    }
    FinishDeviceDeleteIfUnused(device);
    ob::DereferenceModel(device);
    FileDiscard(header);
}

}  // namespace

ACCESS_MASK MapFileAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if ((desired & GENERIC_READ) != 0) {
        granted |= FILE_GENERIC_READ;
    }
    if ((desired & GENERIC_WRITE) != 0) {
        granted |= FILE_GENERIC_WRITE;
    }
    if ((desired & GENERIC_EXECUTE) != 0) {
        granted |= FILE_GENERIC_EXECUTE;
    }
    if ((desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0) {
        granted |= FILE_ALL_ACCESS;
    }
    return granted;
}

NTSTATUS CreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                    PIO_STATUS_BLOCK ioStatusBlock, ULONG fileAttributes, ULONG shareAccess, ULONG createDisposition,
                    ULONG createOptions, KPROCESSOR_MODE mode, const void* holder)
{
    if (objectAttributes == nullptr || objectAttributes->ObjectName == nullptr) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (objectAttributes->RootDirectory != nullptr) {
        return STATUS_NOT_IMPLEMENTED;  // the model opens absolute names only
    }
    bool kernelHandle = (objectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    if (kernelHandle && mode == UserMode) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path = ob::ToString(objectAttributes->ObjectName);
    PDEVICE_OBJECT device;
    std::u16string remaining;
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        ob::LookupResult found = ob::LookupLocked(path);
        if (!NT_SUCCESS(found.status)) {
            return found.status;
        }
        if (found.object->kind != ob::ObjectKind::Device) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        device = static_cast<PDEVICE_OBJECT>(found.object->body);
        // As the kernel's check of device and driver: a device still initialising, or one whose
        // driver is gone, is no device to open.
        DriverRecord* driver = FindDriverLocked(device->DriverObject);
        if ((device->Flags & DO_DEVICE_INITIALIZING) != 0 || driver == nullptr || !driver->loaded) {
            return STATUS_NO_SUCH_DEVICE;
        }
        if ((device->Flags & DO_EXCLUSIVE) != 0 && device->ReferenceCount > 0) {
            return STATUS_ACCESS_DENIED;
        }
        device->ReferenceCount++;
        ob::ReferenceLocked(found.object, false, nullptr);
        remaining = found.remaining;
    }
    // The volume of a storage device is mounted by its first open (unless the device itself is
    // opened directly).
    bool directOpen = false;
    NTSTATUS mounted = PrepareDeviceOpen(device, remaining.empty(), MapFileAccess(desiredAccess), &directOpen);
    if (!NT_SUCCESS(mounted)) {
        {
            std::lock_guard<std::mutex> hold(ob::ModelLock());
            device->ReferenceCount--;
        }
        FinishDeviceDeleteIfUnused(device);
        ob::DereferenceModel(device);
        if (ioStatusBlock != nullptr) {
            ioStatusBlock->Status = mounted;
            ioStatusBlock->Information = 0;
        }
        return mounted;
    }

    auto* file = static_cast<PFILE_OBJECT>(calloc(1, sizeof(FILE_OBJECT)));
    auto* record = new FileRecord;
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    if (directOpen) {
        file->Flags |= FO_DIRECT_DEVICE_OPEN;
    } else {
        std::lock_guard<std::mutex> hold(VpbLock());
        if (device->Vpb != nullptr && (device->Vpb->Flags & VPB_MOUNTED) != 0) {
            file->Vpb = device->Vpb;
        }
    }
    if ((createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0) {
        file->Flags |= FO_SYNCHRONOUS_IO;
    }
    ACCESS_MASK granted = MapFileAccess(desiredAccess);
    file->ReadAccess = (granted & FILE_READ_DATA) != 0;
    file->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->DeleteAccess = (granted & DELETE) != 0;
    file->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    file->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
    file->SharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;
    if (!remaining.empty()) {
        record->name.assign(remaining.begin(), remaining.end());
        file->FileName.Length = static_cast<USHORT>(remaining.size() * sizeof(WCHAR));
        file->FileName.MaximumLength = file->FileName.Length;
        file->FileName.Buffer = record->name.data();
    }
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    ob::ObjectHeader* header = ob::Create(ob::ObjectKind::File, file, FileLastReference);
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        header->modelData = record;
        header->lastHandle = FileLastHandle;
        header->discard = FileDiscard;
    }

    PDEVICE_OBJECT target = RelatedDevice(file);
    PIRP irp = AllocateIrp(target->StackSize, true, nullptr);
    IO_STATUS_BLOCK ioStatus{};
    if (irp == nullptr) {
        ioStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        IO_SECURITY_CONTEXT security{};
        security.DesiredAccess = granted;
        security.FullCreateOptions = createOptions;
        irp->RequestorMode = mode;
        irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
        irp->Tail.Overlay.Thread = PsGetCurrentThread();
        irp->Tail.Overlay.OriginalFileObject = file;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_CREATE;
        stack->Parameters.Create.SecurityContext = &security;
        stack->Parameters.Create.Options =
            (createDisposition << CreateDispositionShift) | (createOptions & CreateOptionsMask);
        stack->Parameters.Create.FileAttributes = static_cast<USHORT>(fileAttributes);
        stack->Parameters.Create.ShareAccess = static_cast<USHORT>(shareAccess);
        stack->FileObject = file;
        CallSynchronously(target, irp, &ioStatus);
    }
    if (ioStatusBlock != nullptr) {
        *ioStatusBlock = ioStatus;
    }
    if (!NT_SUCCESS(ioStatus.Status)) {
        // No handle and no cleanup or close: the file object simply goes.
        ob::DereferenceModel(file);
        return ioStatus.Status;
    }
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        record->opened = true;
    }
    *fileHandle = ob::InsertHandle(header, granted, kernelHandle, holder);
    return ioStatus.Status;
}

}  // namespace km::io

using namespace km::io;

// Opens a device by its exact name for the calling thread's previous mode.
extern "C" NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                       ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(EaBuffer);
    UNREFERENCED_PARAMETER(EaLength);
    return CreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, FileAttributes, ShareAccess,
                      CreateDisposition, CreateOptions, CurrentPreviousMode(),
                      km::ob::ImageContaining(__builtin_return_address(0)));
}

// Opens a device by its exact name from kernel mode.
extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                       ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(EaBuffer);
    UNREFERENCED_PARAMETER(EaLength);
    PreviousModeScope kernel(KernelMode);
    return CreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, FileAttributes, ShareAccess,
                      CreateDisposition, CreateOptions, KernelMode,
                      km::ob::ImageContaining(__builtin_return_address(0)));
}

// ZwCreateFile of an existing object (FILE_OPEN).
extern "C" NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions)
{
    PreviousModeScope kernel(KernelMode);
    return CreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, 0, ShareAccess, FILE_OPEN,
                      OpenOptions, KernelMode, km::ob::ImageContaining(__builtin_return_address(0)));
}
