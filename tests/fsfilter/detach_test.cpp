// Teardown when a dismounted volume is deleted under the host's filter device: the module's
// FastIoDetachDevice while linked (through the dispatch gate, which is left even when the module
// raises), DetachNotify whenever a record existed, then the record, the attachment and the device
// go; and the teardown against the attach path and the module's notifications running meanwhile.
#include <atomic>
#include <chrono>
#include <thread>

#include "fsfilter/fsfilter_test.h"

namespace {

void NTAPI RaisingDetach(PDEVICE_OBJECT, PDEVICE_OBJECT) { ExRaiseStatus(STATUS_ACCESS_VIOLATION); }

class DetachTest : public FsFilterTest {
protected:
    // Mounts a new disk volume; its host filter device.
    PDEVICE_OBJECT Mount(PDEVICE_OBJECT* storage)
    {
        *storage = km::CreateStorageDevice(km::StorageType::Disk);
        EXPECT_EQ(km::MountVolume(*storage), STATUS_SUCCESS);
        return HostDeviceAbove(km::MountedVolume(*storage));
    }
    // The kinds of the module's calls for the device, in order.
    std::vector<ModuleCallKind> CallsFor(PDEVICE_OBJECT device)
    {
        std::vector<ModuleCallKind> kinds;
        for (const ModuleCall& call : module->Calls()) {
            if (call.device == device) {
                kinds.push_back(call.kind);
            }
        }
        return kinds;
    }
};

// A new device at the address of a deleted one must not inherit its override or redirect either.
TEST_F(DetachTest, DetachOnDismountTakesTheRecordOverridesAndRedirectAndTellsTheModule)
{
    module->SetAttachAnswer(FALSE);  // the module did not take the device: DetachNotify comes all the same
    PDEVICE_OBJECT storage = nullptr;
    PDEVICE_OBJECT filter = Mount(&storage);
    ASSERT_NE(filter, nullptr);
    for (int entry = 0; entry < 2; entry += 1) {
        ASSERT_TRUE(Accepted(KernelCommand(CommandBlock(HostCommandAddOverride, {Address(filter), Address(ModulePassDown), 0}))));
    }
    ASSERT_TRUE(Accepted(KernelCommand(CommandBlock(HostCommandSetRedirectDevice, {Address(filter)}))));
    size_t devices = HostDeviceCount();
    module->ClearCalls();
    EXPECT_EQ(km::DismountVolume(storage), STATUS_SUCCESS);
    EXPECT_EQ(CallsFor(filter), std::vector<ModuleCallKind>{ModuleCallKind::DetachNotify});
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(HostDeviceCount(), devices - 1);
    EXPECT_TRUE(Recorded.seen.empty()) << "not linked: no FastIoDetachDevice for the module";
    EXPECT_EQ(KernelCommand(CommandBlock(HostCommandRemoveOverride, {Address(filter)})).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RedirectDevice(), nullptr);

    // A filter device whose record could not be made goes without DetachNotify.
    km::FailAllocationsWithTag(km::PoolTag("None"));
    ASSERT_NE(Mount(&storage), nullptr);
    km::ClearPoolFaults();
    ASSERT_TRUE(Records().empty());
    module->ClearCalls();
    EXPECT_EQ(km::DismountVolume(storage), STATUS_SUCCESS);
    EXPECT_TRUE(module->Calls(ModuleCallKind::DetachNotify).empty());
    EXPECT_EQ(HostDeviceCount(), devices - 1);
}

TEST_F(DetachTest, TeardownWaitsForTheFirstAttachNotifyAndGoesThroughTheGateEvenWhenTheModuleRaises)
{
    // A new record is in the list before the module hears of it. A device deleted meanwhile must
    // not have its record freed under the notification, and the detach must reach the module after
    // the attach. Recorded host devices on devices of the model's lower driver, which the test deletes.
    Register(&moduleTable, true);
    auto addAttachRecord = Symbol<decltype(AddAttachRecord)>("AddAttachRecord");
    PDEVICE_OBJECT lower = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    PDEVICE_OBJECT filter = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, lower, true);
    size_t devices = HostDeviceCount();
    module->ClearCalls();
    module->Hold(ModuleCallKind::AttachNotify);
    ModelThread adder([&] { EXPECT_EQ(addAttachRecord(filter, lower, nullptr), STATUS_SUCCESS); });
    module->WaitInside(ModuleCallKind::AttachNotify, 1);
    ASSERT_EQ(Records().size(), 1u);

    std::atomic<bool> deleted{false};
    ModelThread teardown([&] {
        km::DeleteModelDevice(lower);
        deleted = true;
    });
    // However long the teardown runs, it cannot get past the record while the notification is on.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(deleted);
    EXPECT_TRUE(module->Calls(ModuleCallKind::DetachNotify).empty());

    module->Release(ModuleCallKind::AttachNotify);
    adder.Join();
    teardown.Join();
    EXPECT_EQ(CallsFor(filter),
              (std::vector<ModuleCallKind>{ModuleCallKind::AttachNotify, ModuleCallKind::DetachNotify}));
    EXPECT_EQ(module->Calls().size(), 2u);
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(HostDeviceCount(), devices - 1);
    // Linked: the module's FastIoDetachDevice, inside the dispatch gate.
    ASSERT_EQ(Recorded.seen.size(), 1u);
    EXPECT_EQ(Recorded.seen[0].side, FastIoSide::Module);
    EXPECT_EQ(Recorded.seen[0].devices, (std::vector<PDEVICE_OBJECT>{filter, lower}));
    EXPECT_EQ(Recorded.seen[0].inFlight, 1);

    // A module that raises from it: the teardown goes on (DetachNotify, the record, the device).
    moduleTable.FastIoDetachDevice = RaisingDetach;
    lower = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    filter = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, lower, true);
    ASSERT_EQ(addAttachRecord(filter, lower, nullptr), STATUS_SUCCESS);
    devices = HostDeviceCount();
    module->ClearCalls();
    km::DeleteModelDevice(lower);
    // The gate after either call shows otherwise only in a later unload of a loaded module: read it.
    EXPECT_EQ(globals->ModuleHost.DispatchInFlight, 0) << "the gate is left, so that an unload can drain it";
    EXPECT_NE(KeReadStateEvent(&globals->ModuleHost.DispatchDrained), 0);
    EXPECT_EQ(CallsFor(filter), std::vector<ModuleCallKind>{ModuleCallKind::DetachNotify});
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(HostDeviceCount(), devices - 1);
}

// A teardown nested on the attaching thread, inside the first AttachNotify or right after the
// attach (before the record exists): no record is left, and the module hears of the device in
// order, or not at all.
TEST_F(DetachTest, TeardownNestedInTheAttachPathLeavesNoRecordBehind)
{
    auto attachToVolume = Symbol<decltype(AttachToVolume)>("AttachToVolume");
    for (bool insideAttachNotify : {true, false}) {
        SCOPED_TRACE(insideAttachNotify ? "inside the first AttachNotify" : "between the attach and the record");
        PDEVICE_OBJECT lower = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
        PDEVICE_OBJECT filter = nullptr;
        ASSERT_EQ(IoCreateDevice(loaded.driver, VolumeFilterExtensionBytes, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                                 FALSE, &filter),
                  STATUS_SUCCESS);
        size_t devices = HostDeviceCount();
        auto tearDown = [lower](auto...) { km::DeleteModelDevice(lower); };
        if (insideAttachNotify) {
            module->SetAttachAction(tearDown);
        } else {
            km::AfterNextIoAttach(tearDown);
        }
        module->ClearCalls();
        (void)attachToVolume(lower, filter, nullptr);
        module->SetAttachAction(nullptr);

        EXPECT_TRUE(Records().empty());
        EXPECT_EQ(HostDeviceCount(), devices - 1);
        std::vector<ModuleCallKind> expected = {ModuleCallKind::AttachNotify, ModuleCallKind::DetachNotify};
        EXPECT_EQ(CallsFor(filter), insideAttachNotify ? expected : std::vector<ModuleCallKind>{});
        EXPECT_EQ(module->Calls().size(), insideAttachNotify ? 2u : 0u) << "calls for another device";
    }
}

// RegisterEntryPoints, then WithdrawEntryPoints, held inside the module for the newer of two
// volumes while the older one is dismounted.
TEST_F(DetachTest, ReplayHeldInTheModuleLetsATeardownThrough)
{
    ConcurrentRequests concurrent;  // the teardown works while the command is inside the module
    for (ModuleCallKind kind : {ModuleCallKind::AttachNotify, ModuleCallKind::DetachNotify}) {
        SCOPED_TRACE(kind == ModuleCallKind::AttachNotify ? "RegisterEntryPoints" : "WithdrawEntryPoints");
        PDEVICE_OBJECT olderStorage = nullptr;
        PDEVICE_OBJECT newerStorage = nullptr;
        PDEVICE_OBJECT older = Mount(&olderStorage);
        PDEVICE_OBJECT newer = Mount(&newerStorage);
        module->ClearCalls();
        module->Hold(kind);
        ModelThread command([&] {
            EXPECT_TRUE(Accepted(kind == ModuleCallKind::AttachNotify ? module->RegisterEntryPoints()
                                                                      : module->WithdrawEntryPoints()));
        });
        module->WaitInside(kind, 1);
        ASSERT_EQ(module->Calls().at(0).device, newer);

        // A module call may wait for a thread that dismounts: the teardown must get to the module
        // meanwhile. The bound only turns a deadlock into a failure.
        ModelThread teardown([&] { EXPECT_EQ(km::DismountVolume(olderStorage), STATUS_SUCCESS); });
        bool through = false;
        for (int waited = 0; waited < 5000 && !(through = !CallsFor(older).empty()); waited += 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        module->Release(kind);
        command.Join();
        teardown.Join();
        EXPECT_TRUE(through) << "the teardown waited for the command's call into the module";
        // The command does not offer the module the device that went meanwhile.
        EXPECT_EQ(CallsFor(older), std::vector<ModuleCallKind>{ModuleCallKind::DetachNotify});
    }
}

TEST_F(DetachTest, WithdrawReturnsOnlyOnceNoNotificationIsInsideTheModule)
{
    PDEVICE_OBJECT storage = nullptr;
    ASSERT_NE(Mount(&storage), nullptr);
    module->Hold(ModuleCallKind::DetachNotify);
    ModelThread teardown([&] { EXPECT_EQ(km::DismountVolume(storage), STATUS_SUCCESS); });
    module->WaitInside(ModuleCallKind::DetachNotify, 1);
    // The drain time-out passes (the model's clock runs fast): the command says so.
    EXPECT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_IO_TIMEOUT);

    km::SetClockRate(1.0);
    std::atomic<bool> withdrawn{false};
    ModelThread withdraw([&] {
        EXPECT_TRUE(Accepted(module->WithdrawEntryPoints()));
        withdrawn = true;
    });
    // Within the time-out, the command cannot return while the teardown's DetachNotify is on.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(withdrawn);
    module->Release(ModuleCallKind::DetachNotify);
    withdraw.Join();
    teardown.Join();
    EXPECT_TRUE(withdrawn);
}

}  // namespace
