// File-system registration: IoRegisterFileSystem and IoUnregisterFileSystem keep one queue per
// kind of file system (network, CD-ROM, disk, tape), newest first, which is the order in which a
// mount asks them; IoRegisterFsRegistrationChange tells a routine of the file systems registered
// so far and then of every registration and unregistration, under the file-system database lock.
// A control device of any other type is registered and reported, but in no queue: the replay of a
// later change routine does not name it, as on Windows.
#include <algorithm>

#include "internal/ps.h"
#include "internal/verifier.h"
#include "io/file_systems.h"

namespace km::io {

namespace {

// Parameter 1 of DRIVER_VERIFIER_IOMANAGER_VIOLATION for misuse of the registration routines.
constexpr ULONG_PTR CheckFileSystemRegisteredTwice = 0x2101;
constexpr ULONG_PTR CheckFileSystemNotRegistered = 0x2102;

// The kernel keeps each change routine in a small pool block, as here: pool faults reach it.
constexpr ULONG ChangePacketTag = km::PoolTag("IoFs");

struct ChangePacket {
    PDRIVER_OBJECT driver;
    PDRIVER_FS_NOTIFICATION routine;
};

struct ChangeRoutine {
    ChangePacket* packet;
    const void* image;  // the driver image the routine lies in (null: test code or the model)
};

struct Database {
    // Control devices, newest first.
    std::vector<PDEVICE_OBJECT> network;
    std::vector<PDEVICE_OBJECT> cdRom;
    std::vector<PDEVICE_OBJECT> disk;
    std::vector<PDEVICE_OBJECT> tape;
    // Registered devices of any other type (in no queue).
    std::vector<PDEVICE_OBJECT> other;
    // In registration order.
    std::vector<ChangeRoutine> routines;
};

// Guarded by FileSystemDatabaseLock.
Database& Db()
{
    static auto* database = new Database;
    return *database;
}

std::vector<PDEVICE_OBJECT>* QueueOf(DEVICE_TYPE fileSystemType)
{
    switch (fileSystemType) {
    case FILE_DEVICE_NETWORK_FILE_SYSTEM:
        return &Db().network;
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        return &Db().cdRom;
    case FILE_DEVICE_DISK_FILE_SYSTEM:
        return &Db().disk;
    case FILE_DEVICE_TAPE_FILE_SYSTEM:
        return &Db().tape;
    default:
        return &Db().other;
    }
}

// The queues a change routine's replay walks, in the order it walks them.
std::vector<std::vector<PDEVICE_OBJECT>*> ReplayedQueues()
{
    return {&Db().network, &Db().cdRom, &Db().disk, &Db().tape};
}

std::vector<std::vector<PDEVICE_OBJECT>*> AllQueues()
{
    return {&Db().network, &Db().cdRom, &Db().disk, &Db().tape, &Db().other};
}

bool IsRegisteredLocked(PDEVICE_OBJECT device)
{
    for (auto* queue : AllQueues()) {
        if (std::find(queue->begin(), queue->end(), device) != queue->end()) {
            return true;
        }
    }
    return false;
}

void RequirePassive(const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, 0, 0, "%s at IRQL %u", routine,
                   irql);
    }
}

// Database lock held exclusively: calls one change routine, which must return at PASSIVE_LEVEL.
void CallChangeRoutine(PDRIVER_FS_NOTIFICATION routine, PDEVICE_OBJECT device, bool active)
{
    KmCalloutMark mark = KmCalloutEnter();
    routine(device, active ? TRUE : FALSE);
    KmCalloutReturned(mark, "file-system change routine", reinterpret_cast<const void*>(routine));
}

// Database lock held exclusively: tells every change routine, in registration order.
void NotifyChangeLocked(PDEVICE_OBJECT device, bool active)
{
    std::vector<ChangeRoutine> routines = Db().routines;
    for (const ChangeRoutine& entry : routines) {
        CallChangeRoutine(entry.packet->routine, device, active);
    }
}

// The registration's hold on the control device: while registered, its deletion cannot finish.
void AdjustDeviceReferenceCount(PDEVICE_OBJECT device, LONG delta)
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    device->ReferenceCount += delta;
}

void FreeChangeRoutine(const ChangeRoutine& entry)
{
    PDRIVER_OBJECT driver = entry.packet->driver;
    ExFreePoolWithTag(entry.packet, ChangePacketTag);
    ob::DereferenceModel(driver);
}

}  // namespace

std::shared_mutex& FileSystemDatabaseLock()
{
    static auto* lock = new std::shared_mutex;
    return *lock;
}

std::vector<PDEVICE_OBJECT> FileSystemsForVolumeLocked(DEVICE_TYPE storageType)
{
    switch (storageType) {
    case FILE_DEVICE_DISK:
        return Db().disk;
    case FILE_DEVICE_CD_ROM:
        return Db().cdRom;
    default:
        return {};
    }
}

std::string ReleaseFileSystemsOfDriver(PDRIVER_OBJECT driver, bool report)
{
    std::vector<PDEVICE_OBJECT> released;
    {
        std::unique_lock<std::shared_mutex> exclusive(FileSystemDatabaseLock());
        for (auto* queue : AllQueues()) {
            for (PDEVICE_OBJECT device : *queue) {
                if (device->DriverObject == driver) {
                    released.push_back(device);
                }
            }
            queue->erase(std::remove_if(queue->begin(), queue->end(),
                                        [driver](PDEVICE_OBJECT device) { return device->DriverObject == driver; }),
                         queue->end());
        }
    }
    std::string lines;
    for (PDEVICE_OBJECT device : released) {
        AdjustDeviceReferenceCount(device, -1);
        if (report) {
            std::lock_guard<std::mutex> hold(ob::ModelLock());
            lines += ob::DescribeLocked(ob::FindLocked(device)) + " still registered as a file system\n";
        }
    }
    return lines;
}

std::string ReleaseFsChangeRoutinesOfImage(const void* image, bool report)
{
    std::vector<ChangeRoutine> released;
    {
        std::unique_lock<std::shared_mutex> exclusive(FileSystemDatabaseLock());
        auto& routines = Db().routines;
        for (const ChangeRoutine& entry : routines) {
            if (entry.image == image) {
                released.push_back(entry);
            }
        }
        routines.erase(std::remove_if(routines.begin(), routines.end(),
                                      [image](const ChangeRoutine& entry) { return entry.image == image; }),
                       routines.end());
    }
    std::string lines;
    for (const ChangeRoutine& entry : released) {
        if (report) {
            char line[96];
            snprintf(line, sizeof line, "file-system change routine %p still registered\n",
                     reinterpret_cast<void*>(entry.packet->routine));
            lines += line;
        }
        FreeChangeRoutine(entry);
    }
    return lines;
}

void BootFileSystemDatabase()
{
    std::unique_lock<std::shared_mutex> exclusive(FileSystemDatabaseLock());
    Db() = Database{};
}

void ShutdownFileSystemDatabase()
{
    std::vector<ChangeRoutine> routines;
    {
        std::unique_lock<std::shared_mutex> exclusive(FileSystemDatabaseLock());
        routines.swap(Db().routines);
        Db() = Database{};
    }
    for (const ChangeRoutine& entry : routines) {
        FreeChangeRoutine(entry);
    }
}

}  // namespace km::io

using namespace km::io;
namespace ob = km::ob;

// Registers a file system's control device: into the queue of its type (disk, CD-ROM, network or
// tape file system), at the head, then every change routine is told. The registration holds the
// device: its deletion finishes only after IoUnregisterFileSystem. PASSIVE_LEVEL.
extern "C" void NTAPI IoRegisterFileSystem(PDEVICE_OBJECT DeviceObject)
{
    RequirePassive("IoRegisterFileSystem");
    std::unique_lock<std::shared_mutex> exclusive(FileSystemDatabaseLock());
    if (IsRegisteredLocked(DeviceObject)) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, CheckFileSystemRegisteredTwice, (ULONG_PTR)DeviceObject, 0, 0,
                   "IoRegisterFileSystem of device %p, which is registered already", (void*)DeviceObject);
    }
    std::vector<PDEVICE_OBJECT>* queue = QueueOf(DeviceObject->DeviceType);
    queue->insert(queue->begin(), DeviceObject);
    AdjustDeviceReferenceCount(DeviceObject, 1);
    NotifyChangeLocked(DeviceObject, true);
}

// Takes a file system's control device out of its queue and tells every change routine. A
// device deleted meanwhile goes now. PASSIVE_LEVEL.
extern "C" void NTAPI IoUnregisterFileSystem(PDEVICE_OBJECT DeviceObject)
{
    RequirePassive("IoUnregisterFileSystem");
    {
        std::unique_lock<std::shared_mutex> exclusive(FileSystemDatabaseLock());
        std::vector<PDEVICE_OBJECT>* queue = QueueOf(DeviceObject->DeviceType);
        auto found = std::find(queue->begin(), queue->end(), DeviceObject);
        if (found == queue->end()) {
            KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, CheckFileSystemNotRegistered, (ULONG_PTR)DeviceObject, 0,
                       0, "IoUnregisterFileSystem of device %p, which is not registered", (void*)DeviceObject);
        }
        queue->erase(found);
        NotifyChangeLocked(DeviceObject, false);
    }
    AdjustDeviceReferenceCount(DeviceObject, -1);
    FinishDeviceDeleteIfUnused(DeviceObject);
}

// Registers a change routine and, before returning, calls it (active) for every file system
// registered so far: the network, then the CD-ROM, then the disk, then the tape file systems,
// each kind in the order it registered. The driver object is referenced until IoUnregisterFsRegistrationChange.
// STATUS_INSUFFICIENT_RESOURCES when pool is short. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI IoRegisterFsRegistrationChange(PDRIVER_OBJECT DriverObject,
                                                         PDRIVER_FS_NOTIFICATION DriverNotificationRoutine)
{
    RequirePassive("IoRegisterFsRegistrationChange");
    auto* packet = static_cast<ChangePacket*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ChangePacket), ChangePacketTag));
    if (packet == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    packet->driver = DriverObject;
    packet->routine = DriverNotificationRoutine;
    ob::ReferenceModel(DriverObject);
    const void* image = ob::ImageContaining(reinterpret_cast<void*>(DriverNotificationRoutine));
    std::unique_lock<std::shared_mutex> exclusive(FileSystemDatabaseLock());
    Db().routines.push_back(ChangeRoutine{packet, image});
    for (auto* queue : ReplayedQueues()) {
        std::vector<PDEVICE_OBJECT> oldestFirst(queue->rbegin(), queue->rend());
        for (PDEVICE_OBJECT device : oldestFirst) {
            CallChangeRoutine(DriverNotificationRoutine, device, true);
        }
    }
    return STATUS_SUCCESS;
}

// Removes a change routine registered by the same driver; nothing is called. PASSIVE_LEVEL.
extern "C" void NTAPI IoUnregisterFsRegistrationChange(PDRIVER_OBJECT DriverObject,
                                                       PDRIVER_FS_NOTIFICATION DriverNotificationRoutine)
{
    RequirePassive("IoUnregisterFsRegistrationChange");
    ChangeRoutine released{};
    {
        std::unique_lock<std::shared_mutex> exclusive(FileSystemDatabaseLock());
        auto& routines = Db().routines;
        auto found = std::find_if(routines.begin(), routines.end(), [&](const ChangeRoutine& entry) {
            return entry.packet->driver == DriverObject && entry.packet->routine == DriverNotificationRoutine;
        });
        if (found == routines.end()) {
            return;
        }
        released = *found;
        routines.erase(found);
    }
    FreeChangeRoutine(released);
}
