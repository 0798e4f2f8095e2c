// The redirect device and its handler: commands 18 to 20 and the redirect step of routing.
#include "support/test_module.h"

namespace {

using RedirectTest = ModuleTest;

NTSTATUS NTAPI RedirectHandler(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_END_OF_FILE;
    irp->IoStatus.Information = 5;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_END_OF_FILE;
}

// Command 20's reply is the status alone: the previous handler the host writes to offset 8 of its
// buffer stays outside the reply.
TEST_F(RedirectTest, RedirectHandlerReplyLeavesThePreviousHandlerUndelivered)
{
    for (PDRIVER_DISPATCH handler : {RedirectHandler, static_cast<PDRIVER_DISPATCH>(nullptr)}) {
        ControlAnswer answer = KernelCommand(CommandBlock(HostCommandSetRedirectHandler, {Address(handler)}), 16);
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        EXPECT_EQ(answer.information, 8u);
        EXPECT_EQ(ReplyField64(answer, 8), 0xCCCCCCCCCCCCCCCCu) << "bytes beyond the reply were delivered";
    }
}

TEST_F(RedirectTest, RedirectRoutesToTheHandlerOnlyWhileLinked)
{
    OpenModule();  // links and unlinks the way a module does
    PDEVICE_OBJECT device = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, km::CreateModelDevice({}));
    ASSERT_TRUE(Accepted(module->Send(CommandBlock(HostCommandSetRedirectDevice, {Address(device)}))));
    ASSERT_TRUE(Accepted(module->SetLink(HOST_LINK_ON)));

    EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_NO_MEDIA_IN_DEVICE) << "no handler";
    ASSERT_TRUE(Accepted(module->Send(CommandBlock(HostCommandSetRedirectHandler, {Address(RedirectHandler)}))));
    ASSERT_TRUE(Accepted(module->SetLink(HOST_LINK_OFF)));
    EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_NO_MEDIA_IN_DEVICE) << "unlinked";
    SetLinkState(LinkStateUnloading);  // no command leads there yet
    EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_NO_MEDIA_IN_DEVICE) << "unloading";

    SetLinkState(LinkStateUnlinked);
    ASSERT_TRUE(Accepted(module->SetLink(HOST_LINK_ON)));
    km::IrpResult result = SendMajor(device, IRP_MJ_READ);
    EXPECT_EQ(result.returned, STATUS_END_OF_FILE);
    EXPECT_EQ(result.information, 5u);

    // Start-up's window lies inside DriverEntry, out of a caller's reach: the flag is cleared by hand.
    globals->Started = 0;
    EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_INVALID_DEVICE_STATE);
    globals->Started = 1;

    // The control device stays the host's even when named as the redirect device.
    ASSERT_TRUE(Accepted(module->Send(CommandBlock(HostCommandSetRedirectDevice, {Address(ControlDevice())}))));
    EXPECT_EQ(Kernel(IOCTL_HOST_QUERY_VERSION, {}, 8).status, STATUS_SUCCESS);
    // Cleared, the device routes by its type again: a file-system filter device goes down.
    ASSERT_TRUE(Accepted(module->Send(CommandBlock(HostCommandSetRedirectDevice, {0}))));
    EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_SUCCESS);
}

}  // namespace
