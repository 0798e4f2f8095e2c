// Attachment to the file systems running at start-up and to those registered later, with their
// mounted volumes: which devices get a host filter device, what it looks like, what is passed
// over, and that no reference on an enumerated device is kept.
#include <algorithm>
#include <csetjmp>
#include <cstring>

#include "fsfilter/fsfilter_test.h"

namespace {

std::vector<long> References(const std::vector<PDEVICE_OBJECT>& devices)
{
    std::vector<long> counts(devices.size());
    std::transform(devices.begin(), devices.end(), counts.begin(), km::ObjectReferenceCount);
    return counts;
}

// Before the host: the standard file systems with a disk and a CD-ROM volume mounted, and a
// flagged disk file system with a volume mounted, then unregistered.
class HostAttachTest : public FsFilterTest {
protected:
    void BeforeHost() override
    {
        fileSystems = km::StartStandardFileSystems();
        km::FileSystemOptions options;
        options.name = u"LaterFat";
        options.controlFlags = DO_DIRECT_IO;
        options.controlCharacteristics = FILE_DEVICE_SECURE_OPEN | FILE_REMOTE_DEVICE;
        options.volumeFlags = DO_BUFFERED_IO;
        later = km::StartFileSystem(options);
        km::UnregisterFileSystem(fileSystems.fat);  // the later one mounts its disk
        ASSERT_EQ(km::MountVolume(laterStorage = km::CreateStorageDevice(km::StorageType::Disk)), STATUS_SUCCESS);
        km::UnregisterFileSystem(later);
        km::RegisterFileSystem(fileSystems.fat);
        ASSERT_EQ(km::MountVolume(disk = km::CreateStorageDevice(km::StorageType::Disk)), STATUS_SUCCESS);
        ASSERT_EQ(km::MountVolume(cdrom = km::CreateStorageDevice(km::StorageType::CdRom)), STATUS_SUCCESS);
        watched = {disk, cdrom, laterStorage, km::MountedVolume(disk), km::MountedVolume(cdrom),
                   km::MountedVolume(laterStorage), km::FileSystemControlDevice(later)};
        for (km::FileSystem* fs : {fileSystems.recognizer, fileSystems.fat, fileSystems.cdfs, fileSystems.rdr}) {
            for (PDEVICE_OBJECT control : km::FileSystemControlDevices(fs)) {
                watched.push_back(control);
            }
        }
        referencesBefore = References(watched);
    }

    km::StandardFileSystems fileSystems{};
    km::FileSystem* later = nullptr;
    PDEVICE_OBJECT disk = nullptr;
    PDEVICE_OBJECT cdrom = nullptr;
    PDEVICE_OBJECT laterStorage = nullptr;
    std::vector<PDEVICE_OBJECT> watched;
    std::vector<long> referencesBefore;
};

TEST_F(HostAttachTest, AttachToRunningFileSystemsAndTheirMountedVolumes)
{
    for (km::FileSystem* fs : {fileSystems.fat, fileSystems.cdfs, fileSystems.rdr}) {
        PDEVICE_OBJECT control = km::FileSystemControlDevice(fs);
        PDEVICE_OBJECT filter = HostDeviceAbove(control);
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(HostDevicesIn(control).size(), 1u);
        EXPECT_EQ(filter->DeviceType, control->DeviceType);
        EXPECT_EQ(filter->DeviceExtension, nullptr);
        EXPECT_EQ(filter->Flags & DO_DEVICE_INITIALIZING, 0u);
    }
    for (PDEVICE_OBJECT control : km::FileSystemControlDevices(fileSystems.recognizer)) {
        EXPECT_TRUE(HostDevicesIn(control).empty()) << "the recognizer is never filtered";
    }
    EXPECT_TRUE(HostDevicesIn(km::FileSystemControlDevice(later)).empty());

    // The replay tells of CD-ROM file systems before disk ones: the disk volume's record is newer.
    std::vector<AttachRecord> records = Records();
    ASSERT_EQ(records.size(), 2u);
    const PDEVICE_OBJECT storages[] = {disk, cdrom};
    // The extension holds the record's mark and nothing else.
    uint8_t recordedOnly[VolumeFilterExtensionBytes] = {};
    VolumeFilterExtension recorded{};
    recorded.Recorded = 1;
    std::memcpy(recordedOnly, &recorded, sizeof(recorded));
    for (size_t index = 0; index < 2; index += 1) {
        PDEVICE_OBJECT volume = km::MountedVolume(storages[index]);
        PDEVICE_OBJECT filter = HostDeviceAbove(volume);
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(HostDevicesIn(volume).size(), 1u);
        EXPECT_EQ(filter->DeviceType, volume->DeviceType);
        EXPECT_EQ(filter->Flags & DO_DEVICE_INITIALIZING, 0u);
        EXPECT_EQ(std::memcmp(filter->DeviceExtension, recordedOnly, sizeof(recordedOnly)), 0);
        EXPECT_EQ(records[index].FilterDevice, filter);
        EXPECT_EQ(records[index].VolumeDevice, volume);
        EXPECT_EQ(records[index].StorageDevice, storages[index]);
    }
    EXPECT_EQ(References(watched), referencesBefore);
}

// The same setting, for the file systems that register and unregister after the host started.
using HostRegistrationTest = HostAttachTest;

TEST_F(HostRegistrationTest, RegistrationAttachesLaterFileSystemsAndUnregistrationTakesTheirFilterAway)
{
    PDEVICE_OBJECT control = km::FileSystemControlDevice(later);
    PDEVICE_OBJECT volume = km::MountedVolume(laterStorage);
    km::RegisterFileSystem(later);
    PDEVICE_OBJECT controlFilter = HostDeviceAbove(control);
    PDEVICE_OBJECT volumeFilter = HostDeviceAbove(volume);
    ASSERT_NE(controlFilter, nullptr);
    ASSERT_NE(volumeFilter, nullptr);
    EXPECT_EQ(controlFilter->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO), ULONG(DO_DIRECT_IO));
    EXPECT_EQ(controlFilter->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(volumeFilter->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO), ULONG(DO_BUFFERED_IO));
    EXPECT_EQ(volumeFilter->Characteristics, 0u);
    EXPECT_EQ(Records().front().FilterDevice, volumeFilter);

    // Going takes the file-system filter device and leaves the volume's; coming back attaches to
    // the control device again and passes over the volume, which the host filters already.
    size_t devices = HostDeviceCount();
    long filterReferences = km::ObjectReferenceCount(volumeFilter);
    km::UnregisterFileSystem(later);
    EXPECT_EQ(HostDeviceAbove(control), nullptr);
    EXPECT_EQ(HostDeviceCount(), devices - 1);
    km::RegisterFileSystem(later);
    EXPECT_NE(HostDeviceAbove(control), nullptr);
    EXPECT_EQ(HostDevicesIn(volume), std::vector<PDEVICE_OBJECT>{volumeFilter});
    EXPECT_EQ(Records().size(), 3u);
    EXPECT_EQ(HostDeviceCount(), devices);
    EXPECT_EQ(km::ObjectReferenceCount(volumeFilter), filterReferences);
    EXPECT_EQ(References(watched), referencesBefore);

    // A file system the host never attached to goes without a change.
    km::UnregisterFileSystem(fileSystems.recognizer);
    EXPECT_EQ(HostDeviceCount(), devices);
}

TEST_F(HostRegistrationTest, RegistrationPassesOverWhatIsNotAnUnfilteredFileSystemOrVolume)
{
    // The later file system's volume put on a named device, so that only its named base excludes
    // it; two devices of its driver, one without a storage device and one of another type.
    PDEVICE_OBJECT volume = km::MountedVolume(laterStorage);
    km::ModelDeviceOptions named;
    named.type = FILE_DEVICE_DISK_FILE_SYSTEM;
    named.name = u"\\Device\\NamedBase";
    PDEVICE_OBJECT namedBase = km::CreateModelDevice(named);
    PDEVICE_OBJECT attachedTo = nullptr;
    ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(volume, namedBase, &attachedTo), STATUS_SUCCESS);
    PDEVICE_OBJECT noStorage = nullptr;
    PDEVICE_OBJECT otherType = nullptr;
    PDRIVER_OBJECT driver = km::FileSystemDriver(later);
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &noStorage), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &otherType), STATUS_SUCCESS);
    std::vector<PDEVICE_OBJECT> devices = {volume, noStorage, otherType};
    std::vector<long> references = References(devices);

    // Without pool for the enumeration the file system stays wholly unfiltered.
    size_t hostDevices = HostDeviceCount();
    km::FailAllocationsWithTag(DeviceListPoolTag);
    km::RegisterFileSystem(later);
    km::ClearPoolFaults();
    EXPECT_EQ(HostDeviceCount(), hostDevices);
    km::UnregisterFileSystem(later);
    km::RegisterFileSystem(later);
    EXPECT_EQ(HostDeviceCount(), hostDevices + 1) << "the control device only";
    for (PDEVICE_OBJECT device : devices) {
        EXPECT_TRUE(HostDevicesIn(device).empty());
    }
    EXPECT_EQ(References(devices), references);
    EXPECT_EQ(References(watched), referencesBefore);
    km::UnregisterFileSystem(later);
    IoDetachDevice(namedBase);
    IoDeleteDevice(noStorage);
    IoDeleteDevice(otherType);

    // The recognizer's name in any letter case, and a file system of another type.
    km::StopFileSystem(fileSystems.recognizer);
    km::FileSystemOptions recognizer;
    recognizer.name = u"FS_REC";
    km::FileSystemOptions tape;
    tape.name = u"ModelTape";
    tape.controlDeviceType = FILE_DEVICE_TAPE_FILE_SYSTEM;
    hostDevices = HostDeviceCount();
    for (const km::FileSystemOptions& options : {recognizer, tape}) {
        EXPECT_TRUE(HostDevicesIn(km::FileSystemControlDevice(km::StartFileSystem(options))).empty());
    }
    EXPECT_EQ(HostDeviceCount(), hostDevices);
}

TEST_F(HostRegistrationTest, RegistrationUnwindsTheVolumeEnumerationWhenAnAttachRaises)
{
    // The module raises from the first AttachNotify of the enumeration of the later file system's
    // devices (its control device and its volume), called here under a guard of the test's own.
    ASSERT_TRUE(Accepted(module->RegisterEntryPoints()));
    module->SetAttachAction([](PDEVICE_OBJECT) { ExRaiseStatus(STATUS_ACCESS_VIOLATION); });
    auto attachToMountedVolumes = Symbol<decltype(AttachToMountedVolumes)>("AttachToMountedVolumes");
    WCHAR characters[FileSystemNameBufferBytes / sizeof(WCHAR)];
    UNICODE_STRING name{0, sizeof(characters), characters};
    KM_GUARD_FRAME guard;
    KmGuardPush(&guard);
    if (setjmp(guard.Jump) == 0) {
        (void)attachToMountedVolumes(km::FileSystemControlDevice(later), &name);
        KmGuardPop(&guard);
        ADD_FAILURE() << "the exception did not come back";
    }
    module->SetAttachAction(nullptr);
    EXPECT_EQ(guard.Status, STATUS_ACCESS_VIOLATION);

    // Every enumerated device is dereferenced, the array is freed (checked at the end), and the
    // record's lock is free for another thread.
    EXPECT_EQ(References(watched), referencesBefore);
    // The raise leaves no caller-visible trace of the gate or the record: read them.
    EXPECT_EQ(globals->ModuleHost.DeviceNotifyInFlight, 0) << "the raising call is counted out";
    auto* record = CONTAINING_RECORD(globals->FsFilter.AttachedList.Flink, AttachRecord, Links);
    ASSERT_EQ(record->FilterDevice, HostDeviceAbove(km::MountedVolume(laterStorage)));
    auto wait = Symbol<decltype(AMutex_Wait)>("AMutex_Wait");
    auto release = Symbol<decltype(AMutex_Release)>("AMutex_Release");
    bool lockFree = false;
    ModelThread([&] {
        if ((lockFree = wait(&record->RecordLock, 0))) {
            release(&record->RecordLock);
        }
    }).Join();
    EXPECT_TRUE(lockFree);
}

}  // namespace
