// What a test leaves on the model's volumes is reported at shutdown; what the system itself holds
// at shutdown (mounted volumes, registrations, the worker thread) is not.
#include "fs_test_util.h"

namespace {

using namespace fstest;

class FsLeakTest : public KernelTest {
protected:
    // Shuts the model down inside the test and boots it again for the fixture's own check.
    std::string ShutdownReport()
    {
        std::string report = km::Shutdown();
        km::Boot(Options());
        return report;
    }
};

TEST_F(FsLeakTest, AReferenceLeftOnAVolumeAndAnOpenFileAreReported)
{
    km::StartFileSystem();
    PDEVICE_OBJECT storage = km::CreateStorageDevice(km::StorageType::Disk);
    Create(Volume1 + u"\\left-open.txt");
    PDEVICE_OBJECT disk = nullptr;
    ASSERT_EQ(IoGetDiskDeviceObject(km::MountedVolume(storage), &disk), STATUS_SUCCESS);

    std::string report = km::Shutdown();
    EXPECT_NE(report.find("handles left open"), std::string::npos) << report;
    EXPECT_NE(report.find("object references not dropped"), std::string::npos) << report;
    EXPECT_NE(report.find("HarddiskVolume1"), std::string::npos) << "the leaked reference names the device";
    EXPECT_EQ(report.find("pool left allocated"), std::string::npos) << "the model's own records are not leaks";
    km::Boot(Options());
}

TEST_F(FsLeakTest, MountedVolumesRegistrationsAndTheWorkerAtShutdownAreNoLeak)
{
    km::StandardFileSystems standard = km::StartStandardFileSystems();
    km::CreateStorageDevice(km::StorageType::Disk);
    km::CreateStorageDevice(km::StorageType::CdRom);
    ASSERT_EQ(km::MountVolume(km::FindDevice(Volume1)), STATUS_SUCCESS);
    ASSERT_EQ(km::MountVolume(km::FindDevice(u"\\Device\\CdRom0")), STATUS_SUCCESS);
    km::SetMountBehaviour(standard.fat, km::MountBehaviour::PendOnWorker);
    PDEVICE_OBJECT second = km::CreateStorageDevice(km::StorageType::Disk);
    ASSERT_EQ(km::MountVolume(second), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterFsRegistrationChange(km::ModelDriver(), [](PDEVICE_OBJECT, BOOLEAN) {}), STATUS_SUCCESS);
    EXPECT_EQ(ShutdownReport(), "");
}

}  // namespace
