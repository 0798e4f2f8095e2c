// The control device's device-control requests: the version query's and the command block's checks,
// its two levels of outcome, and the buffer needs of every command served; who may send what (the
// version query is open to everyone, commands that take or return kernel addresses are for
// kernel-mode senders only, every other code from user mode needs SeLoadDriverPrivilege, enabled);
// and command 22, the host's pool routines, used the way a filter module uses them, on a kernel
// whose export table has ExFreePoolWithTag and on one that lacks it.
#include "driver/driver.h"
#include "support/test_module.h"

namespace {

using CommandTest = HostTest;

TEST_F(CommandTest, CommandBlockRefusalsAndOutputLength)
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
    if (needs.Code == HostCommandSetLink) {
        EXPECT_TRUE(Linked());
    } else if (needs.Code == HostCommandSetRedirectDevice) {
        EXPECT_EQ(RedirectDevice(), device);
    } else if (needs.Code == HostCommandAddOverride) {
        EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_INVALID_DEVICE_STATE);
    } else if (needs.Code == HostCommandRegisterEntryPoints) {
        // As above: the stored routines, with no module to call.
        EXPECT_EQ(Address(reinterpret_cast<void*>(globals->ModuleHost.AttachNotify)), pointer);
    } else if (needs.Code == HostCommandRegisterNotifyForwarders) {
        EXPECT_EQ(Address(reinterpret_cast<void*>(globals->ModuleHost.ProcessNotifyForwarder)), pointer);
    }
}

INSTANTIATE_TEST_SUITE_P(CommandBuffers, CommandBufferTest, ::testing::ValuesIn(ServedCommandRules()),
                         [](const ::testing::TestParamInfo<HostCommandRule>& rule) {
                             return "Command" + std::to_string(rule.param.Code);
                         });

const std::vector<std::pair<ULONG, bool>> NoPrivilege = {};
const std::vector<std::pair<ULONG, bool>> LoadDriverDisabled = {{SE_LOAD_DRIVER_PRIVILEGE, false}};
const std::vector<std::pair<ULONG, bool>> LoadDriverEnabled = {{SE_LOAD_DRIVER_PRIVILEGE, true}};

// The commands that carry kernel addresses; which commands they are is stated here, apart from the
// rules the host follows.
const uint32_t KernelOnlyCommands[] = {
    HostCommandConnect, HostCommandSetRedirectDevice, HostCommandGetRedirectDevice, HostCommandSetRedirectHandler,
    HostCommandGetPoolRoutines, HostCommandRegisterEntryPoints, HostCommandRegisterNotifyForwarders,
    HostCommandAddOverride};

TEST_F(CommandTest, TrustKernelAddressesForKernelModeOthersForTheLoadDriverPrivilege)
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

    // The version query is open to everyone; the reserved bytes come back zero, not as old pool
    // contents.
    ControlAnswer version = User(IOCTL_HOST_QUERY_VERSION, {}, sizeof(HostVersionReply), NoPrivilege);
    EXPECT_EQ(version.status, STATUS_SUCCESS);
    ASSERT_EQ(version.information, 8u);
    EXPECT_EQ(version.output, (std::vector<uint8_t>{0x01, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00}));

    // Without the privilege, or with it disabled, nothing runs; with it the command runs: the link
    // is made and withdrawn, command 27 finds no override, an unknown code is refused.
    const std::pair<std::vector<uint8_t>, NTSTATUS> privileged[] = {
        {CommandBlock(HostCommandSetLink, {}, HOST_LINK_ON), STATUS_SUCCESS},
        {CommandBlock(HostCommandWithdrawEntryPoints), STATUS_SUCCESS},
        {CommandBlock(HostCommandRemoveOverride, {0x1000}), STATUS_UNSUCCESSFUL},
        {CommandBlock(13, {0}), STATUS_INVALID_PARAMETER}};
    for (const auto& [block, withPrivilege] : privileged) {
        for (const auto& privileges : {NoPrivilege, LoadDriverDisabled}) {
            EXPECT_EQ(User(IOCTL_HOST_COMMAND, block, 8, privileges).status, STATUS_PRIVILEGE_NOT_HELD)
                << "command " << int(block[0]);
        }
        EXPECT_EQ(Linked(), block[0] != HostCommandSetLink) << "command " << int(block[0]);
        EXPECT_EQ(User(IOCTL_HOST_COMMAND, block, 8, LoadDriverEnabled).status, withPrivilege);
    }
    // Buffer checks that come before the command is known apply to everyone alike.
    EXPECT_EQ(User(IOCTL_HOST_COMMAND, std::vector<uint8_t>(11, 0), 8, NoPrivilege).status,
              STATUS_INVALID_BUFFER_SIZE);
}

constexpr ULONG TestTag = km::PoolTag("PrTs");

struct PoolRoutines {
    decltype(&ExAllocatePool) allocate;
    decltype(&ExAllocatePoolWithTag) allocateWithTag;
    decltype(&ExAllocatePoolWithQuotaTag) allocateWithQuotaTag;
    decltype(&ExAllocatePoolWithTagPriority) allocateWithTagPriority;
    decltype(&ExFreePool) free;
    decltype(&ExFreePoolWithTag) freeWithTag;
};

// The parameter: whether the kernel exports ExFreePoolWithTag.
class PoolRoutinesTest : public HostTest, public ::testing::WithParamInterface<bool> {
protected:
    bool LoadAtSetUp() const override { return false; }
    PoolRoutines Fetch()
    {
        ControlAnswer answer = KernelCommand(CommandBlock(HostCommandGetPoolRoutines), POOL_ROUTINES_REPLY_BYTES);
        EXPECT_TRUE(Accepted(answer));
        EXPECT_EQ(answer.information, POOL_ROUTINES_REPLY_BYTES);
        PoolRoutines routines{};
        uint64_t* slots = reinterpret_cast<uint64_t*>(&routines);
        for (size_t index = 0; index < PoolRoutineCount; index += 1) {
            slots[index] = ReplyField64(answer, 8 + 8 * index);
        }
        // The reply's reserved bytes are zeros, not old pool contents.
        for (size_t offset = 8 + 8 * PoolRoutineCount; offset < POOL_ROUTINES_REPLY_BYTES; offset += 8) {
            EXPECT_EQ(ReplyField64(answer, offset), 0u) << "reserved bytes at " << offset;
        }
        return routines;
    }
};

TEST_P(PoolRoutinesTest, PoolRoutinesAllocateAndFreeLikeTheKernel)
{
    if (!GetParam()) {
        km::RemoveExport("ExFreePoolWithTag");  // the host falls back to its own link
    }
    ASSERT_EQ(LoadHost().status, STATUS_SUCCESS);
    PoolRoutines routines = Fetch();
    // Allocates with each allocating entry, checks the block, and frees it with either free.
    PVOID blocks[] = {
        routines.allocate(NonPagedPool, 24),
        routines.allocateWithTag(PagedPool, 32, TestTag),
        routines.allocateWithQuotaTag(NonPagedPool, 40, TestTag),
        routines.allocateWithTagPriority(NonPagedPool, 48, TestTag, NormalPoolPriority),
    };
    for (size_t index = 0; index < 4; index += 1) {
        km::PoolBlockInfo info{};
        ASSERT_TRUE(km::QueryPoolBlock(blocks[index], &info)) << "entry " << index;
        EXPECT_EQ(info.size, 24 + 8 * index);
        EXPECT_EQ(info.paged, index == 1);
        EXPECT_TRUE(index == 0 || info.tag == TestTag) << "entry " << index << " dropped the tag";
    }
    EXPECT_EQ(km::OutstandingBlocks(TestTag), 3u);
    routines.free(blocks[0]);
    routines.freeWithTag(blocks[1], TestTag);
    routines.freeWithTag(blocks[2], TestTag);
    routines.free(blocks[3]);
    EXPECT_EQ(km::OutstandingBlocks(TestTag), 0u);
    // The cached routine leaves no trace a caller can see (every path frees alike): read it.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"ExFreePoolWithTag");
    EXPECT_EQ(globals->CachedFreePoolWithTag, reinterpret_cast<ULONG_PTR>(MmGetSystemRoutineAddress(&name)));
    // The addresses stay the same for every caller.
    EXPECT_EQ(Fetch().freeWithTag, routines.freeWithTag);
    km::RestoreExports();
}

INSTANTIATE_TEST_SUITE_P(PoolRoutines, PoolRoutinesTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& exported) {
                             return exported.param ? "Exported" : "NotExported";
                         });

}  // namespace
