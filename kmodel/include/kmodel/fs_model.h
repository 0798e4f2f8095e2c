// The kernel model's file systems and volumes as tests drive them: model file-system drivers
// (disk, CD-ROM, network redirector, and the recognizer "\FileSystem\Fs_Rec"), storage devices
// with their VPBs, mounting and dismounting, file I/O through the I/O manager's fast I/O and IRP
// paths, what each file system was asked to do, and fault injection for the notify routines.
// Kernel code never includes this header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kmodel/io_model.h"
#include "kmodel/model.h"
#include "ntmodel/ntifs.h"

namespace km {

// ---- Fast I/O members -------------------------------------------------------------------------

// The 27 members of FAST_IO_DISPATCH in table order; member k sits at byte offset 8 * k.
enum class FastIoMember : unsigned {
    CheckIfPossible = 1,
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
    DetachDevice,
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
constexpr unsigned FastIoMemberCount = 27;
constexpr ULONG FastIoMemberOffset(FastIoMember member) { return 8 * static_cast<ULONG>(member); }
// Bit for `member` in FileSystemOptions::omittedMembers.
constexpr uint32_t FastIoMemberBit(FastIoMember member) { return 1u << (static_cast<unsigned>(member) - 1); }

// ---- Model file systems -----------------------------------------------------------------------

enum class FileSystemType {
    Disk,     // control device FILE_DEVICE_DISK_FILE_SYSTEM; mounts disk volumes
    CdRom,    // control device FILE_DEVICE_CD_ROM_FILE_SYSTEM; mounts CD-ROM volumes
    Network,  // a redirector: control device FILE_DEVICE_NETWORK_FILE_SYSTEM, named, no mounts
};

// How a file system answers IRP_MN_MOUNT_VOLUME.
enum class MountBehaviour {
    Mount,          // mounts at once in the dispatch routine
    Pend,           // marks the IRP pending and keeps it until CompletePendedMount
    PendOnWorker,   // marks the IRP pending and mounts on the model's system worker thread
    Refuse,         // completes with `refusal` (STATUS_UNRECOGNIZED_VOLUME: the next one is asked)
};

// The file system's FAST_IO_DISPATCH as its driver object shows it.
enum class FastIoTableKind {
    Full,     // SizeOfFastIoDispatch 224; every member the file system has (all but DetachDevice)
    Short,    // as Full, but SizeOfFastIoDispatch is shortTableSize. The members past it are still
              // in the table, so that a caller that ignores the size is seen calling them.
    Missing,  // DriverObject->FastIoDispatch is null
};

struct FileSystemOptions {
    FileSystemType type = FileSystemType::Disk;
    // Driver "\FileSystem\<name>"; control device "\<name>" ("\Device\<name>" for a redirector).
    // Empty: ModelFat, ModelCdfs or ModelRdr.
    std::u16string name;
    FastIoTableKind fastIo = FastIoTableKind::Full;
    ULONG shortTableSize = FastIoMemberOffset(FastIoMember::QueryBasicInfo);
    uint32_t omittedMembers = 0;  // FastIoMemberBit of members left null in the table
    MountBehaviour mount = MountBehaviour::Mount;
    NTSTATUS refusal = STATUS_UNRECOGNIZED_VOLUME;
    // Added to the control device's Flags and Characteristics, and to each volume device's Flags
    // (DO_BUFFERED_IO: reads and writes use a system buffer; otherwise the caller's buffer).
    ULONG controlFlags = 0;
    ULONG controlCharacteristics = 0;
    ULONG volumeFlags = 0;
    // Non-zero: the control device's type instead of the one `type` gives (a file system of
    // another kind, e.g. FILE_DEVICE_TAPE_FILE_SYSTEM; it mounts no model storage).
    DEVICE_TYPE controlDeviceType = 0;
    bool registerNow = true;  // IoRegisterFileSystem at start
};

struct FileSystem;  // a started model file system, owned by the model

// Creates the driver object and its named control device (ready, DO_DEVICE_INITIALIZING clear)
// and, with registerNow, registers it with IoRegisterFileSystem, on the calling thread.
FileSystem* StartFileSystem(const FileSystemOptions& options = {});
// "\FileSystem\Fs_Rec" with two recognizer control devices, "\FileSystem\FatDiskRecognizer"
// (disk) and "\FileSystem\CdfsRecognizer" (CD-ROM), both registered; they refuse every mount.
FileSystem* StartRecognizer();
// Fs_Rec, ModelFat, ModelCdfs and ModelRdr, started and registered in that order, as at boot.
struct StandardFileSystems {
    FileSystem* recognizer;
    FileSystem* fat;
    FileSystem* cdfs;
    FileSystem* rdr;
};
StandardFileSystems StartStandardFileSystems();

PDRIVER_OBJECT FileSystemDriver(FileSystem* fs);
// The control device (the recognizer's disk one); FileSystemControlDevices lists all.
PDEVICE_OBJECT FileSystemControlDevice(FileSystem* fs);
std::vector<PDEVICE_OBJECT> FileSystemControlDevices(FileSystem* fs);
// IoRegisterFileSystem / IoUnregisterFileSystem of every control device of `fs`. As on Windows,
// a registration change waits for a mount in progress (the file-system database lock).
void RegisterFileSystem(FileSystem* fs);
void UnregisterFileSystem(FileSystem* fs);
// Unregisters (if registered), deletes the control devices (a filter still attached is told
// through its FastIoDetachDevice) and the driver object. Misuse while a volume is mounted.
void StopFileSystem(FileSystem* fs);

void SetMountBehaviour(FileSystem* fs, MountBehaviour behaviour, NTSTATUS refusal = STATUS_UNRECOGNIZED_VOLUME);
// Pend: waits up to `timeoutMs` real milliseconds until `count` mounts are held; false on time-out.
bool WaitForPendedMounts(FileSystem* fs, size_t count, uint32_t timeoutMs = 10000);
// Completes the oldest held mount on the calling thread: mounts the volume when `mount`,
// otherwise completes with `refusal`. Misuse when none is held.
void CompletePendedMount(FileSystem* fs, bool mount = true, NTSTATUS refusal = STATUS_UNRECOGNIZED_VOLUME);
// When set, the members that would serve data (Read, Write, the three queries, QueryOpen)
// return FALSE, so that the I/O manager falls back to an IRP.
void SetFastIoDeclines(FileSystem* fs, bool declines);

// What a file system was asked to do since it started (or since ResetFileSystemCalls).
struct FastIoCall {
    FastIoMember member;
    PDEVICE_OBJECT device;       // the DeviceObject argument (null for the members without one)
    PFILE_OBJECT file;           // the FileObject argument, or the IRP's for QueryOpen; null if none
    PDEVICE_OBJECT stackDevice;  // QueryOpen: the DeviceObject of the IRP's current stack location
};
struct FileSystemCalls {
    uint64_t irps[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};  // by major function, every device of the driver
    uint64_t fastIo[FastIoMemberCount + 1] = {};      // by FastIoMember
    uint64_t mountRequests = 0;
    uint64_t mounts = 0;  // volumes mounted
    std::vector<FastIoCall> fastIoCalls;  // the first FastIoCallLogLimit calls, in call order
};
constexpr size_t FastIoCallLogLimit = 4096;
FileSystemCalls CallsOf(FileSystem* fs);
void ResetFileSystemCalls(FileSystem* fs);

// ---- Storage devices and volumes --------------------------------------------------------------

enum class StorageType {
    Disk,   // FILE_DEVICE_DISK, default name "\Device\HarddiskVolume<n>"
    CdRom,  // FILE_DEVICE_CD_ROM, default name "\Device\CdRom<n>"
};

// A named storage device of "\Driver\ModelStorage" with a VPB (RealDevice = the device), not
// mounted. Its contents (the files the volume holds) outlive dismounts, as on a disk.
PDEVICE_OBJECT CreateStorageDevice(StorageType type, const std::u16string& name = {});
// Dismounts the volume if one is mounted, then deletes the device.
void DeleteStorageDevice(PDEVICE_OBJECT storage);
// The volume device the storage device's VPB names while mounted, else null (unreferenced).
PDEVICE_OBJECT MountedVolume(PDEVICE_OBJECT storage);
// The file system that owns a volume device or control device; null for other devices.
FileSystem* FileSystemOf(PDEVICE_OBJECT device);
// Opens and closes the volume, which mounts it as the first open does; the open's status.
NTSTATUS MountVolume(PDEVICE_OBJECT storage);
// As "fsutil volume dismount": opens the volume, sends FSCTL_DISMOUNT_VOLUME to the top of its
// stack and closes it. The file system deletes the volume device once no file on it is open (at
// once when none is): each driver attached above is told through its FastIoDetachDevice, from
// the bottom of the stack up. The next open mounts afresh. STATUS_VOLUME_DISMOUNTED when not mounted.
NTSTATUS DismountVolume(PDEVICE_OBJECT storage);

// ---- File I/O ---------------------------------------------------------------------------------

// Opens or creates a file ("\Device\HarddiskVolume1\dir\a.txt", "\Device\ModelRdr\srv\share\a")
// with ZwCreateFile (`kernel`) or NtCreateFile, synchronous I/O, share read and write.
OpenResult CreateFile(const std::u16string& name, ULONG disposition, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE,
                      bool kernel = true);

// A request as the I/O manager served it: fastIo is true when a fast I/O member returned TRUE.
struct FileIoResult {
    NTSTATUS status;
    ULONG_PTR information;
    bool fastIo;
};
// ZwReadFile / ZwWriteFile / ZwQueryInformationFile (NtXxx unless `kernel`) on a handle of the
// calling thread: the top device's fast I/O member first, then an IRP.
FileIoResult ReadFile(HANDLE file, uint64_t offset, void* buffer, ULONG length, bool kernel = true);
FileIoResult WriteFile(HANDLE file, uint64_t offset, const void* buffer, ULONG length, bool kernel = true);
FileIoResult QueryInformationFile(HANDLE file, void* buffer, ULONG length, FILE_INFORMATION_CLASS infoClass,
                                  bool kernel = true);

// ---- Process and thread notify routines -------------------------------------------------------

enum class NotifyKind { Process, Thread, Image };
// The nth registration from now (1 = the next) of that kind, and count - 1 after it, fail with
// `status` before doing anything.
void FailNotifyRegistration(NotifyKind kind, uint64_t nth, NTSTATUS status, uint64_t count = 1);
// Routines now registered of that kind.
size_t NotifyRoutineCount(NotifyKind kind);

}  // namespace km
