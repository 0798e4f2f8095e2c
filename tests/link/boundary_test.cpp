// The link commands at the control device's boundary: who may send them, and buffers too short
// for their fields or replies.
#include "link/link_test.h"

namespace {

using LinkBoundaryTest = LinkTest;

const std::vector<std::pair<ULONG, bool>> NoPrivilege = {};
const std::vector<std::pair<ULONG, bool>> LoadDriverEnabled = {{SE_LOAD_DRIVER_PRIVILEGE, true}};

TEST_F(LinkBoundaryTest, LinkTrustKernelAddressCommandsAreKernelOnly)
{
    AddVolume();
    uint64_t routine = TestModule::AttachNotifyRoutine();
    const std::pair<std::vector<uint8_t>, ULONG> kernelOnly[] = {
        {CommandBlock(HostCommandConnect), sizeof(ConnectReply)},
        {CommandBlock(HostCommandRegisterEntryPoints, {routine, routine, routine, routine}), 8},
        {CommandBlock(HostCommandRegisterNotifyForwarders, {routine, routine}), 8},
    };
    for (const auto& privileges : {NoPrivilege, LoadDriverEnabled}) {
        for (const auto& [block, outputLength] : kernelOnly) {
            ControlAnswer answer = User(IOCTL_HOST_COMMAND, block, outputLength, privileges);
            EXPECT_EQ(answer.status, STATUS_ACCESS_DENIED) << "command " << int(block[0]);
            EXPECT_EQ(answer.output[0], OutputFill);
        }
    }
    EXPECT_EQ(globals->NotifyRoutinesRegistered, 0);
    EXPECT_EQ(globals->AttachNotify, nullptr);
    EXPECT_TRUE(module->Calls().empty());

    // SetLink and WithdrawEntryPoints carry no address: SeLoadDriverPrivilege suffices.
    std::vector<uint8_t> link = CommandBlock(HostCommandSetLink, {}, HOST_LINK_ON);
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, link, 8, NoPrivilege).status, STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(LinkState(), LinkStateUnlinked);
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, link, 8, LoadDriverEnabled).status, STATUS_SUCCESS);
    EXPECT_EQ(LinkState(), LinkStateLinked);
    std::vector<uint8_t> withdraw = CommandBlock(HostCommandWithdrawEntryPoints);
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, withdraw, 8, NoPrivilege).status, STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, withdraw, 8, LoadDriverEnabled).status, STATUS_SUCCESS);
}

TEST_F(LinkBoundaryTest, LinkShortBuffersAreRefusedBeforeAnythingChanges)
{
    TestVolume volume = AddVolume();
    auto refused = [&](const std::vector<uint8_t>& block, size_t inputLength, ULONG outputLength) {
        std::vector<uint8_t> input(block.begin(), block.begin() + inputLength);
        ControlAnswer answer = module->Send(input, outputLength);
        EXPECT_EQ(answer.status, STATUS_INVALID_BUFFER_SIZE) << "command " << int(block[0]);
        EXPECT_EQ(answer.information, 0u);
    };

    std::vector<uint8_t> connect = CommandBlock(HostCommandConnect);
    refused(connect, connect.size(), sizeof(ConnectReply) - 1);
    EXPECT_EQ(globals->NotifyRoutinesRegistered, 0);

    // SetLink's Argument must be there whole.
    std::vector<uint8_t> link = CommandBlock(HostCommandSetLink, {}, HOST_LINK_ON);
    refused(link, link.size() - 1, 8);
    EXPECT_EQ(LinkState(), LinkStateUnlinked);

    std::vector<uint8_t> entryPoints =
        CommandBlock(HostCommandRegisterEntryPoints, {TestModule::AttachNotifyRoutine(), 0, 0, 0});
    refused(entryPoints, entryPoints.size() - 1, 8);
    EXPECT_EQ(globals->AttachNotify, nullptr);
    EXPECT_TRUE(module->Calls().empty());

    ASSERT_EQ(module->Connect().status, STATUS_SUCCESS);
    std::vector<uint8_t> forwarders =
        CommandBlock(HostCommandRegisterNotifyForwarders, {TestModule::ProcessNotifyRoutine(), 0});
    refused(forwarders, forwarders.size() - 1, 8);
    EXPECT_EQ(globals->ProcessNotifyForwarder, nullptr);

    // The exact sizes are enough.
    EXPECT_EQ(module->Send(link, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(module->Send(entryPoints, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(module->Send(forwarders, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(module->Calls(ModuleCallKind::AttachNotify).size(), 1u);
    EXPECT_EQ(volume.record->ModuleAttached, TRUE);
}

}  // namespace
