// What reaches the module by link state: IRPs on recorded volume filter devices, and process and
// thread notifications from the model's processes and threads.
#include "host/link_test.h"

namespace {

class LinkForwardTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        StartWithVolume(false);
    }

    // Whether a read on the device reached the module; the IRP completes either way.
    bool ReadForwarded(PDEVICE_OBJECT device)
    {
        size_t before = module->Calls(ModuleCallKind::Irp).size();
        km::IrpResult result = SendMajor(device, IRP_MJ_READ);
        EXPECT_NE(result.status, STATUS_PENDING);
        return module->Calls(ModuleCallKind::Irp).size() > before;
    }

    // Creates and ends a process with one thread; the notifications the module received for them.
    std::vector<ModuleCall> RunProcess()
    {
        module->ClearCalls();
        km::Process* process = km::CreateProcess("notified.exe");
        km::RunInProcess(process, [] {});
        km::ExitProcess(process);
        HANDLE id = km::ProcessId(process);
        std::vector<ModuleCall> forProcess;
        for (const ModuleCall& call : module->Calls()) {
            bool matches = call.kind == ModuleCallKind::ProcessNotify ? call.second == id : call.first == id;
            if (matches) {
                forProcess.push_back(call);
            }
        }
        return forProcess;
    }
};

TEST_F(LinkForwardTest, LinkForwardIrpsOnlyWhileLinkedWithADispatchRoutine)
{
    EXPECT_FALSE(ReadForwarded(startVolume.filter));
    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_ON)), STATUS_SUCCESS);
    EXPECT_TRUE(ReadForwarded(startVolume.filter));
    std::vector<ModuleCall> calls = module->Calls(ModuleCallKind::Irp);
    EXPECT_EQ(calls.back().device, startVolume.filter);
    EXPECT_EQ(calls.back().major, IRP_MJ_READ);
    // The module passed it down: the file system saw every read, forwarded or not.
    EXPECT_EQ(km::ModelDeviceIrps(startVolume.volume).size(), 2u);
    // Linked, a filter device without a record, and any device before start-up has finished, go down.
    EXPECT_FALSE(ReadForwarded(CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, km::CreateModelDevice({}))));
    // Start-up's window lies inside DriverEntry, out of a caller's reach: the flag is cleared by hand.
    globals->Started = 0;
    EXPECT_FALSE(ReadForwarded(startVolume.filter));
    globals->Started = 1;

    SetLinkState(LinkStateUnloading);  // no command leads there yet
    EXPECT_FALSE(ReadForwarded(startVolume.filter));
    SetLinkState(LinkStateLinked);
    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_OFF)), STATUS_SUCCESS);
    EXPECT_FALSE(ReadForwarded(startVolume.filter));
    // Linked again but withdrawn: down to the file system.
    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_ON)), STATUS_SUCCESS);
    ASSERT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    EXPECT_FALSE(ReadForwarded(startVolume.filter));
    EXPECT_EQ(km::ModelDeviceIrps(startVolume.volume).size(), 6u);
}

TEST_F(LinkForwardTest, LinkForwardNotificationsOnlyWhileLinkedWithForwarders)
{
    EXPECT_TRUE(RunProcess().empty());
    SetLinkState(LinkStateUnloading);
    EXPECT_TRUE(RunProcess().empty());
    SetLinkState(LinkStateUnlinked);

    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_ON)), STATUS_SUCCESS);
    std::vector<ModuleCall> calls = RunProcess();
    // Process created, thread created, thread exited, process exited; each at PASSIVE_LEVEL.
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].kind, ModuleCallKind::ProcessNotify);
    EXPECT_EQ(calls[0].first, PsGetCurrentProcessId());
    EXPECT_TRUE(calls[0].create);
    EXPECT_EQ(calls[1].kind, ModuleCallKind::ThreadNotify);
    EXPECT_TRUE(calls[1].create);
    EXPECT_EQ(calls[2].kind, ModuleCallKind::ThreadNotify);
    EXPECT_FALSE(calls[2].create);
    EXPECT_EQ(calls[2].second, calls[1].second);
    EXPECT_EQ(calls[3].kind, ModuleCallKind::ProcessNotify);
    EXPECT_FALSE(calls[3].create);
    for (const ModuleCall& call : calls) {
        EXPECT_EQ(call.irql, PASSIVE_LEVEL);
    }

    // Null forwarders switch forwarding off while linked.
    ASSERT_EQ(module->Send(CommandBlock(HostCommandRegisterNotifyForwarders, {0, 0})).status, STATUS_SUCCESS);
    EXPECT_TRUE(RunProcess().empty());
}

}  // namespace
