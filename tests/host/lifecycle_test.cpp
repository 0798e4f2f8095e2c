// The module's life cycle through the real command path: LoadModule writes the service key and
// loads the test module image (tests/images/hostmodule) with ZwLoadDriver, the module links
// itself, and UnloadModule, RequestUnload or the loader's exit unload it once no call is inside
// it. A call into an unloaded image is the model's bug check 0xCE, so every test here also proves
// that nothing reached a gone module.
#include <atomic>
#include <thread>
#include <tuple>

#include "images/hostmodule/hostmodule.h"
#include "kmodel/cm_model.h"
#include "support/host_test.h"

namespace {

const std::u16string ServicesKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\";
const std::u16string ModuleImage = u"\\SystemRoot\\System32\\drivers\\hostmodule.sys";
const std::u16string SecondModuleImage = u"\\SystemRoot\\System32\\drivers\\hostmodule2.sys";
const std::u16string RoutinesModuleImage = u"\\SystemRoot\\System32\\drivers\\routinesmodule.sys";

// The module's control block while it is loaded, else null.
HostModuleControl* ModuleControl(const std::u16string& service)
{
    PDEVICE_OBJECT device = km::FindDevice(u"\\Device\\" + service);
    return device != nullptr ? static_cast<HostModuleControl*>(device->DeviceExtension) : nullptr;
}

class ModuleLifecycle : public HostTest {
protected:
    void TearDown() override
    {
        // A module a test left loaded goes the regular way, so the model's leak check sees its end.
        for (const std::u16string service : {u"hostmodule", u"swapped", u"routinesmodule"}) {
            if (HostModuleControl* control = ModuleControl(service)) {
                control->Unlink();
                EXPECT_EQ(Unload(), STATUS_SUCCESS);
            }
        }
        km::WaitSystemThreadsEnded();
        HostTest::TearDown();
    }

    NTSTATUS Load(const std::u16string& image = ModuleImage, const std::u16string& service = u"hostmodule")
    {
        ControlAnswer answer = KernelCommand(LoadModuleBlock(image, service));
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        return ReplyStatus(answer);
    }
    NTSTATUS Unload() { return SendCommand(HostCommandUnloadModule); }
    // A volume filter device of the host, recorded.
    PDEVICE_OBJECT FilterDevice() { return AddVolume()->FilterDevice; }
};

// An unload also removes the override and the redirect handler that named the module's image.
TEST_F(ModuleLifecycle, LoadWritesTheVolatileKeyAndUnloadForgetsTheModuleAndEverythingItRegistered)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    HostModuleControl* control = ModuleControl(u"hostmodule");
    ASSERT_NE(control, nullptr);
    EXPECT_TRUE(Linked());
    // Loading a loaded service succeeds. The System process never exits, so its loader record shows
    // nowhere else: read it.
    EXPECT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(globals->ModuleHost.LoaderRecorded, 1);
    EXPECT_EQ(globals->ModuleHost.LoaderProcessId, km::ProcessId(km::SystemProcess()));

    const std::u16string key = ServicesKey + u"hostmodule";
    EXPECT_EQ(km::QueryRegistryKey(key), km::RegistryKeyState::Volatile);
    const auto* path = reinterpret_cast<const uint8_t*>(ModuleImage.data());
    const std::tuple<const char16_t*, ULONG, std::vector<uint8_t>> values[] = {
        {u"ImagePath", REG_EXPAND_SZ, {path, path + ModuleImage.size() * 2}},  // no terminator added
        {u"DisplayName", REG_SZ, km::RegistryString(u"hostmodule")},
        {u"Start", REG_DWORD, km::RegistryDword(3)},
        {u"Type", REG_DWORD, km::RegistryDword(1)},
        {u"ErrorControl", REG_DWORD, km::RegistryDword(1)}};
    for (const auto& [name, type, data] : values) {
        auto read = km::ReadRegistryValue(key, name);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(std::tie(read->type, read->data), std::tie(type, data));
    }

    // Refused while linked, and nothing changes.
    EXPECT_EQ(Unload(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(Linked());
    ASSERT_EQ(ModuleControl(u"hostmodule"), control);

    PDEVICE_OBJECT overridden = FilterDevice();
    PDEVICE_OBJECT redirected = FilterDevice();
    uint64_t handler = Address(control->IrpDispatch);
    ASSERT_EQ(SendCommand(HostCommandAddOverride, {Address(overridden), handler, 0}), STATUS_SUCCESS);
    ASSERT_EQ(SendCommand(HostCommandSetRedirectDevice, {Address(redirected)}), STATUS_SUCCESS);
    ASSERT_EQ(SendCommand(HostCommandSetRedirectHandler, {handler}), STATUS_SUCCESS);
    EXPECT_EQ(SendMajor(overridden, IRP_MJ_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(SendMajor(redirected, IRP_MJ_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(control->Calls[HostModuleIrp], 2);

    // The module unlinks itself but leaves its notify forwarders registered.
    ASSERT_EQ(control->Unlink(), STATUS_SUCCESS);
    // Idle gates: no wait at all. The clock runs at real speed here, so the bound is the whole
    // drain time-out of wall time and a loaded machine cannot pass it by being slow.
    const double rate = km::ClockRate();
    km::SetClockRate(1.0);
    int64_t before = km::Now100ns();
    EXPECT_EQ(Unload(), STATUS_SUCCESS);
    int64_t unloadTime = km::Now100ns() - before;
    km::SetClockRate(rate);
    EXPECT_LT(unloadTime, GateDrainTimeout100ns);
    EXPECT_EQ(ModuleControl(u"hostmodule"), nullptr);
    EXPECT_EQ(km::QueryRegistryKey(key), km::RegistryKeyState::Absent);

    // Linking again forwards nothing into the gone image (a call would be the bug check 0xCE): the
    // override is gone (the request passes down), and the redirect device with its handler.
    EXPECT_EQ(SendCommand(HostCommandSetLink, {}, HOST_LINK_ON), STATUS_SUCCESS);
    km::ExitProcess(km::CreateProcess("after.exe"));
    EXPECT_EQ(SendMajor(FilterDevice(), IRP_MJ_READ).status, STATUS_SUCCESS);  // passed down
    EXPECT_EQ(SendMajor(overridden, IRP_MJ_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(RedirectDevice(), nullptr);
    ASSERT_EQ(SendCommand(HostCommandSetRedirectDevice, {Address(redirected)}), STATUS_SUCCESS);
    EXPECT_EQ(SendMajor(redirected, IRP_MJ_READ).status, STATUS_NO_MEDIA_IN_DEVICE);
    EXPECT_EQ(SendCommand(HostCommandSetLink, {}, HOST_LINK_OFF), STATUS_SUCCESS);

    // A second unload knows no module (the bare services path): ZwUnloadDriver's failure, and the
    // link unlinked again.
    EXPECT_EQ(Unload(), STATUS_OBJECT_NAME_INVALID);
    EXPECT_FALSE(Linked());
}

TEST_F(ModuleLifecycle, ServiceNameSizeBounds)
{
    std::u16string longName(49, u'n');
    // An accepted name names a service without an image: the load fails all the same.
    for (const auto& [bytes, accepted] : {std::pair{2, false}, std::pair{3, true}, std::pair{100, true},
                                          std::pair{101, false}}) {
        // The stored name shows only in what a later unload opens: read it.
        USHORT before = globals->ModuleHost.ModuleServiceName.Length;
        ControlAnswer answer = KernelCommand(LoadModuleBlock(u"\\SystemRoot\\System32\\drivers\\absent.sys", longName, bytes));
        EXPECT_EQ(answer.status, STATUS_SUCCESS) << bytes;
        NTSTATUS reply = ReplyStatus(answer);
        EXPECT_TRUE(NT_ERROR(reply) && (reply == STATUS_INVALID_BUFFER_SIZE) != accepted) << bytes;
        EXPECT_EQ(globals->ModuleHost.ModuleServiceName.Length, accepted ? bytes - 2 : before) << bytes;
        // A failed load records no loader (no process of this test exits to show it): read it.
        EXPECT_EQ(globals->ModuleHost.LoaderRecorded, 0) << bytes;
    }
    // Keys of the named services stay (volatile) after a failed load; the test's end removes them
    // with the model.
    EXPECT_EQ(km::QueryRegistryKey(ServicesKey + longName), km::RegistryKeyState::Volatile);
}

// A requested unload goes only when the module accepts the notice. The module here is the routines
// build, which calls the routines beyond the host's own (every area, from processes and threads to
// symbolic links and registry queries) and finds each as on Windows; the model's leak check sees
// nothing of it left once unloaded.
TEST_F(ModuleLifecycle, RequestedUnloadGoesOnlyWhenTheModuleAcceptsTheNotice)
{
    ASSERT_EQ(Load(RoutinesModuleImage, u"routinesmodule"), STATUS_SUCCESS);
    HostModuleControl* control = ModuleControl(u"routinesmodule");
    ASSERT_NE(control, nullptr);
    for (LONG area = 0; area < RoutinesAreas; ++area) {
        EXPECT_EQ(control->Routines[area], STATUS_SUCCESS) << "area " << area;
    }
    control->NoticeAnswer = STATUS_DEVICE_NOT_READY;
    EXPECT_EQ(SendCommand(HostCommandRequestUnload), STATUS_PENDING);
    km::WaitSystemThreadsEnded();
    ASSERT_EQ(ModuleControl(u"routinesmodule"), control);
    EXPECT_EQ(control->Calls[HostModuleUnloadNotice], 1);
    EXPECT_TRUE(Linked());

    control->NoticeAnswer = STATUS_SUCCESS;
    EXPECT_EQ(SendCommand(HostCommandRequestUnload), STATUS_PENDING);
    km::WaitSystemThreadsEnded();
    EXPECT_EQ(ModuleControl(u"routinesmodule"), nullptr);
    // With no module known the bare "\\Device\\" cannot be opened.
    EXPECT_EQ(SendCommand(HostCommandRequestUnload), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(ModuleLifecycle, TheLastLoadersExitUnloadsTheModule)
{
    km::Process* first = km::CreateProcess("first.exe");
    km::Process* second = km::CreateProcess("second.exe");
    for (km::Process* process : {first, second}) {
        km::GrantPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE, true);
        ControlAnswer answer = User(IOCTL_HOST_COMMAND, LoadModuleBlock(ModuleImage, u"hostmodule"),
                                    sizeof(ControlReply), {}, process);
        ASSERT_EQ(ReplyStatus(answer), STATUS_SUCCESS);
    }
    km::ExitProcess(first);
    km::WaitSystemThreadsEnded();
    ASSERT_NE(ModuleControl(u"hostmodule"), nullptr);
    km::ExitProcess(second);
    km::WaitSystemThreadsEnded();
    EXPECT_EQ(ModuleControl(u"hostmodule"), nullptr);
    // A forgotten loader record has no trace left once the module is gone: read it.
    EXPECT_EQ(globals->ModuleHost.LoaderRecorded, 0);
}

TEST_F(ModuleLifecycle, SwapWhileRequestsFlow)
{
    ConcurrentRequests concurrent;  // the swap works on the other thread meanwhile
    // At the tests' sped-up clock the drain time-out is a few milliseconds of wall time, which a
    // sender descheduled inside the module on a loaded machine outlasts; at real speed it is 9 s.
    km::SetClockRate(1.0);
    PDEVICE_OBJECT device = FilterDevice();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    ModelThread sender([&] {
        while (!stop) {
            EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_SUCCESS);
            sent++;
        }
    });
    // A failed assertion returns from here: the sender stops before it is joined.
    struct StopSender {
        std::atomic<bool>& stop;
        ~StopSender() { stop = true; }
    } stopSender{stop};
    while (sent < 10) {
        std::this_thread::yield();
    }
    ASSERT_EQ(ModuleControl(u"hostmodule")->Unlink(), STATUS_SUCCESS);
    ASSERT_EQ(Unload(), STATUS_SUCCESS);
    ASSERT_EQ(Load(SecondModuleImage, u"swapped"), STATUS_SUCCESS);
    HostModuleControl* second = ModuleControl(u"swapped");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->Build, 2);
    while (InterlockedCompareExchange(&second->Calls[HostModuleIrp], 0, 0) < 10) {  // the module counts with interlocked operations
        std::this_thread::yield();
    }
}

}  // namespace
