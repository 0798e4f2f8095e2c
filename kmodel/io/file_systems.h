// The I/O manager's side of file systems and volumes, as its own parts and the model's file-system
// drivers see it: the database of registered file systems, VPBs, mounting, file I/O with its fast
// I/O path, and the life of the model's file systems with the model.
#pragma once

#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "io/io_manager.h"

namespace km::io {

// ---- Registered file systems (filesystem.cpp) ---------------------------------------------------

// The file-system database lock: held shared while a mount asks the registered file systems in
// turn, exclusive while a registration changes and the change routines are told of it.
std::shared_mutex& FileSystemDatabaseLock();
// Database lock held: the control devices registered for volumes of storage type `storageType`
// (FILE_DEVICE_DISK or FILE_DEVICE_CD_ROM), in the order a mount asks them (newest first).
std::vector<PDEVICE_OBJECT> FileSystemsForVolumeLocked(DEVICE_TYPE storageType);
// What a driver that goes left registered, removed, with lines for them when `report` is set:
// its control devices still registered as file systems (before its devices are torn down), and
// the change routines that lie in its image.
std::string ReleaseFileSystemsOfDriver(PDRIVER_OBJECT driver, bool report);
std::string ReleaseFsChangeRoutinesOfImage(const void* image, bool report);
// A fresh database (boot); every registration dropped and its pool freed (shutdown).
void BootFileSystemDatabase();
void ShutdownFileSystemDatabase();

// ---- VPBs (volume.cpp) ------------------------------------------------------------------------

// Guards the VPB fields (Flags, DeviceObject), a storage device's Vpb pointer and a volume
// device's DeviceObjectExtension->Vpb, as the kernel's VPB spin lock. Taken after ob::ModelLock
// when both are needed; ob::ModelLock is never taken while it is held.
std::mutex& VpbLock();
// A VPB for the storage device `realDevice`, not mounted. VPBs belong to the model: those not
// freed earlier go at shutdown.
PVPB AllocateVpb(PDEVICE_OBJECT realDevice);
void FreeVpb(PVPB vpb);
void FreeAllVpbs();

// ---- Mounting (mount.cpp) ---------------------------------------------------------------------

// An open of `device` with `granted` access and a remaining name that is empty or not: decides
// whether it is a direct device open (no mount, FO_DIRECT_DEVICE_OPEN) and otherwise mounts the
// volume of a storage device with a VPB if it is not mounted. The mount's status on failure.
NTSTATUS PrepareDeviceOpen(PDEVICE_OBJECT device, bool remainingEmpty, ACCESS_MASK granted, bool* directOpen);

// ---- File I/O (file_io.cpp) -------------------------------------------------------------------

// Read or write on a file handle for a caller of previous mode `mode`, synchronous: the top
// device's fast I/O member first, then an IRP. *fastIo tells which served it.
NTSTATUS ReadWriteFile(HANDLE fileHandle, bool write, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                       PLARGE_INTEGER byteOffset, PULONG key, KPROCESSOR_MODE mode, bool* fastIo);
NTSTATUS QueryFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID information, ULONG length,
                   FILE_INFORMATION_CLASS infoClass, KPROCESSOR_MODE mode, bool* fastIo);

// ---- The model's file-system drivers (kmodel/fs) ----------------------------------------------

// A clean start (boot); the system worker thread stopped before the drivers go (shutdown); the
// drivers' records freed after they went (shutdown).
void BootModelFileSystems();
void StopModelFileSystemWorker();
void ForgetModelFileSystems();

}  // namespace km::io
