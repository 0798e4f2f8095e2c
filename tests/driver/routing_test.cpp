// Routing of IRPs on the host's devices: the control device's own answers, devices of other types,
// filter devices passed down (forwarding to the module is the link's tests' part); the per-device
// overrides (commands 26 and 27), which come before every other route; the redirect device and its
// handler (commands 18 to 20).
#include <atomic>
#include <chrono>
#include <thread>

#include "kmodel/trap.h"
#include "support/test_module.h"

namespace {

constexpr NTSTATUS OlderStatus = STATUS_NOT_FOUND;
constexpr NTSTATUS NewerStatus = STATUS_CANCELLED;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
NTSTATUS NTAPI OlderHandler(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, OlderStatus); }
NTSTATUS NTAPI NewerHandler(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, NewerStatus); }
NTSTATUS NTAPI RedirectHandler(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_END_OF_FILE, 5); }

// ModuleTest: the redirect tests link and unlink the way a module does.
class RoutingTest : public ModuleTest {
protected:
    ControlAnswer Add(uint64_t key, PDRIVER_DISPATCH handler)
    {
        return KernelCommand(CommandBlock(HostCommandAddOverride, {key, Address(handler), 0x5A5A}));
    }
    ControlAnswer Add(const void* device, PDRIVER_DISPATCH handler) { return Add(Address(device), handler); }
    ControlAnswer Remove(const void* device)
    {
        return KernelCommand(CommandBlock(HostCommandRemoveOverride, {Address(device)}));
    }
    NTSTATUS Read(PDEVICE_OBJECT device) { return SendMajor(device, IRP_MJ_READ).status; }
};

TEST_F(RoutingTest, OverrideNewestServesBeforeEveryOtherRouteAndRemovalUncoversTheOlder)
{
    PDEVICE_OBJECT device = CreateHostDevice(FILE_DEVICE_UNKNOWN);
    ControlAnswer added = Add(device, OlderHandler);
    EXPECT_TRUE(Accepted(added));
    EXPECT_EQ(added.information, sizeof(ControlReply));
    EXPECT_EQ(Read(device), OlderStatus);
    ASSERT_EQ(Add(device, NewerHandler).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(device), NewerStatus);

    EXPECT_EQ(Remove(device).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(device), OlderStatus);
    EXPECT_EQ(Remove(device).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(device), STATUS_NOT_SAME_DEVICE);
    EXPECT_EQ(Remove(device).status, STATUS_UNSUCCESSFUL);

    // A null handler makes the device refuse every request.
    ASSERT_EQ(Add(device, nullptr).status, STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP}) {
        EXPECT_EQ(SendMajor(device, major).status, STATUS_INVALID_DEVICE_STATE) << "major " << int(major);
    }

    // An override comes before every other route. The redirect device, linked with a handler, and a filter device with a lower driver.
    PDEVICE_OBJECT redirect = CreateHostDevice(FILE_DEVICE_UNKNOWN);
    ASSERT_EQ(KernelCommand(CommandBlock(HostCommandSetRedirectDevice, {Address(redirect)})).status, STATUS_SUCCESS);
    ASSERT_EQ(KernelCommand(CommandBlock(HostCommandSetRedirectHandler, {Address(OlderHandler)})).status,
              STATUS_SUCCESS);
    ASSERT_EQ(ReplyStatus(KernelCommand(CommandBlock(HostCommandSetLink, {}, HOST_LINK_ON))), STATUS_SUCCESS);
    PDEVICE_OBJECT lower = km::CreateModelDevice({});
    PDEVICE_OBJECT filter = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, lower);
    ASSERT_EQ(Add(redirect, NewerHandler).status, STATUS_SUCCESS);
    ASSERT_EQ(Add(filter, NewerHandler).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(redirect), NewerStatus);
    EXPECT_EQ(Read(filter), NewerStatus);
    EXPECT_TRUE(km::ModelDeviceIrps(lower).empty());

    // On the control device it captures the commands too, its own removal included.
    ASSERT_EQ(Add(ControlDevice(), NewerHandler).status, STATUS_SUCCESS);
    EXPECT_EQ(Kernel(IOCTL_HOST_QUERY_VERSION, {}, sizeof(HostVersionReply)).status, NewerStatus);
    EXPECT_EQ(Remove(ControlDevice()).status, NewerStatus);
    EXPECT_EQ(km::OpenFile(ControlDeviceNameFor(HostServiceName), true).status, NewerStatus);
}

TEST_F(RoutingTest, OverrideRefusalsLeaveTheTableAndLockAsTheyWere)
{
    // Key 0 and the one key the table cannot hold; a refused entry goes back to the table.
    size_t chunks = km::OutstandingBlocks(km::PoolTag("ABPL"));
    for (uint64_t key : {uint64_t{0}, ~uint64_t{0}}) {
        for (int attempt = 0; attempt < 10; attempt += 1) {
            EXPECT_EQ(Add(key, NewerHandler).status, STATUS_INVALID_PARAMETER_1) << std::hex << key;
        }
    }
    EXPECT_EQ(km::OutstandingBlocks(km::PoolTag("ABPL")), chunks);

    // No entry to be had: the table stays as it was.
    km::FailAllocationsWithTag(km::PoolTag("ABPL"));
    std::vector<PDEVICE_OBJECT> devices;
    ControlAnswer answer;
    do {
        ASSERT_LT(devices.size(), 20u) << "the table never ran out of entries";
        devices.push_back(CreateHostDevice(FILE_DEVICE_UNKNOWN));
        answer = Add(devices.back(), NewerHandler);
    } while (answer.status == STATUS_SUCCESS);
    EXPECT_EQ(answer.status, STATUS_MEMORY_NOT_ALLOCATED);
    EXPECT_EQ(Read(devices.back()), STATUS_NOT_SAME_DEVICE);

    // Nor a record of another shared holder: a request for a device with an override is refused
    // rather than let past it. Filling the lock's table of holders is not a fault the model can
    // force: hold it here.
    ASSERT_GE(devices.size(), 2u);
    auto acquireShared = Symbol<decltype(ASimpleResource_AcquireShared)>("ASimpleResource_AcquireShared");
    auto releaseShared = Symbol<decltype(ASimpleResource_ReleaseShared)>("ASimpleResource_ReleaseShared");
    int holds = 0;
    while (acquireShared(&globals->OverrideLock)) {
        ASSERT_LT(++holds, 100);
    }
    EXPECT_EQ(Read(devices[devices.size() - 2]), STATUS_INSUFFICIENT_RESOURCES);
    for (int hold = 0; hold < holds; hold += 1) {
        releaseShared(&globals->OverrideLock);
    }
    ASSERT_EQ(globals->OverrideLock.sharedCount, 0u) << "a refused hold was released";
    km::ClearPoolFaults();
    // The lock was let go every time.
    EXPECT_EQ(Add(devices.back(), NewerHandler).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(devices.back()), NewerStatus);
}

TEST_F(RoutingTest, OverrideRemovalWaitsForTheHandlerInsideButNotForADispatchBetweenItsLooks)
{
    PDEVICE_OBJECT device = CreateHostDevice(FILE_DEVICE_UNKNOWN);
    ASSERT_EQ(Add(device, NewerHandler).status, STATUS_SUCCESS);

    // The read parks inside the handler, where it completes the IRP.
    km::Trap inside(km::TrapRule{"IofCompleteRequest"});
    NTSTATUS handledStatus = STATUS_PENDING;
    ModelThread handled([&] { handledStatus = Read(device); });
    ASSERT_TRUE(inside.WaitFired());
    std::atomic<NTSTATUS> removeStatus{STATUS_PENDING};
    ModelThread remover([&] { removeStatus = Remove(device).status; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(removeStatus, STATUS_PENDING) << "command 27 went ahead while the handler was inside";

    inside.Release();
    handled.Join();
    remover.Join();
    EXPECT_EQ(handledStatus, NewerStatus);
    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
    EXPECT_EQ(Read(device), STATUS_NOT_SAME_DEVICE);

    // A dispatch looks its device up once without OverrideLock and drops that reference at once,
    // then asks for its shared hold and looks again. A removal made before the reference is dropped
    // must still take the entry out of the table, and the late release must not free anything
    // twice; one made before the shared hold lets the dispatch route on as a device without an
    // override.
    PDEVICE_OBJECT other = CreateHostDevice(FILE_DEVICE_UNKNOWN);
    ASSERT_EQ(Add(other, OlderHandler).status, STATUS_SUCCESS);
    for (bool atSharedHold : {true, false}) {
        SCOPED_TRACE(atSharedHold ? "parked at the shared hold" : "parked before the first look's release");
        ASSERT_EQ(Add(device, NewerHandler).status, STATUS_SUCCESS);
        km::Trap dispatched(km::TrapRule{"IofCallDriver", device});
        NTSTATUS readStatus = STATUS_PENDING;
        ModelThread reader([&] { readStatus = Read(device); });
        ASSERT_TRUE(dispatched.WaitFired());
        // The lock inside the shared hold, or the second spin-lock acquisition of the dispatch
        // (both are the table's lock).
        km::Thread* reading = dispatched.FiringThread();
        km::Trap looked(atSharedHold ? km::TrapRule{"KeAcquire*", &globals->OverrideLock.stateLock.lock, 0, reading}
                                     : km::TrapRule{"KeAcquire*", nullptr, 0, reading, {}, 2});
        dispatched.Release();
        ASSERT_TRUE(looked.WaitFired());

        EXPECT_EQ(Remove(device).status, STATUS_SUCCESS);
        EXPECT_EQ(Read(device), STATUS_NOT_SAME_DEVICE) << "the removed override still serves";
        EXPECT_EQ(Remove(device).status, STATUS_UNSUCCESSFUL);
        looked.Release();
        reader.Join();
        EXPECT_EQ(readStatus, STATUS_NOT_SAME_DEVICE) << "routed as a device without an override";
        // A hold left behind would keep the next writer waiting for ever.
        ASSERT_EQ(globals->OverrideLock.sharedCount, 0u);
    }
    EXPECT_EQ(Read(other), OlderStatus) << "another device's override went with it";
}

TEST_F(RoutingTest, RoutingControlDeviceAnswersByMajorFunction)
{
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_PNP}) {
        bool answered = major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP;
        km::IrpResult result = SendMajor(ControlDevice(), major);
        EXPECT_EQ(result.status, answered ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED) << "major " << int(major);
        EXPECT_EQ(result.information, 0u);
    }
    // Without its magic the control device refuses everything, opens included.
    km::OpenResult opened = km::OpenFile(ControlDeviceNameFor(HostServiceName), true);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    auto* magic = static_cast<ULONG*>(ControlDevice()->DeviceExtension);
    *magic = 0x76445400;
    EXPECT_EQ(Kernel(IOCTL_HOST_QUERY_VERSION, {}, 8).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(km::OpenFile(ControlDeviceNameFor(HostServiceName), true).status, STATUS_UNSUCCESSFUL);
    *magic = 0x7644544B;
    EXPECT_EQ(ZwClose(opened.handle), STATUS_SUCCESS);
}

TEST_F(RoutingTest, RoutingPassesFilterDevicesDownKeepingTheLowerDeviceAndRefusesOtherTypes)
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
    EXPECT_EQ(SendMajor(alone, IRP_MJ_WRITE).status, STATUS_NO_MEDIA);

    // The lower device is deleted (and the host's device above it with it) while a request the
    // host passes down is on its way to it: PassDown's reference keeps it a live device object for
    // the call.
    PDEVICE_OBJECT lower = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    PDEVICE_OBJECT filter = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, lower, true);  // goes with `lower`

    km::Trap onItsWay(km::TrapRule{"IofCallDriver", lower});
    km::IrpResult result{};
    ModelThread reader([&] { result = SendMajor(filter, IRP_MJ_READ); });
    ASSERT_TRUE(onItsWay.WaitFired());
    km::DeleteModelDevice(lower);
    onItsWay.Release();
    reader.Join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(km::ObjectReferenceCount(lower), -1) << "the lower device's reference was kept";
}

TEST_F(RoutingTest, RedirectRoutesToTheHandlerOnlyWhileLinked)
{
    OpenModule();  // links and unlinks the way a module does
    PDEVICE_OBJECT device = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, km::CreateModelDevice({}));
    ASSERT_TRUE(Accepted(module->Send(CommandBlock(HostCommandSetRedirectDevice, {Address(device)}))));
    ASSERT_TRUE(Accepted(module->SetLink(HOST_LINK_ON)));

    EXPECT_EQ(SendMajor(device, IRP_MJ_READ).status, STATUS_NO_MEDIA_IN_DEVICE) << "no handler";
    // Command 20's reply is the status alone: the previous handler the host writes to offset 8 of
    // its buffer stays outside the reply.
    for (PDRIVER_DISPATCH handler : {RedirectHandler, static_cast<PDRIVER_DISPATCH>(nullptr), RedirectHandler}) {
        ControlAnswer answer = KernelCommand(CommandBlock(HostCommandSetRedirectHandler, {Address(handler)}), 16);
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        EXPECT_EQ(answer.information, 8u);
        EXPECT_EQ(ReplyField64(answer, 8), 0xCCCCCCCCCCCCCCCCu) << "bytes beyond the reply were delivered";
    }
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
