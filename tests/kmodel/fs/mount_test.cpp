// Mounting: the first open of a storage device's volume sends IRP_MN_MOUNT_VOLUME down each
// registered file system's control-device stack of the matching kind until one mounts it; mounts
// done at once, held and completed from another thread, handed to the worker, refused. The storage
// device a volume answers (IoGetDiskDeviceObject) is the host's to ask (tests/fsfilter).
#include <atomic>

#include "fs_test_util.h"

namespace {

using namespace fstest;

class MountTest : public KernelTest {};

TEST_F(MountTest, FirstOpenForDataMountsTheVolumeThroughTheControlStackAndOpensOnIt)
{
    km::FileSystem* fat = km::StartFileSystem();
    PDEVICE_OBJECT filter = AttachPassThrough(km::FileSystemControlDevice(fat));
    PDEVICE_OBJECT storage = km::CreateStorageDevice(km::StorageType::Disk);
    km::OpenResult direct = km::CreateFile(Volume1, FILE_OPEN, FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    ASSERT_EQ(direct.status, STATUS_SUCCESS);
    ZwClose(direct.handle);
    ASSERT_EQ(km::MountedVolume(storage), nullptr) << "a direct open of the device does not mount";

    HANDLE volumeOpen = Create(Volume1, FILE_OPEN);  // an open of the volume for data mounts it
    km::OpenResult created = km::CreateFile(Volume1 + u"\\dir\\a.txt", FILE_CREATE);
    ASSERT_EQ(created.status, STATUS_SUCCESS);
    EXPECT_EQ(created.ioStatus.Information, ULONG_PTR(FILE_CREATED));

    std::vector<km::RecordedIrp> seen = km::ModelDeviceIrps(filter);
    ASSERT_EQ(seen.size(), 1u) << "the mount request passes the filter on the control device";
    EXPECT_EQ(seen[0].stack.MajorFunction, IRP_MJ_FILE_SYSTEM_CONTROL);
    EXPECT_EQ(seen[0].stack.MinorFunction, IRP_MN_MOUNT_VOLUME);
    EXPECT_EQ(seen[0].stack.Parameters.MountVolume.Vpb, storage->Vpb);
    EXPECT_EQ(seen[0].stack.Parameters.MountVolume.DeviceObject, storage);

    PDEVICE_OBJECT volume = km::MountedVolume(storage);
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(storage->Vpb->RealDevice, storage);
    EXPECT_EQ(volume->DriverObject, km::FileSystemDriver(fat));
    EXPECT_EQ(volume->DeviceType, ULONG(FILE_DEVICE_DISK_FILE_SYSTEM));
    EXPECT_EQ(volume->Flags & (DO_DEVICE_HAS_NAME | DO_DEVICE_INITIALIZING), 0u) << "unnamed and ready";
    EXPECT_EQ(volume->StackSize, storage->StackSize + 1);

    HANDLE again = Create(Volume1 + u"\\DIR\\A.TXT", FILE_OPEN);
    km::FileSystemCalls calls = km::CallsOf(fat);
    EXPECT_EQ(calls.mountRequests, 1u) << "a mounted volume is not mounted again";
    EXPECT_EQ(calls.irps[IRP_MJ_CREATE], 3u) << "every open for data reached the volume";
    EXPECT_EQ(km::CreateFile(Volume1 + u"\\dir\\a.txt", FILE_CREATE).status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(km::CreateFile(Volume1 + u"\\missing", FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(again);
    ZwClose(created.handle);
    ZwClose(volumeOpen);
}

TEST_F(MountTest, AVolumeNoFileSystemTakesIsUnrecognized)
{
    km::StandardFileSystems standard = km::StartStandardFileSystems();
    km::UnregisterFileSystem(standard.cdfs);
    PDEVICE_OBJECT cd = km::CreateStorageDevice(km::StorageType::CdRom);

    EXPECT_EQ(km::MountVolume(cd), STATUS_UNRECOGNIZED_VOLUME);
    EXPECT_EQ(km::CallsOf(standard.recognizer).mountRequests, 1u) << "the CD-ROM recognizer was asked and refused";
    EXPECT_EQ(km::CallsOf(standard.fat).mountRequests, 0u);

    km::RegisterFileSystem(standard.cdfs);
    EXPECT_EQ(km::MountVolume(cd), STATUS_SUCCESS);
    EXPECT_EQ(km::FileSystemOf(km::MountedVolume(cd)), standard.cdfs);
    EXPECT_EQ(km::MountedVolume(cd)->DeviceType, ULONG(FILE_DEVICE_CD_ROM_FILE_SYSTEM));
}

// Opens `name` on a new model thread; the open's status lands in `status`.
km::Thread* OpenOnThread(const std::u16string& name, std::atomic<NTSTATUS>* status)
{
    return km::StartThread(nullptr, [name, status] {
        km::OpenResult opened = km::CreateFile(name, FILE_OPEN_IF);
        if (NT_SUCCESS(opened.status)) {
            ZwClose(opened.handle);
        }
        status->store(opened.status);
    });
}

// The newer file system holds the mount while every other opener waits on the device lock; its
// refusal, completed from this thread, passes the volume on to the older one, which mounts on the
// system worker thread; then every opener gets in.
TEST_F(MountTest, APendedMountHoldsEveryOpenerAndARefusalPassesTheVolumeOnToAWorkersMount)
{
    km::FileSystemOptions onWorker;
    onWorker.mount = km::MountBehaviour::PendOnWorker;
    km::FileSystem* older = km::StartFileSystem(onWorker);
    km::FileSystemOptions holding;
    holding.name = u"HoldingFat";
    holding.mount = km::MountBehaviour::Pend;
    km::FileSystem* newer = km::StartFileSystem(holding);
    PDEVICE_OBJECT storage = km::CreateStorageDevice(km::StorageType::Disk);

    constexpr int Openers = 3;
    std::atomic<NTSTATUS> statuses[Openers];
    km::Thread* threads[Openers];
    for (int i = 0; i < Openers; ++i) {
        statuses[i] = STATUS_PENDING;
        threads[i] = OpenOnThread(Volume1 + u"\\f" + char16_t(u'0' + i), &statuses[i]);
    }
    ASSERT_TRUE(km::WaitForPendedMounts(newer, 1));
    EXPECT_FALSE(km::WaitForPendedMounts(newer, 2, 50)) << "the other openers wait on the device lock";
    for (auto& status : statuses) {
        EXPECT_EQ(status.load(), STATUS_PENDING);
    }
    km::CompletePendedMount(newer, false);
    for (km::Thread* thread : threads) {
        km::JoinThread(thread);
    }
    for (auto& status : statuses) {
        EXPECT_EQ(status.load(), STATUS_SUCCESS);
    }
    EXPECT_EQ(km::CallsOf(newer).mounts, 0u);
    EXPECT_EQ(km::CallsOf(older).mounts, 1u) << "mounted on the system worker thread";
    EXPECT_EQ(km::CallsOf(older).mountRequests, 1u);
    EXPECT_EQ(km::CallsOf(older).irps[IRP_MJ_CREATE], ULONG(Openers));
    EXPECT_NE(km::MountedVolume(storage), nullptr);
}

}  // namespace
