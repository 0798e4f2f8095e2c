// A mount seen by two of the host's file-system filter devices on one file system: the lower one
// attaches to the new volume, the upper one finds the host already in the volume's stack and
// stays out, leaving no device and no reference behind.
#include "fsfilter/fsfilter_test.h"

namespace {

class HostRemountTest : public FsFilterTest {
protected:
    void BeforeHost() override { fileSystems = km::StartStandardFileSystems(); }
    km::StandardFileSystems fileSystems{};
};

TEST_F(HostRemountTest, MountOfAVolumeTheHostAlreadyFiltersAddsNoSecondFilter)
{
    Register(nullptr, false);
    PDEVICE_OBJECT first = km::CreateStorageDevice(km::StorageType::Disk);
    ASSERT_EQ(km::MountVolume(first), STATUS_SUCCESS);
    PDEVICE_OBJECT firstFilter = HostDeviceAbove(km::MountedVolume(first));
    ASSERT_NE(firstFilter, nullptr);
    const long filterReferences = km::ObjectReferenceCount(firstFilter);

    // A second host device on the file system's stack: mounts pass through the host twice.
    PDEVICE_OBJECT control = km::FileSystemControlDevice(fileSystems.fat);
    PDEVICE_OBJECT lowerHost = HostDeviceAbove(control);
    ASSERT_NE(lowerHost, nullptr);
    PDEVICE_OBJECT upperHost = AttachHostDevice(control->DeviceType, control);
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

}  // namespace
