// The kernel model's I/O manager, object manager and security as tests drive them: loading and
// unloading driver images, finding objects, a model-owned lower driver whose devices complete or
// record IRPs, sending IRPs and opening devices, privileges of model processes, fault injection.
// Kernel code never includes this header.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kmodel/model.h"
#include "ntmodel/ntifs.h"

namespace km {

// ---- Driver images ----------------------------------------------------------------------------

struct DriverLoadOptions {
    // The service name; empty: the image's file name without its extension.
    std::u16string serviceName;
    // The exact DriverName, every character counted (it may end in U+0000, need not begin with
    // "\Driver\", may be empty). Default: "\Driver\" + service name. A name that is a valid path
    // is also inserted in the object name space.
    std::optional<std::u16string> driverName;
    // Runs after the image is loaded and before DriverEntry, e.g. to set the image's variables.
    std::function<void(Image*)> beforeEntry;
};

struct DriverLoadResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;  // DriverEntry's, or why the load failed before it
    PDRIVER_OBJECT driver = nullptr;        // null unless the driver started
    Image* image = nullptr;                 // null unless the driver started
    std::string error;                      // why the image could not be loaded, if it could not
};

// Loads a driver image (afresh: its data starts from its initial values), creates its driver
// object and calls DriverEntry at PASSIVE_LEVEL on a thread of the System process with the
// registry path "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<service name>". When
// DriverEntry fails, the driver object goes and the image is unloaded; whatever the driver left
// (devices, pool, references, handles, IRPs) is reported (see DriverLeakReport) and released.
DriverLoadResult LoadDriver(const std::string& imagePath, const DriverLoadOptions& options = {});
// ZwLoadDriver / ZwUnloadDriver (ntmodel/cm.h) load and unload the same way through a service key
// (see kmodel/cm_model.h to write one): the driver object is "\Driver\<service>"
// ("\FileSystem\<service>" for "Type" 2 or 8), <service> being the key path's last component; DriverEntry
// gets the key path as given. The model's "\SystemRoot\System32\drivers" is ImageDirectory(); an
// "ImagePath" (REG_SZ or REG_EXPAND_SZ) names a file there as
//     "\SystemRoot\System32\drivers\NAME"   or   "System32\drivers\NAME" (relative to \SystemRoot),
// compared case-insensitively, where "x.sys" is the built image "x.so". Without "ImagePath" the
// image is "\SystemRoot\System32\drivers\<service>.sys". A subdirectory or any other directory
// ("\??\C:\...", "%SystemRoot%\...") is one the model lacks: STATUS_OBJECT_PATH_NOT_FOUND; a
// missing file: STATUS_OBJECT_NAME_NOT_FOUND; no key: STATUS_OBJECT_NAME_NOT_FOUND; a driver
// object or an image already loaded: STATUS_IMAGE_ALREADY_LOADED; a failed DriverEntry: its status.
//
// The image path of a built test image: ImageDirectory() + "/" + file name.
std::string ImagePath(const std::string& fileName);
// One ZwUnloadDriver (or NtUnloadDriver) call: the key path's last component, the model time at
// which the call came, and its result.
struct DriverServiceUnload {
    std::u16string service;
    int64_t called100ns = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
};
// Every such call since boot, in the order they ended.
std::vector<DriverServiceUnload> DriverServiceUnloads();
// The image of a loaded driver (also one ZwLoadDriver started), to find its exports; null for a
// driver the model owns or one already unloaded.
Image* DriverImage(PDRIVER_OBJECT driver);
// Unloads a started driver through its DriverUnload routine, then checks, reports and releases
// what it left behind. STATUS_INVALID_DEVICE_REQUEST when the driver has no unload routine.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driver);
// What unloaded or failed drivers left behind, one line per item, since the last call; the same
// lines are part of Shutdown's report unless taken here first.
std::string TakeDriverLeakReport();

// ---- Objects ----------------------------------------------------------------------------------

// The object of that exact name (case-insensitive, exact length), unreferenced; null when none.
PDEVICE_OBJECT FindDevice(const std::u16string& name);
PDRIVER_OBJECT FindDriver(const std::u16string& name);
// The object's reference count, or -1 when it is not a live object.
long ObjectReferenceCount(const void* object);
// Open handles to the object (0 when none or not an object).
long ObjectHandleCount(const void* object);
// The routine every major function of a new driver object starts with: it completes the IRP
// with STATUS_INVALID_DEVICE_REQUEST.
PDRIVER_DISPATCH InvalidDeviceRequestRoutine();

// ---- Fault injection --------------------------------------------------------------------------

// The nth call from now (1 = the next) of the routine, and the count - 1 calls after it, fail
// with `status` before doing anything.
void FailIoCreateDevice(uint64_t nth, NTSTATUS status, uint64_t count = 1);
void FailIoAttachDevice(uint64_t nth, NTSTATUS status, uint64_t count = 1);
// IoAllocateIrp answers null.
void FailIoAllocateIrp(uint64_t nth, uint64_t count = 1);
// Runs `hook` once, on the attaching thread and outside the model's locks, right after the next
// IoAttachDeviceToDeviceStackSafe that succeeds, before it returns to its caller: the window in
// which a driver has attached but not yet recorded the attachment.
using AttachHook = std::function<void(PDEVICE_OBJECT source, PDEVICE_OBJECT target)>;
void AfterNextIoAttach(AttachHook hook);
// Clears every rule above, the pending attach hook included.
void ClearIoFaults();

// ---- The model's lower driver -----------------------------------------------------------------

// Each device of the model's lower driver records every IRP it receives and then either runs
// the device's handler, or completes the IRP with the result set for its major function
// (STATUS_SUCCESS and Information 0 unless set).
struct RecordedIrp {
    PDEVICE_OBJECT device;
    PIRP irp;
    IO_STACK_LOCATION stack;  // the current stack location as received (its pointers live with the IRP)
    KPROCESSOR_MODE requestorMode;
    ULONG irpFlags;
    std::vector<uint8_t> systemBuffer;  // buffered device control: the input bytes
};
using IrpHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct ModelDeviceOptions {
    DEVICE_TYPE type = FILE_DEVICE_DISK;
    std::u16string name;  // empty: unnamed
    ULONG characteristics = 0;
    ULONG flags = 0;       // added to the device's Flags
    ULONG extensionSize = 0;
    bool initializing = false;  // keep DO_DEVICE_INITIALIZING set
};

// A device of the model's lower driver ("\Driver\ModelLower"); it is deleted at shutdown with
// the driver, or earlier with DeleteModelDevice.
PDEVICE_OBJECT CreateModelDevice(const ModelDeviceOptions& options = {});
void DeleteModelDevice(PDEVICE_OBJECT device);
PDRIVER_OBJECT ModelDriver();
void SetModelDeviceHandler(PDEVICE_OBJECT device, IrpHandler handler);
void SetModelDeviceResult(PDEVICE_OBJECT device, UCHAR majorFunction, NTSTATUS status, ULONG_PTR information);
std::vector<RecordedIrp> ModelDeviceIrps(PDEVICE_OBJECT device);

// ---- IRPs and files ---------------------------------------------------------------------------

struct IrpRequest {
    UCHAR majorFunction = IRP_MJ_CREATE;
    UCHAR minorFunction = 0;
    PFILE_OBJECT fileObject = nullptr;
    KPROCESSOR_MODE requestorMode = KernelMode;
    // Fills the rest of the stack location the device receives.
    std::function<void(PIO_STACK_LOCATION)> setup;
};
struct IrpResult {
    NTSTATUS returned;  // what IofCallDriver returned
    NTSTATUS status;    // the final IoStatus.Status
    ULONG_PTR information;
};
// Builds an IRP with IoAllocateIrp for exactly `device` (not the top of its stack), calls it
// with IofCallDriver, waits until it has completed (also when pended and completed on another
// thread) and frees it.
IrpResult SendIrp(PDEVICE_OBJECT device, const IrpRequest& request);
// Builds a device-control IRP with IoBuildDeviceIoControlRequest and sends it to `device`,
// waiting on its event when pended.
IrpResult SendDeviceControl(PDEVICE_OBJECT device, ULONG ioControlCode, const void* input, ULONG inputLength,
                            void* output, ULONG outputLength, bool internal = false);
// IRPs allocated and not yet freed.
size_t OutstandingIrps();

struct OpenResult {
    NTSTATUS status;
    HANDLE handle;  // null unless opened
    IO_STATUS_BLOCK ioStatus;
};
// Opens a device (or a path below it) with ZwCreateFile (`kernel`) or NtCreateFile from the
// calling thread, FILE_OPEN, share read and write.
OpenResult OpenFile(const std::u16string& name, bool kernel, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE,
                    ULONG attributes = 0);

// ---- Security ---------------------------------------------------------------------------------

enum class PrivilegeState { Absent, Disabled, Enabled };
// A user process's token starts with SeChangeNotifyPrivilege enabled and nothing else; the
// System process holds every privilege, enabled.
void GrantPrivilege(Process* process, ULONG privilege, bool enabled);
void RevokePrivilege(Process* process, ULONG privilege);
PrivilegeState QueryPrivilege(Process* process, ULONG privilege);
// Runs `body` on a thread of a new user process holding `privileges` (each enabled or not) and
// ends the process afterwards (its handles are closed then).
void RunAsUser(const std::function<void()>& body, const std::vector<std::pair<ULONG, bool>>& privileges = {});

}  // namespace km
