// Loading driver images: DriverEntry's thread, IRQL and arguments, the driver object's name
// options, unwinding after a failed start, the report of what a driver left behind, and unloading.
// A driver without an unload routine, as the host is, stays until the shutdown of every host test;
// what an unload routine left is reported through the driver service (driver_service_test).
#include "io_test_util.h"

namespace {

using IoDriverLoadTest = KernelTest;

TEST_F(IoDriverLoadTest, DriverEntryRunsOnASystemThreadAtPassiveLevel)
{
    km::DriverLoadResult loaded;
    km::RunAsUser([&] { loaded = LoadIoTest(StartWithUnload); });
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    EXPECT_EQ(IoTestVariable<LONG>(loaded.image, "IoTestEntryIrql"), PASSIVE_LEVEL);
    EXPECT_EQ(IoTestVariable<ULONG_PTR>(loaded.image, "IoTestEntryProcessId"), 4u) << "the System process";
    EXPECT_EQ(IoTestVariable<LONG>(loaded.image, "IoTestEntryPreviousMode"), KernelMode);

    PDRIVER_OBJECT driver = loaded.driver;
    EXPECT_EQ(FromCounted(driver->DriverName), u"\\Driver\\iotest");
    // The image's range holds its code.
    auto start = reinterpret_cast<ULONG_PTR>(driver->DriverStart);
    auto entry = reinterpret_cast<ULONG_PTR>(driver->DriverInit);
    EXPECT_TRUE(entry >= start && entry < start + driver->DriverSize) << std::hex << entry << " " << start;
    PVOID byName = nullptr;
    EXPECT_EQ(ReferenceDeviceByName(u"\\Driver\\iotest", &byName), STATUS_OBJECT_TYPE_MISMATCH);
    PDEVICE_OBJECT device = km::FindDevice(u"\\Device\\IoTest");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(km::SendIrp(device, km::IrpRequest{IRP_MJ_READ}).status, STATUS_INVALID_DEVICE_REQUEST)
        << "a major function the driver left alone";
    km::OpenResult opened = km::OpenFile(u"\\Device\\IoTest", true);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    ZwClose(opened.handle);

    EXPECT_EQ(km::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(km::TakeDriverLeakReport(), "");
}

// The driver object's name and service key name as given: every character counted, or empty.
TEST_F(IoDriverLoadTest, TheDriverNameIsTakenByteForByte)
{
    struct Case {
        std::u16string driverName, serviceName;  // no service name: the image's, "iotest"
    } cases[] = {
        {std::u16string(u"\\Driver\\Sample\0", 15), u""}, {u"Sample", u"SampleService"}, {u"", u"SampleService"}};
    for (const Case& c : cases) {
        km::DriverLoadOptions options;
        options.driverName = c.driverName;
        options.serviceName = c.serviceName;
        km::DriverLoadResult loaded = LoadIoTest(StartWithUnload, options);
        ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
        EXPECT_EQ(FromCounted(loaded.driver->DriverName), c.driverName) << "the terminating U+0000 is counted";
        EXPECT_EQ(loaded.driver->DriverName.Buffer == nullptr, c.driverName.empty());
        std::u16string service = c.serviceName.empty() ? u"iotest" : c.serviceName;
        EXPECT_EQ(FromCounted(loaded.driver->DriverExtension->ServiceKeyName), service);
        EXPECT_EQ(IoTestRegistryPath(loaded.image),
                  u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + service);
        if (c.driverName.rfind(u"\\Driver\\", 0) == 0) {
            EXPECT_EQ(km::FindDriver(c.driverName), loaded.driver);
        }
        EXPECT_EQ(km::FindDriver(u"\\Driver\\Sample"), nullptr);
        km::UnloadDriver(loaded.driver);
    }
}

// A failed start that cleaned up leaves nothing, as does a load refused for a driver name already
// loaded or a missing image; what a failed start left is reported and released, and a report
// nobody took fails the shutdown, with what was left at shutdown.
TEST_F(IoDriverLoadTest, WhatAFailedStartOrAShutdownFindsLeftIsReportedAndReleased)
{
    km::DriverLoadResult failed = LoadIoTest(FailClean);
    EXPECT_EQ(failed.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failed.driver, nullptr);
    EXPECT_EQ(km::FindDriver(u"\\Driver\\iotest"), nullptr);
    EXPECT_EQ(km::FindDevice(u"\\Device\\IoTest"), nullptr);
    EXPECT_EQ(km::TakeDriverLeakReport(), "");
    km::DriverLoadOptions taken;
    taken.driverName = u"\\Driver\\ModelLower";
    km::ModelDriver();
    failed = LoadIoTest(StartWithUnload, taken);
    EXPECT_EQ(failed.status, STATUS_IMAGE_ALREADY_LOADED) << "a driver name already loaded";
    EXPECT_EQ(failed.driver, nullptr);
    failed = km::LoadDriver(km::ImagePath("no_such_driver.so"));
    EXPECT_EQ(failed.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(failed.error.empty());

    PDEVICE_OBJECT lower = km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\IoTestLower"});
    EXPECT_EQ(LoadIoTest(FailLeaky).status, STATUS_UNSUCCESSFUL);
    std::string report = km::TakeDriverLeakReport();
    for (const char* line : {"driver \\Driver\\iotest (DriverEntry failed with 0xC0000001): device \\Device\\IoTest "
                             "not deleted",
                             "on device \\Device\\IoTestLower, opened by driver \\Driver\\iotest",
                             "(1 stack locations) not freed, allocated by driver \\Driver\\iotest",
                             "device \\Device\\IoTestLower: 1 reference not dropped, held by driver \\Driver\\iotest",
                             "'IoTd' of 48 bytes not freed"}) {
        EXPECT_THAT(report, HasSubstr(line));
    }
    EXPECT_EQ(km::FindDevice(u"\\Device\\IoTest"), nullptr);
    EXPECT_EQ(km::ObjectReferenceCount(lower), 1) << "the driver's reference was dropped for it";
    EXPECT_EQ(km::ModelDeviceIrps(lower).size(), 3u) << "its handle was closed: create, cleanup, close";
    EXPECT_EQ(km::OutstandingIrps(), 0u);

    EXPECT_EQ(LoadIoTest(FailLeaky).status, STATUS_UNSUCCESSFUL);

    // A file reference left at shutdown is reported without calling the driver, whose image is gone
    // before the reference is dropped.
    km::DriverLoadResult loaded = LoadIoTest(StartWithoutUnload);
    ASSERT_EQ(loaded.status, STATUS_SUCCESS);
    km::OpenResult opened = km::OpenFile(u"\\Device\\IoTest", true, GENERIC_READ, OBJ_KERNEL_HANDLE);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(opened.handle, 0, *IoFileObjectType, KernelMode, (PVOID*)&file, nullptr),
              STATUS_SUCCESS);
    ZwClose(opened.handle);
    EXPECT_EQ(IoTestVariable<LONG>(loaded.image, "IoTestCloses"), 0) << "the reference holds the close back";
    report = km::Shutdown();
    EXPECT_EQ(report.find("object references not dropped:\nfile "), 0u) << report;
    EXPECT_THAT(report, HasSubstr("on device \\Device\\IoTest: 1 reference not dropped, held by the test or the model\n"
                                  "left behind by drivers:\ndriver \\Driver\\iotest"));
    km::Boot();
}

}  // namespace
