// Attachment to the file systems running at start-up and to those registered later, with their
// mounted volumes: which devices get a host filter device, what it looks like, what is passed
// over, and that no reference on an enumerated device is kept. Then mounts followed through the
// host's file-system filter devices: done at once, pended and finished on another thread, refused,
// seen twice; attach attempts that keep failing; file-system control requests that are not
// mounts, and those sent to the control device.
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
        FsFilterTest::BeforeHost();
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
        EXPECT_EQ(DevicesOf(records[index]), std::tuple(filter, volume, storages[index]));
    }
    EXPECT_EQ(References(watched), referencesBefore);
}

// The same setting, for the file systems that register and unregister after the host started.
TEST_F(HostAttachTest, RegistrationAttachesLaterFileSystemsAndUnregistrationTakesTheirFilterAway)
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

TEST_F(HostAttachTest, RegistrationPassesOverWhatIsNotAnUnfilteredFileSystemOrVolume)
{
    // The later file system's volume put on a named device, so that only its named base excludes
    // it; two devices of its driver, one without a storage device and one of another type.
    PDEVICE_OBJECT volume = km::MountedVolume(laterStorage);
    PDEVICE_OBJECT namedBase = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM, u"\\Device\\NamedBase"});
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
    const km::FileSystemOptions recognizer{km::FileSystemType::Disk, u"FS_REC"};
    km::FileSystemOptions tape;
    tape.name = u"ModelTape";
    tape.controlDeviceType = FILE_DEVICE_TAPE_FILE_SYSTEM;
    hostDevices = HostDeviceCount();
    for (const km::FileSystemOptions& options : {recognizer, tape}) {
        EXPECT_TRUE(HostDevicesIn(km::FileSystemControlDevice(km::StartFileSystem(options))).empty());
    }
    EXPECT_EQ(HostDeviceCount(), hostDevices);
}

TEST_F(HostAttachTest, RegistrationUnwindsTheVolumeEnumerationWhenAnAttachRaises)
{
    // The module raises from the first AttachNotify of the enumeration of the later file system's
    // devices (its control device and its volume), called here under a guard of the test's own.
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

class HostMountTest : public FsFilterTest {
protected:
    // The volume mounted on `storage` has a host filter device, recorded with these devices at the
    // head of AttachedList, and the module was told of it once.
    void ExpectFiltered(PDEVICE_OBJECT storage)
    {
        PDEVICE_OBJECT volume = km::MountedVolume(storage);
        PDEVICE_OBJECT filter = HostDeviceAbove(volume);
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(filter->DeviceType, volume->DeviceType);
        EXPECT_EQ(DevicesOf(Records().front()), std::tuple(filter, volume, storage));
        std::vector<ModuleCall> calls = module->Calls(ModuleCallKind::AttachNotify);
        module->ClearCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(std::tuple(calls[0].device, calls[0].volume, calls[0].storage), std::tuple(filter, volume, storage));
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
};

TEST_F(HostMountTest, MountAtOncePendedRefusedOrSeenTwiceAndRequestsThatAreNotMounts)
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
    EXPECT_EQ(Records().size(), 2u);
    EXPECT_TRUE(module->Calls(ModuleCallKind::AttachNotify).empty());

    // A mount or a user request sent to the control device finds no media and mounts nothing.
    for (UCHAR minor : {UCHAR(IRP_MN_USER_FS_REQUEST), UCHAR(IRP_MN_MOUNT_VOLUME)}) {
        km::IrpRequest request;
        request.majorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
        request.minorFunction = minor;
        request.setup = [refused](PIO_STACK_LOCATION stack) { stack->Parameters.MountVolume.Vpb = refused->Vpb; };
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

    // A mount seen by two of the host's file-system filter devices on one file system: the lower
    // one attaches to the new volume, the upper one finds the host already in the volume's stack
    // and stays out, leaving no device and no reference behind.
    const long filterReferences = km::ObjectReferenceCount(HostDeviceAbove(km::MountedVolume(storage)));
    PDEVICE_OBJECT control = km::FileSystemControlDevice(fileSystems.fat);
    PDEVICE_OBJECT lowerHost = HostDeviceAbove(control);
    ASSERT_NE(lowerHost, nullptr);
    PDEVICE_OBJECT upperHost = CreateHostDevice(control->DeviceType, control, true);
    devices = HostDeviceCount();
    PDEVICE_OBJECT second = km::CreateStorageDevice(km::StorageType::Disk);
    ASSERT_EQ(km::MountVolume(second), STATUS_SUCCESS);
    PDEVICE_OBJECT volume = km::MountedVolume(second);
    ASSERT_EQ(HostDevicesIn(volume).size(), 1u);
    EXPECT_EQ(HostDeviceCount(), devices + 1) << "the upper device's filter is gone";
    EXPECT_EQ(km::ObjectReferenceCount(HostDeviceAbove(volume)), filterReferences);
    ASSERT_EQ(Records().size(), 3u);
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
