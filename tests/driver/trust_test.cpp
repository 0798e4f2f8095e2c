// Who may send what: the version query is open to everyone; commands that take or return kernel
// addresses are for kernel-mode senders only; every other code from user mode needs
// SeLoadDriverPrivilege, enabled.
#include "support/host_test.h"

namespace {

using TrustTest = HostTest;

const std::vector<std::pair<ULONG, bool>> NoPrivilege = {};
const std::vector<std::pair<ULONG, bool>> LoadDriverDisabled = {{SE_LOAD_DRIVER_PRIVILEGE, false}};
const std::vector<std::pair<ULONG, bool>> LoadDriverEnabled = {{SE_LOAD_DRIVER_PRIVILEGE, true}};

// The commands that carry kernel addresses; which commands they are is stated here, apart from the
// rules the host follows.
const uint32_t KernelOnlyCommands[] = {
    HostCommandConnect, HostCommandSetRedirectDevice, HostCommandGetRedirectDevice, HostCommandSetRedirectHandler,
    HostCommandGetPoolRoutines, HostCommandRegisterEntryPoints, HostCommandRegisterNotifyForwarders,
    HostCommandAddOverride};

TEST_F(TrustTest, TrustKernelAddressCommandsAreRefusedToUserMode)
{
    PDEVICE_OBJECT device = CreateHostDevice(FILE_DEVICE_UNKNOWN);
    uint64_t address = reinterpret_cast<uintptr_t>(device);
    for (const auto& privileges : {NoPrivilege, LoadDriverEnabled}) {
        for (uint32_t command : KernelOnlyCommands) {
            // With the output the command's reply needs (the protocol's rule).
            ControlAnswer answer = User(IOCTL_HOST_COMMAND, CommandBlock(command, {address, address, 0, 0}),
                                        HostFindCommandRule(command)->ReplySize, privileges);
            EXPECT_EQ(answer.status, STATUS_ACCESS_DENIED) << "command " << command;
            EXPECT_EQ(answer.output[0], OutputFill) << "command " << command << " delivered a reply";
        }
        // Also when the buffers would be too short for the command.
        EXPECT_EQ(User(IOCTL_HOST_COMMAND, CommandBlock(HostCommandAddOverride), 8, privileges).status,
                  STATUS_ACCESS_DENIED);
    }
    // None of them took effect.
    EXPECT_EQ(RedirectDevice(), nullptr);
    EXPECT_FALSE(NotifyRoutinesRegistered());
    EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_NOT_SAME_DEVICE);

    // The same commands from kernel mode, through a kernel handle.
    km::OpenResult opened = km::OpenFile(ControlDeviceNameFor(HostServiceName), true);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_TRUE(Accepted(ControlThroughHandle(opened.handle, true, IOCTL_HOST_COMMAND,
                                              CommandBlock(HostCommandSetRedirectDevice, {address}), 8)));
    EXPECT_EQ(RedirectDevice(), device);
    EXPECT_EQ(ZwClose(opened.handle), STATUS_SUCCESS);
}

TEST_F(TrustTest, TrustOtherCodesNeedTheLoadDriverPrivilegeEnabled)
{
    // The version query is open to everyone; the reserved bytes come back zero, not as old pool
    // contents.
    ControlAnswer version = User(IOCTL_HOST_QUERY_VERSION, {}, sizeof(HostVersionReply), NoPrivilege);
    EXPECT_EQ(version.status, STATUS_SUCCESS);
    ASSERT_EQ(version.information, 8u);
    EXPECT_EQ(version.output, (std::vector<uint8_t>{0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00}));

    std::vector<uint8_t> link = CommandBlock(HostCommandSetLink, {}, HOST_LINK_ON);
    std::vector<uint8_t> withdraw = CommandBlock(HostCommandWithdrawEntryPoints);
    std::vector<uint8_t> remove = CommandBlock(HostCommandRemoveOverride, {0x1000});
    std::vector<uint8_t> unknown = CommandBlock(13, {0});
    for (const auto& privileges : {NoPrivilege, LoadDriverDisabled}) {
        for (const std::vector<uint8_t>& block : {link, withdraw, remove, unknown}) {
            EXPECT_EQ(User(IOCTL_HOST_COMMAND, block, 8, privileges).status, STATUS_PRIVILEGE_NOT_HELD)
                << "command " << int(block[0]);
        }
    }
    EXPECT_FALSE(Linked());
    // With the privilege the command runs: the link is made and withdrawn, command 27 finds no
    // override, an unknown code is refused.
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, link, 8, LoadDriverEnabled).status, STATUS_SUCCESS);
    EXPECT_TRUE(Linked());
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, withdraw, 8, LoadDriverEnabled).status, STATUS_SUCCESS);
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, remove, 8, LoadDriverEnabled).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, unknown, 8, LoadDriverEnabled).status, STATUS_INVALID_PARAMETER);
    // Buffer checks that come before the command is known apply to everyone alike.
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, std::vector<uint8_t>(11, 0), 8, NoPrivilege).status,
              STATUS_INVALID_BUFFER_SIZE);
}

}  // namespace
