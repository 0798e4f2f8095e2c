// The fixture of the tests that drive the loaded host: a booted model with the host loaded as a
// driver, and the ways in that the host's clients use: device-control requests on the control
// device from kernel mode (as the filter module sends them) and from user processes through
// handles, and IRPs on the host's devices.
#pragma once

#include <string>
#include <vector>

#include "driver/hostglobals.h"
#include "filterhost/protocol.h"
#include "kmodel/fs_model.h"
#include "kmodel/io_model.h"
#include "support/kernel_test.h"

constexpr char16_t HostServiceName[] = u"filterhost";
// How long an unload waits for calls inside the module to drain, in 100 ns units.
constexpr int64_t GateDrainTimeout100ns = 90'000'000;

// The control device of a host whose driver object is \Driver\<name> (empty when the name is
// empty or too long for one).
std::u16string ControlDeviceNameFor(const std::u16string& name);

// What a device-control request delivered: the final status, Information, and the output buffer
// (filled with OutputFill before the call).
struct ControlAnswer {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;
};
constexpr uint8_t OutputFill = 0xCC;

// The protocol's rules of the commands the host serves: every command of the protocol.
std::vector<HostCommandRule> ServedCommandRules();

// Every request sent through the helpers below (SendMajor, ControlThroughHandle, HostTest's
// Kernel and User) is checked for a steady state: no driver image may hold more pool, references,
// devices or handles after it than before, except after a command that keeps state and succeeded.
// While a ConcurrentRequests lives, the check is off: other threads' work would show in it.
class ConcurrentRequests {
public:
    ConcurrentRequests();
    ~ConcurrentRequests();
    ConcurrentRequests(const ConcurrentRequests&) = delete;
    ConcurrentRequests& operator=(const ConcurrentRequests&) = delete;
};

// A command block with one 64-bit field per value, from offset 16 on.
std::vector<uint8_t> CommandBlock(uint32_t command, std::vector<uint64_t> fields = {}, uint32_t argument = 0);
// A LoadModule block for the image and the service; nameBytes, when not negative, overrides the
// service name's size field.
std::vector<uint8_t> LoadModuleBlock(const std::u16string& image, const std::u16string& service, int nameBytes = -1);
// A pointer as a 64-bit command field.
inline uint64_t Address(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }
inline uint64_t Address(PDRIVER_DISPATCH routine) { return reinterpret_cast<uintptr_t>(routine); }
// Sends an IRP of the major function to exactly this device and waits for it.
km::IrpResult SendMajor(PDEVICE_OBJECT device, UCHAR major);
// The pointer-sized reply field at a byte offset of an answer's output.
uint64_t ReplyField64(const ControlAnswer& answer, size_t offset);
int32_t ReplyStatus(const ControlAnswer& answer);
// A command the host delivered a reply for, with Status 0.
bool Accepted(const ControlAnswer& answer);
// Device control through a handle: a kernel handle with ZwDeviceIoControlFile, else with
// NtDeviceIoControlFile; the output buffer is filled with OutputFill first.
ControlAnswer ControlThroughHandle(HANDLE handle, bool kernelHandle, ULONG code, const std::vector<uint8_t>& input,
                                   ULONG outputLength);

class HostTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Startup tests load the host themselves.
    virtual bool LoadAtSetUp() const { return true; }

    km::DriverLoadResult LoadHost(const km::DriverLoadOptions& options = {});
    template <class T>
    T* Symbol(const char* name)
    {
        return reinterpret_cast<T*>(km::ImageSymbol(loaded.image, name));
    }

    // Device control on the control device with an IRP built in kernel mode.
    ControlAnswer Kernel(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength);
    ControlAnswer KernelCommand(const std::vector<uint8_t>& input, ULONG outputLength = sizeof(ControlReply))
    {
        return Kernel(IOCTL_HOST_COMMAND, input, outputLength);
    }
    // The reply's Status of a command block sent with KernelCommand.
    NTSTATUS SendCommand(uint32_t command, std::vector<uint64_t> fields = {}, uint32_t argument = 0)
    {
        return ReplyStatus(KernelCommand(CommandBlock(command, std::move(fields), argument)));
    }
    // Device control through a handle opened with NtCreateFile from a new user process holding the
    // given privileges, or from a thread of `process` when given.
    ControlAnswer User(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength,
                       const std::vector<std::pair<ULONG, bool>>& privileges = {}, km::Process* process = nullptr);

    // A device of the host's driver object, as the attachment manager creates them; deleted (and
    // detached) at the end of the test unless left to the host (which deletes its devices when the
    // device below goes). Attached on top of `lower` when given.
    PDEVICE_OBJECT CreateHostDevice(DEVICE_TYPE type, PDEVICE_OBJECT lower = nullptr, bool leftToHost = false);
    // The devices of the host's driver object.
    size_t HostDeviceCount() const;
    // Puts a host device (of CreateHostDevice) in AttachedList as a recorded volume filter device,
    // newest first, as the attachment manager records them: the record in non-paged pool, its
    // RecordLock initialised, the device's extension marked.
    // The record is unlinked and freed at the end of the test.
    struct AttachRecord* RecordFilterDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT volume = nullptr,
                                            PDEVICE_OBJECT storage = nullptr);
    // A recorded volume: a model file-system volume device of `type` below a host filter device,
    // and a model storage device.
    struct AttachRecord* AddVolume(DEVICE_TYPE type = FILE_DEVICE_DISK_FILE_SYSTEM);
    void SetLinkState(LONG state);

    // What a caller can see of the host: its control device (by name), the redirect device
    // (GetRedirectDevice), whether the link is on (UnloadModule is refused only while linked; with
    // no module loaded the refused or failed unload changes nothing), and whether the host's
    // notify routines are registered with the kernel.
    PDEVICE_OBJECT ControlDevice() const { return km::FindDevice(ControlDeviceNameFor(HostServiceName)); }
    PDEVICE_OBJECT RedirectDevice();
    bool Linked();
    bool NotifyRoutinesRegistered() const { return km::NotifyRoutineCount(km::NotifyKind::Process) != 0; }

    km::DriverLoadResult loaded;
    HostGlobalsRecord* globals = nullptr;

private:
    std::vector<std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>> devices_;  // each device and the one it is attached to
    std::vector<struct AttachRecord*> records_;
};
