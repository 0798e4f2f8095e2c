// The controller run as a user would run it: in a model user process, against the running host,
// with and without SeLoadDriverPrivilege; its output and exit code are what a user sees.

#include <gmock/gmock.h>

#include "hostctl/hostctl.h"
#include "support/host_test.h"

namespace {

struct HostCtlOutcome {
    int exitCode = -1;
    std::string out;
};

// Runs hostctl in a new user process that holds SeLoadDriverPrivilege (disabled: hostctl enables
// it) unless `privileged` is false; the process ends afterwards.
HostCtlOutcome RunHostCtl(const std::vector<std::string>& arguments, bool privileged = true)
{
    HostCtlOutcome outcome;
    std::vector<std::pair<ULONG, bool>> privileges;
    if (privileged) {
        privileges.push_back({SE_LOAD_DRIVER_PRIVILEGE, false});
    }
    km::RunAsUser([&] { outcome.exitCode = HostCtlRun(arguments, &outcome.out); }, privileges);
    return outcome;
}

using ::testing::HasSubstr;

class HostCtlTest : public HostTest {};

TEST_F(HostCtlTest, VersionPrintsTheProtocolVersion)
{
    HostCtlOutcome outcome = RunHostCtl({"version"}, false);  // needs no privilege
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.out, "host protocol version 0x00050001\n");
}

struct UsageCase {
    std::vector<std::string> arguments;
    const char* says;
};

class HostCtlUsageTest : public HostCtlTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(HostCtlUsageTest, UsageErrorExitsTwoWithoutSending)
{
    HostCtlOutcome outcome = RunHostCtl(GetParam().arguments);
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_THAT(outcome.out, HasSubstr(GetParam().says));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, HostCtlUsageTest,
    ::testing::Values(UsageCase{{}, "A subcommand is required"}, UsageCase{{"frobnicate"}, "A subcommand is required"},
                      UsageCase{{"link", "maybe"}, "maybe"}, UsageCase{{"load"}, "IMAGE is required"},
                      UsageCase{{"load", "x.sys", "--service", std::string(50, 's')}, "1 to 49 characters"},
                      UsageCase{{"load", "\xC3\xA9.sys"}, "must be ASCII"},
                      UsageCase{{"load", "x.sys", "--stay"}, "--stay is not available"}));

TEST_F(HostCtlTest, AbsentControlDeviceIsSaidClearly)
{
    HostCtlOutcome outcome = RunHostCtl({"--host", "nohost", "version"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_THAT(outcome.out, HasSubstr("the control device of host 'nohost' is absent"));
    EXPECT_THAT(outcome.out, HasSubstr("STATUS_OBJECT_NAME_NOT_FOUND"));
}

TEST_F(HostCtlTest, MissingPrivilegeIsSaidBeforeSending)
{
    ASSERT_TRUE(Accepted(KernelCommand(CommandBlock(HostCommandSetLink, {}, HOST_LINK_ON))));
    HostCtlOutcome outcome = RunHostCtl({"link", "off"}, false);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_THAT(outcome.out, HasSubstr("SeLoadDriverPrivilege is missing (STATUS_PRIVILEGE_NOT_HELD"));
    EXPECT_TRUE(Linked());
}

TEST_F(HostCtlTest, LinkSwitchesForwardingAndPrintsBothStatuses)
{
    HostCtlOutcome off = RunHostCtl({"link", "off"});
    EXPECT_EQ(off.exitCode, 0);
    EXPECT_EQ(off.out, "link: request STATUS_SUCCESS (0x00000000), reply status STATUS_SUCCESS (0x00000000)\n");
    HostCtlOutcome on = RunHostCtl({"link", "on"});
    EXPECT_EQ(on.exitCode, 0);
    EXPECT_TRUE(Linked());
    EXPECT_EQ(RunHostCtl({"link", "off"}).exitCode, 0);
    EXPECT_FALSE(Linked());
}

TEST_F(HostCtlTest, RefusedCommandExitsOneWithItsStatus)
{
    // No module is known: the unload fails, whether the host refuses the command or its unload.
    HostCtlOutcome outcome = RunHostCtl({"unload"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_THAT(outcome.out, ::testing::ContainsRegex("^unload: .*STATUS_[A-Z_]+ \\(0xC"));
}

// hostctl load --stay against the host's LoadModule: the sample links itself from DriverEntry, and
// goes again when the loading process (hostctl's) ends.
TEST_F(HostCtlTest, LoadStartsTheSampleUntilTheLoaderExits)
{
    HostCtlOutcome outcome;
    bool linkedWhileLoaded = false;
    km::RunAsUser(
        [&] {
            outcome.exitCode =
                HostCtlRun({"load", "\\SystemRoot\\System32\\drivers\\sample.sys", "--stay"}, &outcome.out,
                           [&](std::string*) {
                               // On a user thread with the module loaded: Linked()'s probe would
                               // unload it, so the state is read.
                               linkedWhileLoaded = km::FindDevice(u"\\Device\\sample") != nullptr &&
                                                   globals->ModuleHost.LinkState == LinkStateLinked;
                           });
        },
        {{SE_LOAD_DRIVER_PRIVILEGE, true}});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
    EXPECT_THAT(outcome.out, HasSubstr("load: service 'sample'"));
    EXPECT_THAT(outcome.out, HasSubstr("reply status STATUS_SUCCESS"));
    EXPECT_TRUE(linkedWhileLoaded);
    // The loader's exit makes the host unload the module from a system thread.
    km::WaitSystemThreadsEnded();
    EXPECT_EQ(km::FindDriver(u"\\Driver\\sample"), nullptr);
    EXPECT_EQ(km::TakeDriverLeakReport(), "");
}

}  // namespace
