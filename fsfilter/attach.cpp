// Attaching: the file-system filter's start, file systems coming and going, a filter device on
// each file system's control device, and a volume filter device on each of its mounted volumes
// (mounts that come later are followed in mount.cpp). A volume filter device is recorded in
// AttachedList once attached (records.cpp).
#include "fsfilter/fsfilter.h"

namespace {

// The file system recognizer's driver; it mounts nothing itself and is never filtered.
constexpr WCHAR FileSystemRecognizerName[] = HOST_TEXT("\\FileSystem\\Fs_Rec");

// The tests that skip an enumerated device, in order, up to the storage device: not the control
// device, the control device's type, no host device in its stack yet, an unnamed base device.
HOST_PAGED
BOOLEAN MountedVolumeIsCandidate(PDEVICE_OBJECT FileSystemDevice, PDEVICE_OBJECT Device, PUNICODE_STRING NameBuffer)
{
    PAGED_CODE();
    if (Device == FileSystemDevice || Device->DeviceType != FileSystemDevice->DeviceType) {
        return FALSE;
    }
    if (IsFilterInStack(Device, nullptr)) {
        return FALSE;
    }
    QueryBaseDeviceName(Device, NameBuffer);
    return NameBuffer->Length == 0;
}

// Drops the references the enumeration and IoGetDiskDeviceObject handed out for one device.
HOST_PAGED
void MountedVolumeDropReferences(PDEVICE_OBJECT Device, PDEVICE_OBJECT StorageDevice)
{
    PAGED_CODE();
    if (StorageDevice != nullptr) {
        ObfDereferenceObject(StorageDevice);
    }
    ObfDereferenceObject(Device);
}

// One enumerated device: a volume filter device for it unless it is skipped. Its reference (and
// its storage device's) is dropped exactly once, also when an exception leaves the attach, which
// then goes on to the caller.
HOST_PAGED
void MountedVolumeAttach(PDEVICE_OBJECT FileSystemDevice, PDEVICE_OBJECT Device, PUNICODE_STRING NameBuffer)
{
    PAGED_CODE();
    PDEVICE_OBJECT volatile storageDevice = nullptr;
    HOST_TRY
    {
        PDEVICE_OBJECT storage = nullptr;
        if (MountedVolumeIsCandidate(FileSystemDevice, Device, NameBuffer) &&
            NT_SUCCESS(IoGetDiskDeviceObject(Device, &storage))) {
            storageDevice = storage;
            PDEVICE_OBJECT filter = nullptr;
            if (NT_SUCCESS(IoCreateDevice(FsFilter.DriverObject, VolumeFilterExtensionBytes, nullptr,
                                          Device->DeviceType, 0, FALSE, &filter))) {
                (void)AttachToVolume(Device, filter, storage);
            }
        }
    }
    HOST_EXCEPT
    {
        MountedVolumeDropReferences(Device, storageDevice);
        ExRaiseStatus(HOST_EXCEPTION_CODE());
    }
    HOST_END_TRY
    MountedVolumeDropReferences(Device, storageDevice);
}

// The attach attempts, with AttachMutex held: up to VolumeAttachAttempts, each failure followed
// by a wait of VolumeAttachRetryDelayMs (the last one included). Returns the last attach status.
HOST_PAGED
NTSTATUS AttachVolumeWithRetries(PDEVICE_OBJECT VolumeDevice, PDEVICE_OBJECT FilterDevice)
{
    PAGED_CODE();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG attempt = 0; attempt < VolumeAttachAttempts; attempt += 1) {
        PDEVICE_OBJECT attachedTo = nullptr;
        status = IoAttachDeviceToDeviceStackSafe(FilterDevice, VolumeDevice, &attachedTo);
        if (NT_SUCCESS(status)) {
            FilterDevice->Flags &= ~DO_DEVICE_INITIALIZING;
            return status;
        }
        LARGE_INTEGER delay;
        delay.QuadPart = (LONGLONG)VolumeAttachRetryDelayMs * RelativeTimePerMs;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    return status;
}

}  // namespace

HOST_INIT
NTSTATUS StartFsFilter(PDRIVER_OBJECT DriverObject, FSFILTER_DEVICE_GOING* DeviceGoing)
{
    PAGED_CODE();
    FsFilter.DriverObject = DriverObject;
    FsFilter.DeviceGoing = DeviceGoing;
    InitializeListHead(&FsFilter.AttachedList);
    NTSTATUS status = ASimpleResource_Init(&FsFilter.AttachedListLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!NT_SUCCESS(AFastMutex_Init(&FsFilter.AttachMutex))) {
        ASimpleResource_Destroy(&FsFilter.AttachedListLock);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Both are in place before the registration, which attaches to running file systems at once.
    DriverObject->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = DispatchFsControl;
    DriverObject->FastIoDispatch = const_cast<PFAST_IO_DISPATCH>(&HostFastIoDispatch);

    status = IoRegisterFsRegistrationChange(DriverObject, OnFsRegistrationChange);
    if (!NT_SUCCESS(status)) {
        DriverObject->FastIoDispatch = nullptr;
        AFastMutex_Free(&FsFilter.AttachMutex);
        ASimpleResource_Destroy(&FsFilter.AttachedListLock);
        return status;
    }
    return STATUS_SUCCESS;
}

HOST_PAGED
void OnFsRegistrationChange(PDEVICE_OBJECT DeviceObject, BOOLEAN FsActive)
{
    PAGED_CODE();
    if (FsActive) {
        (void)AttachToFileSystem(DeviceObject);
    } else {
        // Volume filter devices stay: they go when their volumes are deleted.
        DetachFromFileSystem(DeviceObject);
    }
}

HOST_PAGED
NTSTATUS AttachToFileSystem(PDEVICE_OBJECT FileSystemDevice)
{
    PAGED_CODE();
    if (!FsFilterIsAcceptedType(FileSystemDevice->DeviceType)) {
        return STATUS_SUCCESS;
    }
    // One name buffer on the stack: first the file system driver's name, then, lent to
    // AttachToMountedVolumes, the candidates' base device names.
    WCHAR nameCharacters[FileSystemNameBufferBytes / sizeof(WCHAR)];
    UNICODE_STRING name;
    name.Buffer = nameCharacters;
    name.Length = 0;
    name.MaximumLength = FileSystemNameBufferBytes;
    QueryObjectName(FileSystemDevice->DriverObject, &name);
    UNICODE_STRING recognizer;
    RtlInitUnicodeString(&recognizer, FileSystemRecognizerName);
    if (RtlCompareUnicodeString(&name, &recognizer, TRUE) == 0) {
        return STATUS_SUCCESS;
    }

    PDEVICE_OBJECT filter = nullptr;
    NTSTATUS status =
        IoCreateDevice(FsFilter.DriverObject, 0, nullptr, FileSystemDevice->DeviceType, 0, FALSE, &filter);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    filter->Flags |= FileSystemDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    filter->Characteristics |= FileSystemDevice->Characteristics & FILE_DEVICE_SECURE_OPEN;
    PDEVICE_OBJECT attachedTo = nullptr;
    status = IoAttachDeviceToDeviceStackSafe(filter, FileSystemDevice, &attachedTo);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(filter);
        return status;
    }
    filter->Flags &= ~DO_DEVICE_INITIALIZING;

    status = AttachToMountedVolumes(FileSystemDevice, &name);
    if (!NT_SUCCESS(status)) {
        // The volumes cannot be looked at: the file system stays wholly unfiltered.
        IoDetachDevice(attachedTo);
        FsFilterDeleteDevice(filter);
        return status;
    }
    return STATUS_SUCCESS;
}

HOST_PAGED
NTSTATUS AttachToMountedVolumes(PDEVICE_OBJECT FileSystemDevice, PUNICODE_STRING NameBuffer)
{
    PAGED_CODE();
    PDRIVER_OBJECT fileSystemDriver = FileSystemDevice->DriverObject;
    ULONG count = 0;
    NTSTATUS status = IoEnumerateDeviceObjectList(fileSystemDriver, nullptr, 0, &count);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        return status;
    }
    count += DeviceListSpareEntries;
    ULONG arrayBytes = count * sizeof(PDEVICE_OBJECT);
    auto* devices = static_cast<PDEVICE_OBJECT*>(ExAllocatePoolWithTag(NonPagedPool, arrayBytes, DeviceListPoolTag));
    if (devices == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IoEnumerateDeviceObjectList(fileSystemDriver, devices, arrayBytes, &count);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(devices, 0);
        return status;
    }
    // An exception leaving one device's attach (which has dropped that device's references) still
    // drops the references of the devices not reached and frees the array, then goes on.
    volatile ULONG index = 0;
    HOST_TRY
    {
        for (; index < count; index += 1) {
            MountedVolumeAttach(FileSystemDevice, devices[index], NameBuffer);
        }
    }
    HOST_EXCEPT
    {
        for (ULONG rest = index + 1; rest < count; rest += 1) {
            ObfDereferenceObject(devices[rest]);
        }
        ExFreePoolWithTag(devices, 0);
        ExRaiseStatus(HOST_EXCEPTION_CODE());
    }
    HOST_END_TRY
    ExFreePoolWithTag(devices, 0);
    return STATUS_SUCCESS;
}

HOST_PAGED
NTSTATUS AttachToVolume(PDEVICE_OBJECT VolumeDevice, PDEVICE_OBJECT FilterDevice, PDEVICE_OBJECT StorageDevice)
{
    PAGED_CODE();
    RtlZeroMemory(FilterDevice->DeviceExtension, VolumeFilterExtensionBytes);
    // Once attached, the device can be torn down and deleted at any moment; the reference keeps it
    // readable until AddAttachRecord has seen whether it was.
    ObfReferenceObject(FilterDevice);
    // The stack test and the attach are one step: an enumeration and a mount of the same volume
    // cannot both attach.
    AFastMutex_Acquire(&FsFilter.AttachMutex);
    NTSTATUS status;
    PDEVICE_OBJECT hostDevice = nullptr;
    if (IsFilterInStack(VolumeDevice, &hostDevice)) {
        IoDeleteDevice(FilterDevice);
        ObfDereferenceObject(hostDevice);
        status = STATUS_INVALID_PARAMETER;
    } else {
        FilterDevice->Flags |= VolumeDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
        status = AttachVolumeWithRetries(VolumeDevice, FilterDevice);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(FilterDevice);
        }
    }
    AFastMutex_Release(&FsFilter.AttachMutex);
    if (NT_SUCCESS(status)) {
        // The module's AttachNotify may raise: the reference is dropped on the way out too.
        HOST_TRY
        {
            status = AddAttachRecord(FilterDevice, VolumeDevice, StorageDevice);
        }
        HOST_EXCEPT
        {
            ObfDereferenceObject(FilterDevice);
            ExRaiseStatus(HOST_EXCEPTION_CODE());
        }
        HOST_END_TRY
    }
    ObfDereferenceObject(FilterDevice);
    return status;
}

HOST_PAGED
BOOLEAN IsFilterInStack(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT* HostDevice)
{
    PAGED_CODE();
    // Downward from the top, holding a reference on the device being looked at.
    PDEVICE_OBJECT current = IoGetAttachedDeviceReference(DeviceObject);
    while (current != nullptr) {
        if (current->DriverObject == FsFilter.DriverObject) {
            if (HostDevice != nullptr) {
                *HostDevice = current;
            } else {
                ObfDereferenceObject(current);
            }
            return TRUE;
        }
        PDEVICE_OBJECT lower = IoGetLowerDeviceObject(current);
        ObfDereferenceObject(current);
        current = lower;
    }
    if (HostDevice != nullptr) {
        *HostDevice = nullptr;
    }
    return FALSE;
}

void QueryObjectName(PVOID Object, PUNICODE_STRING Name)
{
    Name->Length = 0;
    // The object manager's answer, on the stack; a name that does not fit counts as none.
    union {
        OBJECT_NAME_INFORMATION Info;
        UCHAR Bytes[ObjectNameWorkBufferBytes];
    } work;
    ULONG returnedBytes = 0;
    NTSTATUS status = ObQueryNameString(Object, &work.Info, sizeof(work), &returnedBytes);
    // An unnamed object answers an empty name, possibly without a buffer: nothing to copy.
    if (NT_SUCCESS(status) && work.Info.Name.Length != 0) {
        RtlCopyUnicodeString(Name, &work.Info.Name);
    }
}

void QueryBaseDeviceName(PDEVICE_OBJECT DeviceObject, PUNICODE_STRING Name)
{
    PDEVICE_OBJECT base = IoGetDeviceAttachmentBaseRef(DeviceObject);
    QueryObjectName(base, Name);
    ObfDereferenceObject(base);
}
