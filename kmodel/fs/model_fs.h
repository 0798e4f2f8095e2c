// The model's file-system drivers as their parts see each other: the file store (what a disk, a
// CD or a share holds), volumes, per-open records, the file-system record with its counts and
// held mounts, the storage driver, and the system worker thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "io/file_systems.h"
#include "kmodel/fs_model.h"

namespace km::fs {

// Parameter 1 of DRIVER_VERIFIER_IOMANAGER_VIOLATION: a read or write reached a file system
// without the buffer its volume device's buffer method calls for (a filter above did not copy
// DO_BUFFERED_IO / DO_DIRECT_IO from the device it attached to).
constexpr ULONG_PTR CheckBufferMethod = 0x2105;

// ---- The file store (store.cpp) ----------------------------------------------------------------

// One file: its bytes and attributes. Guarded by its medium's lock.
struct FileNode {
    std::vector<uint8_t> data;
    ULONG attributes = FILE_ATTRIBUTE_ARCHIVE;
    bool directory = false;
    LARGE_INTEGER creationTime{};
    LARGE_INTEGER lastWriteTime{};
    SECTION_OBJECT_POINTERS sectionPointers{};
};

// What a disk, a CD or a share holds: files by upcased path ("\DIR\A.TXT"), and the root
// directory. Directories are implicit: any path below the root may be created. A medium
// outlives the volumes mounted on it, as a disk's contents do.
struct Medium {
    std::mutex lock;
    std::map<std::u16string, std::unique_ptr<FileNode>> files;
    FileNode root;
    Medium();
};

// The outcome of a create against a medium: the node and the create result (FILE_OPENED ...).
struct CreateOutcome {
    NTSTATUS status;
    FileNode* node;
    ULONG_PTR information;
};
// Opens or creates `path` ("\a.txt"; "\" is the root) with a create disposition.
CreateOutcome CreateInMedium(Medium* medium, const std::u16string& path, ULONG disposition);
// Copies file bytes; STATUS_END_OF_FILE when `offset` is at or past the end.
NTSTATUS ReadNode(Medium* medium, FileNode* node, LONGLONG offset, void* buffer, ULONG length, ULONG_PTR* done);
// Writes file bytes, extending the file; offset -1 appends.
NTSTATUS WriteNode(Medium* medium, FileNode* node, LONGLONG offset, const void* buffer, ULONG length,
                   ULONG_PTR* done);
void QueryBasic(Medium* medium, FileNode* node, FILE_BASIC_INFORMATION* info);
void QueryStandard(Medium* medium, FileNode* node, FILE_STANDARD_INFORMATION* info);
void QueryNetworkOpen(Medium* medium, FileNode* node, FILE_NETWORK_OPEN_INFORMATION* info);
// The node at `path`, or null.
FileNode* FindInMedium(Medium* medium, const std::u16string& path);
std::u16string Upcased(const std::u16string& text);

// ---- Volumes and opens ---------------------------------------------------------------------------

struct OpenFile;

// A mounted volume. Requests on different volumes take no lock in common: the opens of files on
// the volume, its open count and its dismount are under the volume's own `lock`, and the IRPs it
// was sent are counted here without a lock (folded into the file system's counts when it goes).
struct Volume {
    FileSystem* fs = nullptr;
    PDEVICE_OBJECT device = nullptr;   // the unnamed volume device
    PDEVICE_OBJECT storage = nullptr;  // the storage device (the VPB's RealDevice)
    PVPB vpb = nullptr;                // the VPB it mounted
    Medium* medium = nullptr;
    std::mutex lock;
    std::set<OpenFile*> opens;         // files opened on the volume and not yet closed
    ULONG openFiles = 0;               // opened and not yet closed
    bool dismounted = false;
    std::atomic<uint64_t> irps[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};  // by major function
};

// The volume device's extension.
struct VolumeExtension {
    Volume* volume;
};

// One open file (FsContext2); FsContext is its FileNode (null for an open of a volume or of the
// redirector itself).
struct OpenFile {
    FileSystem* fs = nullptr;
    Volume* volume = nullptr;  // null on the redirector
    Medium* medium = nullptr;  // null for an open of a volume or of the redirector
    FileNode* node = nullptr;
};

}  // namespace km::fs

// A started model file system. Counts, held mounts, the volume list and the opens of no volume
// (its control devices, the redirector's files) are under `lock`; a volume's own opens are under
// the volume's lock, taken inside this one when both are held.
struct km::FileSystem {
    FileSystemOptions options;
    bool recognizer = false;
    io::DriverRecord* record = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<PDEVICE_OBJECT> controls;
    bool registered = false;
    bool stopped = false;
    // The table the driver object shows (null when missing).
    void* fastIoTable = nullptr;

    std::mutex lock;
    std::condition_variable changed;  // a mount was held
    MountBehaviour mount = MountBehaviour::Mount;
    NTSTATUS refusal = STATUS_UNRECOGNIZED_VOLUME;
    bool fastIoDeclines = false;
    FileSystemCalls calls;
    std::deque<PIRP> heldMounts;
    std::vector<std::unique_ptr<fs::Volume>> volumes;
    std::set<fs::OpenFile*> opens;  // opens of no volume
    std::map<std::u16string, std::unique_ptr<fs::Medium>> shares;  // redirector: by "\SERVER\SHARE"
};

namespace km::fs {

// ---- The drivers (filesystem_driver.cpp, mount.cpp, fastio.cpp) ------------------------------

// The file system that owns the driver object, or null.
FileSystem* FileSystemOfDriver(const DRIVER_OBJECT* driver);
// Whether `device` is one of the file system's control devices.
bool IsControlDevice(FileSystem* fs, PDEVICE_OBJECT device);
// The dispatch routine of every major function.
NTSTATUS NTAPI FileSystemDispatch(PDEVICE_OBJECT device, PIRP irp);
// IRP_MN_MOUNT_VOLUME on a control device, as the file system's mount behaviour says.
NTSTATUS MountRequest(FileSystem* fs, PIRP irp);
// Mounts the volume the mount IRP names: an unnamed volume device, named in the VPB.
NTSTATUS MountNow(FileSystem* fs, PIRP irp);
// FSCTL_DISMOUNT_VOLUME: the volume is dismounted and its VPB swapped for a fresh one; the volume
// device goes at its last close.
NTSTATUS Dismount(Volume* volume);
// A dismounted volume with no open file: its device is deleted (each filter attached above is
// told through its FastIoDetachDevice) and its record freed.
void DeleteVolume(Volume* volume);
// The file system's table laid out as `options` ask (null for Missing).
void* BuildFastIoTable(const FileSystemOptions& options);
// Under fs->lock: counts one fast I/O call and logs it (the first FastIoCallLogLimit calls).
void CountFastIoLocked(FileSystem* fs, const FastIoCall& call);
// The volume of a volume device of `fs`, or null (a control device, or a volume gone).
Volume* VolumeOfDevice(FileSystem* fs, PDEVICE_OBJECT device);
// Whether `context` (a file object's FsContext2) is an open of `fs` that is not closed; then sets
// *dismounted (whether its volume is dismounted). `hint` is the volume the request came to, looked
// at first; without a hit every volume is. Takes fs->lock and volume locks; hold neither.
OpenFile* LiveOpen(FileSystem* fs, Volume* hint, const void* context, bool* dismounted);
// Removes an open from its volume (or from the file system); false if it was not there. True in
// *lastOfDismounted when it was the last open of a dismounted volume.
bool RemoveOpen(FileSystem* fs, OpenFile* open, bool* lastOfDismounted);

// ---- Storage devices (storage.cpp) -----------------------------------------------------------

// The medium of a storage device made by km::CreateStorageDevice, or null.
Medium* MediumOfStorage(PDEVICE_OBJECT storage);
// The storage device's name, for opens of its volume.
std::u16string StorageName(PDEVICE_OBJECT storage);

// ---- Model state (filesystem_driver.cpp) -------------------------------------------------------

// The file systems by driver object, as requests read it: a table never changed once published.
// Starting a file system publishes a copy with one more entry; the tables replaced stay until the
// model's file systems are forgotten, so a request may read without a lock.
struct DriverTable {
    std::vector<std::pair<const DRIVER_OBJECT*, FileSystem*>> entries;
};

// Every file system and storage device of the running model; the records live until shutdown.
// `lock` guards all but `drivers`, which is published under it and read without it.
struct ModelState {
    std::mutex lock;
    std::vector<std::unique_ptr<FileSystem>> fileSystems;
    std::atomic<const DriverTable*> drivers{nullptr};
    std::vector<std::unique_ptr<DriverTable>> driverTables;  // the current one and those replaced
    io::DriverRecord* storageDriver = nullptr;
    std::map<PDEVICE_OBJECT, std::unique_ptr<Medium>> media;  // by storage device
    std::map<PDEVICE_OBJECT, std::u16string> storageNames;
    ULONG nextDisk = 1;
    ULONG nextCdRom = 0;
};
ModelState& State();

// ---- The system worker thread (worker.cpp) ------------------------------------------------------

// Runs `work` on the model's system worker thread (a System thread that stands for the kernel's
// worker threads: the thread notify routines are not told of it), started on first use.
void QueueSystemWork(std::function<void()> work);
// Lets the queued work finish and ends the thread.
void StopSystemWorker();

}  // namespace km::fs
