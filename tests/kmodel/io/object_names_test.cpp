// The object name space: ObQueryNameString's answers for every buffer size, and
// symbolic links: created once, followed where names are looked up (through \DosDevices and \??),
// deleted once, and a link an unloading driver leaves reported with its image-load notify routine.
// Exact counted names with U+0000 and a space are the host's control device names (tests/driver).
#include <vector>

#include "io_test_util.h"
#include "kmodel/fs_model.h"

namespace {

using IoObjectNamesTest = KernelTest;

// The host's control device name: "\Device\Sample" + U+0000 + U+0020.
const std::u16string ControlName(u"\\Device\\Sample\0 ", 16);

// Each buffer size gets its answer, and the size needed: the header, the name and a terminating
// U+0000 after the counted characters; an unnamed object answers an empty name.
TEST_F(IoObjectNamesTest, QueryNameAnswersTheFullNameOrTheSizeNeeded)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, ControlName});
    PDEVICE_OBJECT unnamed = km::CreateModelDevice({FILE_DEVICE_DISK});
    const ULONG header = sizeof(OBJECT_NAME_INFORMATION);
    const ULONG fullSize = header + 32 + 2;
    struct Case {
        PDEVICE_OBJECT object;
        ULONG size;
        NTSTATUS expected;
        ULONG needed;
    } cases[] = {{unnamed, 4, STATUS_INFO_LENGTH_MISMATCH, header},
                 {unnamed, header, STATUS_SUCCESS, header},
                 {device, header - 1, STATUS_INFO_LENGTH_MISMATCH, fullSize},
                 {device, header, STATUS_BUFFER_OVERFLOW, fullSize},
                 {device, fullSize - 1, STATUS_BUFFER_OVERFLOW, fullSize},  // one byte short of the terminating U+0000
                 {device, fullSize, STATUS_SUCCESS, fullSize}};
    std::vector<uint8_t> buffer(128, 0xCC);
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
    for (const Case& c : cases) {
        ULONG needed = 0;
        EXPECT_EQ(ObQueryNameString(c.object, info, c.size, &needed), c.expected) << c.size;
        EXPECT_EQ(needed, c.needed) << c.size;
        if (c.object == unnamed && c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(info->Name.Length, 0);
            EXPECT_EQ(info->Name.Buffer, nullptr);
        }
    }
    EXPECT_EQ(FromCounted(info->Name), ControlName);
    EXPECT_EQ(info->Name.MaximumLength, 34);
    EXPECT_EQ(info->Name.Buffer[16], 0) << "terminated after the counted characters";
    EXPECT_EQ(reinterpret_cast<uint8_t*>(info->Name.Buffer), buffer.data() + header);
    EXPECT_EQ((unnamed->Flags & DO_DEVICE_HAS_NAME), 0u);

    ULONG needed = 0;
    ASSERT_EQ(ObQueryNameString(km::ModelDriver(), info, 128, &needed), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(info->Name), u"\\Driver\\ModelLower") << "driver objects are named too";
}

TEST_F(IoObjectNamesTest, ALinkIsCreatedOnceFollowedAndDeletedOnceOrReportedWhenADriverLeavesIt)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, u"\\Device\\LinkTarget"});
    const std::u16string linkName = u"\\DosDevices\\L:", targetName = u"\\Device\\LinkTarget",
                         orphanName = u"\\NoDirectory\\L:";
    UNICODE_STRING link = Counted(linkName);
    UNICODE_STRING target = Counted(targetName);
    UNICODE_STRING orphan = Counted(orphanName);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateSymbolicLink(&orphan, &target), STATUS_OBJECT_PATH_NOT_FOUND);
    const std::pair<const char16_t*, NTSTATUS> names[] = {{u"\\??\\L:", STATUS_SUCCESS},
                                                          {u"\\DosDevices\\l:", STATUS_SUCCESS},
                                                          {u"\\??\\L:\\dir\\file", STATUS_OBJECT_NAME_NOT_FOUND}};
    for (const auto& [name, expected] : names) {
        PVOID object = nullptr;
        EXPECT_EQ(ReferenceDeviceByName(name, &object), expected);
        if (object != nullptr) {
            EXPECT_EQ(object, device);
            ObDereferenceObject(object);
        }
    }
    km::OpenResult opened = km::OpenFile(u"\\DosDevices\\L:", true);
    ASSERT_EQ(opened.status, STATUS_SUCCESS) << "ZwCreateFile follows the link too";
    ZwClose(opened.handle);
    EXPECT_EQ(IoDeleteSymbolicLink(&target), STATUS_OBJECT_TYPE_MISMATCH) << "a device is no link";
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND) << "deleted once";

    // A link an unloading driver left is reported and removed, with its image-load notify routine.
    km::DriverLoadResult loaded = LoadIoTest(UnloadLinkAndNotify);
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    ASSERT_EQ(km::UnloadDriver(loaded.driver), STATUS_SUCCESS);
    std::string report = km::TakeDriverLeakReport();
    EXPECT_THAT(report,
                HasSubstr("(unloaded): symbolic link \\DosDevices\\IoTest -> \\Device\\IoTest not deleted"));
    EXPECT_THAT(report, HasSubstr("(unloaded): image-load notify routine "));
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Image), 0u);
    PVOID object = nullptr;
    EXPECT_EQ(ReferenceDeviceByName(u"\\DosDevices\\IoTest", &object), STATUS_OBJECT_NAME_NOT_FOUND) << "the link went";
}

}  // namespace
