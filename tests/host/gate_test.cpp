// The call gates while calls are inside the module: IRPs and notifications held there on other
// threads while the test reads the in-flight counts and drained events, and the commands that
// must not wait for such calls.
#include "host/link_test.h"

namespace {

class LinkGateTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        volume = AddVolume();
        ASSERT_TRUE(module->Link());
    }

    // Runs the gate's life with two calls held inside: `call` makes one call that the module
    // holds as `kind`, on a thread of its own.
    void ExpectGateCounts(ModuleCallKind kind, const std::function<void()>& call, volatile LONG* inFlight,
                          PKEVENT drained)
    {
        module->Hold(kind);
        ModelThread first(call);
        module->WaitInside(kind, 1);
        EXPECT_EQ(*inFlight, 1);
        EXPECT_EQ(KeReadStateEvent(drained), 0) << "the first call in clears the drained event";

        // Set by hand: the second call in must leave the event alone, and so must the first out.
        KeSetEvent(drained, IO_NO_INCREMENT, FALSE);
        ModelThread second(call);
        module->WaitInside(kind, 2);
        EXPECT_EQ(*inFlight, 2);
        EXPECT_NE(KeReadStateEvent(drained), 0) << "the second call in touched the drained event";
        KeClearEvent(drained);
        ASSERT_TRUE(module->ReleaseOne(kind));
        first.Join();
        EXPECT_EQ(*inFlight, 1);
        EXPECT_EQ(KeReadStateEvent(drained), 0) << "a call out set the drained event with a call inside";

        module->Release(kind);
        second.Join();
        EXPECT_EQ(*inFlight, 0);
        EXPECT_NE(KeReadStateEvent(drained), 0) << "the last call out sets the drained event";

        // Leaving a drained gate leaves the count at 0 and does not set the event.
        KeClearEvent(drained);
        const CallGate* gate = Symbol<const CallGate>(kind == ModuleCallKind::Irp ? "DispatchGate" : "NotifyGate");
        Symbol<decltype(LeaveGate)>("LeaveGate")(gate);
        EXPECT_EQ(*inFlight, 0);
        EXPECT_EQ(KeReadStateEvent(drained), 0);
    }

    TestVolume volume;
};

TEST_F(LinkGateTest, LinkGateDispatchCountsIrpsInsideTheModule)
{
    ExpectGateCounts(
        ModuleCallKind::Irp, [&] { SendMajor(volume.filter, IRP_MJ_READ); }, &globals->ModuleHost.DispatchInFlight,
        &globals->ModuleHost.DispatchDrained);
    EXPECT_EQ(globals->ModuleHost.NotifyInFlight, 0);
    EXPECT_EQ(km::ModelDeviceIrps(volume.volume).size(), 2u);
}

TEST_F(LinkGateTest, LinkGateNotifyCountsNotificationsInsideTheModule)
{
    std::vector<km::Process*> processes;
    std::mutex processesLock;
    ExpectGateCounts(
        ModuleCallKind::ProcessNotify,
        [&] {
            km::Process* process = km::CreateProcess("held.exe");
            std::lock_guard<std::mutex> guard(processesLock);
            processes.push_back(process);
        },
        &globals->ModuleHost.NotifyInFlight, &globals->ModuleHost.NotifyDrained);
    EXPECT_EQ(globals->ModuleHost.DispatchInFlight, 0);
    for (km::Process* process : processes) {
        km::ExitProcess(process);
    }
}

TEST_F(LinkGateTest, LinkGateUnlinkAndWithdrawDoNotWaitForCallsInside)
{
    module->Hold(ModuleCallKind::Irp);
    ModelThread reader([&] { SendMajor(volume.filter, IRP_MJ_READ); });
    module->WaitInside(ModuleCallKind::Irp, 1);

    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_OFF)), STATUS_SUCCESS);
    ASSERT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    EXPECT_EQ(globals->ModuleHost.DispatchInFlight, 1);
    // A new request no longer enters; it goes down beside the one inside.
    EXPECT_EQ(SendMajor(volume.filter, IRP_MJ_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(km::ModelDeviceIrps(volume.volume).size(), 1u);

    module->Release(ModuleCallKind::Irp);
    reader.Join();
    EXPECT_EQ(globals->ModuleHost.DispatchInFlight, 0);
    EXPECT_NE(KeReadStateEvent(&globals->ModuleHost.DispatchDrained), 0);
    EXPECT_EQ(module->Calls(ModuleCallKind::Irp).size(), 1u);
    EXPECT_EQ(km::ModelDeviceIrps(volume.volume).size(), 2u);
}

TEST_F(LinkGateTest, LinkGateAttachNotifyRunsUnderTheRecordLockInTheDeviceNotifyGate)
{
    module->Hold(ModuleCallKind::AttachNotify);
    ModelThread registration([&] { EXPECT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS); });
    module->WaitInside(ModuleCallKind::AttachNotify, 1);

    // The replay holds the record's RecordLock around the call, and not AttachedListLock.
    EXPECT_EQ(globals->FsFilter.AttachedListLock.sharedCount, 0u);
    auto wait = Symbol<decltype(AMutex_Wait)>("AMutex_Wait");
    auto release = Symbol<decltype(AMutex_Release)>("AMutex_Release");
    EXPECT_FALSE(wait(&volume.record->RecordLock, 0));
    EXPECT_EQ(globals->ModuleHost.DispatchInFlight, 0);
    EXPECT_EQ(globals->ModuleHost.DeviceNotifyInFlight, 1);  // an unload waits for it
    // Routing still walks the list meanwhile: the module is linked, so the read is forwarded.
    EXPECT_EQ(SendMajor(volume.filter, IRP_MJ_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(module->Calls(ModuleCallKind::Irp).size(), 1u);

    module->Release(ModuleCallKind::AttachNotify);
    registration.Join();
    EXPECT_EQ(globals->FsFilter.AttachedListLock.sharedCount, 0u);
    ASSERT_TRUE(wait(&volume.record->RecordLock, 0));
    release(&volume.record->RecordLock);
}

}  // namespace
