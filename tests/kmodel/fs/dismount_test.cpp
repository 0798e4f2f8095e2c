// Dismounting: the volume device goes once no file on it is open, and as it goes each driver
// attached above is told through FastIoDetachDevice (if its table has the member) from the bottom
// of the stack up; the next open mounts afresh and finds the files the medium holds.
#include "fs_test_util.h"

namespace {

using namespace fstest;

class DismountTest : public KernelTest {};

TEST_F(DismountTest, EachAttachedDriverIsToldBottomUpThenTheVolumeGoes)
{
    km::FileSystem* fat = km::StartFileSystem();
    PDEVICE_OBJECT storage = km::CreateStorageDevice(km::StorageType::Disk);
    HANDLE file = Create(Volume1 + u"\\kept.txt", FILE_CREATE);
    ASSERT_TRUE(NT_SUCCESS(km::WriteFile(file, 0, "kept", 4).status));
    ZwClose(file);
    PDEVICE_OBJECT volume = km::MountedVolume(storage);
    FilterFastIo();
    PDEVICE_OBJECT lowerFilter = AttachPassThrough(volume);
    PDEVICE_OBJECT upperFilter = AttachPassThrough(volume);
    ObReferenceObject(volume);

    ASSERT_EQ(km::DismountVolume(storage), STATUS_SUCCESS);
    std::vector<DetachCall> expected{{lowerFilter, volume}, {upperFilter, lowerFilter}};
    EXPECT_EQ(DetachCalls(), expected);
    EXPECT_EQ(km::MountedVolume(storage), nullptr);
    EXPECT_EQ(storage->Vpb->DeviceObject, nullptr) << "the storage device has a fresh VPB";
    EXPECT_EQ(km::ObjectReferenceCount(volume), 1) << "deleted: only the test's reference is left";
    ULONG count = 0;
    IoEnumerateDeviceObjectList(km::FileSystemDriver(fat), nullptr, 0, &count);
    EXPECT_EQ(count, 1u) << "only the control device is left";

    HANDLE again = Create(Volume1 + u"\\kept.txt", FILE_OPEN);
    EXPECT_NE(km::MountedVolume(storage), volume);
    ObDereferenceObject(volume);
    EXPECT_EQ(km::CallsOf(fat).mounts, 2u);
    EXPECT_EQ(km::CallsOf(fat).irps[IRP_MJ_CREATE], 3u) << "the opens of the volume gone stay counted";
    EXPECT_EQ(ReadAll(again, 16), "kept") << "the medium outlives its volume";
    ZwClose(again);
    EXPECT_EQ(km::DismountVolume(storage), STATUS_SUCCESS);
    EXPECT_EQ(km::DismountVolume(storage), STATUS_VOLUME_DISMOUNTED);
}

// Then deleting the storage device dismounts the fresh volume, telling its filter.
TEST_F(DismountTest, AnOpenFileKeepsTheDismountedVolumeUntilItClosesAndDeletingTheDeviceDismounts)
{
    km::StartFileSystem();
    PDEVICE_OBJECT storage = km::CreateStorageDevice(km::StorageType::Disk);
    HANDLE old = Create(Volume1 + u"\\a.txt");
    PDEVICE_OBJECT oldVolume = km::MountedVolume(storage);
    FilterFastIo();
    PDEVICE_OBJECT filter = AttachPassThrough(oldVolume);

    ASSERT_EQ(km::DismountVolume(storage), STATUS_SUCCESS);
    EXPECT_TRUE(DetachCalls().empty()) << "the volume waits for its last file";
    char byte;
    EXPECT_EQ(km::ReadFile(old, 0, &byte, 1).status, STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(km::ModelDeviceIrps(filter).back().stack.MajorFunction, IRP_MJ_READ)
        << "the old handle's requests still go down the old stack";
    PDEVICE_OBJECT disk = nullptr;
    EXPECT_EQ(IoGetDiskDeviceObject(oldVolume, &disk), STATUS_VOLUME_DISMOUNTED) << "no storage once dismounted";

    HANDLE fresh = Create(Volume1 + u"\\a.txt", FILE_OPEN);
    PDEVICE_OBJECT freshVolume = km::MountedVolume(storage);
    EXPECT_NE(freshVolume, oldVolume);
    ZwClose(old);
    std::vector<DetachCall> expected{{filter, oldVolume}};
    EXPECT_EQ(DetachCalls(), expected);
    EXPECT_EQ(km::WriteFile(fresh, 0, "x", 1).status, STATUS_SUCCESS) << "the new volume is untouched";
    ZwClose(fresh);

    PDEVICE_OBJECT freshFilter = AttachPassThrough(freshVolume);
    km::DeleteStorageDevice(storage);
    expected.emplace_back(freshFilter, freshVolume);
    EXPECT_EQ(DetachCalls(), expected);
    EXPECT_EQ(km::FindDevice(Volume1), nullptr);
}

using DismountDeathTest = ModelDeathTest;

// SizeOfFastIoDispatch must reach past FastIoDetachDevice for it to be called: a table that ends
// at the member's offset is not asked, and a filter left attached is a bug check.
TEST_F(DismountDeathTest, AFilterWhoseTableEndsBeforeFastIoDetachDeviceIsLeftAttached)
{
    km::StartFileSystem();
    PDEVICE_OBJECT storage = km::CreateStorageDevice(km::StorageType::Disk);
    ASSERT_EQ(km::MountVolume(storage), STATUS_SUCCESS);
    FilterFastIo(FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice) + 1);
    AttachPassThrough(km::MountedVolume(storage));
    ASSERT_EQ(km::DismountVolume(storage), STATUS_SUCCESS);
    EXPECT_EQ(DetachCalls().size(), 1u) << "one byte past the offset is enough";

    ASSERT_EQ(km::MountVolume(storage), STATUS_SUCCESS);
    FilterFastIo(FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice));
    AttachPassThrough(km::MountedVolume(storage));
    EXPECT_DEATH(km::DismountVolume(storage), "still attached to it");
    km::ModelDriver()->FastIoDispatch = nullptr;
}

}  // namespace
