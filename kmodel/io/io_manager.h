// The model's I/O manager as its own parts see each other: driver records, the per-device record,
// previous mode, IRP tracking with the I/O manager's own completion, fault injection, and the
// start and end of the I/O manager's life with the model.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kmodel/io_model.h"
#include "kmodel/model.h"
#include "ob/object_manager.h"

// The model's record of a device, where the DDK keeps the device object extension. Drivers never
// look inside it.
struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;
    // The device this one is attached to (the next lower device), or null.
    PDEVICE_OBJECT AttachedTo;
    // IoDeleteDevice has run; the device is out of the name space and its driver's list.
    bool DeletePending;
    // The deletion has finished (the device's creation reference is gone).
    bool DeleteFinished;
    // A file system's volume device: the VPB of the volume it mounted, while mounted (under the
    // VPB lock); IoGetDiskDeviceObject answers its RealDevice.
    PVPB Vpb;
};

// Parameter 1 of DRIVER_VERIFIER_IOMANAGER_VIOLATION for the checks the model's I/O manager makes.
enum KmIoCheck : ULONG_PTR {
    KmIoCheckPendingNotMarked = 0x2001,      // STATUS_PENDING returned without IoMarkIrpPending
    KmIoCheckMarkedNotPending = 0x2002,      // marked pending, returned another status
    KmIoCheckDispatchIrql = 0x2003,          // dispatch routine returned at another IRQL
    KmIoCheckDispatchSpinLock = 0x2004,      // dispatch routine returned holding a spin lock
    KmIoCheckCompletePending = 0x2005,       // completed with STATUS_PENDING
    KmIoCheckCompleteIrql = 0x2006,          // completed above DISPATCH_LEVEL
    KmIoCheckInformationTooLarge = 0x2007,   // buffered device control: Information above output length
    KmIoCheckNotCompleted = 0x2008,          // returned a status other than pending without completing
    KmIoCheckFreeUnknownIrp = 0x2009,
    KmIoCheckUnknownIrp = 0x200A,
    KmIoCheckUnknownDevice = 0x200B,
    KmIoCheckBadMajorFunction = 0x200C,
    KmIoCheckDeleteWithAttached = 0x200D,    // IoDeleteDevice while a device is attached on top
    KmIoCheckDeleteWhileAttached = 0x200E,   // IoDeleteDevice while still attached to a lower device
    KmIoCheckDetachNothing = 0x200F,         // IoDetachDevice on a device with nothing attached
    KmIoCheckUnknownDriver = 0x2010,
    KmIoCheckDeleteTwice = 0x2011,
    KmIoCheckAttachTwice = 0x2012,
    KmIoCheckUnpreparedLocation = 0x2040,    // IoCallDriver into a stack location nobody filled
};

// What IoAllocateIrp and the model's IRP builders put in the major function of every stack
// location: no major function has it, so a call down into a location nobody prepared (a forgotten
// IoSkipCurrentIrpStackLocation or IoCopyCurrentIrpStackLocationToNext) is caught.
constexpr UCHAR KmUnpreparedMajorFunction = 0xEE;

namespace km::io {

// The object type tokens exported as IoFileObjectType, IoDeviceObjectType, IoDriverObjectType.
PVOID ObjectTypeOf(ob::ObjectKind kind);

// ---- Previous mode --------------------------------------------------------------------------

// The previous mode of the calling thread: KernelMode inside a Zw* service or on a thread of the
// System process, otherwise UserMode.
KPROCESSOR_MODE CurrentPreviousMode();
// Makes the calling thread's previous mode `mode` for its lifetime (a Zw* service).
class PreviousModeScope {
public:
    explicit PreviousModeScope(KPROCESSOR_MODE mode);
    ~PreviousModeScope();
    PreviousModeScope(const PreviousModeScope&) = delete;
    PreviousModeScope& operator=(const PreviousModeScope&) = delete;

private:
    int saved_;
};

// ---- Drivers --------------------------------------------------------------------------------

struct ModelDriverState;

struct DriverRecord {
    PDRIVER_OBJECT driver = nullptr;
    km::Image* image = nullptr;          // null for drivers the model owns
    const void* imageBase = nullptr;     // base of the image's mapping, for attribution
    std::string display;                 // the driver name, printable
    std::vector<WCHAR> nameStorage;      // DriverName's characters
    std::vector<WCHAR> serviceStorage;   // DriverExtension->ServiceKeyName's characters
    std::vector<WCHAR> registryStorage;  // the registry path given to DriverEntry
    UNICODE_STRING registryPath{};
    ModelDriverState* model = nullptr;   // the model's lower driver, when it is one
    bool loaded = true;                  // false once unloaded (the object may live on)
};

// Creates a driver object with the given exact name bytes (inserted in the name space when the
// name is a valid path there), every major function set to InvalidDeviceRequest.
NTSTATUS CreateDriverObject(const std::u16string& name, DriverRecord** record);
// Removes the driver from the name space and the loaded drivers, and drops its creation
// reference (the object lives until its devices are gone).
void DeleteDriverObject(DriverRecord* record);
DriverRecord* FindDriverLocked(const DRIVER_OBJECT* driver);
std::vector<DriverRecord*> LoadedDriversLocked();
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The model's lower driver: its state goes with its driver record; a new model forgets it.
void DeleteModelDriverState(DriverRecord* record);
void ForgetModelDriver();
// Loads the image as driver `driverName` of `service` (ServiceKeyName), calls its DriverEntry with
// `registryPath` on a System thread, and unwinds a failed start (km::LoadDriver's rules).
km::DriverLoadResult StartDriver(const std::string& imagePath, const std::u16string& service,
                                 const std::u16string& driverName, const std::u16string& registryPath,
                                 const std::function<void(km::Image*)>& beforeEntry);
// Calls the unload routine of a started driver on a System thread, reports and releases what it
// left, and unloads its image. STATUS_INVALID_DEVICE_REQUEST without an unload routine (or for a
// driver the model owns).
NTSTATUS UnloadStartedDriver(DriverRecord* record);
// Clears the log of driver-service unload calls (boot).
void ForgetDriverServiceUnloads();
// Shutdown: every loaded driver goes as at system shutdown (no unload routine, no leak report).
void TearDownLoadedDrivers();
// Pool blocks allocated by code of `image`: lines for them when `report` is set; freed.
std::string ReleasePoolOfImage(const void* image, bool report);

// ---- Devices --------------------------------------------------------------------------------

// Deletes a device without the verifier's checks, detaching it from above and below first: the
// unwinding of a failed driver and the teardown at shutdown.
void ForceDeleteDevice(PDEVICE_OBJECT device);
// Called when a deleted device's last open file goes: the deletion finishes.
void FinishDeviceDeleteIfUnused(PDEVICE_OBJECT device);
// The device a file object's requests go to: the top of the attachment stack of its device.
PDEVICE_OBJECT RelatedDevice(PFILE_OBJECT file);

// ---- Files ----------------------------------------------------------------------------------

// Opens `ObjectAttributes->ObjectName` for a caller of previous mode `mode` (NtCreateFile and
// ZwCreateFile); `holder` is the image of the caller.
NTSTATUS CreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                    PIO_STATUS_BLOCK ioStatusBlock, ULONG fileAttributes, ULONG shareAccess, ULONG createDisposition,
                    ULONG createOptions, KPROCESSOR_MODE mode, const void* holder);
// Generic rights mapped to the file rights they stand for.
ACCESS_MASK MapFileAccess(ACCESS_MASK desired);
// An IRP of the model's own making with one stack location per device in the stack; IoAllocateIrp
// without fault injection when `mayFail` is false.
PIRP AllocateIrp(CCHAR stackSize, bool mayFail, const void* allocator);

// ---- IRPs -----------------------------------------------------------------------------------

// How the I/O manager finishes an IRP it built once the last stack location has completed:
// copies buffered output back, frees the system buffer, writes the status block, signals the
// event and, for IRPs nobody waits to free, frees the IRP.
struct IoManagerCompletion {
    PIO_STATUS_BLOCK ioStatus = nullptr;
    PKEVENT event = nullptr;
    bool freeIrp = false;
    ULONG outputLength = 0;  // the most buffered output copied back to Irp->UserBuffer
};
// Tag of the system buffers of buffered I/O.
constexpr ULONG SystemBufferTag = km::PoolTag("IoSB");
void SetIoManagerCompletion(PIRP irp, const IoManagerCompletion& completion);
// Sends an IRP the model built to `device` and waits until it has completed; `ioStatus` receives
// the final status. The IRP is freed.
NTSTATUS CallSynchronously(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* ioStatus);
// Lines for the IRPs not freed; with `image` set, only those that image allocated (freed when
// `free` is set).
std::string IrpLeakReport();
std::string IrpsAllocatedByImage(const void* image, bool free);
size_t OutstandingIrpCount();
bool IsAllocatedIrp(PIRP irp);
// Frees every IRP without a word (shutdown, after the report).
void ResetIrps();

// ---- Fault injection ------------------------------------------------------------------------

enum class FaultPoint { CreateDevice, AttachDevice, AllocateIrp };
// The injected failure status for the next call at `point`, or STATUS_SUCCESS.
NTSTATUS TakeInjectedFailure(FaultPoint point);
// The test's action for the next successful attach (km::AfterNextIoAttach), taken so that it runs once.
km::AttachHook TakeAttachHook();

// ---- Work items ------------------------------------------------------------------------------

// Bug-checks when a work item whose routine lies in `image` is queued or running (the driver is
// unloading); then answers lines for the items that image allocated and did not free (freed when
// `free` is set).
std::string WorkItemsOfImage(const void* image, bool free);
// Lines for every work item not freed (all freed).
std::string WorkItemLeakReport();

// ---- Driver leaks ---------------------------------------------------------------------------

// Appends lines to the report of what unloaded or failed drivers left behind.
void AddDriverLeakLines(const std::string& lines);

// ---- Life with the model --------------------------------------------------------------------

void Boot();
// Tears down every loaded driver as at system shutdown and answers what was left behind.
std::string Shutdown();
// A process ended: its handles are closed and its token goes.
void ProcessExited(HANDLE processId);
// Shutdown has begun to tear the drivers down: files that go now get no cleanup or close.
bool TearingDown();
void BootSecurity();
void ShutdownSecurity();
void ForgetProcessToken(HANDLE processId);

}  // namespace km::io
