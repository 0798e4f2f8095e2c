// Mounts followed through the host's file-system filter devices: done at once, pended and finished
// on another thread, refused, seen twice; attach attempts that keep failing; file-system control
// requests that are not mounts, and those sent to the control device.
#include "fsfilter/fsfilter_test.h"

namespace {

class HostMountTest : public FsFilterTest {
protected:
    void BeforeHost() override { fileSystems = km::StartStandardFileSystems(); }
    void SetUp() override
    {
        FsFilterTest::SetUp();
        Register(nullptr, false);
    }
    // The volume mounted on `storage` has a host filter device, recorded with these devices at the
    // head of AttachedList, and the module was told of it once.
    void ExpectFiltered(PDEVICE_OBJECT storage)
    {
        PDEVICE_OBJECT volume = km::MountedVolume(storage);
        PDEVICE_OBJECT filter = HostDeviceAbove(volume);
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(filter->DeviceType, volume->DeviceType);
        AttachRecord record = Records().front();
        EXPECT_EQ(record.FilterDevice, filter);
        EXPECT_EQ(record.VolumeDevice, volume);
        EXPECT_EQ(record.StorageDevice, storage);
        std::vector<ModuleCall> calls = module->Calls(ModuleCallKind::AttachNotify);
        module->ClearCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].device, filter);
        EXPECT_EQ(calls[0].volume, volume);
        EXPECT_EQ(calls[0].storage, storage);
    }
    // Mounts on another thread while the file system holds the mount; `during` runs meanwhile.
    NTSTATUS PendedMount(PDEVICE_OBJECT storage, bool mount, const std::function<void()>& during)
    {
        km::SetMountBehaviour(fileSystems.fat, km::MountBehaviour::Pend);
        NTSTATUS mounted = STATUS_PENDING;
        ModelThread mounter([&] { mounted = km::MountVolume(storage); });
        EXPECT_TRUE(km::WaitForPendedMounts(fileSystems.fat, 1));
        during();
        km::CompletePendedMount(fileSystems.fat, mount, STATUS_DEVICE_NOT_READY);
        mounter.Join();
        return mounted;
    }

    km::StandardFileSystems fileSystems{};
};

TEST_F(HostMountTest, MountAtOncePendedOrRefusedEndsWithTheFileSystemsFinalStatus)
{
    PDEVICE_OBJECT first = km::CreateStorageDevice(km::StorageType::CdRom);
    module->SetAttachAnswer(FALSE);
    ASSERT_EQ(km::MountVolume(first), STATUS_SUCCESS);
    ExpectFiltered(first);
    module->SetAttachAnswer(TRUE);
    PDEVICE_OBJECT storage = km::CreateStorageDevice(km::StorageType::Disk);
    size_t devices = HostDeviceCount();
    // While the file system holds the mount, the volume filter device is prepared, not attached.
    EXPECT_EQ(PendedMount(storage, true,
                          [&] {
                              EXPECT_EQ(HostDeviceCount(), devices + 1);
                              EXPECT_EQ(Records().size(), 1u);
                          }),
              STATUS_SUCCESS);
    ExpectFiltered(storage);
    // Newest first, each with the module's answer.
    std::vector<AttachRecord> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].ModuleAttached, TRUE);
    EXPECT_EQ(records[1].StorageDevice, first);
    EXPECT_EQ(records[1].ModuleAttached, FALSE);

    PDEVICE_OBJECT refused = km::CreateStorageDevice(km::StorageType::Disk);
    devices = HostDeviceCount();
    EXPECT_EQ(PendedMount(refused, false, [] {}), STATUS_DEVICE_NOT_READY);
    km::SetMountBehaviour(fileSystems.fat, km::MountBehaviour::Refuse);
    EXPECT_FALSE(NT_SUCCESS(km::MountVolume(refused)));
    // Without a device to prepare, the mount is refused before it reaches the file system.
    km::SetMountBehaviour(fileSystems.fat, km::MountBehaviour::Mount);
    uint64_t requests = km::CallsOf(fileSystems.fat).mountRequests;
    km::FailIoCreateDevice(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(km::MountVolume(refused), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(km::CallsOf(fileSystems.fat).mountRequests, requests);
    EXPECT_EQ(HostDeviceCount(), devices);
    EXPECT_EQ(Records().size(), 2u);
    EXPECT_TRUE(module->Calls(ModuleCallKind::AttachNotify).empty());
}

TEST_F(HostMountTest, MountFileSystemControlOnTheControlDeviceFindsNoMedia)
{
    PDEVICE_OBJECT storage = km::CreateStorageDevice(km::StorageType::Disk);
    size_t devices = HostDeviceCount();
    for (UCHAR minor : {UCHAR(IRP_MN_USER_FS_REQUEST), UCHAR(IRP_MN_MOUNT_VOLUME)}) {
        km::IrpRequest request;
        request.majorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
        request.minorFunction = minor;
        request.setup = [storage](PIO_STACK_LOCATION stack) { stack->Parameters.MountVolume.Vpb = storage->Vpb; };
        km::IrpResult result = km::SendIrp(ControlDevice(), request);
        EXPECT_EQ(result.status, STATUS_NO_MEDIA);
        EXPECT_EQ(result.information, 0u);
    }
    EXPECT_EQ(HostDeviceCount(), devices);
    // Other requests on a file-system filter device go down to the file system.
    uint64_t before = km::CallsOf(fileSystems.fat).irps[IRP_MJ_FILE_SYSTEM_CONTROL];
    km::IrpRequest request;
    request.majorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
    km::SendIrp(HostDeviceAbove(km::FileSystemControlDevice(fileSystems.fat)), request);
    EXPECT_EQ(km::CallsOf(fileSystems.fat).irps[IRP_MJ_FILE_SYSTEM_CONTROL], before + 1);
}

// A mount seen by two of the host's file-system filter devices on one file system: the lower one
// attaches to the new volume, the upper one finds the host already in the volume's stack and
// stays out, leaving no device and no reference behind.
TEST_F(HostMountTest, MountOfAVolumeTheHostAlreadyFiltersAddsNoSecondFilter)
{
    PDEVICE_OBJECT first = km::CreateStorageDevice(km::StorageType::Disk);
    ASSERT_EQ(km::MountVolume(first), STATUS_SUCCESS);
    PDEVICE_OBJECT firstFilter = HostDeviceAbove(km::MountedVolume(first));
    ASSERT_NE(firstFilter, nullptr);
    const long filterReferences = km::ObjectReferenceCount(firstFilter);

    // A second host device on the file system's stack: mounts pass through the host twice.
    PDEVICE_OBJECT control = km::FileSystemControlDevice(fileSystems.fat);
    PDEVICE_OBJECT lowerHost = HostDeviceAbove(control);
    ASSERT_NE(lowerHost, nullptr);
    PDEVICE_OBJECT upperHost = CreateHostDevice(control->DeviceType, control, true);
    const size_t devices = HostDeviceCount();

    PDEVICE_OBJECT second = km::CreateStorageDevice(km::StorageType::Disk);
    ASSERT_EQ(km::MountVolume(second), STATUS_SUCCESS);
    PDEVICE_OBJECT volume = km::MountedVolume(second);
    ASSERT_EQ(HostDevicesIn(volume).size(), 1u);
    EXPECT_EQ(HostDeviceCount(), devices + 1) << "the upper device's filter is gone";
    EXPECT_EQ(km::ObjectReferenceCount(HostDeviceAbove(volume)), filterReferences);
    ASSERT_EQ(Records().size(), 2u);
    EXPECT_EQ(Records().front().VolumeDevice, volume);

    IoDetachDevice(lowerHost);
    IoDeleteDevice(upperHost);
}

// Failed attach attempts wait 500 ms of model time each; the clock runs at 10 times real time
// here so that the waits stand out from scheduling noise.
class HostMountRetryTest : public HostMountTest {
protected:
    km::BootOptions Options() const override { return km::BootOptions{10.0}; }
};

TEST_F(HostMountRetryTest, MountAttachMakesEightAttemptsWithAWaitAfterEachFailure)
{
    constexpr int64_t Wait = 500 * 10000;
    for (uint64_t failures : {7, 8}) {
        SCOPED_TRACE(failures);
        PDEVICE_OBJECT storage = km::CreateStorageDevice(km::StorageType::Disk);
        size_t devices = HostDeviceCount();
        km::FailIoAttachDevice(1, STATUS_NO_SUCH_DEVICE, failures);
        int64_t start = km::Now100ns();
        int64_t requested = km::DelayRequested100ns();
        EXPECT_EQ(km::MountVolume(storage), STATUS_SUCCESS);
        int64_t elapsed = km::Now100ns() - start;
        km::ClearIoFaults();
        // The waits are counted by what the mounting thread asked for, and really slept.
        EXPECT_EQ(km::DelayRequested100ns() - requested, int64_t(failures) * Wait);
        EXPECT_GE(elapsed, int64_t(failures) * Wait);
        if (failures == 7) {
            ExpectFiltered(storage);  // the eighth attempt
        } else {
            EXPECT_EQ(HostDeviceAbove(km::MountedVolume(storage)), nullptr);
            EXPECT_EQ(HostDeviceCount(), devices);
        }
    }
    EXPECT_EQ(Records().size(), 1u);
}

}  // namespace
