// File-system registration: the change routine hears of the file systems already registered, by
// kind and in registration order; later registrations and unregistrations reach the host's routine
// (tests/fsfilter).
#include <vector>

#include "fs_test_util.h"

namespace {

using namespace fstest;

struct Change {
    PDEVICE_OBJECT device;
    bool active;
    KIRQL irql;
};

std::vector<Change> g_changes;

void NTAPI RecordChange(PDEVICE_OBJECT device, BOOLEAN active)
{
    g_changes.push_back(Change{device, active != FALSE, KeGetCurrentIrql()});
}

// The devices told of so far, each as active and at PASSIVE_LEVEL.
std::vector<PDEVICE_OBJECT> ActiveDevices()
{
    std::vector<PDEVICE_OBJECT> devices;
    for (const Change& change : g_changes) {
        EXPECT_TRUE(change.active);
        EXPECT_EQ(change.irql, PASSIVE_LEVEL);
        devices.push_back(change.device);
    }
    return devices;
}

using FsRegistrationTest = KernelTest;

// A tape file system comes last; one of another type is told of when it registers, but lies in
// no queue that a replay walks.
TEST_F(FsRegistrationTest, ReplayTellsOfEveryRegisteredFileSystemByKindInRegistrationOrder)
{
    g_changes.clear();
    km::StandardFileSystems standard = km::StartStandardFileSystems();
    km::FileSystemOptions tape;
    tape.name = u"ModelTape";
    tape.controlDeviceType = FILE_DEVICE_TAPE_FILE_SYSTEM;
    km::FileSystem* tapeFs = km::StartFileSystem(tape);
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
        km::FileSystemControlDevice(tapeFs),
    };
    EXPECT_EQ(ActiveDevices(), expected);
    EXPECT_EQ(km::ObjectReferenceCount(km::ModelDriver()), driverReferences + 1) << "the driver is held";

    km::FileSystemOptions other;
    other.name = u"ModelOther";
    other.controlDeviceType = FILE_DEVICE_FILE_SYSTEM;
    km::FileSystem* otherFs = km::StartFileSystem(other);
    ASSERT_EQ(g_changes.size(), expected.size() + 1);
    EXPECT_EQ(g_changes.back().device, km::FileSystemControlDevice(otherFs)) << "reported when it registers";
    IoUnregisterFsRegistrationChange(km::ModelDriver(), RecordChange);
    EXPECT_EQ(km::ObjectReferenceCount(km::ModelDriver()), driverReferences);
    g_changes.clear();
    ASSERT_EQ(IoRegisterFsRegistrationChange(km::ModelDriver(), RecordChange), STATUS_SUCCESS);
    EXPECT_EQ(ActiveDevices(), expected) << "but in no queue that a replay walks";
    km::StopFileSystem(otherFs);
    EXPECT_FALSE(g_changes.back().active);
    IoUnregisterFsRegistrationChange(km::ModelDriver(), RecordChange);
}

}  // namespace
