// The host's control protocol, shared by the driver, the controller, filter modules, tests and
// benchmarks: the control device's name, the device-control codes, the command codes, the command
// block and its replies (byte layouts fixed by the offsets asserted below), and the rules of each
// command: the bytes it reads and writes and who may send it. What a filter module registers and
// receives is in filterhost/module.h.
//
// All fields are little-endian. Pointer-sized fields are 64 bits. Request and reply share one
// buffered-I/O buffer: a reply is written over its request. The header needs nothing but the C
// headers below, so kernel code and user-mode programs include it alike.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- The control device's name -------------------------------------------------------------------
// The host names its control device after its driver object: "\Device\", the driver object's
// name without a leading "\Driver\", then a U+0000 (unless the driver's name already ends with
// one) and a space, U+0020, every character counted in the name's length. A host started as
// service S (driver object \Driver\S) thus has the control device "\Device\S" U+0000 U+0020.
// There is no symbolic link: clients open the device by this name.

// Capacity of the control device's name, and the most the driver lets its composed name need.
#define HOST_CONTROL_DEVICE_NAME_BYTES 100u
#define HOST_CONTROL_DEVICE_NAME_CHARACTERS (HOST_CONTROL_DEVICE_NAME_BYTES / 2u)

// Composes the control device's name for a driver object name (or a bare service name) of
// DriverNameCharacters 16-bit characters into Name, which holds NameCapacity characters. Returns the
// characters composed, or 0 for an empty name or one that does not fit. The room needed counts the
// driver's name in full, a leading "\Driver\" included, although that is then dropped. Char is the
// platform's 16-bit wide character (wchar_t on Windows, char16_t in the kernel model).
template <typename Char>
inline uint32_t HostComposeControlDeviceName(const Char* DriverName, uint32_t DriverNameCharacters, Char* Name,
                                             uint32_t NameCapacity)
{
    const char devicePrefix[] = "\\Device\\";
    const char driverPrefix[] = "\\Driver\\";
    const uint32_t prefixCharacters = sizeof(devicePrefix) - 1;
    if (DriverName == nullptr || DriverNameCharacters == 0) {
        return 0;
    }
    const bool terminated = DriverName[DriverNameCharacters - 1] == 0;
    // The prefix, the name, a U+0000 unless the name brings its own, and the space.
    const uint32_t needed = prefixCharacters + DriverNameCharacters + (terminated ? 1u : 2u);
    if (needed > NameCapacity) {
        return 0;
    }
    uint32_t skipped = 0;
    if (DriverNameCharacters >= prefixCharacters) {
        skipped = prefixCharacters;
        for (uint32_t index = 0; index < prefixCharacters; index += 1) {
            if (DriverName[index] != static_cast<Char>(driverPrefix[index])) {
                skipped = 0;
                break;
            }
        }
    }
    uint32_t used = 0;
    for (uint32_t index = 0; index < prefixCharacters; index += 1) {
        Name[used++] = static_cast<Char>(devicePrefix[index]);
    }
    for (uint32_t index = skipped; index < DriverNameCharacters; index += 1) {
        Name[used++] = DriverName[index];
    }
    if (!terminated) {
        Name[used++] = 0;
    }
    Name[used++] = static_cast<Char>(' ');
    return used;
}

// ---- Device-control codes of the host's control device ----------------------------------------
// Device type FILE_DEVICE_UNKNOWN (0x22), METHOD_BUFFERED, FILE_ANY_ACCESS.
#define IOCTL_HOST_QUERY_VERSION 0x222004u
#define IOCTL_HOST_COMMAND 0x222008u

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

// ---- Command rules ----------------------------------------------------------------------------
// Every command's smallest input (it reaches the end of the last request field the command reads),
// the output its reply needs, and who may send it. The host refuses a command whose buffers are
// shorter before it reads or writes anything.

// Commands that read nothing beyond the head (Argument not read) and replies of the head alone.
#define HEADER_ONLY_REQUEST_BYTES CONTROL_REQUEST_MINIMUM_INPUT
#define HEADER_ONLY_REPLY_BYTES 8u
// Commands that read the whole 32-bit Argument.
#define ARGUMENT_REQUEST_BYTES 16u
#define POINTER_REQUEST_BYTES 24u
#define REGISTER_NOTIFY_FORWARDERS_REQUEST_BYTES 32u
#define ADD_OVERRIDE_REQUEST_BYTES 40u
#define REGISTER_ENTRY_POINTS_REQUEST_BYTES 48u
#define CONNECT_REPLY_BYTES 32u
static_assert(HEADER_ONLY_REPLY_BYTES == sizeof(ControlReply), "request layout");
static_assert(ARGUMENT_REQUEST_BYTES == sizeof(ControlRequest), "request layout");
static_assert(POINTER_REQUEST_BYTES == sizeof(PointerRequest), "request layout");
static_assert(REGISTER_NOTIFY_FORWARDERS_REQUEST_BYTES == sizeof(RegisterNotifyForwardersRequest), "request layout");
static_assert(ADD_OVERRIDE_REQUEST_BYTES == sizeof(AddOverrideRequest), "request layout");
static_assert(REGISTER_ENTRY_POINTS_REQUEST_BYTES == sizeof(RegisterEntryPointsRequest), "request layout");
static_assert(CONNECT_REPLY_BYTES == sizeof(ConnectReply), "reply layout");
static_assert(GET_REDIRECT_DEVICE_REPLY_BYTES == sizeof(PointerReply), "reply layout");
static_assert(POOL_ROUTINES_REPLY_BYTES == sizeof(PoolRoutinesReply), "reply layout");
static_assert(LOAD_MODULE_REQUEST_BYTES == offsetof(LoadModuleRequest, ServiceNameLength) + 2, "request layout");

// Who may send a command. Kernel-mode senders may send every command.
enum HostCommandRequestor : uint8_t {
    // Takes or returns kernel addresses: kernel-mode senders only.
    HostRequestorKernelOnly,
    // User-mode senders need SeLoadDriverPrivilege, enabled. Codes not in the table count as such.
    HostRequestorLoadDriverPrivilege,
};

struct HostCommandRule {
    uint32_t Code;          // a HostCommand
    uint32_t MinimumInput;  // bytes of input that reach the last request field read
    uint32_t ReplySize;     // bytes of output the reply needs
    HostCommandRequestor Requestor;
};

// Every command, by code (a constant of each includer, so that no image shares it).
constexpr HostCommandRule HostCommandRules[] = {
    {HostCommandLoadModule, LOAD_MODULE_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES, HostRequestorLoadDriverPrivilege},
    {HostCommandUnloadModule, HEADER_ONLY_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES, HostRequestorLoadDriverPrivilege},
    {HostCommandConnect, HEADER_ONLY_REQUEST_BYTES, CONNECT_REPLY_BYTES, HostRequestorKernelOnly},
    {HostCommandSetLink, ARGUMENT_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES, HostRequestorLoadDriverPrivilege},
    {HostCommandSetRedirectDevice, POINTER_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES, HostRequestorKernelOnly},
    {HostCommandGetRedirectDevice, HEADER_ONLY_REQUEST_BYTES, GET_REDIRECT_DEVICE_REPLY_BYTES,
     HostRequestorKernelOnly},
    {HostCommandSetRedirectHandler, POINTER_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES, HostRequestorKernelOnly},
    {HostCommandRequestUnload, HEADER_ONLY_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES, HostRequestorLoadDriverPrivilege},
    {HostCommandGetPoolRoutines, HEADER_ONLY_REQUEST_BYTES, POOL_ROUTINES_REPLY_BYTES, HostRequestorKernelOnly},
    {HostCommandRegisterEntryPoints, REGISTER_ENTRY_POINTS_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES,
     HostRequestorKernelOnly},
    {HostCommandWithdrawEntryPoints, HEADER_ONLY_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES,
     HostRequestorLoadDriverPrivilege},
    {HostCommandRegisterNotifyForwarders, REGISTER_NOTIFY_FORWARDERS_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES,
     HostRequestorKernelOnly},
    {HostCommandAddOverride, ADD_OVERRIDE_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES, HostRequestorKernelOnly},
    {HostCommandRemoveOverride, POINTER_REQUEST_BYTES, HEADER_ONLY_REPLY_BYTES, HostRequestorLoadDriverPrivilege},
};

// The rule of a command code; null for a code that names no command.
inline const HostCommandRule* HostFindCommandRule(uint32_t Code)
{
    for (const HostCommandRule& rule : HostCommandRules) {
        if (rule.Code == Code) {
            return &rule;
        }
    }
    return nullptr;
}
