// Per-device overrides: commands 26 and 27 and the override step that comes before every other
// route.
#include <atomic>
#include <chrono>
#include <thread>

#include "kmodel/trap.h"
#include "support/host_test.h"

namespace {

constexpr NTSTATUS OlderStatus = STATUS_NOT_FOUND;
constexpr NTSTATUS NewerStatus = STATUS_CANCELLED;

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
NTSTATUS NTAPI OlderHandler(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, OlderStatus); }
NTSTATUS NTAPI NewerHandler(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, NewerStatus); }

class OverrideTest : public HostTest {
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

TEST_F(OverrideTest, OverrideNewestServesAndRemovalUncoversTheOlder)
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
}

TEST_F(OverrideTest, OverrideComesBeforeEveryOtherRoute)
{
    // The redirect device, linked with a handler, and a filter device with a lower driver.
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

TEST_F(OverrideTest, OverrideRefusalsLeaveTheTableAndLockAsTheyWere)
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

TEST_F(OverrideTest, OverrideRemovalWaitsForTheHandlerInside)
{
    PDEVICE_OBJECT device = CreateHostDevice(FILE_DEVICE_UNKNOWN);
    ASSERT_EQ(Add(device, NewerHandler).status, STATUS_SUCCESS);

    // The read parks inside the handler, where it completes the IRP.
    km::Trap inside(km::TrapRule{"IofCompleteRequest"});
    NTSTATUS readStatus = STATUS_PENDING;
    ModelThread reader([&] { readStatus = Read(device); });
    ASSERT_TRUE(inside.WaitFired());
    std::atomic<NTSTATUS> removeStatus{STATUS_PENDING};
    ModelThread remover([&] { removeStatus = Remove(device).status; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(removeStatus, STATUS_PENDING) << "command 27 went ahead while the handler was inside";

    inside.Release();
    reader.Join();
    remover.Join();
    EXPECT_EQ(readStatus, NewerStatus);
    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
    EXPECT_EQ(Read(device), STATUS_NOT_SAME_DEVICE);
}

// A dispatch looks its device up once without OverrideLock and drops that reference at once, then
// asks for its shared hold and looks again. A removal made before the reference is dropped must
// still take the entry out of the table, and the late release must not free anything twice; one
// made before the shared hold lets the dispatch route on as a device without an override.
TEST_F(OverrideTest, OverrideRemovalWhileADispatchIsBetweenItsLooks)
{
    PDEVICE_OBJECT device = CreateHostDevice(FILE_DEVICE_UNKNOWN);
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

}  // namespace
