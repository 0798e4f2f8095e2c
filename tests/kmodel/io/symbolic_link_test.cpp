// Symbolic links: created once, followed where names are looked up (through \DosDevices and \??),
// deleted once, and a link an unloading driver leaves reported with its image-load notify routine.
#include "io_test_util.h"
#include "kmodel/fs_model.h"

namespace {

using SymbolicLinkTest = KernelTest;

NTSTATUS Reference(const std::u16string& name, PVOID* object)
{
    UNICODE_STRING counted = Counted(name);
    return ObReferenceObjectByName(&counted, 0, nullptr, 0, *IoDeviceObjectType, KernelMode, nullptr, object);
}

TEST_F(SymbolicLinkTest, ALinkIsCreatedOnceFollowedAndDeletedOnce)
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
    for (size_t i = 0; i < std::size(names); ++i) {
        PVOID object = nullptr;
        EXPECT_EQ(Reference(names[i].first, &object), names[i].second) << i;
        if (object != nullptr) {
            EXPECT_EQ(object, device);
            ObDereferenceObject(object);
        }
    }
    km::OpenResult opened = km::OpenFile(u"\\DosDevices\\L:", true);
    EXPECT_EQ(opened.status, STATUS_SUCCESS) << "ZwCreateFile follows the link too";
    if (opened.handle != nullptr) {
        ZwClose(opened.handle);
    }
    EXPECT_EQ(IoDeleteSymbolicLink(&target), STATUS_OBJECT_TYPE_MISMATCH) << "a device is no link";
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    PVOID object = nullptr;
    EXPECT_EQ(Reference(u"\\??\\L:", &object), STATUS_OBJECT_NAME_NOT_FOUND);
    km::DeleteModelDevice(device);
}

TEST_F(SymbolicLinkTest, AnUnloadingDriversLinkAndImageLoadRoutineAreReported)
{
    constexpr LONG UnloadLinkAndNotify = 7;
    km::DriverLoadOptions options;
    options.beforeEntry = [](km::Image* image) {
        *static_cast<LONG*>(km::ImageSymbol(image, "IoTestScenario")) = UnloadLinkAndNotify;
    };
    km::DriverLoadResult loaded = km::LoadDriver(km::ImagePath("iotest.so"), options);
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Image), 1u);
    ASSERT_EQ(km::UnloadDriver(loaded.driver), STATUS_SUCCESS);
    std::string report = km::TakeDriverLeakReport();
    EXPECT_NE(report.find("(unloaded): symbolic link \\DosDevices\\IoTest -> \\Device\\IoTest not deleted"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("(unloaded): image-load notify routine "), std::string::npos) << report;
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Image), 0u);
    PVOID object = nullptr;
    EXPECT_EQ(Reference(u"\\DosDevices\\IoTest", &object), STATUS_OBJECT_NAME_NOT_FOUND) << "the link went";
}

}  // namespace
