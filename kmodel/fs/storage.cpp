// Storage devices: the named disk and CD-ROM devices of "\Driver\ModelStorage", each with a VPB
// and a medium (what the disk or CD holds). Opened directly they answer create, cleanup and
// close; everything else is for the file system that mounts their volume.
#include "fs/model_fs.h"
#include "internal/verifier.h"

namespace km::fs {

namespace {

const char16_t StorageDriverName[] = u"\\Driver\\ModelStorage";
const char16_t DiskNamePrefix[] = u"\\Device\\HarddiskVolume";
const char16_t CdRomNamePrefix[] = u"\\Device\\CdRom";

NTSTATUS NTAPI StorageDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    bool served = major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
    NTSTATUS status = served ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The storage driver of the running model, made on first use.
PDRIVER_OBJECT StorageDriver()
{
    std::lock_guard<std::mutex> hold(State().lock);
    if (State().storageDriver == nullptr) {
        io::DriverRecord* record;
        if (!NT_SUCCESS(io::CreateDriverObject(StorageDriverName, &record))) {
            KmModelMisuse("a driver named \\Driver\\ModelStorage is already loaded");
        }
        for (auto& slot : record->driver->MajorFunction) {
            slot = StorageDispatch;
        }
        State().storageDriver = record;
    }
    return State().storageDriver->driver;
}

std::u16string Numbered(const char16_t* prefix, ULONG number)
{
    std::u16string name(prefix);
    for (char c : std::to_string(number)) {
        name += static_cast<char16_t>(c);
    }
    return name;
}

}  // namespace

Medium* MediumOfStorage(PDEVICE_OBJECT storage)
{
    std::lock_guard<std::mutex> hold(State().lock);
    auto found = State().media.find(storage);
    return found == State().media.end() ? nullptr : found->second.get();
}

std::u16string StorageName(PDEVICE_OBJECT storage)
{
    std::lock_guard<std::mutex> hold(State().lock);
    auto found = State().storageNames.find(storage);
    if (found == State().storageNames.end()) {
        KmModelMisuse("device %p is not a storage device of the model", (void*)storage);
    }
    return found->second;
}

}  // namespace km::fs

using namespace km::fs;

PDEVICE_OBJECT km::CreateStorageDevice(StorageType type, const std::u16string& name)
{
    PDRIVER_OBJECT driver = StorageDriver();
    std::u16string deviceName = name;
    if (deviceName.empty()) {
        std::lock_guard<std::mutex> hold(State().lock);
        deviceName = type == StorageType::Disk ? Numbered(DiskNamePrefix, State().nextDisk++)
                                               : Numbered(CdRomNamePrefix, State().nextCdRom++);
    }
    UNICODE_STRING counted{static_cast<USHORT>(deviceName.size() * sizeof(WCHAR)),
                           static_cast<USHORT>(deviceName.size() * sizeof(WCHAR)), const_cast<PWCH>(deviceName.data())};
    bool disk = type == StorageType::Disk;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &counted, disk ? FILE_DEVICE_DISK : FILE_DEVICE_CD_ROM,
                                     disk ? 0 : FILE_REMOVABLE_MEDIA, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        KmModelMisuse("km::CreateStorageDevice: IoCreateDevice of %s failed with 0x%08X",
                      ob::Printable(deviceName).c_str(), (unsigned)status);
    }
    PVPB vpb = io::AllocateVpb(device);
    {
        std::lock_guard<std::mutex> hold(io::VpbLock());
        device->Vpb = vpb;
    }
    {
        std::lock_guard<std::mutex> hold(State().lock);
        State().media[device] = std::make_unique<Medium>();
        State().storageNames[device] = deviceName;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void km::DeleteStorageDevice(PDEVICE_OBJECT storage)
{
    StorageName(storage);  // a storage device of the model, or misuse
    if (MountedVolume(storage) != nullptr) {
        DismountVolume(storage);
    }
    PVPB vpb;
    {
        std::lock_guard<std::mutex> hold(io::VpbLock());
        vpb = storage->Vpb;
        storage->Vpb = nullptr;
    }
    io::FreeVpb(vpb);
    IoDeleteDevice(storage);
}

PDEVICE_OBJECT km::MountedVolume(PDEVICE_OBJECT storage)
{
    std::lock_guard<std::mutex> hold(io::VpbLock());
    PVPB vpb = storage->Vpb;
    return vpb != nullptr && (vpb->Flags & VPB_MOUNTED) != 0 ? vpb->DeviceObject : nullptr;
}

NTSTATUS km::MountVolume(PDEVICE_OBJECT storage)
{
    OpenResult opened = km::CreateFile(StorageName(storage), FILE_OPEN, GENERIC_READ);
    if (NT_SUCCESS(opened.status)) {
        ZwClose(opened.handle);
    }
    return opened.status;
}

// Opens the volume, sends FSCTL_DISMOUNT_VOLUME down its stack through the open, closes it.
NTSTATUS km::DismountVolume(PDEVICE_OBJECT storage)
{
    if (MountedVolume(storage) == nullptr) {
        return STATUS_VOLUME_DISMOUNTED;
    }
    OpenResult opened = km::CreateFile(StorageName(storage), FILE_OPEN, GENERIC_READ | GENERIC_WRITE);
    if (!NT_SUCCESS(opened.status)) {
        return opened.status;
    }
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(opened.handle, 0, nullptr, KernelMode, &object, nullptr);
    if (NT_SUCCESS(status)) {
        auto* file = static_cast<PFILE_OBJECT>(object);
        PDEVICE_OBJECT top = io::RelatedDevice(file);
        PIRP irp = io::AllocateIrp(top->StackSize, false, nullptr);
        irp->RequestorMode = KernelMode;
        irp->Flags = IRP_SYNCHRONOUS_API;
        irp->Tail.Overlay.Thread = PsGetCurrentThread();
        irp->Tail.Overlay.OriginalFileObject = file;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
        stack->MinorFunction = IRP_MN_USER_FS_REQUEST;
        stack->Parameters.FileSystemControl.FsControlCode = FSCTL_DISMOUNT_VOLUME;
        stack->FileObject = file;
        IO_STATUS_BLOCK ioStatus{};
        io::CallSynchronously(top, irp, &ioStatus);
        status = ioStatus.Status;
        ObDereferenceObject(object);
    }
    ZwClose(opened.handle);
    return status;
}
