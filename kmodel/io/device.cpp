// Device objects: IoCreateDevice, IoDeleteDevice, the attachment stack (attach, detach, lower,
// attached and base devices), IoEnumerateDeviceObjectList and IoGetRelatedDeviceObject.
#include <cstdlib>

#include "internal/verifier.h"
#include "io/file_systems.h"
#include "io/io_manager.h"
#include "internal/trap.h"

namespace km::io {

namespace {

constexpr USHORT DiskSectorSize = 512;
constexpr USHORT CdRomSectorSize = 2048;
constexpr size_t DeviceAlignment = 16;
constexpr ULONG FileObjectDirectDeviceOpen = 0x00000800;  // FO_DIRECT_DEVICE_OPEN

// The device's last reference went: it must have been deleted; frees it and lets go of its
// driver object.
void DeviceLastReference(ob::ObjectHeader* header)
{
    auto* device = static_cast<PDEVICE_OBJECT>(header->body);
    if (!device->DeviceObjectExtension->DeletePending) {
        KmBugCheck(REFERENCE_BY_POINTER, (ULONG_PTR)device, 0, 0, 0,
                   "the last reference to device %p was dropped before IoDeleteDevice (dereferenced once too "
                   "often)",
                   (void*)device);
    }
    PDRIVER_OBJECT driver = device->DriverObject;
    delete device->DeviceObjectExtension;
    free(device);
    ob::DereferenceModel(driver);
}

// Frees a device left behind at model shutdown.
void DeviceDiscard(ob::ObjectHeader* header)
{
    auto* device = static_cast<PDEVICE_OBJECT>(header->body);
    delete device->DeviceObjectExtension;
    free(device);
}

ob::ObjectHeader* DeviceHeaderLocked(const void* device, const char* routine)
{
    ob::ObjectHeader* header = ob::FindLocked(device);
    if (header == nullptr || header->kind != ob::ObjectKind::Device) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckUnknownDevice, (ULONG_PTR)device, 0, 0,
                   "%s on %p, which is not a live device object", routine, device);
    }
    return header;
}

void UnlinkFromDriverLocked(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device) {
        link = &(*link)->NextDevice;
    }
    if (*link == device) {
        *link = device->NextDevice;
    }
    device->NextDevice = nullptr;
}

// The device below `device` unless it is being deleted. The fields are changed with the device's
// object shard held exclusive (ob::LockShardExclusive), so a reader holding it shared needs no
// ModelLock.
void* LiveLowerDevice(const void* device)
{
    const _DEVOBJ_EXTENSION* extension = static_cast<const DEVICE_OBJECT*>(device)->DeviceObjectExtension;
    return extension->DeletePending ? nullptr : extension->AttachedTo;
}

PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

// Drops the device's creation reference; the device goes when nothing else references it.
void DropCreationReference(PDEVICE_OBJECT device)
{
    ob::ObjectHeader* header;
    bool last;
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        header = ob::FindLocked(device);
        last = ob::DereferenceLocked(header, false, nullptr);
    }
    if (last) {
        ob::FinishLastReference(header);
    }
}

NTSTATUS AttachLocked(PDEVICE_OBJECT source, PDEVICE_OBJECT target, PDEVICE_OBJECT* attachedTo, const char* routine)
{
    DeviceHeaderLocked(source, routine);
    DeviceHeaderLocked(target, routine);
    if (source->DeviceObjectExtension->AttachedTo != nullptr) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckAttachTwice, (ULONG_PTR)source, 0, 0,
                   "%s: device %p is already attached to device %p", routine, (void*)source,
                   (void*)source->DeviceObjectExtension->AttachedTo);
    }
    PDEVICE_OBJECT top = TopOfStackLocked(target);
    if (top->DeviceObjectExtension->DeletePending) {
        return STATUS_NO_SUCH_DEVICE;
    }
    top->AttachedDevice = source;
    {
        auto lowerRead = ob::LockShardExclusive(source);
        source->DeviceObjectExtension->AttachedTo = top;
    }
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > source->AlignmentRequirement) {
        source->AlignmentRequirement = top->AlignmentRequirement;
    }
    source->SectorSize = top->SectorSize;
    if (attachedTo != nullptr) {
        *attachedTo = top;
    }
    return STATUS_SUCCESS;
}

}  // namespace

void FinishDeviceDeleteIfUnused(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT attached;
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        _DEVOBJ_EXTENSION* extension = device->DeviceObjectExtension;
        if (!extension->DeletePending || extension->DeleteFinished || device->ReferenceCount > 0) {
            return;
        }
        extension->DeleteFinished = true;
        attached = device->AttachedDevice;
    }
    if (attached != nullptr) {
        // As the kernel does when a device with a filter on top goes: the filter's driver is
        // told through its fast I/O table and must detach.
        PFAST_IO_DISPATCH fastIo = attached->DriverObject->FastIoDispatch;
        bool canDetach = fastIo != nullptr &&
                         fastIo->SizeOfFastIoDispatch > FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice) &&
                         fastIo->FastIoDetachDevice != nullptr;
        if (canDetach) {
            fastIo->FastIoDetachDevice(attached, device);
        }
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        if (device->AttachedDevice != nullptr) {
            KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckDeleteWithAttached, (ULONG_PTR)device,
                       (ULONG_PTR)device->AttachedDevice, 0,
                       "device %p was deleted while device %p is still attached to it%s", (void*)device,
                       (void*)device->AttachedDevice,
                       canDetach ? " (its FastIoDetachDevice did not detach)" : "");
        }
    }
    DropCreationReference(device);
}

void ForceDeleteDevice(PDEVICE_OBJECT device)
{
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        ob::ObjectHeader* header = DeviceHeaderLocked(device, "ForceDeleteDevice");
        _DEVOBJ_EXTENSION* extension = device->DeviceObjectExtension;
        if (extension->DeleteFinished) {
            return;
        }
        if (extension->AttachedTo != nullptr) {
            if (extension->AttachedTo->AttachedDevice == device) {
                extension->AttachedTo->AttachedDevice = nullptr;
            }
            auto lowerRead = ob::LockShardExclusive(device);
            extension->AttachedTo = nullptr;
        }
        if (device->AttachedDevice != nullptr) {
            {
                auto lowerRead = ob::LockShardExclusive(device->AttachedDevice);
                device->AttachedDevice->DeviceObjectExtension->AttachedTo = nullptr;
            }
            device->AttachedDevice = nullptr;
        }
        if (!extension->DeletePending) {
            {
                auto lowerRead = ob::LockShardExclusive(device);
                extension->DeletePending = true;
            }
            ob::RemoveNameLocked(header);
            UnlinkFromDriverLocked(device);
        }
        extension->DeleteFinished = true;
    }
    DropCreationReference(device);
}

PDEVICE_OBJECT RelatedDevice(PFILE_OBJECT file)
{
    PDEVICE_OBJECT device = file->DeviceObject;
    {
        std::lock_guard<std::mutex> vpbHold(VpbLock());
        if (file->Vpb != nullptr && file->Vpb->DeviceObject != nullptr) {
            device = file->Vpb->DeviceObject;
        } else if ((file->Flags & FileObjectDirectDeviceOpen) == 0 && device->Vpb != nullptr &&
                   device->Vpb->DeviceObject != nullptr) {
            device = device->Vpb->DeviceObject;
        }
    }
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    return TopOfStackLocked(device);
}

}  // namespace km::io

using namespace km::io;
namespace ob = km::ob;

// Creates a device on DriverObject, linked at the head of the driver's device list, named when
// DeviceName is given (STATUS_OBJECT_NAME_COLLISION when the name is taken), with a zero-filled
// extension of DeviceExtensionSize bytes right after the device object. The device starts with
// DO_DEVICE_INITIALIZING set and StackSize 1.
extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject)
{
    KmTrapPoint("IoCreateDevice", DriverObject);
    *DeviceObject = nullptr;
    NTSTATUS injected = TakeInjectedFailure(FaultPoint::CreateDevice);
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        ob::ObjectHeader* driver = ob::FindLocked(DriverObject);
        if (driver == nullptr || driver->kind != ob::ObjectKind::Driver) {
            KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckUnknownDriver, (ULONG_PTR)DriverObject, 0, 0,
                       "IoCreateDevice on %p, which is not a live driver object", (void*)DriverObject);
        }
    }
    bool named = DeviceName != nullptr && DeviceName->Length > 0;
    if (named && (DeviceName->Buffer == nullptr || DeviceName->Length % sizeof(WCHAR) != 0)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string name = named ? ob::ToString(DeviceName) : std::u16string();

    void* memory = nullptr;
    if (posix_memalign(&memory, DeviceAlignment, sizeof(DEVICE_OBJECT) + DeviceExtensionSize) != 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(memory, 0, sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    auto* device = static_cast<PDEVICE_OBJECT>(memory);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) {
        device->Flags |= DO_EXCLUSIVE;
    }
    if (named) {
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize > 0 ? device + 1 : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    InitializeListHead(&device->Queue.ListEntry);
    switch (DeviceType) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
        device->SectorSize = DiskSectorSize;
        break;
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        device->SectorSize = CdRomSectorSize;
        break;
    default:
        break;
    }
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    auto* extension = new _DEVOBJ_EXTENSION{};
    extension->Type = IO_TYPE_DEVICE;
    extension->Size = sizeof(_DEVOBJ_EXTENSION);
    extension->DeviceObject = device;
    device->DeviceObjectExtension = extension;

    ob::ObjectHeader* header = ob::Create(ob::ObjectKind::Device, device, DeviceLastReference);
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    header->discard = DeviceDiscard;
    if (named) {
        NTSTATUS status = ob::InsertNameLocked(header, name);
        if (!NT_SUCCESS(status)) {
            // Never visible to anyone: gone without its last-reference routine.
            ob::DereferenceLocked(header, false, nullptr);
            delete header;
            delete extension;
            free(device);
            return status;
        }
    }
    ob::ReferenceLocked(ob::FindLocked(DriverObject), false, nullptr);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// Deletes a device: out of the name space and its driver's list at once; the memory stays until
// the last reference goes. The device must not be attached to a lower device; a device attached
// on top is told through its driver's FastIoDetachDevice and must detach, or the verifier
// bug-checks. With files still open on it, the deletion finishes when the last one closes.
extern "C" void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    KmTrapPoint("IoDeleteDevice", DeviceObject);
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        ob::ObjectHeader* header = DeviceHeaderLocked(DeviceObject, "IoDeleteDevice");
        _DEVOBJ_EXTENSION* extension = DeviceObject->DeviceObjectExtension;
        if (extension->DeletePending) {
            KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckDeleteTwice, (ULONG_PTR)DeviceObject, 0, 0,
                       "IoDeleteDevice on device %p, which is already deleted", (void*)DeviceObject);
        }
        if (extension->AttachedTo != nullptr) {
            KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckDeleteWhileAttached, (ULONG_PTR)DeviceObject,
                       (ULONG_PTR)extension->AttachedTo, 0,
                       "IoDeleteDevice on device %p, which is still attached to device %p (IoDetachDevice first)",
                       (void*)DeviceObject, (void*)extension->AttachedTo);
        }
        {
            auto lowerRead = ob::LockShardExclusive(DeviceObject);
            extension->DeletePending = true;
        }
        ob::RemoveNameLocked(header);
        UnlinkFromDriverLocked(DeviceObject);
    }
    FinishDeviceDeleteIfUnused(DeviceObject);
}

// Attaches SourceDevice to the top of TargetDevice's stack; the device attached to is stored in
// *AttachedToDeviceObject before the source can receive requests. STATUS_NO_SUCH_DEVICE when the
// top of the stack is being deleted.
extern "C" NTSTATUS NTAPI IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                                          PDEVICE_OBJECT* AttachedToDeviceObject)
{
    KmTrapPoint("IoAttachDeviceToDeviceStackSafe", TargetDevice);
    if (AttachedToDeviceObject != nullptr) {
        *AttachedToDeviceObject = nullptr;
    }
    NTSTATUS injected = TakeInjectedFailure(FaultPoint::AttachDevice);
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        status = AttachLocked(SourceDevice, TargetDevice, AttachedToDeviceObject, "IoAttachDeviceToDeviceStackSafe");
    }
    if (NT_SUCCESS(status)) {
        if (km::AttachHook hook = TakeAttachHook()) {
            hook(SourceDevice, TargetDevice);
        }
    }
    return status;
}

// As IoAttachDeviceToDeviceStackSafe; answers the device attached to, or null.
extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    if (!NT_SUCCESS(TakeInjectedFailure(FaultPoint::AttachDevice))) {
        return nullptr;
    }
    PDEVICE_OBJECT attachedTo = nullptr;
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    AttachLocked(SourceDevice, TargetDevice, &attachedTo, "IoAttachDeviceToDeviceStack");
    return attachedTo;
}

// Detaches the device attached to TargetDevice. A deleted target whose files are all closed goes
// now.
extern "C" void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    KmTrapPoint("IoDetachDevice", TargetDevice);
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        DeviceHeaderLocked(TargetDevice, "IoDetachDevice");
        PDEVICE_OBJECT source = TargetDevice->AttachedDevice;
        if (source == nullptr) {
            KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckDetachNothing, (ULONG_PTR)TargetDevice, 0, 0,
                       "IoDetachDevice on device %p, which has no device attached", (void*)TargetDevice);
        }
        TargetDevice->AttachedDevice = nullptr;
        auto lowerRead = ob::LockShardExclusive(source);
        source->DeviceObjectExtension->AttachedTo = nullptr;
    }
    FinishDeviceDeleteIfUnused(TargetDevice);
}

// The device directly below, referenced for the caller; null when there is none or the device
// is being deleted.
extern "C" PDEVICE_OBJECT NTAPI IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject)
{
    KmTrapPoint("IoGetLowerDeviceObject", DeviceObject);
    const void* holder = ob::ImageContaining(__builtin_return_address(0));
    void* lower;
    if (ob::ReferenceThrough(DeviceObject, ob::ObjectKind::Device, LiveLowerDevice, holder, &lower)) {
        return static_cast<PDEVICE_OBJECT>(lower);
    }
    // Not a live device (bug-checked below), or the device below changed meanwhile.
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    DeviceHeaderLocked(DeviceObject, "IoGetLowerDeviceObject");
    _DEVOBJ_EXTENSION* extension = DeviceObject->DeviceObjectExtension;
    if (extension->DeletePending || extension->AttachedTo == nullptr) {
        return nullptr;
    }
    ob::ReferenceLocked(ob::FindLocked(extension->AttachedTo), true, holder);
    return extension->AttachedTo;
}

// The top of the device's attachment stack (the device itself when nothing is attached).
extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    DeviceHeaderLocked(DeviceObject, "IoGetAttachedDevice");
    return TopOfStackLocked(DeviceObject);
}

// As IoGetAttachedDevice, referenced for the caller.
extern "C" PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    const void* holder = ob::ImageContaining(__builtin_return_address(0));
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    DeviceHeaderLocked(DeviceObject, "IoGetAttachedDeviceReference");
    PDEVICE_OBJECT top = TopOfStackLocked(DeviceObject);
    ob::ReferenceLocked(ob::FindLocked(top), true, holder);
    return top;
}

// The bottom of the device's attachment stack, referenced for the caller.
extern "C" PDEVICE_OBJECT NTAPI IoGetDeviceAttachmentBaseRef(PDEVICE_OBJECT DeviceObject)
{
    const void* holder = ob::ImageContaining(__builtin_return_address(0));
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    DeviceHeaderLocked(DeviceObject, "IoGetDeviceAttachmentBaseRef");
    PDEVICE_OBJECT base = DeviceObject;
    while (base->DeviceObjectExtension->AttachedTo != nullptr) {
        base = base->DeviceObjectExtension->AttachedTo;
    }
    ob::ReferenceLocked(ob::FindLocked(base), true, holder);
    return base;
}

// The driver's devices, each referenced for the caller. With too small an array (size in
// bytes), STATUS_BUFFER_TOO_SMALL and the count needed.
extern "C" NTSTATUS NTAPI IoEnumerateDeviceObjectList(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObjectList,
                                                      ULONG DeviceObjectListSize, PULONG ActualNumberDeviceObjects)
{
    const void* holder = ob::ImageContaining(__builtin_return_address(0));
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    ULONG count = 0;
    for (PDEVICE_OBJECT device = DriverObject->DeviceObject; device != nullptr; device = device->NextDevice) {
        count++;
    }
    *ActualNumberDeviceObjects = count;
    if (DeviceObjectListSize < count * sizeof(PDEVICE_OBJECT)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG index = 0;
    for (PDEVICE_OBJECT device = DriverObject->DeviceObject; device != nullptr; device = device->NextDevice) {
        ob::ReferenceLocked(ob::FindLocked(device), true, holder);
        DeviceObjectList[index++] = device;
    }
    return STATUS_SUCCESS;
}

// The device a file object's requests go to: the top of the stack of the mounted volume or of
// the file's device.
extern "C" PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) { return RelatedDevice(FileObject); }
