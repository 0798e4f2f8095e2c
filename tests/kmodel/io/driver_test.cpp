// Loading driver images: DriverEntry's thread, IRQL and arguments, the driver object's name
// options, unwinding after a failed start, the report of what a driver left behind, and unloading.
// A driver without an unload routine, as the host is, stays until the shutdown of every host test.
// The driver services: ZwLoadDriver and ZwUnloadDriver through a service key, their refusals and
// the report of what an unload routine left, the load-driver privilege of user-mode callers, and
// the bug check for a call into an unloaded image. Tokens and privileges: the System process holds
// all of them enabled; a user process holds what the test grants; SeSinglePrivilegeCheck passes
// kernel mode always and user mode on an enabled privilege; RtlAdjustPrivilege enables what the
// token holds.
#include <optional>

#include "io_test_util.h"
#include "kmodel/cm_model.h"

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

const std::u16string ServicesKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const std::u16string IoTestImage = u"\\SystemRoot\\System32\\drivers\\iotest.sys";

// Writes a volatile service key; an absent image path leaves "ImagePath" out.
void WriteService(const std::u16string& service, const std::optional<std::u16string>& imagePath,
                  IoTestScenario scenario = StartWithUnload, ULONG type = SERVICE_KERNEL_DRIVER)
{
    if (imagePath.has_value()) {
        km::WriteRegistryValue(ServicesKey + service, u"ImagePath", REG_EXPAND_SZ, km::RegistryString(*imagePath), true);
    }
    km::WriteRegistryValue(ServicesKey + service, u"Type", REG_DWORD, km::RegistryDword(type), true);
    km::WriteRegistryValue(ServicesKey + service, u"Scenario", REG_DWORD, km::RegistryDword(scenario), true);
}

NTSTATUS CallService(NTSTATUS(NTAPI* service)(PUNICODE_STRING), const std::u16string& name)
{
    std::u16string full = ServicesKey + name;
    UNICODE_STRING path = Counted(full);
    return service(&path);
}

// The key path spelled in lower case names the same service.
const std::u16string SpelledKeyPath = u"\\registry\\machine\\system\\currentcontrolset\\services\\IoSvc";

// A load answers the status of what it found. A service is loaded once from its image path and
// unloaded through its unload routine, whose leftovers are reported; a driver without one stays
// until shutdown.
TEST_F(IoDriverLoadTest, AServiceIsLoadedOnceFromItsImagePathAndUnloadedAgain)
{
    struct Load {
        const char16_t* service;
        std::optional<std::u16string> imagePath;  // none: no "ImagePath" value, the image is <service>.sys
        IoTestScenario scenario;
        NTSTATUS expected;
    } cases[] = {
        {u"IoSvc", u"\\SystemRoot\\System32\\drivers\\absent.sys", StartWithUnload, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"IoSvc", u"\\SystemRoot\\System32\\drivers\\sub\\iotest.sys", StartWithUnload, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"IoSvc", u"\\??\\C:\\drivers\\iotest.sys", StartWithUnload, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"iotest", std::nullopt, StartWithUnload, STATUS_SUCCESS},
        {u"IoSvc", IoTestImage, FailClean, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Load& c : cases) {
        WriteService(c.service, c.imagePath, c.scenario);
        EXPECT_EQ(CallService(ZwLoadDriver, c.service), c.expected) << std::hex << c.expected;
        PDRIVER_OBJECT driver = km::FindDriver(u"\\Driver\\" + std::u16string(c.service));
        EXPECT_EQ(driver != nullptr, NT_SUCCESS(c.expected));
        if (driver != nullptr) {
            EXPECT_EQ(CallService(ZwUnloadDriver, c.service), STATUS_SUCCESS);
        }
    }

    WriteService(u"IoSvc", IoTestImage);
    UNICODE_STRING keyPath = Counted(SpelledKeyPath);
    ASSERT_EQ(ZwLoadDriver(&keyPath), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = km::FindDriver(u"\\Driver\\IoSvc");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(FromCounted(driver->DriverExtension->ServiceKeyName), u"IoSvc");
    EXPECT_EQ(IoTestRegistryPath(static_cast<km::Image*>(driver->DriverSection)), SpelledKeyPath)
        << "DriverEntry gets the service key's path as given";
    EXPECT_EQ(CallService(ZwLoadDriver, u"IoSvc"), STATUS_IMAGE_ALREADY_LOADED);
    WriteService(u"IoSvcTwin", IoTestImage);
    EXPECT_EQ(CallService(ZwLoadDriver, u"IoSvcTwin"), STATUS_IMAGE_ALREADY_LOADED) << "its image is in use";
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_OBJECT_NAME_NOT_FOUND) << "not loaded";
    EXPECT_EQ(CallService(ZwLoadDriver, u"Absent"), STATUS_OBJECT_NAME_NOT_FOUND) << "no service key";
    EXPECT_EQ(CallService(ZwUnloadDriver, u"Absent"), STATUS_OBJECT_NAME_NOT_FOUND);

    // Again, as a file system driver whose relative image path differs in case.
    WriteService(u"IoSvc", u"system32\\DRIVERS\\IoTest.SYS", StartWithUnload, SERVICE_FILE_SYSTEM_DRIVER);
    ASSERT_EQ(CallService(ZwLoadDriver, u"IoSvc"), STATUS_SUCCESS);
    ASSERT_NE(km::FindDriver(u"\\FileSystem\\IoSvc"), nullptr);
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_EQ(km::TakeDriverLeakReport(), "");

    WriteService(u"IoSvc", IoTestImage, UnloadLeaky);
    ASSERT_EQ(CallService(ZwLoadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_THAT(km::TakeDriverLeakReport(), HasSubstr("driver \\Driver\\IoSvc (unloaded): pool block "));
    WriteService(u"IoSvc", IoTestImage, StartWithoutUnload);
    ASSERT_EQ(CallService(ZwLoadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_NE(km::FindDriver(u"\\Driver\\IoSvc"), nullptr) << "it stays until shutdown";
}

const LUID LoadDriver = RtlConvertLongToLuid(SE_LOAD_DRIVER_PRIVILEGE);

// A user-mode check passes on a privilege held and enabled; so do NtLoadDriver and NtUnloadDriver
// (SeLoadDriverPrivilege), while the Zw forms run in kernel mode.
TEST_F(IoDriverLoadTest, APrivilegePassesUserModeChecksOnlyWhileHeldAndEnabled)
{
    for (ULONG privilege = SE_MIN_WELL_KNOWN_PRIVILEGE; privilege <= SE_MAX_WELL_KNOWN_PRIVILEGE; ++privilege) {
        EXPECT_EQ(km::QueryPrivilege(km::SystemProcess(), privilege), km::PrivilegeState::Enabled) << privilege;
    }
    EXPECT_EQ(ExGetPreviousMode(), KernelMode);
    EXPECT_TRUE(SeSinglePrivilegeCheck(LoadDriver, UserMode)) << "on the System process";
    WriteService(u"IoSvc", IoTestImage);
    km::Process* process = km::CreateProcess("controller.exe");
    BOOLEAN wasEnabled = 7;
    km::RunInProcess(process, [&] {
        EXPECT_EQ(ExGetPreviousMode(), UserMode);
        EXPECT_TRUE(SeSinglePrivilegeCheck(LoadDriver, KernelMode));
        EXPECT_EQ(CallService(NtLoadDriver, u"IoSvc"), STATUS_PRIVILEGE_NOT_HELD);
        EXPECT_EQ(RtlAdjustPrivilege(SE_LOAD_DRIVER_PRIVILEGE, TRUE, FALSE, &wasEnabled), STATUS_PRIVILEGE_NOT_HELD);
        EXPECT_EQ(wasEnabled, 7) << "untouched";
        EXPECT_EQ(RtlAdjustPrivilege(SE_CHANGE_NOTIFY_PRIVILEGE, TRUE, TRUE, &wasEnabled), STATUS_NO_TOKEN)
            << "threads have no impersonation token";
        EXPECT_TRUE(SeSinglePrivilegeCheck(RtlConvertLongToLuid(SE_CHANGE_NOTIFY_PRIVILEGE), UserMode))
            << "every user token holds SeChangeNotifyPrivilege enabled";
    });
    EXPECT_EQ(km::QueryPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE), km::PrivilegeState::Absent);
    km::GrantPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE, false);
    km::RunInProcess(process, [&] {
        EXPECT_EQ(CallService(NtLoadDriver, u"IoSvc"), STATUS_PRIVILEGE_NOT_HELD);
        EXPECT_EQ(RtlAdjustPrivilege(SE_LOAD_DRIVER_PRIVILEGE, TRUE, FALSE, &wasEnabled), STATUS_SUCCESS);
        EXPECT_FALSE(wasEnabled);
        EXPECT_TRUE(SeSinglePrivilegeCheck(LoadDriver, UserMode));
        EXPECT_EQ(RtlAdjustPrivilege(SE_LOAD_DRIVER_PRIVILEGE, FALSE, FALSE, &wasEnabled), STATUS_SUCCESS);
        EXPECT_TRUE(wasEnabled);
        EXPECT_FALSE(SeSinglePrivilegeCheck(LoadDriver, UserMode));
    });
    EXPECT_EQ(km::QueryPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE), km::PrivilegeState::Disabled);
    km::GrantPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE, true);
    km::RunInProcess(process, [] { EXPECT_EQ(CallService(NtLoadDriver, u"IoSvc"), STATUS_SUCCESS); });
    km::RunAsUser([&] { EXPECT_FALSE(SeSinglePrivilegeCheck(LoadDriver, UserMode)) << "another process's token"; },
                  {{SE_DEBUG_PRIVILEGE, true}});
    km::RevokePrivilege(process, SE_LOAD_DRIVER_PRIVILEGE);
    km::RunInProcess(process, [&] {
        EXPECT_FALSE(SeSinglePrivilegeCheck(LoadDriver, UserMode)) << "revoked";
        EXPECT_EQ(CallService(NtUnloadDriver, u"IoSvc"), STATUS_PRIVILEGE_NOT_HELD);
        EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_SUCCESS);
    });
    km::ExitProcess(process);
}

using IoDriverServiceDeathTest = ModelDeathTest;

// The unloaded image's range stays inaccessible: neither its code nor its data is reached again.
TEST_F(IoDriverServiceDeathTest, TouchingAnUnloadedImageIsBugCheck0xCENamingIt)
{
    WriteService(u"IoSvc", IoTestImage);
    UNICODE_STRING keyPath = Counted(SpelledKeyPath);
    ASSERT_EQ(ZwLoadDriver(&keyPath), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = km::FindDriver(u"\\Driver\\IoSvc");
    ASSERT_NE(driver, nullptr);
    PDRIVER_DISPATCH create = driver->MajorFunction[IRP_MJ_CREATE];
    volatile LONG* scenario = &IoTestVariable<LONG>(static_cast<km::Image*>(driver->DriverSection), "IoTestScenario");
    ASSERT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_DEATH(create(nullptr, nullptr),
                 "STOP 0x000000CE .*DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.*\n.*call into unloaded "
                 "image iotest.so at offset 0x[0-9a-f]+, from .*kmodel_tests");
    EXPECT_DEATH(*scenario = 1, "STOP 0x000000CE .*\n.*write to unloaded image iotest.so");
}

}  // namespace
