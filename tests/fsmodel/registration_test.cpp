// File-system registration: the change routine hears of the file systems already registered, then
// of every registration and unregistration; IoEnumerateDeviceObjectList and the stack queries as
// an attaching filter uses them on a file system's devices.
#include <vector>

#include "fs_test_util.h"

namespace {

using namespace fstest;

struct Change {
    PDEVICE_OBJECT device;
    bool active;
    KIRQL irql;
};

std::vector<Change>& Changes()
{
    static std::vector<Change> changes;
    return changes;
}

void NTAPI RecordChange(PDEVICE_OBJECT device, BOOLEAN active)
{
    Changes().push_back(Change{device, active != FALSE, KeGetCurrentIrql()});
}

class FsRegistrationTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        Changes().clear();
    }

    std::vector<PDEVICE_OBJECT> ActiveDevices()
    {
        std::vector<PDEVICE_OBJECT> devices;
        for (const Change& change : Changes()) {
            EXPECT_TRUE(change.active);
            EXPECT_EQ(change.irql, PASSIVE_LEVEL);
            devices.push_back(change.device);
        }
        return devices;
    }
};

TEST_F(FsRegistrationTest, ReplayTellsOfEveryRegisteredFileSystemByKindInRegistrationOrder)
{
    km::StandardFileSystems standard = km::StartStandardFileSystems();
    km::FileSystemOptions second;
    second.name = u"SecondFat";
    km::FileSystem* secondFat = km::StartFileSystem(second);
    std::vector<PDEVICE_OBJECT> recognizers = km::FileSystemControlDevices(standard.recognizer);
    ASSERT_EQ(recognizers.size(), 2u);

    long driverReferences = km::ObjectReferenceCount(km::ModelDriver());
    ASSERT_EQ(IoRegisterFsRegistrationChange(km::ModelDriver(), RecordChange), STATUS_SUCCESS);
    std::vector<PDEVICE_OBJECT> expected{
        km::FileSystemControlDevice(standard.rdr),
        recognizers[1],  // the CD-ROM recognizer
        km::FileSystemControlDevice(standard.cdfs),
        recognizers[0],  // the disk recognizer
        km::FileSystemControlDevice(standard.fat),
        km::FileSystemControlDevice(secondFat),
    };
    EXPECT_EQ(ActiveDevices(), expected);
    EXPECT_EQ(km::ObjectReferenceCount(km::ModelDriver()), driverReferences + 1) << "the driver is held";

    IoUnregisterFsRegistrationChange(km::ModelDriver(), RecordChange);
    EXPECT_EQ(km::ObjectReferenceCount(km::ModelDriver()), driverReferences);
}

TEST_F(FsRegistrationTest, ATapeFileSystemIsReplayedLastAndOneOfAnotherTypeOnlyWhenItRegisters)
{
    km::FileSystemOptions tape;
    tape.name = u"ModelTape";
    tape.controlDeviceType = FILE_DEVICE_TAPE_FILE_SYSTEM;
    km::FileSystem* tapeFs = km::StartFileSystem(tape);
    km::FileSystem* fat = km::StartFileSystem();
    ASSERT_EQ(IoRegisterFsRegistrationChange(km::ModelDriver(), RecordChange), STATUS_SUCCESS);
    std::vector<PDEVICE_OBJECT> expected{km::FileSystemControlDevice(fat), km::FileSystemControlDevice(tapeFs)};
    EXPECT_EQ(ActiveDevices(), expected);

    km::FileSystemOptions other;
    other.name = u"ModelOther";
    other.controlDeviceType = FILE_DEVICE_FILE_SYSTEM;
    km::FileSystem* otherFs = km::StartFileSystem(other);
    ASSERT_EQ(Changes().size(), 3u);
    EXPECT_EQ(Changes()[2].device, km::FileSystemControlDevice(otherFs)) << "reported when it registers";
    IoUnregisterFsRegistrationChange(km::ModelDriver(), RecordChange);
    Changes().clear();
    ASSERT_EQ(IoRegisterFsRegistrationChange(km::ModelDriver(), RecordChange), STATUS_SUCCESS);
    EXPECT_EQ(ActiveDevices(), expected) << "but in no queue that a replay walks";
    km::StopFileSystem(otherFs);
    EXPECT_FALSE(Changes().back().active);
    IoUnregisterFsRegistrationChange(km::ModelDriver(), RecordChange);
}

TEST_F(FsRegistrationTest, LaterRegistrationsAndUnregistrationsAreReportedUntilTheRoutineGoes)
{
    ASSERT_EQ(IoRegisterFsRegistrationChange(km::ModelDriver(), RecordChange), STATUS_SUCCESS);
    EXPECT_TRUE(Changes().empty());

    km::FileSystem* fat = km::StartFileSystem();
    PDEVICE_OBJECT control = km::FileSystemControlDevice(fat);
    km::UnregisterFileSystem(fat);
    km::RegisterFileSystem(fat);
    ASSERT_EQ(Changes().size(), 3u);
    EXPECT_EQ(Changes()[0].device, control);
    EXPECT_TRUE(Changes()[0].active);
    EXPECT_EQ(Changes()[1].device, control);
    EXPECT_FALSE(Changes()[1].active);
    EXPECT_TRUE(Changes()[2].active);

    IoUnregisterFsRegistrationChange(km::ModelDriver(), RecordChange);
    km::StopFileSystem(fat);
    EXPECT_EQ(Changes().size(), 3u) << "no word after the routine was withdrawn";
}

TEST_F(FsRegistrationTest, ARegistrationWithoutPoolFailsAndTellsNothing)
{
    km::StartFileSystem();
    km::FailAllocationsWithTag(km::PoolTag("IoFs"));
    EXPECT_EQ(IoRegisterFsRegistrationChange(km::ModelDriver(), RecordChange), STATUS_INSUFFICIENT_RESOURCES);
    km::ClearPoolFaults();
    EXPECT_TRUE(Changes().empty());
    km::StartFileSystem({km::FileSystemType::CdRom});
    EXPECT_TRUE(Changes().empty()) << "the failed registration left no routine behind";
}

TEST_F(FsRegistrationTest, ARegisteredControlDeviceGoesOnlyAfterUnregistrationAndTellsItsFilter)
{
    km::FileSystem* fat = km::StartFileSystem();
    PDEVICE_OBJECT control = km::FileSystemControlDevice(fat);
    FilterFastIo();
    PDEVICE_OBJECT filter = AttachPassThrough(control);
    ObReferenceObject(control);

    km::StopFileSystem(fat);
    std::vector<std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>> expected{{filter, control}};
    EXPECT_EQ(DetachCalls(), expected) << "the filter on the control device is told and detaches";
    EXPECT_EQ(km::FindDevice(u"\\ModelFat"), nullptr);
    ObDereferenceObject(control);
}

TEST_F(FsRegistrationTest, EnumerationNeedsTwoCallsAndReferencesEveryDevice)
{
    km::FileSystem* fat = km::StartFileSystem();
    PDEVICE_OBJECT first = km::CreateStorageDevice(km::StorageType::Disk);
    PDEVICE_OBJECT second = km::CreateStorageDevice(km::StorageType::Disk);
    ASSERT_EQ(km::MountVolume(first), STATUS_SUCCESS);
    ASSERT_EQ(km::MountVolume(second), STATUS_SUCCESS);
    PDEVICE_OBJECT control = km::FileSystemControlDevice(fat);
    std::vector<PDEVICE_OBJECT> expected{km::MountedVolume(second), km::MountedVolume(first), control};

    ULONG count = 0;
    EXPECT_EQ(IoEnumerateDeviceObjectList(km::FileSystemDriver(fat), nullptr, 0, &count), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(count, 3u);
    std::vector<long> before;
    for (PDEVICE_OBJECT device : expected) {
        before.push_back(km::ObjectReferenceCount(device));
    }
    std::vector<PDEVICE_OBJECT> devices(count);
    ASSERT_EQ(IoEnumerateDeviceObjectList(km::FileSystemDriver(fat), devices.data(), count * sizeof(PDEVICE_OBJECT),
                                          &count),
              STATUS_SUCCESS);
    EXPECT_EQ(devices, expected) << "newest first";
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(km::ObjectReferenceCount(devices[i]), before[i] + 1);
        // What an attaching filter asks of each: the base of its stack, and its storage device.
        PDEVICE_OBJECT base = IoGetDeviceAttachmentBaseRef(devices[i]);
        EXPECT_EQ(base, devices[i]) << "a volume device is the bottom of its own stack";
        ObDereferenceObject(base);
        PDEVICE_OBJECT disk = nullptr;
        NTSTATUS status = IoGetDiskDeviceObject(devices[i], &disk);
        if (devices[i] == control) {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(disk->Vpb->DeviceObject, devices[i]);
            ObDereferenceObject(disk);
        }
        ObDereferenceObject(devices[i]);
        EXPECT_EQ(km::ObjectReferenceCount(devices[i]), before[i]);
    }
}

}  // namespace
