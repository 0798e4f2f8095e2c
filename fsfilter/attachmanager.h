// The attachment manager: a filter device of the host on every file-system control device and
// every mounted volume of the disk, CD-ROM and network file systems. Volume filter devices are
// recorded in HostGlobals.AttachedList (AttachRecord) and announced to the filter module; filter
// devices go again when their file system unregisters or the device below them is deleted.
//
// Locks: AttachMutex makes the stack test and the attach of a volume one step and is never held
// together with AttachedListLock or a RecordLock; AttachedListLock (exclusive) only around list
// changes; a record's RecordLock around AttachNotify.
#pragma once

#include "base/platform.h"

// Bytes of a volume filter device's extension; zero-filled before the attach, unused afterwards.
constexpr ULONG VolumeFilterExtensionBytes = 100;
// Capacity of the name buffer of AttachToFileSystem: the file system driver's name, then each
// candidate volume's base device name.
constexpr USHORT FileSystemNameBufferBytes = 128;
// Bytes of QueryObjectName's work buffer for the object manager's answer.
constexpr ULONG ObjectNameWorkBufferBytes = 512;
// Devices added to the counted size of the enumeration array, for devices created meanwhile.
constexpr ULONG DeviceListSpareEntries = 8;
// Pool tag of the enumeration array: "SFlt".
constexpr ULONG DeviceListPoolTag = 0x746C4653;
// Attach attempts of AttachToVolume, and the wait after each failed one.
constexpr ULONG VolumeAttachAttempts = 8;
constexpr ULONG VolumeAttachRetryDelayMs = 500;

// True for the device types the host filters: disk, CD-ROM and network file systems.
inline BOOLEAN FsFilterIsAcceptedType(DEVICE_TYPE DeviceType)
{
    return DeviceType == FILE_DEVICE_DISK_FILE_SYSTEM || DeviceType == FILE_DEVICE_CD_ROM_FILE_SYSTEM ||
           DeviceType == FILE_DEVICE_NETWORK_FILE_SYSTEM;
}

extern "C" {

// Last start-up step: stores the driver object, prepares AttachedList with its locks, installs
// DispatchFsControl and HostFastIoDispatch, registers for file-system changes (which attaches to
// the file systems already running) and opens the control device. On failure it has undone its
// own work; the IRP_MJ_FILE_SYSTEM_CONTROL slot stays set. PASSIVE_LEVEL, driver entry only.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS StartFsFilter(_In_ PDRIVER_OBJECT DriverObject);

// File-system registration callback: attaches to a file system that becomes active; for one that
// goes, detaches and deletes the host's file-system filter device on its control device, if any.
// PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) void NTAPI OnFsRegistrationChange(_In_ PDEVICE_OBJECT DeviceObject, BOOLEAN FsActive);

// Puts a file-system filter device on a file system's control device, then volume filter devices
// on its mounted volumes. STATUS_SUCCESS, without attaching, for a type the host does not filter
// and for the recognizer "\FileSystem\Fs_Rec". When the volumes cannot be enumerated the control
// device's filter is taken away again and that status returned. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS AttachToFileSystem(_In_ PDEVICE_OBJECT FileSystemDevice);

// Attaches a volume filter device to each mounted volume of the file system that is not filtered
// yet, has an unnamed base device and a storage device. NameBuffer (caller's, any capacity) is
// used for the base device names. Per-volume failures only skip that volume; an enumeration or
// allocation failure is returned. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    AttachToMountedVolumes(_In_ PDEVICE_OBJECT FileSystemDevice, _Inout_ PUNICODE_STRING NameBuffer);

// The IRP_MJ_FILE_SYSTEM_CONTROL slot of every device of the host driver: mounts are handled by
// HandleMountVolume, everything else goes down (STATUS_NO_MEDIA with nothing below). PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS DispatchFsControl(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// IRP_MN_MOUNT_VOLUME through a file-system filter device: prepares a volume filter device, sends
// the mount down, waits for it, attaches to the new volume when it mounted, and completes the IRP
// with the file system's final status. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS HandleMountVolume(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// Completion routine of a mount sent down by HandleMountVolume: signals the event in Context and
// keeps the IRP (STATUS_MORE_PROCESSING_REQUIRED). Up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL) IO_COMPLETION_ROUTINE MountCompletion;

// Attaches the prepared FilterDevice onto VolumeDevice's stack, unless a host device already sits
// in it (STATUS_INVALID_PARAMETER), in up to VolumeAttachAttempts tries with a wait after each
// failure, all under AttachMutex; then records it (AddAttachRecord). FilterDevice is deleted on
// both failures. PASSIVE_LEVEL; AttachMutex and the list locks must not be held.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    AttachToVolume(_In_ PDEVICE_OBJECT VolumeDevice, _In_ PDEVICE_OBJECT FilterDevice,
                   _In_ PDEVICE_OBJECT StorageDevice);

// Records an attached volume filter device at the head of AttachedList and tells a registered
// module of it (AttachNotify under the record's RecordLock). STATUS_INSUFFICIENT_RESOURCES when no
// record can be made; the device then stays attached without one. PASSIVE_LEVEL; no list lock held.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    AddAttachRecord(_In_ PDEVICE_OBJECT FilterDevice, _In_ PDEVICE_OBJECT VolumeDevice,
                    _In_ PDEVICE_OBJECT StorageDevice);

// True when a device of the host driver sits anywhere in DeviceObject's stack; the search runs
// down from the top, so it finds the topmost. When HostDevice is given it receives that device,
// referenced for the caller (null when none). Up to APC_LEVEL.
_IRQL_requires_max_(APC_LEVEL) BOOLEAN
    IsFilterInStack(_In_ PDEVICE_OBJECT DeviceObject, _Out_opt_ PDEVICE_OBJECT* HostDevice);

// Copies the object's name into Name, truncated to its capacity; Name is empty when the object
// has no name or it does not fit the 512-byte work buffer. Below DISPATCH_LEVEL.
_IRQL_requires_max_(APC_LEVEL) void QueryObjectName(_In_ PVOID Object, _Inout_ PUNICODE_STRING Name);

// QueryObjectName of the device at the base of DeviceObject's attachment stack.
_IRQL_requires_max_(APC_LEVEL) void QueryBaseDeviceName(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PUNICODE_STRING Name);

}  // extern "C"
