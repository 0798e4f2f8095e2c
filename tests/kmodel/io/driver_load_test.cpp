// Loading driver images: DriverEntry's thread, IRQL and arguments, the driver object's name
// options, unwinding after a failed start, the report of what a driver left behind, and unloading.
// A driver without an unload routine, as the host is, stays until the shutdown of every host test;
// what an unload routine left is reported through the driver service (driver_service_test).
#include "io_test_util.h"

namespace {

enum Scenario : LONG { StartWithUnload = 0, StartWithoutUnload = 1, FailClean = 2, FailLeaky = 3, UnloadLeaky = 4 };

class IoDriverLoadTest : public KernelTest {
protected:
    km::DriverLoadResult Load(Scenario scenario, km::DriverLoadOptions options = {})
    {
        options.beforeEntry = [scenario](km::Image* image) {
            *static_cast<LONG*>(km::ImageSymbol(image, "IoTestScenario")) = scenario;
        };
        return km::LoadDriver(km::ImagePath("iotest.so"), options);
    }

    template <typename T>
    T& Variable(km::Image* image, const char* name)
    {
        return *static_cast<T*>(km::ImageSymbol(image, name));
    }
};

TEST_F(IoDriverLoadTest, DriverEntryRunsOnASystemThreadAtPassiveLevel)
{
    km::DriverLoadResult loaded;
    km::RunAsUser([&] { loaded = Load(StartWithUnload); });
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    EXPECT_EQ(Variable<LONG>(loaded.image, "IoTestEntryIrql"), PASSIVE_LEVEL);
    EXPECT_EQ(Variable<ULONG_PTR>(loaded.image, "IoTestEntryProcessId"), 4u) << "the System process";
    EXPECT_EQ(Variable<LONG>(loaded.image, "IoTestEntryPreviousMode"), KernelMode);
    std::u16string registryPath(Variable<WCHAR[128]>(loaded.image, "IoTestRegistryPath"),
                                Variable<USHORT>(loaded.image, "IoTestRegistryPathLength") / sizeof(WCHAR));
    EXPECT_EQ(registryPath, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\iotest");

    PDRIVER_OBJECT driver = loaded.driver;
    EXPECT_EQ(km::FindDriver(u"\\Driver\\iotest"), driver);
    EXPECT_EQ(FromCounted(driver->DriverName), u"\\Driver\\iotest");
    EXPECT_EQ(FromCounted(driver->DriverExtension->ServiceKeyName), u"iotest");
    // The image's range holds its code.
    auto start = reinterpret_cast<ULONG_PTR>(driver->DriverStart);
    auto entry = reinterpret_cast<ULONG_PTR>(driver->DriverInit);
    EXPECT_TRUE(entry >= start && entry < start + driver->DriverSize) << std::hex << entry << " " << start;
    UNICODE_STRING name = driver->DriverName;
    PVOID byName = nullptr;
    EXPECT_EQ(ObReferenceObjectByName(&name, 0, nullptr, 0, *IoDeviceObjectType, KernelMode, nullptr, &byName),
              STATUS_OBJECT_TYPE_MISMATCH);
    PDEVICE_OBJECT device = km::FindDevice(u"\\Device\\IoTest");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(km::SendIrp(device, km::IrpRequest{IRP_MJ_READ}).status, STATUS_INVALID_DEVICE_REQUEST)
        << "a major function the driver left alone";
    km::OpenResult opened = km::OpenFile(u"\\Device\\IoTest", true);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    ZwClose(opened.handle);
    EXPECT_EQ(Variable<LONG>(loaded.image, "IoTestCreates"), 1);
    EXPECT_EQ(Variable<LONG>(loaded.image, "IoTestCloses"), 1);

    EXPECT_EQ(km::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(km::FindDriver(u"\\Driver\\iotest"), nullptr);
    EXPECT_EQ(km::FindDevice(u"\\Device\\IoTest"), nullptr);
    EXPECT_EQ(km::TakeDriverLeakReport(), "");
}

TEST_F(IoDriverLoadTest, TheDriverNameIsTakenByteForByte)
{
    km::DriverLoadOptions options;
    options.driverName = std::u16string(u"\\Driver\\Sample\0", 15);
    km::DriverLoadResult loaded = Load(StartWithUnload, options);
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    EXPECT_EQ(loaded.driver->DriverName.Length, 30) << "the terminating U+0000 is counted";
    EXPECT_EQ(km::FindDriver(*options.driverName), loaded.driver);
    EXPECT_EQ(km::FindDriver(u"\\Driver\\Sample"), nullptr);
    km::UnloadDriver(loaded.driver);

    options.driverName = u"Sample";
    options.serviceName = u"SampleService";
    loaded = Load(StartWithUnload, options);
    ASSERT_EQ(loaded.status, STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(loaded.driver->DriverName), u"Sample");
    EXPECT_EQ(FromCounted(loaded.driver->DriverExtension->ServiceKeyName), u"SampleService");
    std::u16string registryPath(Variable<WCHAR[128]>(loaded.image, "IoTestRegistryPath"),
                                Variable<USHORT>(loaded.image, "IoTestRegistryPathLength") / sizeof(WCHAR));
    EXPECT_EQ(registryPath, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\SampleService");
    km::UnloadDriver(loaded.driver);

    options.driverName = u"";
    loaded = Load(StartWithUnload, options);
    ASSERT_EQ(loaded.status, STATUS_SUCCESS);
    EXPECT_EQ(loaded.driver->DriverName.Length, 0);
    EXPECT_EQ(loaded.driver->DriverName.Buffer, nullptr);
    km::UnloadDriver(loaded.driver);
}

TEST_F(IoDriverLoadTest, ANameAlreadyLoadedOrAMissingImageIsRefused)
{
    km::DriverLoadOptions options;
    options.driverName = u"\\Driver\\ModelLower";
    km::ModelDriver();
    km::DriverLoadResult loaded = Load(StartWithUnload, options);
    EXPECT_EQ(loaded.status, STATUS_IMAGE_ALREADY_LOADED);
    EXPECT_EQ(loaded.driver, nullptr);

    loaded = km::LoadDriver(km::ImagePath("no_such_driver.so"));
    EXPECT_EQ(loaded.status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(loaded.error.empty());
}

// A failed start that cleaned up leaves nothing; what one left is reported and released, and a
// report nobody took fails the shutdown.
TEST_F(IoDriverLoadTest, WhatAFailedStartLeftIsReportedAndReleased)
{
    km::DriverLoadResult loaded = Load(FailClean);
    EXPECT_EQ(loaded.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(loaded.driver, nullptr);
    EXPECT_EQ(km::FindDriver(u"\\Driver\\iotest"), nullptr);
    EXPECT_EQ(km::FindDevice(u"\\Device\\IoTest"), nullptr);
    EXPECT_EQ(km::TakeDriverLeakReport(), "");

    PDEVICE_OBJECT lower = km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\IoTestLower"});
    loaded = Load(FailLeaky);
    EXPECT_EQ(loaded.status, STATUS_UNSUCCESSFUL);
    std::string report = km::TakeDriverLeakReport();
    const char* prefix = "driver \\Driver\\iotest (DriverEntry failed with 0xC0000001): ";
    EXPECT_NE(report.find(std::string(prefix) + "device \\Device\\IoTest not deleted"), std::string::npos) << report;
    EXPECT_NE(report.find("on device \\Device\\IoTestLower, opened by driver \\Driver\\iotest"), std::string::npos)
        << report;
    EXPECT_NE(report.find("(1 stack locations) not freed, allocated by driver \\Driver\\iotest"), std::string::npos)
        << report;
    EXPECT_NE(report.find("device \\Device\\IoTestLower: 1 reference not dropped, held by driver \\Driver\\iotest"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("'IoTd' of 48 bytes not freed"), std::string::npos) << report;
    EXPECT_EQ(km::FindDevice(u"\\Device\\IoTest"), nullptr);
    EXPECT_EQ(km::ObjectReferenceCount(lower), 1) << "the driver's reference was dropped for it";
    EXPECT_EQ(km::ModelDeviceIrps(lower).size(), 3u) << "its handle was closed: create, cleanup, close";
    EXPECT_EQ(km::OutstandingIrps(), 0u);

    EXPECT_EQ(Load(FailLeaky).status, STATUS_UNSUCCESSFUL);
    report = km::Shutdown();
    EXPECT_EQ(report.find("left behind by drivers:\ndriver \\Driver\\iotest"), 0u) << report;
    km::Boot();
}

TEST_F(IoDriverLoadTest, AFileReferenceLeftAtShutdownIsReportedWithoutCallingTheGoneDriver)
{
    km::DriverLoadResult loaded = Load(StartWithoutUnload);
    ASSERT_EQ(loaded.status, STATUS_SUCCESS);
    km::OpenResult opened = km::OpenFile(u"\\Device\\IoTest", true, GENERIC_READ, OBJ_KERNEL_HANDLE);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(opened.handle, 0, *IoFileObjectType, KernelMode, (PVOID*)&file, nullptr),
              STATUS_SUCCESS);
    ZwClose(opened.handle);
    EXPECT_EQ(Variable<LONG>(loaded.image, "IoTestCloses"), 0) << "the reference holds the close back";
    std::string report = km::Shutdown();  // the driver's image is gone before the reference is dropped
    EXPECT_NE(report.find("on device \\Device\\IoTest: 1 reference not dropped, held by the test or the model"),
              std::string::npos)
        << report;
    km::Boot();
}

}  // namespace
