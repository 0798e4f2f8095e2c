// The object name space: its directories and ObQueryNameString's answers for every buffer size.
// Exact counted names with U+0000 and a space are the host's control device names (tests/driver).
#include <vector>

#include "io_test_util.h"

namespace {

using IoObjectNamesTest = KernelTest;

// The host's control device name: "\Device\Sample" + U+0000 + U+0020.
const std::u16string ControlName(u"\\Device\\Sample\0 ", 16);

TEST_F(IoObjectNamesTest, TheNameSpaceHasTheDeviceDriverAndFileSystemDirectoriesOnly)
{
    struct Case {
        std::u16string path;
        NTSTATUS expected;
    } cases[] = {{u"\\Device\\X", STATUS_SUCCESS},
                 {u"\\Driver\\X", STATUS_SUCCESS},
                 {u"\\FileSystem\\X", STATUS_SUCCESS},
                 {u"\\NoSuchDirectory\\X", STATUS_OBJECT_PATH_NOT_FOUND},
                 {u"Device\\X", STATUS_OBJECT_NAME_INVALID}};
    for (const Case& c : cases) {
        UNICODE_STRING name = Counted(c.path);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(km::ModelDriver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), c.expected);
        if (device != nullptr) {
            IoDeleteDevice(device);
        }
    }
}

// Each buffer size gets its answer, and the size needed: the header, the name and a terminating
// U+0000 after the counted characters.
TEST_F(IoObjectNamesTest, QueryNameAnswersTheFullNameOrTheSizeNeeded)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, ControlName});
    const ULONG header = sizeof(OBJECT_NAME_INFORMATION);
    const ULONG fullSize = header + 32 + 2;
    struct Case {
        ULONG size;
        NTSTATUS expected;
    } cases[] = {{header - 1, STATUS_INFO_LENGTH_MISMATCH},
                 {header, STATUS_BUFFER_OVERFLOW},
                 {fullSize - 1, STATUS_BUFFER_OVERFLOW},  // one byte short of the terminating U+0000
                 {fullSize, STATUS_SUCCESS}};
    std::vector<uint8_t> buffer(128, 0xCC);
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
    for (const Case& c : cases) {
        ULONG needed = 0;
        EXPECT_EQ(ObQueryNameString(device, info, c.size, &needed), c.expected) << c.size;
        EXPECT_EQ(needed, fullSize) << c.size;
    }
    EXPECT_EQ(FromCounted(info->Name), ControlName);
    EXPECT_EQ(info->Name.MaximumLength, 34);
    EXPECT_EQ(info->Name.Buffer[16], 0) << "terminated after the counted characters";
    EXPECT_EQ(reinterpret_cast<uint8_t*>(info->Name.Buffer), buffer.data() + header);

    ULONG needed = 0;
    ASSERT_EQ(ObQueryNameString(km::ModelDriver(), info, 128, &needed), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(info->Name), u"\\Driver\\ModelLower") << "driver objects are named too";
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

}  // namespace
