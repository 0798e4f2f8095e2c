#include "support/host_test.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "kmodel/steady_state.h"

std::u16string ControlDeviceNameFor(const std::u16string& name)
{
    char16_t device[HOST_CONTROL_DEVICE_NAME_CHARACTERS];
    uint32_t characters = HostComposeControlDeviceName(name.data(), static_cast<uint32_t>(name.size()), device,
                                                       HOST_CONTROL_DEVICE_NAME_CHARACTERS);
    return std::u16string(device, characters);
}

std::vector<HostCommandRule> ServedCommandRules()
{
    return std::vector<HostCommandRule>(std::begin(HostCommandRules), std::end(HostCommandRules));
}

std::vector<uint8_t> CommandBlock(uint32_t command, std::vector<uint64_t> fields, uint32_t argument)
{
    std::vector<uint8_t> block(sizeof(ControlRequest) + fields.size() * sizeof(uint64_t), 0);
    ControlRequest header{command, 0, 0, argument};
    std::memcpy(block.data(), &header, sizeof(header));
    if (!fields.empty()) {
        std::memcpy(block.data() + sizeof(header), fields.data(), fields.size() * sizeof(uint64_t));
    }
    return block;
}

std::vector<uint8_t> LoadModuleBlock(const std::u16string& image, const std::u16string& service, int nameBytes)
{
    LoadModuleRequest request = {};
    request.Header.Command = HostCommandLoadModule;
    request.Header.Argument = static_cast<uint32_t>(image.size() * sizeof(char16_t));
    std::memcpy(request.ImagePath, image.data(), image.size() * sizeof(char16_t));
    std::memcpy(request.ServiceName, service.data(), std::min<size_t>(service.size() * 2, sizeof(request.ServiceName)));
    request.ServiceNameLength =
        static_cast<uint16_t>(nameBytes >= 0 ? nameBytes : (service.size() + 1) * sizeof(char16_t));
    std::vector<uint8_t> block(LOAD_MODULE_REQUEST_BYTES);
    std::memcpy(block.data(), &request, LOAD_MODULE_REQUEST_BYTES);
    return block;
}

namespace {

std::atomic<int> ConcurrentScopes{0};

// Runs `send`; unless `exempt` says so of its result, no driver image may hold more afterwards than
// before (the steady-state check).
template <typename Send, typename Exempt>
auto Steady(const std::string& what, Send send, Exempt exempt) -> decltype(send())
{
    if (ConcurrentScopes.load() != 0) {
        return send();
    }
    km::SteadyState steady;
    auto result = send();
    if (!exempt(result)) {
        EXPECT_EQ(steady.End(), "") << what << " left this behind";
    }
    return result;
}

// A device-control request is exempt when it is a command that keeps state in the host and was
// accepted (a loaded module, registered notify routines, a redirect device, an override entry). A
// requested unload goes on in a system thread of the host's, which holds what it needs until it
// ends, whatever the reply said.
template <typename Send>
ControlAnswer SteadyControl(ULONG code, const std::vector<uint8_t>& input, Send send)
{
    uint32_t command = 0;
    if (code == IOCTL_HOST_COMMAND && input.size() >= sizeof(command)) {
        std::memcpy(&command, input.data(), sizeof(command));
    }
    return Steady("request " + std::to_string(code), send, [command](const ControlAnswer& answer) {
        bool keepsState = command == HostCommandLoadModule || command == HostCommandConnect ||
                          command == HostCommandSetRedirectDevice || command == HostCommandAddOverride;
        return command == HostCommandRequestUnload || (keepsState && Accepted(answer));
    });
}

}  // namespace

km::IrpResult SendMajor(PDEVICE_OBJECT device, UCHAR major)
{
    km::IrpRequest request;
    request.majorFunction = major;
    return Steady(
        "major function " + std::to_string(major), [&] { return km::SendIrp(device, request); },
        [](const km::IrpResult&) { return false; });
}

ConcurrentRequests::ConcurrentRequests() { ConcurrentScopes += 1; }
ConcurrentRequests::~ConcurrentRequests() { ConcurrentScopes -= 1; }

uint64_t ReplyField64(const ControlAnswer& answer, size_t offset)
{
    uint64_t value = 0;
    EXPECT_LE(offset + sizeof(value), answer.output.size());
    if (offset + sizeof(value) <= answer.output.size()) {
        std::memcpy(&value, answer.output.data() + offset, sizeof(value));
    }
    return value;
}

int32_t ReplyStatus(const ControlAnswer& answer)
{
    int32_t status = 0;
    std::memcpy(&status, answer.output.data(), sizeof(status));
    return status;
}

bool Accepted(const ControlAnswer& answer)
{
    return answer.status == STATUS_SUCCESS && ReplyStatus(answer) == STATUS_SUCCESS;
}

ControlAnswer ControlThroughHandle(HANDLE handle, bool kernelHandle, ULONG code, const std::vector<uint8_t>& input,
                                   ULONG outputLength)
{
    return SteadyControl(code, input, [&] {
        ControlAnswer answer;
        answer.output.assign(outputLength, OutputFill);
        std::vector<uint8_t> in = input;
        IO_STATUS_BLOCK ioStatus{};
        auto control = kernelHandle ? ZwDeviceIoControlFile : NtDeviceIoControlFile;
        answer.status = control(handle, nullptr, nullptr, nullptr, &ioStatus, code, in.empty() ? nullptr : in.data(),
                                static_cast<ULONG>(in.size()), outputLength ? answer.output.data() : nullptr,
                                outputLength);
        answer.information = NT_SUCCESS(answer.status) ? ioStatus.Information : 0;
        return answer;
    });
}

void HostTest::SetUp()
{
    KernelTest::SetUp();
    if (LoadAtSetUp()) {
        LoadHost();
        ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    }
}

void HostTest::TearDown()
{
    if (globals != nullptr) {
        auto freeMutex = Symbol<decltype(AMutex_Free)>("AMutex_Free");
        for (AttachRecord* record : records_) {
            RemoveEntryList(&record->Links);
            freeMutex(&record->RecordLock);
            ExFreePoolWithTag(record, 0);
        }
    }
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if (it->second != nullptr) {
            IoDetachDevice(it->second);
        }
        IoDeleteDevice(it->first);
    }
    KernelTest::TearDown();
}

km::DriverLoadResult HostTest::LoadHost(const km::DriverLoadOptions& options)
{
    km::DriverLoadOptions withName = options;
    if (withName.serviceName.empty()) {
        withName.serviceName = HostServiceName;
    }
    loaded = km::LoadDriver(km::ImagePath("host.so"), withName);
    globals = loaded.image != nullptr ? Symbol<HostGlobalsRecord>("HostGlobals") : nullptr;
    return loaded;
}

ControlAnswer HostTest::Kernel(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength)
{
    return SteadyControl(code, input, [&] {
        ControlAnswer answer;
        answer.output.assign(outputLength, OutputFill);
        km::IrpResult result =
            km::SendDeviceControl(ControlDevice(), code, input.empty() ? nullptr : input.data(),
                                  static_cast<ULONG>(input.size()), outputLength ? answer.output.data() : nullptr,
                                  outputLength);
        EXPECT_EQ(result.returned, result.status) << "the host completes every request it answers at once";
        answer.status = result.status;
        answer.information = result.information;
        return answer;
    });
}

ControlAnswer HostTest::User(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength,
                             const std::vector<std::pair<ULONG, bool>>& privileges, km::Process* process)
{
    ControlAnswer answer;
    answer.output.assign(outputLength, OutputFill);
    auto body = [&] {
        km::OpenResult opened = km::OpenFile(ControlDeviceNameFor(HostServiceName), false);
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        answer = ControlThroughHandle(opened.handle, false, code, input, outputLength);
        EXPECT_EQ(NtClose(opened.handle), STATUS_SUCCESS);
    };
    if (process != nullptr) {
        km::RunInProcess(process, body);
    } else {
        km::RunAsUser(body, privileges);
    }
    return answer;
}

PDEVICE_OBJECT HostTest::CreateHostDevice(DEVICE_TYPE type, PDEVICE_OBJECT lower, bool leftToHost)
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(loaded.driver, VolumeFilterExtensionBytes, nullptr, type, 0, FALSE, &device),
              STATUS_SUCCESS);
    if (device == nullptr) {
        return nullptr;
    }
    PDEVICE_OBJECT attachedTo = nullptr;
    if (lower != nullptr) {
        EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(device, lower, &attachedTo), STATUS_SUCCESS);
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!leftToHost) {
        devices_.emplace_back(device, attachedTo);
    }
    return device;
}

size_t HostTest::HostDeviceCount() const
{
    size_t count = 0;
    for (PDEVICE_OBJECT each = loaded.driver != nullptr ? loaded.driver->DeviceObject : nullptr; each != nullptr;
         each = each->NextDevice) {
        count += 1;
    }
    return count;
}

AttachRecord* HostTest::RecordFilterDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT volume, PDEVICE_OBJECT storage)
{
    auto* record =
        static_cast<AttachRecord*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(AttachRecord), km::PoolTag("TRec")));
    if (record == nullptr) {
        ADD_FAILURE() << "no pool for an attach record";
        return nullptr;
    }
    RtlZeroMemory(record, sizeof(*record));
    record->FilterDevice = device;
    record->VolumeDevice = volume;
    record->StorageDevice = storage;
    record->References = 1;  // the list's: the test frees the record itself
    EXPECT_EQ(Symbol<decltype(AMutex_Init)>("AMutex_Init")(&record->RecordLock), STATUS_SUCCESS);
    InsertHeadList(&globals->FsFilter.AttachedList, &record->Links);
    static_cast<VolumeFilterExtension*>(device->DeviceExtension)->Recorded = 1;
    records_.push_back(record);
    return record;
}

AttachRecord* HostTest::AddVolume(DEVICE_TYPE type)
{
    PDEVICE_OBJECT volume = km::CreateModelDevice({type});
    return RecordFilterDevice(CreateHostDevice(type, volume), volume, km::CreateModelDevice({FILE_DEVICE_DISK}));
}

void HostTest::SetLinkState(LONG state)
{
    auto acquire = Symbol<decltype(GateLockAcquire)>("GateLockAcquire");
    auto release = Symbol<decltype(GateLockRelease)>("GateLockRelease");
    acquire();
    globals->ModuleHost.LinkState = state;
    release();
}

PDEVICE_OBJECT HostTest::RedirectDevice()
{
    ControlAnswer answer = KernelCommand(CommandBlock(HostCommandGetRedirectDevice), GET_REDIRECT_DEVICE_REPLY_BYTES);
    EXPECT_TRUE(Accepted(answer));
    return reinterpret_cast<PDEVICE_OBJECT>(ReplyField64(answer, sizeof(ControlReply)));
}

bool HostTest::Linked()
{
    return ReplyStatus(KernelCommand(CommandBlock(HostCommandUnloadModule))) == STATUS_INVALID_DEVICE_STATE;
}
