// The IRPs of the model's file systems, as a real file system serves them on its control device
// and its volume devices: create against the file store (a redirector's opens arrive on its
// control device as "\server\share\path"), close, cleanup, read and write with the buffer method
// of the device, the attribute queries, and file-system control (mount on the control device,
// dismount on a volume).
#include "fs/model_fs.h"
#include "internal/verifier.h"

namespace km::fs {

namespace {

// The create disposition sits in the top byte of Parameters.Create.Options.
constexpr int CreateDispositionShift = 24;
constexpr ULONG WritePointerHighPart = 0xFFFFFFFF;
constexpr char16_t Separator = u'\\';

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The open record of a file of this file system, or null; `volume` is the volume the request came
// to (null on a control device). Sets *dismounted when the open's volume is dismounted.
OpenFile* OpenOf(FileSystem* fs, Volume* volume, PFILE_OBJECT file, bool* dismounted)
{
    *dismounted = false;
    return file == nullptr ? nullptr : LiveOpen(fs, volume, file->FsContext2, dismounted);
}

bool IsDismounted(Volume* volume)
{
    if (volume == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> hold(volume->lock);
    return volume->dismounted;
}

std::u16string FileNameOf(PFILE_OBJECT file)
{
    return std::u16string(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
}

// Opens `path` on `medium` (an empty path opens the volume or the redirector itself).
NTSTATUS Create(FileSystem* fs, Volume* volume, Medium* medium, PIRP irp, const std::u16string& path)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    ULONG disposition = stack->Parameters.Create.Options >> CreateDispositionShift;
    if (IsDismounted(volume)) {
        return Complete(irp, STATUS_VOLUME_DISMOUNTED);
    }
    auto* open = new OpenFile{fs, volume, nullptr, nullptr};
    ULONG_PTR information = FILE_OPENED;
    if (!path.empty()) {
        CreateOutcome outcome = CreateInMedium(medium, path, disposition);
        if (!NT_SUCCESS(outcome.status)) {
            delete open;
            return Complete(irp, outcome.status, outcome.information);
        }
        open->medium = medium;
        open->node = outcome.node;
        information = outcome.information;
        file->SectionObjectPointer = &outcome.node->sectionPointers;
    }
    file->FsContext = open->node;
    file->FsContext2 = open;
    if (volume != nullptr) {
        std::lock_guard<std::mutex> hold(volume->lock);
        volume->opens.insert(open);
        volume->openFiles++;
    } else {
        std::lock_guard<std::mutex> hold(fs->lock);
        fs->opens.insert(open);
    }
    return Complete(irp, STATUS_SUCCESS, information);
}

// A redirector's open: "\server\share\path" on the share's store, created on first use.
NTSTATUS NetworkCreate(FileSystem* fs, PIRP irp)
{
    std::u16string name = FileNameOf(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (name.empty()) {
        return Create(fs, nullptr, nullptr, irp, name);
    }
    size_t server = name.find(Separator, 1);
    if (name[0] != Separator || server == std::u16string::npos || server == 1 || server + 1 >= name.size()) {
        return Complete(irp, STATUS_OBJECT_NAME_INVALID);
    }
    size_t share = name.find(Separator, server + 1);
    std::u16string shareName = name.substr(0, share);
    std::u16string path = share == std::u16string::npos ? std::u16string(1, Separator) : name.substr(share);
    Medium* medium;
    {
        std::lock_guard<std::mutex> hold(fs->lock);
        auto& slot = fs->shares[Upcased(shareName)];
        if (!slot) {
            slot = std::make_unique<Medium>();
        }
        medium = slot.get();
    }
    return Create(fs, nullptr, medium, irp, path);
}

NTSTATUS Close(FileSystem* fs, Volume* volume, PIRP irp)
{
    bool dismounted;
    OpenFile* open = OpenOf(fs, volume, IoGetCurrentIrpStackLocation(irp)->FileObject, &dismounted);
    Volume* goes = nullptr;
    bool last = false;
    if (open != nullptr && RemoveOpen(fs, open, &last)) {
        goes = last ? open->volume : nullptr;
        delete open;
    }
    NTSTATUS status = Complete(irp, STATUS_SUCCESS);
    // As a file system does at the last close of a dismounted volume, once the IRP is done.
    if (goes != nullptr) {
        DeleteVolume(goes);
    }
    return status;
}

// The buffer of a read or write as the device's buffer method places it.
void* TransferBuffer(PDEVICE_OBJECT device, PIRP irp, ULONG length)
{
    bool buffered = (device->Flags & DO_BUFFERED_IO) != 0;
    void* buffer = buffered ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
    if (buffer == nullptr && length > 0) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, CheckBufferMethod, (ULONG_PTR)irp, (ULONG_PTR)device,
                   buffered,
                   "IRP %p reached device %p (%s I/O) without a %s: a device above it does not use its buffer "
                   "method",
                   (void*)irp, (void*)device, buffered ? "buffered" : "neither",
                   buffered ? "system buffer" : "user buffer");
    }
    return buffer;
}

NTSTATUS ReadWrite(FileSystem* fs, Volume* volume, PDEVICE_OBJECT device, PIRP irp, bool write)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    bool dismounted;
    OpenFile* open = OpenOf(fs, volume, file, &dismounted);
    if (open == nullptr || open->node == nullptr) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (dismounted) {
        return Complete(irp, STATUS_VOLUME_DISMOUNTED);
    }
    ULONG length = stack->Parameters.Read.Length;
    LARGE_INTEGER offset = stack->Parameters.Read.ByteOffset;
    void* buffer = TransferBuffer(device, irp, length);
    ULONG_PTR done = 0;
    NTSTATUS status;
    if (write) {
        bool append = offset.LowPart == FILE_WRITE_TO_END_OF_FILE &&
                      static_cast<ULONG>(offset.HighPart) == WritePointerHighPart;
        status = WriteNode(open->medium, open->node, append ? -1 : offset.QuadPart, buffer, length, &done);
    } else {
        status = ReadNode(open->medium, open->node, offset.QuadPart, buffer, length, &done);
    }
    if (NT_SUCCESS(status) && (file->Flags & FO_SYNCHRONOUS_IO) != 0 && offset.QuadPart >= 0) {
        file->CurrentByteOffset.QuadPart = offset.QuadPart + static_cast<LONGLONG>(done);
    }
    return Complete(irp, status, done);
}

NTSTATUS Query(FileSystem* fs, Volume* volume, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool dismounted;
    OpenFile* open = OpenOf(fs, volume, stack->FileObject, &dismounted);
    if (open == nullptr || open->node == nullptr) {
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    if (dismounted) {
        return Complete(irp, STATUS_VOLUME_DISMOUNTED);
    }
    ULONG length = stack->Parameters.QueryFile.Length;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileBasicInformation:
        if (length < sizeof(FILE_BASIC_INFORMATION)) {
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        }
        QueryBasic(open->medium, open->node, static_cast<FILE_BASIC_INFORMATION*>(buffer));
        return Complete(irp, STATUS_SUCCESS, sizeof(FILE_BASIC_INFORMATION));
    case FileStandardInformation:
        if (length < sizeof(FILE_STANDARD_INFORMATION)) {
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        }
        QueryStandard(open->medium, open->node, static_cast<FILE_STANDARD_INFORMATION*>(buffer));
        return Complete(irp, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
    case FileNetworkOpenInformation:
        if (length < sizeof(FILE_NETWORK_OPEN_INFORMATION)) {
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        }
        QueryNetworkOpen(open->medium, open->node, static_cast<FILE_NETWORK_OPEN_INFORMATION*>(buffer));
        return Complete(irp, STATUS_SUCCESS, sizeof(FILE_NETWORK_OPEN_INFORMATION));
    default:
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
}

// An open of a control device: a redirector's opens below it, otherwise only the device itself.
NTSTATUS ControlCreate(FileSystem* fs, PIRP irp)
{
    if (fs->options.type == FileSystemType::Network && !fs->recognizer) {
        return NetworkCreate(fs, irp);
    }
    bool deviceItself = IoGetCurrentIrpStackLocation(irp)->FileObject->FileName.Length == 0;
    return deviceItself ? Create(fs, nullptr, nullptr, irp, {}) : Complete(irp, STATUS_OBJECT_NAME_INVALID);
}

NTSTATUS ControlFileSystemControl(FileSystem* fs, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_MOUNT_VOLUME) {
        return MountRequest(fs, irp);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS VolumeFileSystemControl(Volume* volume, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_USER_FS_REQUEST &&
        stack->Parameters.FileSystemControl.FsControlCode == FSCTL_DISMOUNT_VOLUME) {
        return Complete(irp, volume != nullptr ? Dismount(volume) : STATUS_VOLUME_DISMOUNTED);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace

// Any thread, PASSIVE_LEVEL; the IRP is the file system's until completed. A request on a volume
// device takes only that volume's lock (and its medium's); the file system's lock is for control
// devices, the opens of no volume, and an open the volume does not know.
NTSTATUS NTAPI FileSystemDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    FileSystem* fs = FileSystemOfDriver(device->DriverObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool control = IsControlDevice(fs, device);
    Volume* volume = control ? nullptr : static_cast<VolumeExtension*>(device->DeviceExtension)->volume;
    if (volume != nullptr) {
        volume->irps[stack->MajorFunction].fetch_add(1, std::memory_order_relaxed);
    } else {
        std::lock_guard<std::mutex> hold(fs->lock);
        fs->calls.irps[stack->MajorFunction]++;
    }
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
        if (control) {
            return ControlCreate(fs, irp);
        }
        if (volume == nullptr) {
            return Complete(irp, STATUS_VOLUME_DISMOUNTED);
        }
        return Create(fs, volume, volume->medium, irp, FileNameOf(stack->FileObject));
    }
    case IRP_MJ_CLEANUP:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        return Close(fs, volume, irp);
    case IRP_MJ_READ:
        return ReadWrite(fs, volume, device, irp, false);
    case IRP_MJ_WRITE:
        return ReadWrite(fs, volume, device, irp, true);
    case IRP_MJ_QUERY_INFORMATION:
        return Query(fs, volume, irp);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        return control ? ControlFileSystemControl(fs, irp) : VolumeFileSystemControl(volume, irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace km::fs
