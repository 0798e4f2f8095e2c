// The object name space: exact counted names (case-insensitive, exact length, U+0000 and spaces
// allowed) and ObQueryNameString's answers for every buffer size.
#include <vector>

#include "io_test_util.h"

namespace {

using IoObjectNamesTest = KernelTest;

// The host's control device name: "\Device\Sample" + U+0000 + U+0020.
const std::u16string ControlName(u"\\Device\\Sample\0 ", 16);

TEST_F(IoObjectNamesTest, NameWithNulAndSpaceIsFoundOnlyByItsFullCountedName)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, ControlName});
    EXPECT_EQ(km::FindDevice(ControlName), device);
    EXPECT_EQ(km::FindDevice(std::u16string(u"\\device\\SAMPLE\0 ", 16)), device) << "case-insensitive";
    EXPECT_EQ(km::FindDevice(u"\\Device\\Sample"), nullptr) << "shorter by the U+0000 and the space";
    EXPECT_EQ(km::FindDevice(std::u16string(u"\\Device\\Sample\0", 15)), nullptr);
    EXPECT_EQ(km::FindDevice(std::u16string(u"\\Device\\Sample\0  ", 17)), nullptr) << "longer";
    km::OpenResult opened = km::OpenFile(ControlName, true);
    EXPECT_EQ(opened.status, STATUS_SUCCESS) << "opened by its full counted name";
    ZwClose(opened.handle);
    EXPECT_EQ(km::OpenFile(u"\\Device\\Sample", true).status, STATUS_OBJECT_NAME_NOT_FOUND);
    km::DeleteModelDevice(device);
    EXPECT_EQ(km::FindDevice(ControlName), nullptr);
}

TEST_F(IoObjectNamesTest, NamesThatDifferOnlyAfterANulAreDistinct)
{
    PDEVICE_OBJECT first = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, std::u16string(u"\\Device\\A\0x", 11)});
    PDEVICE_OBJECT second = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, std::u16string(u"\\Device\\A\0y", 11)});
    EXPECT_NE(first, second);
    EXPECT_EQ(km::FindDevice(std::u16string(u"\\Device\\A\0y", 11)), second);
}

TEST_F(IoObjectNamesTest, TheNameSpaceHasTheDeviceDriverAndFileSystemDirectoriesOnly)
{
    UNICODE_STRING name;
    PDEVICE_OBJECT device;
    for (std::u16string path : {u"\\Device\\X", u"\\Driver\\X", u"\\FileSystem\\X"}) {
        name = Counted(path);
        ASSERT_EQ(IoCreateDevice(km::ModelDriver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        IoDeleteDevice(device);
    }
    std::u16string missing = u"\\NoSuchDirectory\\X";
    name = Counted(missing);
    EXPECT_EQ(IoCreateDevice(km::ModelDriver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_PATH_NOT_FOUND);
    std::u16string relative = u"Device\\X";
    name = Counted(relative);
    EXPECT_EQ(IoCreateDevice(km::ModelDriver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(device, nullptr);
}

TEST_F(IoObjectNamesTest, QueryNameAnswersTheFullNameWithATerminatingNul)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, ControlName});
    std::vector<uint8_t> buffer(200, 0xCC);
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
    ULONG needed = 0;
    ASSERT_EQ(ObQueryNameString(device, info, 200, &needed), STATUS_SUCCESS);
    EXPECT_EQ(needed, sizeof(OBJECT_NAME_INFORMATION) + 32 + 2);
    EXPECT_EQ(info->Name.Length, 32);
    EXPECT_EQ(info->Name.MaximumLength, 34);
    EXPECT_EQ(FromCounted(info->Name), ControlName);
    EXPECT_EQ(info->Name.Buffer[16], 0) << "terminated after the counted characters";
    EXPECT_EQ(reinterpret_cast<uint8_t*>(info->Name.Buffer), buffer.data() + sizeof(OBJECT_NAME_INFORMATION));
}

TEST_F(IoObjectNamesTest, QueryNameWithTooSmallBuffersReportsTheSizeNeeded)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\Harddisk0"});
    ULONG fullSize = sizeof(OBJECT_NAME_INFORMATION) + (17 + 1) * sizeof(WCHAR);
    std::vector<uint8_t> buffer(fullSize, 0xCC);
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
    ULONG needed = 0;
    EXPECT_EQ(ObQueryNameString(device, info, sizeof(OBJECT_NAME_INFORMATION) - 1, &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, fullSize);
    needed = 0;
    EXPECT_EQ(ObQueryNameString(device, info, sizeof(OBJECT_NAME_INFORMATION), &needed), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, fullSize);
    needed = 0;
    EXPECT_EQ(ObQueryNameString(device, info, fullSize - 1, &needed), STATUS_BUFFER_OVERFLOW)
        << "one byte short of the terminating U+0000";
    EXPECT_EQ(needed, fullSize);
    EXPECT_EQ(ObQueryNameString(device, info, fullSize, &needed), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(info->Name), u"\\Device\\Harddisk0");
}

TEST_F(IoObjectNamesTest, UnnamedObjectsAnswerAnEmptyName)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK});
    OBJECT_NAME_INFORMATION info;
    memset(&info, 0xCC, sizeof info);
    ULONG needed = 0;
    EXPECT_EQ(ObQueryNameString(device, &info, 4, &needed), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, sizeof(OBJECT_NAME_INFORMATION));
    ASSERT_EQ(ObQueryNameString(device, &info, sizeof info, &needed), STATUS_SUCCESS);
    EXPECT_EQ(info.Name.Length, 0);
    EXPECT_EQ(info.Name.Buffer, nullptr);
    EXPECT_EQ((device->Flags & DO_DEVICE_HAS_NAME), 0u);
}

TEST_F(IoObjectNamesTest, DriverObjectsAreNamedInTheDriverDirectory)
{
    PDRIVER_OBJECT driver = km::ModelDriver();
    EXPECT_EQ(km::FindDriver(u"\\Driver\\ModelLower"), driver);
    EXPECT_EQ(km::FindDriver(u"\\driver\\modellower"), driver);
    std::vector<uint8_t> buffer(128);
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
    ULONG needed;
    ASSERT_EQ(ObQueryNameString(driver, info, 128, &needed), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(info->Name), u"\\Driver\\ModelLower");
    EXPECT_EQ(FromCounted(driver->DriverName), u"\\Driver\\ModelLower");
}

}  // namespace
