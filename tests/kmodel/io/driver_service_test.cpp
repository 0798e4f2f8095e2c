// The driver services: ZwLoadDriver and ZwUnloadDriver through a service key, their refusals, the
// load-driver privilege of user-mode callers, and the bug check for a call into an unloaded image.
#include <optional>

#include "io_test_util.h"
#include "kmodel/cm_model.h"

namespace {

const std::u16string ServicesKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const std::u16string IoTestImage = u"\\SystemRoot\\System32\\drivers\\iotest.sys";

enum Scenario : ULONG { StartWithUnload = 0, StartWithoutUnload = 1, FailClean = 2, UnloadLeaky = 4 };

// Writes a volatile service key; an absent image path leaves "ImagePath" out.
void WriteService(const std::u16string& service, const std::optional<std::u16string>& imagePath,
                  ULONG scenario = StartWithUnload, ULONG type = SERVICE_KERNEL_DRIVER)
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

// Writes IoSvc and loads it through SpelledKeyPath; its driver object (null when the load failed).
PDRIVER_OBJECT LoadSpelledInLowerCase()
{
    WriteService(u"IoSvc", IoTestImage);
    UNICODE_STRING keyPath = Counted(SpelledKeyPath);
    NTSTATUS status = ZwLoadDriver(&keyPath);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return NT_SUCCESS(status) ? km::FindDriver(u"\\Driver\\IoSvc") : nullptr;
}

using IoDriverServiceTest = KernelTest;

TEST_F(IoDriverServiceTest, AServiceIsLoadedOnceFromItsImagePathAndUnloadedAgain)
{
    PDRIVER_OBJECT driver = LoadSpelledInLowerCase();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(FromCounted(driver->DriverExtension->ServiceKeyName), u"IoSvc");
    auto* image = static_cast<km::Image*>(driver->DriverSection);
    std::u16string registryPath(static_cast<WCHAR*>(km::ImageSymbol(image, "IoTestRegistryPath")),
                                *static_cast<USHORT*>(km::ImageSymbol(image, "IoTestRegistryPathLength")) / 2);
    EXPECT_EQ(registryPath, SpelledKeyPath) << "DriverEntry gets the service key's path as given";
    EXPECT_EQ(CallService(ZwLoadDriver, u"IoSvc"), STATUS_IMAGE_ALREADY_LOADED);
    WriteService(u"IoSvcTwin", IoTestImage);
    EXPECT_EQ(CallService(ZwLoadDriver, u"IoSvcTwin"), STATUS_IMAGE_ALREADY_LOADED) << "its image is in use";

    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_EQ(km::FindDriver(u"\\Driver\\IoSvc"), nullptr);
    EXPECT_EQ(km::FindDevice(u"\\Device\\IoTest"), nullptr);

    // Again, as a file system driver whose relative image path differs in case.
    WriteService(u"IoSvc", u"system32\\DRIVERS\\IoTest.SYS", StartWithUnload, SERVICE_FILE_SYSTEM_DRIVER);
    ASSERT_EQ(CallService(ZwLoadDriver, u"IoSvc"), STATUS_SUCCESS);
    ASSERT_NE(km::FindDriver(u"\\FileSystem\\IoSvc"), nullptr);
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_EQ(km::TakeDriverLeakReport(), "");
}

struct LoadCase {
    const char* name;
    const char16_t* service;
    std::optional<std::u16string> imagePath;  // none: no "ImagePath" value
    bool keyExists;
    ULONG scenario;
    NTSTATUS expected;
};

class IoDriverServiceLoadTest : public KernelTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(IoDriverServiceLoadTest, LoadAnswersTheStatusOfWhatItFound)
{
    const LoadCase& row = GetParam();
    if (row.keyExists) {
        WriteService(row.service, row.imagePath, row.scenario);
    }
    EXPECT_EQ(CallService(ZwLoadDriver, row.service), row.expected);
    PDRIVER_OBJECT driver = km::FindDriver(u"\\Driver\\" + std::u16string(row.service));
    EXPECT_EQ(driver != nullptr, NT_SUCCESS(row.expected));
    if (driver != nullptr) {
        EXPECT_EQ(CallService(ZwUnloadDriver, row.service), STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Io, IoDriverServiceLoadTest,
    ::testing::Values(
        LoadCase{"NoServiceKey", u"IoSvc", IoTestImage, false, StartWithUnload, STATUS_OBJECT_NAME_NOT_FOUND},
        LoadCase{"NoImageFile", u"IoSvc", u"\\SystemRoot\\System32\\drivers\\absent.sys", true, StartWithUnload,
                 STATUS_OBJECT_NAME_NOT_FOUND},
        LoadCase{"NoSuchDirectory", u"IoSvc", u"\\SystemRoot\\System32\\drivers\\sub\\iotest.sys", true,
                 StartWithUnload, STATUS_OBJECT_PATH_NOT_FOUND},
        LoadCase{"DosPath", u"IoSvc", u"\\??\\C:\\drivers\\iotest.sys", true, StartWithUnload,
                 STATUS_OBJECT_PATH_NOT_FOUND},
        LoadCase{"NoImagePathMeansServiceNameDotSys", u"iotest", std::nullopt, true, StartWithUnload, STATUS_SUCCESS},
        LoadCase{"DriverEntryFails", u"IoSvc", IoTestImage, true, FailClean, STATUS_INSUFFICIENT_RESOURCES}),
    [](const ::testing::TestParamInfo<LoadCase>& param) { return std::string(param.param.name); });

TEST_F(IoDriverServiceTest, UnloadNeedsALoadedDriverWithAnUnloadRoutineAndReportsWhatItLeft)
{
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_OBJECT_NAME_NOT_FOUND) << "no service key";
    WriteService(u"IoSvc", IoTestImage, UnloadLeaky);
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_OBJECT_NAME_NOT_FOUND) << "not loaded";
    ASSERT_EQ(CallService(ZwLoadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_NE(km::TakeDriverLeakReport().find("driver \\Driver\\IoSvc (unloaded): pool block "), std::string::npos);

    WriteService(u"IoSvc", IoTestImage, StartWithoutUnload);
    ASSERT_EQ(CallService(ZwLoadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_NE(km::FindDriver(u"\\Driver\\IoSvc"), nullptr) << "it stays until shutdown";
}

// From user mode both services need SeLoadDriverPrivilege enabled; the Zw forms run in kernel mode.
TEST_F(IoDriverServiceTest, UserModeCallersNeedTheLoadDriverPrivilegeEnabled)
{
    WriteService(u"IoSvc", IoTestImage);
    km::Process* loader = km::CreateProcess("loader.exe");
    NTSTATUS absent = 0, disabled = 0, loaded = 0, unloadRevoked = 0, unloadKernel = 0;
    km::RunInProcess(loader, [&] { absent = CallService(NtLoadDriver, u"IoSvc"); });
    km::GrantPrivilege(loader, SE_LOAD_DRIVER_PRIVILEGE, false);
    km::RunInProcess(loader, [&] { disabled = CallService(NtLoadDriver, u"IoSvc"); });
    km::GrantPrivilege(loader, SE_LOAD_DRIVER_PRIVILEGE, true);
    km::RunInProcess(loader, [&] { loaded = CallService(NtLoadDriver, u"IoSvc"); });
    km::RevokePrivilege(loader, SE_LOAD_DRIVER_PRIVILEGE);
    km::RunInProcess(loader, [&] {
        unloadRevoked = CallService(NtUnloadDriver, u"IoSvc");
        unloadKernel = CallService(ZwUnloadDriver, u"IoSvc");
    });
    km::ExitProcess(loader);
    EXPECT_EQ(absent, STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(disabled, STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(loaded, STATUS_SUCCESS);
    EXPECT_EQ(unloadRevoked, STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(unloadKernel, STATUS_SUCCESS);
}

using IoDriverServiceDeathTest = ModelDeathTest;

// The unloaded image's range stays inaccessible: neither its code nor its data is reached again.
TEST_F(IoDriverServiceDeathTest, TouchingAnUnloadedImageIsBugCheck0xCENamingIt)
{
    PDRIVER_OBJECT driver = LoadSpelledInLowerCase();
    ASSERT_NE(driver, nullptr);
    PDRIVER_DISPATCH create = driver->MajorFunction[IRP_MJ_CREATE];
    auto* scenario = static_cast<volatile LONG*>(
        km::ImageSymbol(static_cast<km::Image*>(driver->DriverSection), "IoTestScenario"));
    ASSERT_EQ(CallService(ZwUnloadDriver, u"IoSvc"), STATUS_SUCCESS);
    EXPECT_DEATH(create(nullptr, nullptr),
                 "STOP 0x000000CE .*DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.*\n.*call into unloaded "
                 "image iotest.so at offset 0x[0-9a-f]+, from .*kmodel_tests");
    EXPECT_DEATH(*scenario = 1, "STOP 0x000000CE .*\n.*write to unloaded image iotest.so");
}

}  // namespace
