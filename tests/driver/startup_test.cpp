// Start-up: the control device's name, its properties, the start values, and the unwinding after a
// failure at each step, the attachment manager's included.
#include <cstring>

#include "support/host_test.h"

namespace {

class StartupTest : public HostTest {
protected:
    bool LoadAtSetUp() const override { return false; }

    // A failed start-up leaves nothing behind: no control device, no pool, no references.
    void ExpectNothingLeft(const std::u16string& deviceName)
    {
        EXPECT_EQ(loaded.driver, nullptr);
        EXPECT_EQ(km::FindDevice(deviceName), nullptr);
        EXPECT_EQ(km::TakeDriverLeakReport(), "");
    }
};

const std::u16string Nul(1, u'\0');

// "\Device\<name>", U+0000, U+0020, written out here rather than taken from the protocol header's
// helper, which the host itself uses.
std::u16string ExpectedDeviceName(const std::u16string& name) { return u"\\Device\\" + name + Nul + u" "; }

// Driver object name, and the control device name it gives (empty: start-up fails).
struct NamingCase {
    const char* label;
    std::u16string driverName;
    std::u16string deviceName;
};

void PrintTo(const NamingCase& naming, std::ostream* out) { *out << naming.label; }

class StartupNamingTest : public StartupTest, public ::testing::WithParamInterface<NamingCase> {};

TEST_P(StartupNamingTest, StartupNamesTheControlDevice)
{
    const NamingCase& naming = GetParam();
    km::DriverLoadOptions options;
    options.driverName = naming.driverName;  // the exact driver object name
    km::DriverLoadResult result = LoadHost(options);
    if (naming.deviceName.empty()) {
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
        ExpectNothingLeft(ExpectedDeviceName(naming.driverName));
        return;
    }
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    PDEVICE_OBJECT control = km::FindDevice(naming.deviceName);
    ASSERT_NE(control, nullptr);
    // The same name without the trailing U+0000 and space is a different name.
    EXPECT_EQ(km::FindDevice(naming.deviceName.substr(0, naming.deviceName.size() - 2)), nullptr);
}

const std::u16string Name32 = std::u16string(32, u'n');  // "\Driver\" + 32 characters: L = 80 bytes

INSTANTIATE_TEST_SUITE_P(
    StartupNames, StartupNamingTest,
    ::testing::Values(
        NamingCase{"Sample", u"\\Driver\\Sample", ExpectedDeviceName(u"Sample")},
        NamingCase{"SampleTerminated", u"\\Driver\\Sample" + Nul, ExpectedDeviceName(u"Sample")},
        NamingCase{"WithoutDriverPrefix", u"Sample", ExpectedDeviceName(u"Sample")},
        NamingCase{"Unterminated80", u"\\Driver\\" + Name32, ExpectedDeviceName(Name32)},
        NamingCase{"Unterminated82", u"\\Driver\\" + Name32 + u"x", u""},
        NamingCase{"Terminated82", u"\\Driver\\" + Name32 + Nul, ExpectedDeviceName(Name32)},
        NamingCase{"Terminated84", u"\\Driver\\" + Name32 + u"x" + Nul, u""},
        // Without the prefix nothing is dropped: 80 bytes fill the 100-byte name exactly.
        NamingCase{"WithoutPrefix80", std::u16string(40, u'm'), ExpectedDeviceName(std::u16string(40, u'm'))},
        NamingCase{"Empty", u"", u""}),
    [](const ::testing::TestParamInfo<NamingCase>& naming) { return naming.param.label; });

TEST_F(StartupTest, StartupFailuresByStepThenAStartThatRoutesEverythingToHostDispatch)
{
    struct Step {
        const char* label;
        std::function<void()> inject;
        NTSTATUS expected;
    };
    const Step steps[] = {
        {"no paged pool for the name", [] { km::FailAllocationsOfType(true); }, STATUS_NO_MEMORY},
        {"IoCreateDevice fails", [] { km::FailIoCreateDevice(1, STATUS_OBJECT_NAME_COLLISION); },
         STATUS_OBJECT_NAME_COLLISION},
        {"no table block", [] { km::FailAllocationsWithTag(km::PoolTag("HshT")); }, STATUS_INSUFFICIENT_RESOURCES},
        {"no entry pool", [] { km::FailAllocationsWithTag(km::PoolTag("ABPL")); }, STATUS_NO_MEMORY},
        // The last step: the attachment manager cannot register for file-system changes.
        {"file-system registration fails", [] { km::FailAllocationsWithTag(km::PoolTag("IoFs")); },
         STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.label);
        step.inject();
        EXPECT_EQ(LoadHost().status, step.expected);
        km::ClearPoolFaults();
        km::ClearIoFaults();
        ExpectNothingLeft(ControlDeviceNameFor(HostServiceName));
    }
    // The same driver starts once nothing fails: the control device is ready and every major
    // function goes to HostDispatch.
    ASSERT_EQ(LoadHost().status, STATUS_SUCCESS);
    PDEVICE_OBJECT control = ControlDevice();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_NE(control->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(control->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(std::memcmp(control->DeviceExtension, "KTDv\0\0\0\0", 8), 0);

    auto hostDispatch = Symbol<DRIVER_DISPATCH>("HostDispatch");
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major += 1) {
        if (major != IRP_MJ_FILE_SYSTEM_CONTROL) {  // the attachment manager's slot: the mount tests
            EXPECT_EQ(loaded.driver->MajorFunction[major], hostDispatch) << "major function " << major;
        }
    }
    EXPECT_EQ(loaded.driver->DriverUnload, nullptr);
}

}  // namespace
