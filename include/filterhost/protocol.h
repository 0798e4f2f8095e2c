// The host's control protocol, shared by the driver, the controller, filter modules and tests:
// device-control codes, command codes, the command block and its replies (byte layouts fixed by
// the offsets asserted below), the unload notice the host sends to a module, and, for kernel-mode
// includers, the entry points a module registers.
//
// All fields are little-endian. Pointer-sized fields are 64 bits. Request and reply share one
// buffered-I/O buffer: a reply is written over its request.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- Device-control codes of the host's control device ----------------------------------------
// Device type FILE_DEVICE_UNKNOWN (0x22), METHOD_BUFFERED, FILE_ANY_ACCESS.
#define IOCTL_HOST_QUERY_VERSION 0x222004u
#define IOCTL_HOST_COMMAND 0x222008u

// ---- Device-control code the host sends to the filter module ------------------------------------
// Function 0x702, METHOD_BUFFERED, FILE_ANY_ACCESS: the host is about to unload the module.
#define IOCTL_MODULE_UNLOAD_NOTICE 0x221C08u

// ---- Version query --------------------------------------------------------------------------
#define HOST_PROTOCOL_VERSION 0x00050001u

struct HostVersionReply {
    uint32_t Version;  // HOST_PROTOCOL_VERSION
    uint8_t Flags;     // 0
    uint8_t Reserved[3];
};
static_assert(sizeof(HostVersionReply) == 8, "version reply layout");

// ---- Command codes --------------------------------------------------------------------------
enum HostCommand : uint32_t {
    HostCommandLoadModule = 10,
    HostCommandUnloadModule = 11,
    HostCommandConnect = 12,
    HostCommandSetLink = 15,
    HostCommandSetRedirectDevice = 18,
    HostCommandGetRedirectDevice = 19,
    HostCommandSetRedirectHandler = 20,
    HostCommandRequestUnload = 21,
    HostCommandGetPoolRoutines = 22,
    HostCommandRegisterEntryPoints = 23,
    HostCommandWithdrawEntryPoints = 24,
    HostCommandRegisterNotifyForwarders = 25,
    HostCommandAddOverride = 26,
    HostCommandRemoveOverride = 27,
};

// ---- Command block ----------------------------------------------------------------------------

// The head of every command block.
struct ControlRequest {
    uint32_t Command;       // a HostCommand
    uint32_t Reserved;      // not read by the host
    uint32_t OutputLength;  // replaced by the host with the request's output buffer length
    uint32_t Argument;      // 32-bit argument of the commands that take one
};
static_assert(sizeof(ControlRequest) == 16, "command block layout");
static_assert(offsetof(ControlRequest, OutputLength) == 8, "command block layout");
static_assert(offsetof(ControlRequest, Argument) == 12, "command block layout");

// Smallest input that reaches a command's Argument; the host refuses anything shorter.
#define CONTROL_REQUEST_MINIMUM_INPUT 12u

// The head of every reply.
struct ControlReply {
    int32_t Status;      // NTSTATUS outcome of the command
    uint32_t ReplySize;  // bytes of the reply, these 8 included
};
static_assert(sizeof(ControlReply) == 8, "reply layout");

// Command 10, LoadModule. Argument: image path length in bytes.
#define LOAD_MODULE_IMAGE_PATH_BYTES 520u
#define LOAD_MODULE_SERVICE_NAME_BYTES 100u
struct LoadModuleRequest {
    ControlRequest Header;
    uint16_t ImagePath[LOAD_MODULE_IMAGE_PATH_BYTES / 2];      // wide characters
    uint16_t ServiceName[LOAD_MODULE_SERVICE_NAME_BYTES / 2];  // wide characters
    uint16_t ServiceNameLength;  // bytes, the terminating U+0000 included
};
static_assert(offsetof(LoadModuleRequest, ImagePath) == 16, "load request layout");
static_assert(offsetof(LoadModuleRequest, ServiceName) == 536, "load request layout");
static_assert(offsetof(LoadModuleRequest, ServiceNameLength) == 636, "load request layout");
#define LOAD_MODULE_REQUEST_BYTES 638u

// Command 12, Connect.
#define HOST_INTERFACE_VERSION 0x00050000u
#define HOST_CONNECT_CONSTANT 100u
struct ConnectReply {
    ControlReply Header;  // ReplySize 32
    uint32_t InterfaceVersion;
    uint32_t NotWritten1;
    uint64_t DriverObject;  // the host's own driver object
    uint32_t Constant;      // HOST_CONNECT_CONSTANT
    uint32_t NotWritten2;
};
static_assert(sizeof(ConnectReply) == 32, "connect reply layout");
static_assert(offsetof(ConnectReply, DriverObject) == 16, "connect reply layout");
static_assert(offsetof(ConnectReply, Constant) == 24, "connect reply layout");

// Command 15, SetLink. Argument: 1 links, 0 unlinks.
#define HOST_LINK_OFF 0u
#define HOST_LINK_ON 1u

// Commands 18 (SetRedirectDevice), 20 (SetRedirectHandler), 27 (RemoveOverride): one pointer.
//
// Overrides (26) and the redirect device (18) are keyed by a device object's address. When the
// host deletes one of its own devices it drops both for that address. A client that creates a
// device on the host's driver object and names it in command 26 or 18 must, before it deletes the
// device, remove each of its overrides (27, until it reports STATUS_UNSUCCESSFUL) and set the
// redirect device to another device or 0 (18); otherwise a new device at the same address
// inherits them.
struct PointerRequest {
    ControlRequest Header;
    uint64_t Pointer;
};
static_assert(sizeof(PointerRequest) == 24, "pointer request layout");

// Command 19, GetRedirectDevice; command 20 also writes the previous handler here, outside the
// reply size.
struct PointerReply {
    ControlReply Header;
    uint64_t Pointer;
};
static_assert(sizeof(PointerReply) == 16, "pointer reply layout");
#define GET_REDIRECT_DEVICE_REPLY_BYTES 16u

// Command 22, GetPoolRoutines: six routines, then reserved bytes up to 216.
enum PoolRoutineIndex {
    PoolRoutineAllocate = 0,
    PoolRoutineAllocateWithTag = 1,
    PoolRoutineAllocateWithQuotaTag = 2,
    PoolRoutineAllocateWithTagPriority = 3,
    PoolRoutineFree = 4,
    PoolRoutineFreeWithTag = 5,
    PoolRoutineCount = 6,
};
#define POOL_ROUTINES_REPLY_BYTES 216u
struct PoolRoutinesReply {
    ControlReply Header;
    uint64_t Routines[PoolRoutineCount];
    uint8_t Reserved[POOL_ROUTINES_REPLY_BYTES - 56];
};
static_assert(sizeof(PoolRoutinesReply) == 216, "pool routines reply layout");
static_assert(offsetof(PoolRoutinesReply, Routines) == 8, "pool routines reply layout");

// Command 23, RegisterEntryPoints (note the order differs from the host's own record).
struct RegisterEntryPointsRequest {
    ControlRequest Header;
    uint64_t AttachNotify;
    uint64_t DetachNotify;
    uint64_t IrpDispatch;
    uint64_t FastIo;  // the module's FAST_IO_DISPATCH table
};
static_assert(sizeof(RegisterEntryPointsRequest) == 48, "entry points request layout");
static_assert(offsetof(RegisterEntryPointsRequest, IrpDispatch) == 32, "entry points request layout");

// Command 25, RegisterNotifyForwarders.
struct RegisterNotifyForwardersRequest {
    ControlRequest Header;
    uint64_t ProcessNotifyForwarder;
    uint64_t ThreadNotifyForwarder;
};
static_assert(sizeof(RegisterNotifyForwardersRequest) == 32, "notify forwarders request layout");

// Command 26, AddOverride.
struct AddOverrideRequest {
    ControlRequest Header;
    uint64_t Key;  // the device object
    uint64_t Handler;
    uint64_t Context;
};
static_assert(sizeof(AddOverrideRequest) == 40, "add override request layout");
static_assert(offsetof(AddOverrideRequest, Handler) == 24, "add override request layout");

// ---- Unload notice --------------------------------------------------------------------------
struct UnloadNoticeInput {
    uint32_t Values[7];
};
static_assert(sizeof(UnloadNoticeInput) == 28, "unload notice layout");
#define UNLOAD_NOTICE_INPUT_VALUES {1u, 101u, 28u, 28u, 0u, 0u, 16u}
#define UNLOAD_NOTICE_OUTPUT_BYTES 16u

// ---- Module entry points (kernel mode only) -----------------------------------------------------
#if defined(_NTIFS_INCLUDED_)
// IRP dispatch: the host's filter device and the IRP; the module owns the IRP from the call on.
typedef DRIVER_DISPATCH MODULE_IRP_DISPATCH;
// TRUE when the module takes the filter device.
typedef BOOLEAN(NTAPI MODULE_ATTACH_NOTIFY)(PDEVICE_OBJECT FilterDevice, PDEVICE_OBJECT VolumeDevice,
                                            PDEVICE_OBJECT StorageDevice);
// TRUE when the module lets go of the filter device.
typedef BOOLEAN(NTAPI MODULE_DETACH_NOTIFY)(PDEVICE_OBJECT FilterDevice);
// The kernel's process- and thread-creation notify signatures.
typedef void(NTAPI MODULE_PROCESS_NOTIFY)(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
typedef void(NTAPI MODULE_THREAD_NOTIFY)(HANDLE ProcessId, HANDLE ThreadId, BOOLEAN Create);
#endif
