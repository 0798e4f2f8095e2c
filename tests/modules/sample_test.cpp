// The sample filter module, loaded by the model's driver loader beside the running host with two
// mounted volumes: it links itself, counts per volume, refuses writes to a read-only volume,
// answers the unload notice, and leaves nothing behind when it is unloaded.
#include <cstring>
#include <utility>

#include "kmodel/fs_model.h"
#include "modules/sample/sample.h"
#include "support/host_test.h"

namespace {

constexpr char16_t SampleService[] = u"sample";
constexpr char16_t SampleDevice[] = u"\\Device\\sample";
const std::u16string DiskName = u"\\Device\\SampleDisk";
const std::u16string CdRomName = u"\\Device\\SampleCdRom";

class SampleModuleTest : public HostTest {
protected:
    bool LoadAtSetUp() const override { return false; }
    void SetUp() override
    {
        HostTest::SetUp();
        km::StartStandardFileSystems();
        ASSERT_EQ(LoadHost().status, STATUS_SUCCESS) << loaded.error;
        ASSERT_EQ(km::MountVolume(km::CreateStorageDevice(km::StorageType::Disk, DiskName)), STATUS_SUCCESS);
        ASSERT_EQ(km::MountVolume(km::CreateStorageDevice(km::StorageType::CdRom, CdRomName)), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (sample != nullptr) {
            EXPECT_EQ(km::UnloadDriver(sample), STATUS_SUCCESS);
        }
        HostTest::TearDown();  // the model's report includes what the module left at its unload
    }

    NTSTATUS LoadSample(const char* image = "sample.so")
    {
        km::DriverLoadOptions options;
        options.serviceName = SampleService;
        km::DriverLoadResult result = km::LoadDriver(km::ImagePath(image), options);
        sample = result.driver;
        return result.status;
    }

    // The module's controls, sent from kernel mode to its device.
    NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output = nullptr, ULONG outputLength = 0)
    {
        return km::SendDeviceControl(km::FindDevice(SampleDevice), code, input, inputLength, output, outputLength).status;
    }
    SampleStatusReply Status()
    {
        SampleStatusReply reply{};
        EXPECT_EQ(Control(IOCTL_SAMPLE_QUERY_STATUS, nullptr, 0, &reply, sizeof(reply)), STATUS_SUCCESS);
        return reply;
    }
    // The module's status entry of a volume by its storage device's name (zeros and a failure when
    // the module has none).
    SampleVolumeStatus Volume(const std::u16string& name)
    {
        SampleStatusReply reply = Status();
        for (uint32_t index = 0; index < reply.VolumeCount; index += 1) {
            const SampleVolumeStatus& volume = reply.Volumes[index];
            if (std::u16string(reinterpret_cast<const char16_t*>(volume.StorageName), volume.StorageNameBytes / 2) ==
                name) {
                return volume;
            }
        }
        ADD_FAILURE() << "the module knows no volume on this storage device";
        return SampleVolumeStatus{};
    }
    static SampleReadOnlyRequest ReadOnlyRequest(const std::u16string& name, bool readOnly)
    {
        SampleReadOnlyRequest request{};
        std::memcpy(request.StorageName, name.data(), name.size() * sizeof(char16_t));
        request.StorageNameBytes = static_cast<uint32_t>(name.size() * sizeof(char16_t));
        request.ReadOnly = readOnly ? 1 : 0;
        return request;
    }

    PDRIVER_OBJECT sample = nullptr;
};

// Linked at load, the module counts per volume; a read-only volume refuses write IRPs and declines
// fast I/O writes; the read-only switch checks its input and its caller.
TEST_F(SampleModuleTest, SampleLinksAtLoadCountsPerVolumeAndRefusesWritesToAReadOnlyVolume)
{
    ASSERT_EQ(LoadSample(), STATUS_SUCCESS);
    EXPECT_TRUE(Linked());
    SampleStatusReply before = Status();
    EXPECT_EQ(before.Build, 1u);
    EXPECT_EQ(before.Linked, 1u);
    EXPECT_EQ(before.VolumeCount, 2u);  // both mounted volumes, offered by RegisterEntryPoints
    const uint32_t requestsBefore = Volume(DiskName).Requests;

    km::OpenResult file = km::CreateFile(DiskName + u"\\a.txt", FILE_OVERWRITE_IF);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    char data[16] = "sample";
    EXPECT_EQ(km::WriteFile(file.handle, 0, data, sizeof(data)).status, STATUS_SUCCESS);
    char back[16] = {};
    EXPECT_EQ(km::ReadFile(file.handle, 0, back, sizeof(back)).status, STATUS_SUCCESS);
    EXPECT_STREQ(back, "sample");
    km::RunAsUser([] {});  // a process created and ended while linked

    SampleVolumeStatus counted = Volume(DiskName);
    EXPECT_GT(counted.Requests, requestsBefore);  // the create at least
    EXPECT_GE(counted.FastIo, 1u);                // the read or the write
    EXPECT_EQ(Volume(CdRomName).Requests + Volume(CdRomName).FastIo, 0u);
    EXPECT_EQ(Status().ProcessNotifications, before.ProcessNotifications + 2);  // creation and exit
    EXPECT_EQ(counted.DeclinedFastIo + counted.RefusedWrites, 0u);

    SampleReadOnlyRequest on = ReadOnlyRequest(DiskName, true);
    ASSERT_EQ(Control(IOCTL_SAMPLE_SET_READ_ONLY, &on, sizeof(on)), STATUS_SUCCESS);
    km::FileIoResult refused = km::WriteFile(file.handle, 0, data, sizeof(data));
    EXPECT_EQ(refused.status, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_FALSE(refused.fastIo);
    EXPECT_EQ(km::ReadFile(file.handle, 0, back, sizeof(back)).status, STATUS_SUCCESS);  // reads still flow
    SampleVolumeStatus volume = Volume(DiskName);
    EXPECT_EQ(volume.ReadOnly, 1u);
    EXPECT_EQ(volume.DeclinedFastIo, 1u);  // the fast write first, then its IRP
    EXPECT_EQ(volume.RefusedWrites, 1u);

    SampleReadOnlyRequest off = ReadOnlyRequest(DiskName, false);
    ASSERT_EQ(Control(IOCTL_SAMPLE_SET_READ_ONLY, &off, sizeof(off)), STATUS_SUCCESS);
    EXPECT_EQ(km::WriteFile(file.handle, 0, data, sizeof(data)).status, STATUS_SUCCESS);
    ZwClose(file.handle);

    // The read-only switch checks what it is given and who may use it.
    SampleReadOnlyRequest unknown = ReadOnlyRequest(u"\\Device\\NoSuchVolume", true);
    EXPECT_EQ(Control(IOCTL_SAMPLE_SET_READ_ONLY, &unknown, sizeof(unknown)), STATUS_NOT_FOUND);
    SampleReadOnlyRequest oversized = ReadOnlyRequest(DiskName, true);
    oversized.StorageNameBytes = sizeof(oversized.StorageName) + 2;
    EXPECT_EQ(Control(IOCTL_SAMPLE_SET_READ_ONLY, &oversized, sizeof(oversized)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(IOCTL_SAMPLE_SET_READ_ONLY, &oversized, sizeof(oversized) - 1), STATUS_INVALID_PARAMETER);

    // From user mode: SeLoadDriverPrivilege, enabled, or nothing; the notice not at all.
    std::vector<uint8_t> input(reinterpret_cast<uint8_t*>(&on), reinterpret_cast<uint8_t*>(&on + 1));
    using Privileges = std::vector<std::pair<ULONG, bool>>;
    for (const Privileges& privileges : {Privileges{}, Privileges{{SE_LOAD_DRIVER_PRIVILEGE, true}}}) {
        const bool privileged = !privileges.empty();
        km::RunAsUser(
            [&] {
                km::OpenResult opened = km::OpenFile(SampleDevice, false);
                ASSERT_EQ(opened.status, STATUS_SUCCESS);
                EXPECT_EQ(ControlThroughHandle(opened.handle, false, IOCTL_SAMPLE_SET_READ_ONLY, input, 0).status,
                          privileged ? STATUS_SUCCESS : STATUS_PRIVILEGE_NOT_HELD);
                std::vector<uint8_t> notice(sizeof(UnloadNoticeInput));
                EXPECT_EQ(ControlThroughHandle(opened.handle, false, IOCTL_MODULE_UNLOAD_NOTICE, notice,
                                               UNLOAD_NOTICE_OUTPUT_BYTES).status,
                          STATUS_ACCESS_DENIED);
            },
            privileges);
        EXPECT_EQ(Volume(DiskName).ReadOnly, privileged ? 1u : 0u);
        EXPECT_TRUE(Linked());
    }
}

// The host's way to make the module let go, then a second build loaded in its place (a swap); that
// one unloaded without the notice (a controller unlinked it): DriverUnload withdraws the entry
// points itself, so the host keeps nothing that points into the unloaded image.
TEST_F(SampleModuleTest, UnloadNoticeUnlinksAndWithdrawsAndUnloadWithoutItWithdrawsToo)
{
    ASSERT_EQ(LoadSample(), STATUS_SUCCESS);
    UnloadNoticeInput notice{UNLOAD_NOTICE_INPUT_VALUES};
    uint8_t output[UNLOAD_NOTICE_OUTPUT_BYTES] = {};
    ASSERT_EQ(Control(IOCTL_MODULE_UNLOAD_NOTICE, &notice, sizeof(notice), output, sizeof(output)), STATUS_SUCCESS);
    EXPECT_FALSE(Linked());
    SampleStatusReply status = Status();
    EXPECT_EQ(status.Linked, 0u);
    EXPECT_EQ(status.VolumeCount, 0u);  // every volume given back through DetachNotify
    ASSERT_EQ(km::UnloadDriver(std::exchange(sample, nullptr)), STATUS_SUCCESS);

    ASSERT_EQ(LoadSample("sample2.so"), STATUS_SUCCESS);
    EXPECT_TRUE(Linked());
    EXPECT_EQ(Status().Build, 2u);
    km::OpenResult file = km::CreateFile(DiskName + u"\\b.txt", FILE_OVERWRITE_IF);
    EXPECT_EQ(file.status, STATUS_SUCCESS);
    ZwClose(file.handle);
    EXPECT_GT(Volume(DiskName).Requests, 0u);

    ASSERT_TRUE(Accepted(KernelCommand(CommandBlock(HostCommandSetLink, {}, HOST_LINK_OFF))));
    ASSERT_EQ(km::UnloadDriver(std::exchange(sample, nullptr)), STATUS_SUCCESS);
    // Linked again: a dispatch routine left behind would be a call into the unloaded image (0xCE).
    ASSERT_TRUE(Accepted(KernelCommand(CommandBlock(HostCommandSetLink, {}, HOST_LINK_ON))));
    file = km::CreateFile(DiskName + u"\\c.txt", FILE_OVERWRITE_IF);  // passes down
    EXPECT_EQ(file.status, STATUS_SUCCESS);
    ZwClose(file.handle);
    ASSERT_TRUE(Accepted(KernelCommand(CommandBlock(HostCommandSetLink, {}, HOST_LINK_OFF))));
}

// Without a host the load fails with the open's status and leaves no device behind (the model's
// report at the end would name it).
class SampleWithoutHostTest : public KernelTest {};

TEST_F(SampleWithoutHostTest, LoadFailsCleanlyWithoutTheHost)
{
    km::DriverLoadOptions options;
    options.serviceName = SampleService;
    EXPECT_EQ(km::LoadDriver(km::ImagePath("sample.so"), options).status, STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
