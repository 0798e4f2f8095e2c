// The model's file systems and their volumes. Registration: the change routine hears of the file
// systems already registered, by kind and in registration order; later registrations and
// unregistrations reach the host's routine (tests/fsfilter). Mounting: the first open of a storage
// device's volume sends IRP_MN_MOUNT_VOLUME down each registered file system's control-device
// stack of the matching kind until one mounts it; mounts done at once, held and completed from
// another thread, handed to the worker, refused. The storage device a volume answers
// (IoGetDiskDeviceObject) is the host's to ask (tests/fsfilter). Dismounting: the volume device
// goes once no file on it is open, and as it goes each driver attached above is told through
// FastIoDetachDevice (if its table has the member) from the bottom of the stack up; the next open
// mounts afresh and finds the files the medium holds. File I/O: the top device's fast I/O member
// first, honouring SizeOfFastIoDispatch, then an IRP; file data round-trips through either path.
// The redirector's shares carry hostsim's workload (tests/hostsim).
#include <string>
#include <utility>
#include <vector>

#include "kmodel/fs_model.h"
#include "../model_test_util.h"

namespace {

// Filters made of the model's lower driver that pass every IRP down and detach when told, and
// short ways to open, write and read.
const std::u16string Volume1 = u"\\Device\\HarddiskVolume1";

// The FastIoDetachDevice calls the model's lower driver received, as (source, target); a device
// is deleted on the deleting thread, so the calls come in on the test's own thread.
using DetachCall = std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>;
std::vector<DetachCall> DetachCalls;

// As a filter does when the device below it goes: detach, then delete its own device.
void NTAPI DetachAndDelete(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    DetachCalls.emplace_back(source, target);
    IoDetachDevice(target);
    km::DeleteModelDevice(source);
}

// Gives the model's lower driver a fast I/O table with only FastIoDetachDevice, of `size` bytes.
void FilterFastIo(ULONG size = sizeof(FAST_IO_DISPATCH))
{
    static FAST_IO_DISPATCH table;
    table = FAST_IO_DISPATCH{};
    table.SizeOfFastIoDispatch = size;
    table.FastIoDetachDevice = DetachAndDelete;
    km::ModelDriver()->FastIoDispatch = &table;
    DetachCalls.clear();
}

// A device of the model's lower driver attached on top of `target`'s stack that passes every IRP
// to the device it attached to. `copyBufferFlags`: takes DO_BUFFERED_IO / DO_DIRECT_IO from it,
// as a well-behaved filter does.
PDEVICE_OBJECT AttachPassThrough(PDEVICE_OBJECT target, bool copyBufferFlags = true)
{
    PDEVICE_OBJECT filter = km::CreateModelDevice({target->DeviceType});
    PDEVICE_OBJECT lower = nullptr;
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(filter, target, &lower), STATUS_SUCCESS);
    if (copyBufferFlags) {
        filter->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    }
    km::SetModelDeviceHandler(filter, [lower](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    });
    return filter;
}

HANDLE Create(const std::u16string& name, ULONG disposition = FILE_OPEN_IF)
{
    km::OpenResult opened = km::CreateFile(name, disposition);
    EXPECT_EQ(opened.status, STATUS_SUCCESS) << "opening " << std::string(name.begin(), name.end());
    return opened.handle;
}

std::string ReadAll(HANDLE file, ULONG length)
{
    std::string data(length, '\0');
    data.resize(km::ReadFile(file, 0, data.data(), length).information);
    return data;
}

// One fixture for the file-system tests, the death tests among them included.
class FsTest : public ModelDeathTest {
protected:
    // A disk file system with the given table and one mounted volume with an open file, which
    // the test closes.
    void Start(const km::FileSystemOptions& options)
    {
        fs = km::StartFileSystem(options);
        storage = km::CreateStorageDevice(km::StorageType::Disk);
        file = Create(Volume1 + u"\\data.bin", FILE_CREATE);
        km::ResetFileSystemCalls(fs);
    }

    km::FileSystem* fs = nullptr;
    PDEVICE_OBJECT storage = nullptr;
    HANDLE file = nullptr;
};

// Death tests run first, by their suite's name.
using FsDeathTest = FsTest;

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

// A tape file system comes last; one of another type is told of when it registers, but lies in
// no queue that a replay walks.
TEST_F(FsTest, ReplayTellsOfEveryRegisteredFileSystemByKindInRegistrationOrder)
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

TEST_F(FsTest, FirstOpenForDataMountsTheVolumeThroughTheControlStackAndOpensOnIt)
{
    km::FileSystem* fat = km::StartFileSystem();
    PDEVICE_OBJECT filter = AttachPassThrough(km::FileSystemControlDevice(fat));
    storage = km::CreateStorageDevice(km::StorageType::Disk);
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

TEST_F(FsTest, AVolumeNoFileSystemTakesIsUnrecognized)
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

// The newer file system holds the mount while every other opener waits on the device lock; its
// refusal, completed from this thread, passes the volume on to the older one, which mounts on the
// system worker thread; then every opener gets in.
TEST_F(FsTest, APendedMountHoldsEveryOpenerAndARefusalPassesTheVolumeOnToAWorkersMount)
{
    km::FileSystemOptions onWorker;
    onWorker.mount = km::MountBehaviour::PendOnWorker;
    km::FileSystem* older = km::StartFileSystem(onWorker);
    km::FileSystemOptions holding;
    holding.name = u"HoldingFat";
    holding.mount = km::MountBehaviour::Pend;
    km::FileSystem* newer = km::StartFileSystem(holding);
    storage = km::CreateStorageDevice(km::StorageType::Disk);

    constexpr int Openers = 3;
    std::atomic<NTSTATUS> statuses[Openers];
    km::Thread* threads[Openers];
    for (int i = 0; i < Openers; ++i) {
        statuses[i] = STATUS_PENDING;
        // Each opener's status lands in its slot.
        threads[i] = km::StartThread(nullptr, [name = Volume1 + u"\\f" + char16_t(u'0' + i), status = &statuses[i]] {
            km::OpenResult opened = km::CreateFile(name, FILE_OPEN_IF);
            if (NT_SUCCESS(opened.status)) {
                ZwClose(opened.handle);
            }
            status->store(opened.status);
        });
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

// An open file keeps the dismounted volume until it closes, while the next open mounts afresh and
// finds the files the medium holds; then deleting the storage device dismounts the fresh volume,
// telling its filter.
TEST_F(FsTest, TheDismountedVolumeGoesAtItsLastCloseTellingEachAttachedDriverBottomUp)
{
    km::FileSystem* fat = km::StartFileSystem();
    storage = km::CreateStorageDevice(km::StorageType::Disk);
    HANDLE old = Create(Volume1 + u"\\kept.txt", FILE_CREATE);
    ASSERT_TRUE(NT_SUCCESS(km::WriteFile(old, 0, "kept", 4).status));
    PDEVICE_OBJECT volume = km::MountedVolume(storage);
    FilterFastIo();
    PDEVICE_OBJECT lowerFilter = AttachPassThrough(volume);
    PDEVICE_OBJECT upperFilter = AttachPassThrough(volume);
    ObReferenceObject(volume);

    ASSERT_EQ(km::DismountVolume(storage), STATUS_SUCCESS);
    EXPECT_TRUE(DetachCalls.empty()) << "the volume waits for its last file";
    EXPECT_EQ(km::MountedVolume(storage), nullptr);
    EXPECT_EQ(storage->Vpb->DeviceObject, nullptr) << "the storage device has a fresh VPB";
    EXPECT_EQ(km::DismountVolume(storage), STATUS_VOLUME_DISMOUNTED);
    char byte;
    EXPECT_EQ(km::ReadFile(old, 0, &byte, 1).status, STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(km::ModelDeviceIrps(upperFilter).back().stack.MajorFunction, IRP_MJ_READ)
        << "the old handle's requests still go down the old stack";
    PDEVICE_OBJECT disk = nullptr;
    EXPECT_EQ(IoGetDiskDeviceObject(volume, &disk), STATUS_VOLUME_DISMOUNTED) << "no storage once dismounted";

    HANDLE fresh = Create(Volume1 + u"\\kept.txt", FILE_OPEN);
    PDEVICE_OBJECT freshVolume = km::MountedVolume(storage);
    EXPECT_NE(freshVolume, volume);
    ZwClose(old);
    std::vector<DetachCall> expected{{lowerFilter, volume}, {upperFilter, lowerFilter}};
    EXPECT_EQ(DetachCalls, expected);
    EXPECT_EQ(km::ObjectReferenceCount(volume), 1) << "deleted: only the test's reference is left";
    ObDereferenceObject(volume);
    ULONG count = 0;
    IoEnumerateDeviceObjectList(km::FileSystemDriver(fat), nullptr, 0, &count);
    EXPECT_EQ(count, 2u) << "the control device and the fresh volume are left";
    EXPECT_EQ(km::CallsOf(fat).mounts, 2u);
    EXPECT_EQ(km::CallsOf(fat).irps[IRP_MJ_CREATE], 3u) << "the opens of the volume gone stay counted";
    EXPECT_EQ(ReadAll(fresh, 16), "kept") << "the medium outlives its volume";
    EXPECT_EQ(km::WriteFile(fresh, 0, "x", 1).status, STATUS_SUCCESS) << "the new volume is untouched";
    ZwClose(fresh);

    PDEVICE_OBJECT freshFilter = AttachPassThrough(freshVolume);
    km::DeleteStorageDevice(storage);
    expected.emplace_back(freshFilter, freshVolume);
    EXPECT_EQ(DetachCalls, expected);
    EXPECT_EQ(km::FindDevice(Volume1), nullptr);
}

// SizeOfFastIoDispatch must reach past FastIoDetachDevice for it to be called: a table that ends
// at the member's offset is not asked, and a filter left attached is a bug check.
TEST_F(FsDeathTest, AFilterWhoseTableEndsBeforeFastIoDetachDeviceIsLeftAttached)
{
    km::StartFileSystem();
    storage = km::CreateStorageDevice(km::StorageType::Disk);
    ASSERT_EQ(km::MountVolume(storage), STATUS_SUCCESS);
    FilterFastIo(FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice) + 1);
    AttachPassThrough(km::MountedVolume(storage));
    ASSERT_EQ(km::DismountVolume(storage), STATUS_SUCCESS);
    EXPECT_EQ(DetachCalls.size(), 1u) << "one byte past the offset is enough";

    ASSERT_EQ(km::MountVolume(storage), STATUS_SUCCESS);
    FilterFastIo(FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDetachDevice));
    AttachPassThrough(km::MountedVolume(storage));
    EXPECT_DEATH(km::DismountVolume(storage), "still attached to it");
    km::ModelDriver()->FastIoDispatch = nullptr;
}



// How a file system's table is shaped, and which requests its members serve.
struct TableCase {
    const char* name;
    km::FastIoTableKind table;
    ULONG shortTableSize;    // with a Short table
    uint32_t omitted;        // FastIoMemberBit of members left null
    bool declines;           // every member answers FALSE
    bool write, read, basic, standard;  // served by the fast I/O member rather than an IRP
    size_t asked;            // fast I/O calls made
};

void PrintTo(const TableCase& c, std::ostream* out) { *out << c.name; }

const TableCase TableCases[] = {
    {"AFullTableServesEverything", km::FastIoTableKind::Full, 0, 0, false, true, true, true, true, 4},
    {"AMemberThatAnswersFalseIsFollowedByAnIrp", km::FastIoTableKind::Full, 0, 0, true, false, false, false, false, 4},
    // A size one past a member's offset reaches the member; the next member lies beyond the table.
    {"OnlyMembersBeforeSizeOfFastIoDispatchAreCalled", km::FastIoTableKind::Short,
     km::FastIoMemberOffset(km::FastIoMember::QueryBasicInfo) + 1, 0, false, true, true, true, false, 3},
    {"ATableEndingAtTheMemberOrLackingItMeansAnIrp", km::FastIoTableKind::Short,
     km::FastIoMemberOffset(km::FastIoMember::Write), km::FastIoMemberBit(km::FastIoMember::Read), false, false, false, false, false, 0},
    {"WithoutATableEveryRequestIsAnIrp", km::FastIoTableKind::Missing, 0, 0, false, false, false, false, false, 0},
};

class FastIoTableTest : public FsTest, public ::testing::WithParamInterface<TableCase> {};

// A write past the end, a read, and both queries: each by its member or by an IRP, with the same
// result either way; a member is called with the top device of the stack.
TEST_P(FastIoTableTest, ServesEachRequestByItsMemberOrAnIrp)
{
    const TableCase& c = GetParam();
    km::FileSystemOptions options;
    options.fastIo = c.table;
    options.shortTableSize = c.shortTableSize;
    options.omittedMembers = c.omitted;
    Start(options);
    km::SetFastIoDeclines(fs, c.declines);

    km::FileIoResult written = km::WriteFile(file, 4, "tail", 4);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 4u);
    EXPECT_EQ(ReadAll(file, 64), std::string("\0\0\0\0tail", 8)) << "a write past the end extends the file";
    FILE_BASIC_INFORMATION basic{};
    EXPECT_EQ(km::QueryInformationFile(file, &basic, sizeof basic, FileBasicInformation).fastIo, c.basic);
    EXPECT_EQ(basic.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));
    FILE_STANDARD_INFORMATION standard{};
    EXPECT_EQ(km::QueryInformationFile(file, &standard, sizeof standard, FileStandardInformation).fastIo, c.standard);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 8);

    km::FileSystemCalls calls = km::CallsOf(fs);
    EXPECT_EQ(calls.irps[IRP_MJ_WRITE], c.write ? 0u : 1u);
    EXPECT_EQ(calls.irps[IRP_MJ_READ], c.read ? 0u : 1u);
    EXPECT_EQ(calls.irps[IRP_MJ_QUERY_INFORMATION], (c.basic ? 0u : 1u) + (c.standard ? 0u : 1u));
    EXPECT_EQ(calls.fastIoCalls.size(), c.asked);
    for (const km::FastIoCall& call : calls.fastIoCalls) {
        EXPECT_EQ(call.device, km::MountedVolume(storage)) << "called with the top of the stack";
    }
    char past;
    EXPECT_EQ(km::ReadFile(file, 8, &past, 1).status, STATUS_END_OF_FILE);

    // A user caller needs the right access and a whole buffer, whichever way the request goes.
    km::RunAsUser([&] {
        km::OpenResult opened = km::CreateFile(Volume1 + u"\\data.bin", FILE_OPEN, FILE_READ_ATTRIBUTES, false);
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        EXPECT_EQ(km::ReadFile(opened.handle, 0, &past, 1, false).status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(km::QueryInformationFile(opened.handle, &basic, sizeof basic, FileBasicInformation, false).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(km::QueryInformationFile(opened.handle, &basic, sizeof basic - 1, FileBasicInformation, false).status,
                  STATUS_INFO_LENGTH_MISMATCH);
        NtClose(opened.handle);
    });
    ZwClose(file);
}

INSTANTIATE_TEST_SUITE_P(, FastIoTableTest, ::testing::ValuesIn(TableCases), ByName());

// The top device's driver decides: a filter's driver without a table means an IRP even though
// the file system has one, and a buffered volume's buffer method travels with the filter's flags;
// a filter above that did not copy the method breaks the read.
TEST_F(FsDeathTest, AFilterWithoutATableGetsIrpsWithTheBufferMethodItCopied)
{
    km::FileSystemOptions options;
    options.volumeFlags = DO_BUFFERED_IO;
    Start(options);
    PDEVICE_OBJECT filter = AttachPassThrough(km::MountedVolume(storage));
    EXPECT_EQ(km::WriteFile(file, 0, "buffered", 8).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(file, 8), "buffered");
    std::vector<km::RecordedIrp> irps = km::ModelDeviceIrps(filter);
    ASSERT_EQ(irps.size(), 2u);
    EXPECT_NE(irps[0].irpFlags & IRP_BUFFERED_IO, 0u);
    EXPECT_EQ(km::CallsOf(fs).fastIoCalls.size(), 0u) << "the filter's driver has no table";

    AttachPassThrough(filter, false);
    char buffer[4];
    EXPECT_DEATH(km::ReadFile(file, 0, buffer, sizeof buffer), "without a system buffer");
    ZwClose(file);
}

}  // namespace
