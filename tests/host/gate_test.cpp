// The call gates while calls are inside the module: IRPs and notifications held there on other
// threads while an unload waits for them (or does not, once they are out), and the commands that
// must not wait for such calls.
#include <thread>

#include "host/link_test.h"

namespace {

class LinkGateTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        StartWithVolume(true);
    }

    // UnloadModule with no module loaded: once the gates are drained it fails on the bare service
    // path at once; a gate with a call inside makes it wait its whole time-out first.
    void ExpectUnloadWaits(bool waits)
    {
        int64_t before = km::Now100ns();
        NTSTATUS status = ReplyStatus(KernelCommand(CommandBlock(HostCommandUnloadModule)));
        int64_t waited = km::Now100ns() - before;
        EXPECT_EQ(status, waits ? STATUS_IO_TIMEOUT : STATUS_OBJECT_NAME_INVALID);
        EXPECT_EQ(waited >= GateDrainTimeout100ns, waits) << waited;
    }

    // Two calls of the kind held inside, each made by `call` on a thread of its own: an unload
    // waits while either is inside (the first call in clears the drained event; the second call
    // in and the first out leave it alone) and goes at once when the last is out.
    void ExpectUnloadWaitsForEveryCall(ModuleCallKind kind, const std::function<void()>& call)
    {
        module->Hold(kind);
        ModelThread first(call);
        ModelThread second(call);
        module->WaitInside(kind, 2);
        ASSERT_TRUE(Accepted(module->SetLink(HOST_LINK_OFF)));
        ExpectUnloadWaits(true);
        ASSERT_TRUE(module->ReleaseOne(kind));
        while (module->Inside(kind) != 1) {
            std::this_thread::yield();
        }
        ExpectUnloadWaits(true);
        module->Release(kind);
        first.Join();
        second.Join();
        ExpectUnloadWaits(false);
    }

    static constexpr int64_t GateDrainTimeout100ns = 90'000'000;
};

TEST_F(LinkGateTest, LinkGateDispatchCountsIrpsInsideTheModule)
{
    ExpectUnloadWaitsForEveryCall(ModuleCallKind::Irp, [&] { SendMajor(startVolume.filter, IRP_MJ_READ); });
    EXPECT_EQ(km::ModelDeviceIrps(startVolume.volume).size(), 2u);
}

TEST_F(LinkGateTest, LinkGateNotifyCountsNotificationsInsideTheModule)
{
    std::vector<km::Process*> processes;
    std::mutex processesLock;
    ExpectUnloadWaitsForEveryCall(ModuleCallKind::ProcessNotify, [&] {
        km::Process* process = km::CreateProcess("held.exe");
        std::lock_guard<std::mutex> guard(processesLock);
        processes.push_back(process);
    });
    for (km::Process* process : processes) {
        km::ExitProcess(process);
    }
}

TEST_F(LinkGateTest, LinkGateUnlinkAndWithdrawDoNotWaitForCallsInside)
{
    module->Hold(ModuleCallKind::Irp);
    ModelThread reader([&] { SendMajor(startVolume.filter, IRP_MJ_READ); });
    module->WaitInside(ModuleCallKind::Irp, 1);

    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_OFF)), STATUS_SUCCESS);
    ASSERT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    ExpectUnloadWaits(true);
    // A new request no longer enters; it goes down beside the one inside.
    EXPECT_EQ(SendMajor(startVolume.filter, IRP_MJ_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(km::ModelDeviceIrps(startVolume.volume).size(), 1u);

    module->Release(ModuleCallKind::Irp);
    reader.Join();
    ExpectUnloadWaits(false);
    EXPECT_EQ(module->Calls(ModuleCallKind::Irp).size(), 1u);
    EXPECT_EQ(km::ModelDeviceIrps(startVolume.volume).size(), 2u);
}

TEST_F(LinkGateTest, LinkGateAttachNotifyRunsUnderTheRecordLockInTheDeviceNotifyGate)
{
    module->Hold(ModuleCallKind::AttachNotify);
    ModelThread registration([&] { EXPECT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS); });
    module->WaitInside(ModuleCallKind::AttachNotify, 1);

    // The replay holds the record's RecordLock around the call, and not AttachedListLock.
    // Which lock the replay holds shows only in the lock itself: read it.
    EXPECT_EQ(globals->FsFilter.AttachedListLock.sharedCount, 0u);
    auto wait = Symbol<decltype(AMutex_Wait)>("AMutex_Wait");
    auto release = Symbol<decltype(AMutex_Release)>("AMutex_Release");
    EXPECT_FALSE(wait(&startVolume.record->RecordLock, 0));
    // Routing still walks the list meanwhile: the module is linked, so the read is forwarded.
    EXPECT_EQ(SendMajor(startVolume.filter, IRP_MJ_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(module->Calls(ModuleCallKind::Irp).size(), 1u);

    module->Release(ModuleCallKind::AttachNotify);
    registration.Join();
    EXPECT_EQ(globals->FsFilter.AttachedListLock.sharedCount, 0u);
    ASSERT_TRUE(wait(&startVolume.record->RecordLock, 0));
    release(&startVolume.record->RecordLock);
}

}  // namespace
