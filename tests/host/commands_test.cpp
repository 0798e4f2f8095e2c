// The link's commands as the module sends them: Connect, SetLink, RegisterEntryPoints,
// WithdrawEntryPoints and RegisterNotifyForwarders, with the notify routines' registration.
#include <cstring>
#include <tuple>

#include "kmodel/fs_model.h"
#include "host/link_test.h"

namespace {

using LinkCommandTest = LinkTest;

// The process and thread notify routines registered.
std::pair<unsigned, unsigned> Registered()
{
    return {unsigned(km::NotifyRoutineCount(km::NotifyKind::Process)),
            unsigned(km::NotifyRoutineCount(km::NotifyKind::Thread))};
}

TEST_F(LinkCommandTest, LinkConnectRepliesRegistersOnceAndResetsTheLink)
{
    // Bytes 12 and 28 of the request must come back as they were.
    ControlAnswer answer =
        module->Send(CommandBlock(HostCommandConnect, {0x1111111111111111, 0x2222222222222222}, 0xA5A5A5A5),
                     sizeof(ConnectReply));
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    ASSERT_EQ(answer.information, sizeof(ConnectReply));
    ConnectReply reply;
    std::memcpy(&reply, answer.output.data(), sizeof(reply));
    EXPECT_EQ(std::make_tuple(reply.Header.Status, reply.Header.ReplySize, reply.InterfaceVersion, reply.NotWritten1,
                              reply.DriverObject, reply.Constant, reply.NotWritten2),
              std::make_tuple(STATUS_SUCCESS, 32u, 0x50000u, 0xA5A5A5A5u, Address(loaded.driver), 100u, 0x22222222u));
    EXPECT_EQ(Registered(), std::make_pair(1u, 1u));

    // Linked, Connect unlinks; during an unload it leaves the state alone. Nothing is registered twice.
    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_ON)), STATUS_SUCCESS);
    ASSERT_EQ(LinkState(), LinkStateLinked);
    EXPECT_EQ(module->Connect().status, STATUS_SUCCESS);
    EXPECT_EQ(LinkState(), LinkStateUnlinked);
    SetLinkState(LinkStateUnloading);
    EXPECT_EQ(module->Connect().status, STATUS_SUCCESS);
    EXPECT_EQ(LinkState(), LinkStateUnloading);
    EXPECT_EQ(Registered(), std::make_pair(1u, 1u));
}

TEST_F(LinkCommandTest, LinkConnectAbovePassiveLevelChangesNothing)
{
    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_ON)), STATUS_SUCCESS);
    std::vector<uint8_t> block = CommandBlock(HostCommandConnect, {0, 0});
    reinterpret_cast<ControlRequest*>(block.data())->OutputLength = sizeof(ConnectReply);
    auto* request = reinterpret_cast<ControlRequest*>(block.data());
    KIRQL previous;
    KeRaiseIrql(APC_LEVEL, &previous);
    NTSTATUS status = Symbol<decltype(ExecuteCommand)>("ExecuteCommand")(request, reinterpret_cast<ControlReply*>(request));
    KeLowerIrql(previous);
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(LinkState(), LinkStateLinked);
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Process), 0u);
}

TEST_F(LinkCommandTest, LinkSetLinkMovesOnlyBetweenUnlinkedAndLinked)
{
    struct Case {
        LONG from;
        uint32_t linkSwitch;
        LONG to;
        NTSTATUS outcome;
    };
    const Case cases[] = {
        {LinkStateUnlinked, 1, LinkStateLinked, STATUS_SUCCESS},
        {LinkStateLinked, 1, LinkStateLinked, STATUS_SUCCESS},
        {LinkStateUnloading, 1, LinkStateUnloading, STATUS_SUCCESS},
        {LinkStateLinked, 0, LinkStateUnlinked, STATUS_SUCCESS},
        {LinkStateUnlinked, 0, LinkStateUnlinked, STATUS_SUCCESS},
        {LinkStateUnloading, 0, LinkStateUnloading, STATUS_SUCCESS},
        {LinkStateUnlinked, 2, LinkStateUnlinked, STATUS_INVALID_PARAMETER},
        {LinkStateLinked, 2, LinkStateLinked, STATUS_INVALID_PARAMETER},
        {LinkStateUnlinked, 0xFFFFFFFF, LinkStateUnlinked, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SetLinkState(c.from);
        ControlAnswer answer = module->SetLink(c.linkSwitch);
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        EXPECT_EQ(answer.information, 8u);
        EXPECT_EQ(ReplyStatus(answer), c.outcome) << "switch " << c.linkSwitch << " from " << c.from;
        EXPECT_EQ(LinkState(), c.to) << "switch " << c.linkSwitch << " from " << c.from;
    }
}

TEST_F(LinkCommandTest, LinkEntryPointsReplayAttachNotifyNewestFirstEveryTime)
{
    TestVolume older = AddVolume();
    TestVolume newer = AddVolume(FILE_DEVICE_CD_ROM_FILE_SYSTEM);
    SetLinkState(LinkStateUnloading);  // accepted in every state, and the state is left alone

    ControlAnswer answer = module->RegisterEntryPoints();
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.information, 8u);
    EXPECT_EQ(LinkState(), LinkStateUnloading);
    // No notification goes into a module that is being unloaded; the replay is made once it is not.
    EXPECT_TRUE(module->Calls(ModuleCallKind::AttachNotify).empty());
    SetLinkState(LinkStateUnlinked);
    ASSERT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS);
    std::vector<ModuleCall> calls = module->Calls(ModuleCallKind::AttachNotify);
    ASSERT_EQ(calls.size(), 2u);
    for (const auto& [call, volume] : {std::pair{calls[0], newer}, std::pair{calls[1], older}}) {
        EXPECT_EQ(call.device, volume.filter);
        EXPECT_EQ(call.volume, volume.volume);
        EXPECT_EQ(call.storage, volume.storage);
    }
    EXPECT_EQ(older.record->ModuleAttached, TRUE);

    // Taken records are offered again, and the new answer is kept.
    module->SetAttachAnswer(FALSE);
    module->ClearCalls();
    EXPECT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS);
    EXPECT_EQ(module->Calls(ModuleCallKind::AttachNotify).size(), 2u);
    EXPECT_EQ(older.record->ModuleAttached, FALSE);
    EXPECT_EQ(newer.record->ModuleAttached, FALSE);
}

// The entry-point commands when AttachedListLock's shared hold is refused: RegisterEntryPoints
// stores the pointers and skips the replay; WithdrawEntryPoints reports the failure and changes
// nothing, so that the module can send it again.
struct UnwalkableList {
    uint32_t command;
    NTSTATUS outcome;
    ModuleCallKind offer;       // what the command calls once the list can be walked
    UCHAR moduleAttachedAfter;  // and what the record then says
};

class LinkUnwalkableTest : public LinkTest, public ::testing::WithParamInterface<UnwalkableList> {};

TEST_P(LinkUnwalkableTest, LinkEntryPointCommandsWhenTheListCannotBeWalked)
{
    const UnwalkableList& c = GetParam();
    TestVolume volume = AddVolume();
    ASSERT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS);
    ASSERT_EQ(volume.record->ModuleAttached, TRUE);
    module->ClearCalls();
    auto send = [&] {
        return c.command == HostCommandRegisterEntryPoints ? module->RegisterEntryPoints()
                                                           : module->WithdrawEntryPoints();
    };
    // Shared holds use up AttachedListLock's table of holders; with pool refused, the command's own
    // shared hold cannot be recorded.
    auto acquireShared = Symbol<decltype(ASimpleResource_AcquireShared)>("ASimpleResource_AcquireShared");
    auto releaseShared = Symbol<decltype(ASimpleResource_ReleaseShared)>("ASimpleResource_ReleaseShared");
    km::FailAllocationsWithTag(km::PoolTag("ABPL"));
    int holds = 0;
    // Filling the lock's table of holders is not a fault the model can force: hold it here.
    while (acquireShared(&globals->FsFilter.AttachedListLock)) {
        ASSERT_LT(++holds, 64);
    }

    // The module is called for nothing, the entry points stay registered, and no hold is released
    // that was not granted.
    ControlAnswer answer = send();
    km::ClearPoolFaults();
    for (int hold = 0; hold < holds; hold += 1) {
        releaseShared(&globals->FsFilter.AttachedListLock);
    }
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(ReplyStatus(answer), c.outcome);
    // The refused walk must leave the registration alone; only the stored pointer shows it.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(globals->ModuleHost.AttachNotify), TestModule::AttachNotifyRoutine());
    EXPECT_TRUE(module->Calls().empty());
    EXPECT_EQ(volume.record->ModuleAttached, TRUE);
    // A release without a grant shows only in the lock's count.
    EXPECT_EQ(globals->FsFilter.AttachedListLock.sharedCount, 0u);

    ASSERT_EQ(ReplyStatus(send()), STATUS_SUCCESS);
    EXPECT_EQ(module->Calls(c.offer).size(), 1u);
    EXPECT_EQ(volume.record->ModuleAttached, c.moduleAttachedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Link, LinkUnwalkableTest,
    ::testing::Values(
        UnwalkableList{HostCommandRegisterEntryPoints, STATUS_SUCCESS, ModuleCallKind::AttachNotify, TRUE},
        UnwalkableList{HostCommandWithdrawEntryPoints, STATUS_INSUFFICIENT_RESOURCES, ModuleCallKind::DetachNotify,
                       FALSE}),
    [](const ::testing::TestParamInfo<UnwalkableList>& list) {
        return list.param.command == HostCommandRegisterEntryPoints ? "RegisterEntryPoints" : "WithdrawEntryPoints";
    });

TEST_F(LinkCommandTest, LinkWithdrawOffersBackOnlyTakenDevicesAndClearsTheEntryPoints)
{
    TestVolume kept = AddVolume();
    TestVolume declined = AddVolume();
    ASSERT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS);
    module->SetAttachAnswer(FALSE);
    NotifyAttach(declined.record);
    ASSERT_EQ(declined.record->ModuleAttached, FALSE);

    // The module keeps what it has: ModuleAttached stays TRUE.
    module->SetDetachAnswer(FALSE);
    module->ClearCalls();
    EXPECT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    std::vector<ModuleCall> detaches = module->Calls(ModuleCallKind::DetachNotify);
    ASSERT_EQ(detaches.size(), 1u);
    EXPECT_EQ(detaches[0].device, kept.filter);
    EXPECT_EQ(kept.record->ModuleAttached, TRUE);

    // With nothing registered the walk calls nothing.
    EXPECT_TRUE(Accepted(module->WithdrawEntryPoints()));
    EXPECT_EQ(module->Calls(ModuleCallKind::DetachNotify).size(), 1u);
    EXPECT_EQ(kept.record->ModuleAttached, TRUE);

    // A module that lets go: ModuleAttached becomes FALSE.
    module->SetAttachAnswer(TRUE);
    module->SetDetachAnswer(TRUE);
    ASSERT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS);
    ASSERT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    EXPECT_EQ(kept.record->ModuleAttached, FALSE);
    EXPECT_EQ(declined.record->ModuleAttached, FALSE);
}

TEST_F(LinkCommandTest, LinkAttachNotifyForANewRecordInEveryLinkStateButUnloading)
{
    ASSERT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS);
    SetLinkState(LinkStateUnloading);
    NotifyAttach(AddVolume().record);
    EXPECT_TRUE(module->Calls().empty());
    BOOLEAN answer = TRUE;
    for (LONG state : {LinkStateUnlinked, LinkStateLinked}) {
        SetLinkState(state);
        module->ClearCalls();
        module->SetAttachAnswer(answer);
        TestVolume volume = AddVolume();
        NotifyAttach(volume.record);
        std::vector<ModuleCall> calls = module->Calls();
        ASSERT_EQ(calls.size(), 1u) << "link state " << state;
        EXPECT_EQ(calls[0].kind, ModuleCallKind::AttachNotify);
        EXPECT_EQ(calls[0].storage, volume.storage);
        EXPECT_EQ(volume.record->ModuleAttached, answer);
        answer = !answer;
    }

    // A record whose lock cannot be waited for is skipped, its lock not released.
    TestVolume unlocked = AddVolume();
    Symbol<decltype(AMutex_Free)>("AMutex_Free")(&unlocked.record->RecordLock);
    module->ClearCalls();
    NotifyAttach(unlocked.record);
    EXPECT_TRUE(module->Calls().empty());

    // Once withdrawn, neither notification reaches the module.
    ASSERT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    module->ClearCalls();
    TestVolume late = AddVolume();
    NotifyAttach(late.record);
    Symbol<decltype(LinkNotifyDetach)>("LinkNotifyDetach")(late.filter);
    EXPECT_TRUE(module->Calls().empty());
}

TEST_F(LinkCommandTest, LinkRefusedRegistrationsAreTriedAgainOneRoutineAtATime)
{
    // The process routine refused: the thread routine is not tried, and forwarders are refused.
    km::FailNotifyRegistration(km::NotifyKind::Process, 1, STATUS_INSUFFICIENT_RESOURCES);
    SetLinkState(LinkStateLinked);
    EXPECT_TRUE(Accepted(module->Connect()));
    EXPECT_EQ(LinkState(), LinkStateUnlinked);
    EXPECT_EQ(Registered(), std::make_pair(0u, 0u));
    ControlAnswer forwarders = module->RegisterNotifyForwarders();
    EXPECT_EQ(forwarders.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(forwarders.information, 0u);

    // The thread routine refused: the process routine stays registered.
    km::FailNotifyRegistration(km::NotifyKind::Thread, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(module->Connect().status, STATUS_SUCCESS);
    EXPECT_EQ(Registered(), std::make_pair(1u, 0u));
    EXPECT_EQ(module->RegisterNotifyForwarders().status, STATUS_INVALID_DEVICE_STATE);

    // The next Connect registers only what is missing, so every process event arrives once.
    ASSERT_TRUE(module->Link());
    EXPECT_EQ(Registered(), std::make_pair(1u, 1u));
    km::Process* process = km::CreateProcess("once.exe");
    km::ExitProcess(process);
    EXPECT_EQ(module->Calls(ModuleCallKind::ProcessNotify).size(), 2u);
}

}  // namespace
