// Routing of IRPs on the host's devices: the control device's own answers, devices of other types,
// filter devices passed down or forwarded to the module through the dispatch gate.
#include <atomic>

#include "support/host_test.h"
#include "host/callgate.h"

namespace {

using RoutingTest = HostTest;

TEST_F(RoutingTest, RoutingControlDeviceAnswersByMajorFunction)
{
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_PNP}) {
        bool answered = major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP;
        km::IrpResult result = SendMajor(globals->ControlDevice, major);
        EXPECT_EQ(result.status, answered ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED) << "major " << int(major);
        EXPECT_EQ(result.information, 0u);
    }
    // Without its magic the control device refuses everything, opens included.
    km::OpenResult opened = km::OpenFile(ControlDeviceNameFor(HostServiceName), true);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    auto* magic = static_cast<ULONG*>(globals->ControlDevice->DeviceExtension);
    *magic = 0x76445400;
    EXPECT_EQ(Kernel(IOCTL_HOST_QUERY_VERSION, {}, 8).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(km::OpenFile(ControlDeviceNameFor(HostServiceName), true).status, STATUS_UNSUCCESSFUL);
    *magic = 0x7644544B;
    EXPECT_EQ(ZwClose(opened.handle), STATUS_SUCCESS);
}

TEST_F(RoutingTest, RoutingPassesFilterDevicesDownAndRefusesOtherTypes)
{
    for (DEVICE_TYPE type : {FILE_DEVICE_DISK_FILE_SYSTEM, FILE_DEVICE_CD_ROM_FILE_SYSTEM,
                             FILE_DEVICE_NETWORK_FILE_SYSTEM, FILE_DEVICE_UNKNOWN, FILE_DEVICE_DISK}) {
        bool fileSystem = type != FILE_DEVICE_UNKNOWN && type != FILE_DEVICE_DISK;
        PDEVICE_OBJECT lower = km::CreateModelDevice({type});
        km::SetModelDeviceResult(lower, IRP_MJ_READ, STATUS_END_OF_FILE, 7);
        km::IrpRequest request;
        request.majorFunction = IRP_MJ_READ;
        request.setup = [](PIO_STACK_LOCATION stack) { stack->Parameters.Read.ByteOffset.QuadPart = 4096; };
        km::IrpResult result = km::SendIrp(CreateHostDevice(type, lower), request);

        std::vector<km::RecordedIrp> received = km::ModelDeviceIrps(lower);
        if (!fileSystem) {
            EXPECT_EQ(result.status, STATUS_NOT_SAME_DEVICE) << "type " << type;
            EXPECT_EQ(result.information, 0u);
            EXPECT_TRUE(received.empty());
            continue;
        }
        EXPECT_EQ(result.returned, STATUS_END_OF_FILE) << "type " << type;
        EXPECT_EQ(result.information, 7u);
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].stack.MajorFunction, IRP_MJ_READ);
        EXPECT_EQ(received[0].stack.Parameters.Read.ByteOffset.QuadPart, 4096);
    }
    // A filter device with nothing below, recorded or not.
    PDEVICE_OBJECT alone = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM);
    RecordFilterDevice(alone);
    km::IrpResult result = SendMajor(alone, IRP_MJ_WRITE);
    EXPECT_EQ(result.status, STATUS_NO_MEDIA);
    EXPECT_EQ(result.information, 0u);
}

// The module's dispatch routine: notes each call, then holds it until released.
struct ModuleProbe {
    std::atomic<int> calls{0};
    KEVENT entered;
    KEVENT release;
};
ModuleProbe* Probe = nullptr;

NTSTATUS NTAPI ModuleDispatch(PDEVICE_OBJECT, PIRP irp)
{
    Probe->calls += 1;
    KeSetEvent(&Probe->entered, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&Probe->release, Executive, KernelMode, FALSE, nullptr);
    irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
    irp->IoStatus.Information = 3;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_NOT_READY;
}

class RoutingModuleTest : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        Probe = &probe;
        KeInitializeEvent(&probe.entered, NotificationEvent, FALSE);
        KeInitializeEvent(&probe.release, NotificationEvent, TRUE);
        lower = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
        filter = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, lower);
        RecordFilterDevice(filter);
        RegisterDispatch();
    }
    // The module's commands, sent from kernel mode.
    void RegisterDispatch()
    {
        ASSERT_EQ(KernelCommand(CommandBlock(HostCommandRegisterEntryPoints, {0, 0, Address(ModuleDispatch), 0})).status,
                  STATUS_SUCCESS);
    }
    void Withdraw() { ASSERT_EQ(KernelCommand(CommandBlock(HostCommandWithdrawEntryPoints)).status, STATUS_SUCCESS); }
    void Link(uint32_t linkSwitch)
    {
        ASSERT_EQ(ReplyStatus(KernelCommand(CommandBlock(HostCommandSetLink, {}, linkSwitch))), STATUS_SUCCESS);
    }
    ModuleProbe probe;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT filter = nullptr;
};

TEST_F(RoutingModuleTest, RoutingForwardsRecordedFilterDevicesOnlyWhileLinked)
{
    // Each of these sends the request down to the file system.
    // No command leads to the unloading state yet, nor out of it.
    const std::function<void()> notForwarded[] = {
        [&] { Link(HOST_LINK_OFF); },
        [&] { SetLinkState(LinkStateUnloading); },
        [&] { SetLinkState(LinkStateUnlinked), Link(HOST_LINK_ON), Withdraw(); },
        [&] { RegisterDispatch(), globals->Started = 0; },
    };
    for (const auto& condition : notForwarded) {
        condition();
        EXPECT_EQ(SendMajor(filter, IRP_MJ_READ).status, STATUS_SUCCESS);
    }
    globals->Started = 1;
    EXPECT_EQ(probe.calls, 0);
    EXPECT_EQ(km::ModelDeviceIrps(lower).size(), 4u);
    // Linked, an unrecorded filter device still goes down.
    PDEVICE_OBJECT otherLower = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    EXPECT_EQ(SendMajor(CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, otherLower), IRP_MJ_READ).status,
              STATUS_SUCCESS);
    EXPECT_EQ(km::ModelDeviceIrps(otherLower).size(), 1u);

    km::IrpResult result = SendMajor(filter, IRP_MJ_READ);
    EXPECT_EQ(result.returned, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(result.information, 3u);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(km::ModelDeviceIrps(lower).size(), 4u);
}

TEST_F(RoutingModuleTest, RoutingCountsForwardedCallsInTheDispatchGate)
{
    Link(HOST_LINK_ON);
    SendMajor(filter, IRP_MJ_READ);  // a call that leaves at once sets the drained event
    EXPECT_NE(KeReadStateEvent(&globals->DispatchDrained), 0);

    KeClearEvent(&probe.release);
    std::vector<km::Thread*> senders;
    for (LONG inside = 1; inside <= 2; inside += 1) {
        KeClearEvent(&probe.entered);
        senders.push_back(km::StartThread(km::SystemProcess(), [&] { SendMajor(filter, IRP_MJ_READ); }));
        KeWaitForSingleObject(&probe.entered, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(globals->DispatchInFlight, inside);
        EXPECT_EQ(KeReadStateEvent(&globals->DispatchDrained), 0);
    }
    KeSetEvent(&probe.release, IO_NO_INCREMENT, FALSE);
    for (km::Thread* sender : senders) {
        km::JoinThread(sender);
    }
    EXPECT_EQ(globals->DispatchInFlight, 0);
    EXPECT_NE(KeReadStateEvent(&globals->DispatchDrained), 0);

    // Leaving a drained gate changes nothing.
    KeClearEvent(&globals->DispatchDrained);
    Symbol<decltype(LeaveGate)>("LeaveGate")(Symbol<const CallGate>("DispatchGate"));
    EXPECT_EQ(globals->DispatchInFlight, 0);
    EXPECT_EQ(KeReadStateEvent(&globals->DispatchDrained), 0);
}

}  // namespace
