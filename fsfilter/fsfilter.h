// The file-system filter: a filter device of the host on every file-system control device and
// every mounted volume of the disk, CD-ROM and network file systems; the record of the volume
// filter devices (AttachedList of AttachRecord) and the module's attach notifications for them;
// mounts; the teardown of filter devices; and the fast I/O table. Builds on host/ for the link and
// the DispatchGate. This header is the folder's one header: the first part is what the driver core
// uses, the second what the folder's files share.
//
//   attach.cpp   start, file systems coming and going, attaching to file systems and volumes
//   mount.cpp    file-system control IRPs (mounts followed) and passing a request down
//   records.cpp  AttachedList: recording, looking up and walking the volume filter devices
//   detach.cpp   a filter device's teardown when the device below it goes
//   fastio.cpp   HostFastIoDispatch and its forwarding
//
// Locks: AttachMutex makes the stack test and the attach of a volume one step and is never held
// together with AttachedListLock or a RecordLock; AttachedListLock is held exclusive only around
// list changes and shared by the walks, never across a call into the module; a record's
// RecordLock around every AttachNotify and withdrawal DetachNotify.
#pragma once

#include "base/platform.h"
#include "base/asimpleresource.h"
#include "base/locks.h"
#include "host/host.h"

// Called by the file-system filter just before it deletes one of its filter devices, so that
// whatever the layers above key by the device's address goes first: a new device at the same
// address must inherit nothing. The driver core (which the filter may not call, being below it)
// hands its routine in through StartFsFilter. PASSIVE_LEVEL here, though the routine may allow
// more.
typedef void FSFILTER_DEVICE_GOING(_In_ PDEVICE_OBJECT DeviceObject);

// The file-system filter's part of HostGlobals (driver/hostglobals.h composes the record). Zero at
// load; StartFsFilter sets it up.
struct FsFilterState {
    // The host's driver object, stored by StartFsFilter: every filter device is created on it, and
    // a device is the host's when its DriverObject is this one.
    PDRIVER_OBJECT DriverObject;
    // The hook of the layer above for a filter device about to be deleted; stored by
    // StartFsFilter, never changed afterwards. May be null (nothing to tell).
    FSFILTER_DEVICE_GOING* DeviceGoing;
    LIST_ENTRY AttachedList;  // AttachRecord entries, newest first
    AFastMutex AttachMutex;
    ASimpleResource AttachedListLock;  // guards AttachedList
};

// One per volume filter device that was attached and recorded (records.cpp tells its life).
struct AttachRecord {
    LIST_ENTRY Links;              // membership of AttachedList
    PDEVICE_OBJECT FilterDevice;   // the host's volume filter device
    PDEVICE_OBJECT VolumeDevice;   // the device given as the target of the attach
    PDEVICE_OBJECT StorageDevice;  // the storage device under the volume; no reference held
    UCHAR ModuleAttached;          // the module's answer to AttachNotify; 0 until it has run
    AMutex RecordLock;             // held around every AttachNotify call for this record
    // Set by the teardown under RecordLock once the record is out of AttachedList: the module is
    // not told of the device again.
    UCHAR Unlinked;
    // The list's reference and one per notifier still using the record (interlocked); the last
    // one frees it (FsFilterReleaseRecord).
    volatile LONG References;
};

// The file-system filter's state inside HostGlobals; defined with the record, in
// driver/hostglobals.cpp.
extern FsFilterState& FsFilter;

// True for the device types the host filters: disk, CD-ROM and network file systems.
inline BOOLEAN FsFilterIsAcceptedType(DEVICE_TYPE DeviceType)
{
    return DeviceType == FILE_DEVICE_DISK_FILE_SYSTEM || DeviceType == FILE_DEVICE_CD_ROM_FILE_SYSTEM ||
           DeviceType == FILE_DEVICE_NETWORK_FILE_SYSTEM;
}

// Bytes of a volume filter device's extension; zero-filled before the attach.
constexpr ULONG VolumeFilterExtensionBytes = 100;

// What the host keeps in a volume filter device's extension (the rest stays zero). TornDown is set
// (interlocked) by the teardown before it looks for the device's record, so that a record not yet
// inserted is never inserted: AddAttachRecord tests it under AttachedListLock exclusive. Recorded
// is 1 while the device's record is in AttachedList: set and cleared (interlocked) under
// AttachedListLock exclusive as the record goes in and out, and read without the lock by the
// routing of every request (FsFilterIsRecordedDevice). A recorded device is attached: its
// teardown takes the record before it detaches the device.
struct VolumeFilterExtension {
    volatile LONG TornDown;
    volatile LONG Recorded;
};
static_assert(sizeof(VolumeFilterExtension) <= VolumeFilterExtensionBytes, "the extension holds it");
// Capacity of the name buffer of AttachToFileSystem: the file system driver's name, then each
// candidate volume's base device name.
constexpr USHORT FileSystemNameBufferBytes = 128;
// Bytes of QueryObjectName's work buffer for the object manager's answer.
constexpr ULONG ObjectNameWorkBufferBytes = 512;
// Devices added to the counted size of the enumeration array, for devices created meanwhile.
constexpr ULONG DeviceListSpareEntries = 8;
// Pool tag of the enumeration array: "SFlt".
constexpr ULONG DeviceListPoolTag = 0x746C4653;
// Pool tag of the record snapshots the entry-point commands notify over: "FhRs".
constexpr ULONG RecordSnapshotPoolTag = 0x73526846;
// Attach attempts of AttachToVolume, and the wait after each failed one.
constexpr ULONG VolumeAttachAttempts = 8;
constexpr ULONG VolumeAttachRetryDelayMs = 500;

extern "C" {

// ================================ For the driver core ================================

// Last start-up step: stores the driver object and the DeviceGoing hook, prepares AttachedList
// with its locks, installs DispatchFsControl and HostFastIoDispatch, and registers for file-system
// changes (which attaches to the file systems already running). On failure it has undone its own work; the
// IRP_MJ_FILE_SYSTEM_CONTROL slot stays set. PASSIVE_LEVEL, driver entry only.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    StartFsFilter(_In_ PDRIVER_OBJECT DriverObject, _In_opt_ FSFILTER_DEVICE_GOING* DeviceGoing);

// The IRP_MJ_FILE_SYSTEM_CONTROL slot of every device of the host driver: mounts are handled by
// HandleMountVolume, everything else goes down (STATUS_NO_MEDIA with nothing below). PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS DispatchFsControl(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// The host driver's fast I/O table, fully laid out (SizeOfFastIoDispatch covers all 27 members);
// never changed after load. Each entry hands the call to the member of the same name in the
// filter module's table through the DispatchGate while the module is linked, else to the member of
// the driver below the host device, else returns the not-handled result (FALSE, or
// STATUS_NOT_IMPLEMENTED for the four NTSTATUS members), after which the caller uses an IRP. The
// acquire/release pairs are served as one: a release goes to whoever served its acquire.
extern const FAST_IO_DISPATCH HostFastIoDispatch;

// True when AttachedList records DeviceObject, a device of the host's, as a volume filter device:
// its extension's Recorded mark, read without AttachedListLock (a device without an extension is
// none). Up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN FsFilterIsRecordedDevice(_In_ PDEVICE_OBJECT DeviceObject);

// RegisterEntryPoints' replay: every record, newest first, is offered to the module again
// (LinkNotifyAttach under its RecordLock), also those it has taken. The module is called for a
// referenced snapshot of the records, outside AttachedListLock; a record torn down meanwhile is
// passed over. STATUS_INSUFFICIENT_RESOURCES, with nothing offered, when the list cannot be walked
// (its shared hold refused) or the snapshot not allocated. PASSIVE_LEVEL.
_IRQL_requires_max_(APC_LEVEL) NTSTATUS FsFilterAnnounceRecords();

// WithdrawEntryPoints' offer: every record the module has taken is offered back
// (LinkNotifyWithdrawal under its RecordLock), over a snapshot as above, with the same failure.
_IRQL_requires_max_(APC_LEVEL) NTSTATUS FsFilterWithdrawRecords();

// The device directly below DeviceObject, or null when it is attached to nothing. The reference
// IoGetLowerDeviceObject adds is dropped: the pointer stays valid only while DeviceObject stays
// attached.
_IRQL_requires_max_(DISPATCH_LEVEL) PDEVICE_OBJECT LowerDeviceOf(_In_ PDEVICE_OBJECT DeviceObject);

// Hands the IRP, unchanged, to the device below DeviceObject and returns that driver's status; the
// lower driver owns the IRP. With nothing below, completes it with STATUS_NO_MEDIA.
_IRQL_requires_max_(APC_LEVEL) NTSTATUS PassDown(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// Completes an IRP the host answers itself: the status, Information 0, IO_NO_INCREMENT. Returns the
// status. The IRP is gone afterwards. No spin lock may be held.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS HostCompleteRequest(_Inout_ PIRP Irp, NTSTATUS Status);

// ================================ Inside the file-system filter ================================

// ---- attach.cpp ----

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

// Attaches the prepared FilterDevice onto VolumeDevice's stack, unless a host device already sits
// in it (STATUS_INVALID_PARAMETER), in up to VolumeAttachAttempts tries with a wait after each
// failure, all under AttachMutex; then records it (AddAttachRecord). FilterDevice is deleted on
// both failures. PASSIVE_LEVEL; AttachMutex and the list locks must not be held.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    AttachToVolume(_In_ PDEVICE_OBJECT VolumeDevice, _In_ PDEVICE_OBJECT FilterDevice,
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

// ---- mount.cpp ----

// IRP_MN_MOUNT_VOLUME through a file-system filter device: prepares a volume filter device, sends
// the mount down, waits for it, attaches to the new volume when it mounted, and completes the IRP
// with the file system's final status. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS HandleMountVolume(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);

// Completion routine of a mount sent down by HandleMountVolume: signals the event in Context and
// keeps the IRP (STATUS_MORE_PROCESSING_REQUIRED). Up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL) IO_COMPLETION_ROUTINE MountCompletion;

// ---- records.cpp ----

// Records an attached volume filter device at the head of AttachedList and tells a registered
// module of it (AttachNotify under the record's RecordLock). STATUS_INSUFFICIENT_RESOURCES when no
// record can be made; the device then stays attached without one. STATUS_NO_SUCH_DEVICE, with
// nothing recorded, when the device was torn down since its attach (its extension says so); the
// caller keeps a reference on a device with an extension until this returns. PASSIVE_LEVEL; no
// list lock held.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    AddAttachRecord(_In_ PDEVICE_OBJECT FilterDevice, _In_ PDEVICE_OBJECT VolumeDevice,
                    _In_ PDEVICE_OBJECT StorageDevice);

// Tells the module about a recorded volume filter device: under the record's RecordLock,
// LinkNotifyAttach with the record's devices, the answer going to ModuleAttached. The caller must
// not hold AttachedListLock or GateLock, and keeps the record from being freed meanwhile (a
// reference); a record the teardown has marked Unlinked is passed over.
// PASSIVE_LEVEL or APC_LEVEL.
_IRQL_requires_max_(APC_LEVEL) void FsFilterNotifyAttach(_Inout_ AttachRecord* Record);

// Drops one reference on a record; the last one frees it (its RecordLock must not be owned then).
_IRQL_requires_max_(APC_LEVEL) void FsFilterReleaseRecord(_Inout_ AttachRecord* Record);

// Unlinks the newest record of FilterDevice from AttachedList (AttachedListLock held exclusive)
// and returns it, now the caller's to free; null when the device has none. PASSIVE_LEVEL.
_IRQL_requires_max_(APC_LEVEL) AttachRecord* FsFilterTakeRecord(_In_ PDEVICE_OBJECT FilterDevice);

// ---- detach.cpp ----

// Takes the host's file-system filter device off a file system that unregisters: the first host
// device above the control device is detached from the device below it and deleted. A chain
// without one is left as it is. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) void DetachFromFileSystem(_In_ PDEVICE_OBJECT FileSystemDevice);

// Deletes a filter device that has been detached (or never attached to anything the host knows
// of): the DeviceGoing hook first, then IoDeleteDevice. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL) void FsFilterDeleteDevice(_In_ PDEVICE_OBJECT FilterDevice);

// The FastIoDetachDevice entry of HostFastIoDispatch: called by the I/O manager when the device
// below a host device is being deleted; offers the call to the module, then takes the host device
// away (record, detach, delete). PASSIVE_LEVEL.
FAST_IO_DETACH_DEVICE HostFastIoDetachDevice;

// ---- fastio.cpp ----

// True for a device of the host driver of an accepted file-system type; only such devices have
// their fast I/O forwarded. Any IRQL.
BOOLEAN FsFilterIsHostFilterDevice(_In_opt_ PDEVICE_OBJECT DeviceObject);

// Under GateLock: when LinkState is linked, Attached (the host device has a lower device),
// ModuleFastIo is set and its member at MemberOffset is not null, enters the DispatchGate and
// returns that member (the caller calls it, then LeaveGate). Otherwise returns null. *Linked, when asked for, tells whether the module
// was linked.
_IRQL_requires_max_(DISPATCH_LEVEL) PVOID
    FastIoEnterModuleMember(BOOLEAN Attached, ULONG MemberOffset, _Out_opt_ BOOLEAN* Linked);

}  // extern "C"
