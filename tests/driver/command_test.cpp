// The control device's device-control requests: the version query's and the command block's checks,
// its two levels of outcome, and the buffer needs of every command served.
#include "driver/driver.h"
#include "support/test_module.h"

namespace {

using CommandTest = HostTest;

TEST_F(CommandTest, CommandBlockRefusals)
{
    // A block shorter than its header, or room for less than a reply: the trust tests (from user
    // mode) and the buffer tests (every command's output less one). Here another control code, and
    // room for less than the version.
    EXPECT_EQ(Kernel(0x22200C, CommandBlock(13), 8).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Kernel(IOCTL_HOST_QUERY_VERSION, {}, 7).status, STATUS_INVALID_BUFFER_SIZE);
    // Codes the host does not serve: no reply (every refusal of the control device comes back with
    // no bytes; this is where that is checked).
    for (uint32_t code : {0u, 9u, 13u, 14u, 16u, 17u, 28u, 0xFFFFFFFFu}) {
        ControlAnswer answer = KernelCommand(CommandBlock(code, {0, 0, 0, 0}, 1), 64);
        EXPECT_EQ(answer.status, STATUS_INVALID_PARAMETER) << "code " << code;
        EXPECT_EQ(answer.information, 0u) << "code " << code;
    }

    // Before start-up has finished nothing is served, not even the version. That window lies inside
    // DriverEntry, out of a caller's reach: the flag is cleared by hand.
    globals->Started = 0;
    EXPECT_EQ(Kernel(IOCTL_HOST_QUERY_VERSION, {}, 8).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(KernelCommand(CommandBlock(HostCommandGetRedirectDevice), 16).status, STATUS_INVALID_DEVICE_STATE);
    globals->Started = 1;
}

TEST_F(CommandTest, CommandOutputLengthIsTheHostsToFillIn)
{
    // A request that claims no output is still served: the host writes the real length first.
    ControlAnswer answer = KernelCommand(CommandBlock(HostCommandGetRedirectDevice), 16);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.information, 16u);

    // ExecuteCommand itself refuses a block without buffers or with a recorded output below 8.
    auto execute = Symbol<decltype(ExecuteCommand)>("ExecuteCommand");
    EXPECT_EQ(execute(nullptr, nullptr), STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> block = CommandBlock(HostCommandGetRedirectDevice, {0});
    reinterpret_cast<ControlRequest*>(block.data())->OutputLength = 7;
    EXPECT_EQ(execute(reinterpret_cast<ControlRequest*>(block.data()), reinterpret_cast<ControlReply*>(block.data())),
              STATUS_INVALID_PARAMETER);
}

// Each command served, with the smallest input and output that carry it (the protocol's rule).

class CommandBufferTest : public HostTest, public ::testing::WithParamInterface<HostCommandRule> {};

TEST_P(CommandBufferTest, CommandShortBuffersAreRefusedUntouched)
{
    const HostCommandRule& needs = GetParam();
    if (needs.Code == HostCommandRegisterNotifyForwarders) {  // taken only after Connect
        ASSERT_TRUE(Accepted(KernelCommand(CommandBlock(HostCommandConnect), sizeof(ConnectReply))));
    }
    // Commands 18 and 26 name a device of the host (26: with a null handler), 23 and 25 a module
    // routine first; the rest take nulls. Command 15 switches the link on.
    PDEVICE_OBJECT device = CreateHostDevice(FILE_DEVICE_UNKNOWN);
    uint64_t pointer = needs.Code == HostCommandSetRedirectDevice || needs.Code == HostCommandAddOverride
                           ? Address(device)
                           : TestModule::AttachNotifyRoutine();
    std::vector<uint8_t> block = CommandBlock(needs.Code, {pointer, 0, 0, 0}, HOST_LINK_ON);
    block.resize(std::max<size_t>(block.size(), needs.MinimumInput));  // LoadModule's 638 bytes
    std::vector<uint8_t> shortInput(block.begin(), block.begin() + needs.MinimumInput - 1);
    for (const auto& [input, output] :
         {std::pair{shortInput, needs.ReplySize}, std::pair{block, needs.ReplySize - 1}}) {
        EXPECT_EQ(KernelCommand(input, output).status, STATUS_INVALID_BUFFER_SIZE)
            << input.size() << " in, " << output << " out";
    }
    // Nothing was done: no redirect device or handler, no override, no link, no module routine,
    // and the notify routines registered only by the Connect above.
    EXPECT_EQ(RedirectDevice(), nullptr);
    EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_NOT_SAME_DEVICE);
    EXPECT_FALSE(Linked());
    EXPECT_EQ(NotifyRoutinesRegistered(), needs.Code == HostCommandRegisterNotifyForwarders);
    // The module's routines have no caller-visible trace without a module to call: read them.
    EXPECT_EQ(globals->ModuleHost.AttachNotify, nullptr);
    EXPECT_EQ(globals->ModuleHost.ProcessNotifyForwarder, nullptr);

    std::vector<uint8_t> exact(block.begin(), block.begin() + needs.MinimumInput);
    ControlAnswer answer = KernelCommand(exact, needs.ReplySize);
    EXPECT_EQ(answer.status, needs.Code == HostCommandRemoveOverride ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    EXPECT_LE(answer.information, needs.ReplySize);
    // The exact input carries the command's fields: what the command reads from them took effect.
    switch (needs.Code) {
    case HostCommandSetLink:
        EXPECT_TRUE(Linked());
        break;
    case HostCommandSetRedirectDevice:
        EXPECT_EQ(RedirectDevice(), device);
        break;
    case HostCommandAddOverride:
        EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_INVALID_DEVICE_STATE);
        break;
    case HostCommandRegisterEntryPoints:
        // As above: the stored routines, with no module to call.
        EXPECT_EQ(Address(reinterpret_cast<void*>(globals->ModuleHost.AttachNotify)), pointer);
        break;
    case HostCommandRegisterNotifyForwarders:
        EXPECT_EQ(Address(reinterpret_cast<void*>(globals->ModuleHost.ProcessNotifyForwarder)), pointer);
        break;
    default:
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(CommandBuffers, CommandBufferTest, ::testing::ValuesIn(ServedCommandRules()),
                         [](const ::testing::TestParamInfo<HostCommandRule>& rule) {
                             return "Command" + std::to_string(rule.param.Code);
                         });

}  // namespace
