// The control device under fuzzing: each input is a sequence of device-control requests to the
// host's control device, from kernel mode (IRPs as a filter module sends them) or from a user
// process with or without SeLoadDriverPrivilege, with any code, command, fields and buffer
// lengths. Kernel-mode senders are trusted with addresses, so the routine and table fields they
// send are drawn from routines of this program; keys, arguments and everything a user process
// sends are the input's bytes. The model boots once and the host stays loaded; after each input
// the host is brought back to its idle state (unlinked, nothing registered, no override, no
// redirect) and must hold exactly the pool it held before.
//
// Invariants: no bug check (the model aborts), no sanitizer report, Information never above the
// output length, no pool kept across an input.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kmodel/io_model.h"

#include "filterhost/protocol.h"

namespace {

constexpr size_t MaxRequests = 8;
constexpr ULONG MaxInputBytes = 700;   // past LoadModule's 638
constexpr ULONG MaxOutputBytes = 260;  // past GetPoolRoutines' 216
constexpr ULONG OutputFill = 0xCC;

NTSTATUS NTAPI FuzzDispatch(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
BOOLEAN NTAPI FuzzAttachNotify(PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT) { return TRUE; }
BOOLEAN NTAPI FuzzDetachNotify(PDEVICE_OBJECT) { return TRUE; }
void NTAPI FuzzProcessNotify(HANDLE, HANDLE, BOOLEAN) {}
void NTAPI FuzzThreadNotify(HANDLE, HANDLE, BOOLEAN) {}
FAST_IO_DISPATCH FuzzFastIo = {sizeof(FAST_IO_DISPATCH)};

struct Fixture {
    km::DriverLoadResult host;
    std::u16string controlName;
    PDEVICE_OBJECT control = nullptr;
    PDEVICE_OBJECT hostDevice = nullptr;   // a device of the host's driver object
    PDEVICE_OBJECT modelDevice = nullptr;  // a device of another driver
    km::Process* user = nullptr;
    size_t idleBlocks = 0;
};
Fixture* TheFixture;

// What a kernel-mode sender may put in a field of each kind.
enum class FieldKind { Dispatch, AttachNotify, DetachNotify, FastIo, ProcessNotify, ThreadNotify, Device };

uint64_t SafeValue(FieldKind kind, uint8_t choice)
{
    const Fixture& f = *TheFixture;
    uint64_t routine = 0;
    switch (kind) {
    case FieldKind::Dispatch: routine = reinterpret_cast<uintptr_t>(&FuzzDispatch); break;
    case FieldKind::AttachNotify: routine = reinterpret_cast<uintptr_t>(&FuzzAttachNotify); break;
    case FieldKind::DetachNotify: routine = reinterpret_cast<uintptr_t>(&FuzzDetachNotify); break;
    case FieldKind::FastIo: routine = reinterpret_cast<uintptr_t>(&FuzzFastIo); break;
    case FieldKind::ProcessNotify: routine = reinterpret_cast<uintptr_t>(&FuzzProcessNotify); break;
    case FieldKind::ThreadNotify: routine = reinterpret_cast<uintptr_t>(&FuzzThreadNotify); break;
    case FieldKind::Device: {
        // The control device is left out: an override there would take the commands that end it.
        const uint64_t devices[] = {0, reinterpret_cast<uintptr_t>(f.hostDevice),
                                    reinterpret_cast<uintptr_t>(f.modelDevice), ~uint64_t{0}, 1};
        return devices[choice % (sizeof(devices) / sizeof(devices[0]))];
    }
    }
    return (choice & 1) != 0 ? routine : 0;
}

// The fields of each command that carry routines, tables or device keys, by offset.
struct TrustedField {
    uint32_t command;
    uint32_t offset;
    FieldKind kind;
};
constexpr TrustedField TrustedFields[] = {
    {HostCommandSetRedirectDevice, 16, FieldKind::Device},
    {HostCommandSetRedirectHandler, 16, FieldKind::Dispatch},
    {HostCommandRegisterEntryPoints, 16, FieldKind::AttachNotify},
    {HostCommandRegisterEntryPoints, 24, FieldKind::DetachNotify},
    {HostCommandRegisterEntryPoints, 32, FieldKind::Dispatch},
    {HostCommandRegisterEntryPoints, 40, FieldKind::FastIo},
    {HostCommandRegisterNotifyForwarders, 16, FieldKind::ProcessNotify},
    {HostCommandRegisterNotifyForwarders, 24, FieldKind::ThreadNotify},
    {HostCommandAddOverride, 16, FieldKind::Device},
    {HostCommandAddOverride, 24, FieldKind::Dispatch},
    {HostCommandRemoveOverride, 16, FieldKind::Device},
};

// Reads the input a byte at a time; zeros once it runs out.
struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t Byte() { return size > 0 ? (size--, *data++) : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Long() { return static_cast<uint32_t>(Word() | static_cast<uint32_t>(Word()) << 16); }
};

[[noreturn]] void Broken(const char* what, ULONG code, size_t value, size_t limit)
{
    std::fprintf(stderr, "control fuzzer: %s (code 0x%X: %zu, limit %zu)\n", what, code, value, limit);
    std::abort();
}

void Send(Reader& in)
{
    const uint8_t how = in.Byte();
    const bool user = (how & 1) != 0;
    const bool privileged = (how & 2) != 0;
    ULONG code = IOCTL_HOST_COMMAND;
    switch ((how >> 2) & 3) {
    case 1: code = IOCTL_HOST_QUERY_VERSION; break;
    case 3: code = in.Long(); break;
    default: break;
    }
    const ULONG inputLength = in.Word() % (MaxInputBytes + 1);
    const ULONG outputLength = in.Word() % (MaxOutputBytes + 1);
    std::vector<uint8_t> input(inputLength);
    for (uint8_t& byte : input) {
        byte = in.Byte();
    }
    // Most command blocks name a command the host serves.
    if (inputLength >= 4 && (how & 0x10) == 0) {
        const HostCommandRule& rule = HostCommandRules[input[0] % (sizeof(HostCommandRules) / sizeof(HostCommandRules[0]))];
        std::memcpy(input.data(), &rule.Code, sizeof(rule.Code));
    }
    uint32_t command = 0;
    if (inputLength >= 4) {
        std::memcpy(&command, input.data(), sizeof(command));
    }
    if (!user) {
        for (const TrustedField& field : TrustedFields) {
            if (field.command == command && field.offset + 8 <= inputLength) {
                uint64_t value = SafeValue(field.kind, input[field.offset]);
                std::memcpy(input.data() + field.offset, &value, sizeof(value));
            }
        }
    }

    std::vector<uint8_t> output(outputLength, OutputFill);
    void* out = outputLength != 0 ? output.data() : nullptr;
    const void* inBytes = inputLength != 0 ? input.data() : nullptr;
    if (!user) {
        // A kernel sender's IRP is built for buffered I/O: the model builds no other kind here.
        code &= ~static_cast<ULONG>(METHOD_NEITHER);
        km::IrpResult result =
            km::SendDeviceControl(TheFixture->control, code, inBytes, inputLength, out, outputLength);
        if (result.information > outputLength) {
            Broken("Information above the output length", code, result.information, outputLength);
        }
        return;
    }
    km::GrantPrivilege(TheFixture->user, SE_LOAD_DRIVER_PRIVILEGE, privileged);
    km::RunInProcess(TheFixture->user, [&] {
        km::OpenResult opened = km::OpenFile(TheFixture->controlName, false);
        if (!NT_SUCCESS(opened.status)) {
            Broken("the control device cannot be opened", code, static_cast<size_t>(opened.status), 0);
        }
        IO_STATUS_BLOCK ioStatus{};
        NTSTATUS status = NtDeviceIoControlFile(opened.handle, nullptr, nullptr, nullptr, &ioStatus, code,
                                                const_cast<void*>(inBytes), inputLength, out, outputLength);
        if (NT_SUCCESS(status) && ioStatus.Information > outputLength) {
            Broken("Information above the output length", code, ioStatus.Information, outputLength);
        }
        NtClose(opened.handle);
    });
}

// Sends one kernel-mode command and answers its reply status (or the request's failure).
NTSTATUS Command(uint32_t command, uint64_t field = 0, uint32_t argument = 0)
{
    uint8_t block[24] = {};
    std::memcpy(block, &command, sizeof(command));
    std::memcpy(block + 12, &argument, sizeof(argument));
    std::memcpy(block + 16, &field, sizeof(field));
    ControlReply reply{};
    km::IrpResult result =
        km::SendDeviceControl(TheFixture->control, IOCTL_HOST_COMMAND, block, sizeof(block), &reply, sizeof(reply));
    return NT_SUCCESS(result.status) ? reply.Status : result.status;
}

// Back to the idle host: unlinked, nothing registered, no redirect, no override.
void Idle()
{
    Command(HostCommandSetLink, 0, HOST_LINK_OFF);
    Command(HostCommandWithdrawEntryPoints);
    Command(HostCommandSetRedirectDevice);
    Command(HostCommandSetRedirectHandler);
    for (uint8_t choice = 0; choice < 5; choice += 1) {
        uint64_t key = SafeValue(FieldKind::Device, choice);
        for (int removed = 0; Command(HostCommandRemoveOverride, key) == STATUS_SUCCESS; removed += 1) {
            if (removed > 1000) {
                Broken("an override that cannot be removed", 0, removed, 1000);
            }
        }
    }
    km::WaitSystemThreadsEnded();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("KM_IMAGE_DIR", FUZZ_IMAGE_DIR, 1);
    km::BootOptions options;
    options.clockRate = 1e6;  // a drain's time-out costs microseconds
    km::Boot(options);
    static Fixture fixture;
    TheFixture = &fixture;
    km::DriverLoadOptions load;
    load.serviceName = u"filterhost";
    fixture.host = km::LoadDriver(km::ImagePath("host.so"), load);
    if (fixture.host.status != STATUS_SUCCESS) {
        Broken("the host does not start", 0, static_cast<size_t>(fixture.host.status), 0);
    }
    char16_t name[HOST_CONTROL_DEVICE_NAME_CHARACTERS];
    const std::u16string driverName = u"\\Driver\\filterhost";
    uint32_t characters = HostComposeControlDeviceName(driverName.data(), static_cast<uint32_t>(driverName.size()),
                                                       name, HOST_CONTROL_DEVICE_NAME_CHARACTERS);
    fixture.controlName.assign(name, characters);
    fixture.control = km::FindDevice(fixture.controlName);
    if (IoCreateDevice(fixture.host.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fixture.hostDevice) !=
        STATUS_SUCCESS) {
        Broken("no host device", 0, 0, 0);
    }
    fixture.hostDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    fixture.modelDevice = km::CreateModelDevice({});
    fixture.user = km::CreateProcess("fuzz.exe");
    Idle();
    fixture.idleBlocks = km::GetPoolStats().outstandingBlocks;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    for (size_t request = 0; request < MaxRequests && in.size > 0; request += 1) {
        Send(in);
    }
    Idle();
    size_t blocks = km::GetPoolStats().outstandingBlocks;
    if (blocks != TheFixture->idleBlocks) {
        std::fprintf(stderr, "%s", km::PoolLeakReport().c_str());
        Broken("pool kept across an input", 0, blocks, TheFixture->idleBlocks);
    }
    return 0;
}
