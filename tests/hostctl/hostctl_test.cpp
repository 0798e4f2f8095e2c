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
// it) unless `privileged` is false; the process ends afterwards. `stay` is what load --stay runs.
HostCtlOutcome RunHostCtl(const std::vector<std::string>& arguments, bool privileged = true,
                          std::function<void(std::string*)> stay = {})
{
    HostCtlOutcome outcome;
    std::vector<std::pair<ULONG, bool>> privileges;
    if (privileged) {
        privileges.push_back({SE_LOAD_DRIVER_PRIVILEGE, false});
    }
    km::RunAsUser([&] { outcome.exitCode = HostCtlRun(arguments, &outcome.out, stay); }, privileges);
    return outcome;
}

class HostCtlTest : public HostTest {};

// One run against the host with the link as given: its exit code (0 done, 1 refused or failed, 2 a
// usage error, which sends nothing), what it says, and the link after it (only link changes it).
struct OutcomeCase {
    std::vector<std::string> arguments;
    bool privileged;
    int exitCode;
    const char* says;  // a regular expression
    LONG linkBefore = HOST_LINK_ON;
    bool linkedAfter = true;
};

class HostCtlOutcomeTest : public HostCtlTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(HostCtlOutcomeTest, ExitCodeAndWhatItSays)
{
    ASSERT_TRUE(Accepted(KernelCommand(CommandBlock(HostCommandSetLink, {}, GetParam().linkBefore))));
    HostCtlOutcome outcome = RunHostCtl(GetParam().arguments, GetParam().privileged);
    EXPECT_EQ(outcome.exitCode, GetParam().exitCode);
    EXPECT_THAT(outcome.out, ::testing::ContainsRegex(GetParam().says));
    EXPECT_EQ(Linked(), GetParam().linkedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, HostCtlOutcomeTest,
    ::testing::Values(
        // The version needs no privilege.
        OutcomeCase{{"version"}, false, 0, "^host protocol version 0x00050001\n$"},
        OutcomeCase{{}, true, 2, "A subcommand is required"},
        OutcomeCase{{"frobnicate"}, true, 2, "A subcommand is required"},
        OutcomeCase{{"link", "maybe"}, true, 2, "maybe"},
        OutcomeCase{{"load"}, true, 2, "IMAGE is required"},
        OutcomeCase{{"load", "x.sys", "--service", std::string(50, 's')}, true, 2, "1 to 49 characters"},
        OutcomeCase{{"load", "\xC3\xA9.sys"}, true, 2, "must be ASCII"},
        OutcomeCase{{"load", "x.sys", "--stay"}, true, 2, "--stay is not available"},
        OutcomeCase{{"--host", "nohost", "version"}, true, 1,
                    "the control device of host 'nohost' is absent.*STATUS_OBJECT_NAME_NOT_FOUND"},
        // Said before anything is sent.
        OutcomeCase{{"link", "off"}, false, 1, "SeLoadDriverPrivilege is missing \\(STATUS_PRIVILEGE_NOT_HELD"},
        // The unload is refused while linked.
        OutcomeCase{{"unload"}, true, 1, "^unload: .*STATUS_[A-Z_]+ \\(0xC"},
        // The link switched both ways; both statuses printed.
        OutcomeCase{{"link", "off"}, true, 0,
                    "^link: request STATUS_SUCCESS \\(0x00000000\\), reply status STATUS_SUCCESS \\(0x00000000\\)\n$",
                    HOST_LINK_ON, false},
        OutcomeCase{{"link", "on"}, true, 0, "^link: request STATUS_SUCCESS", HOST_LINK_OFF, true}));

// hostctl load --stay against the host's LoadModule: the sample links itself from DriverEntry, and
// goes again when the loading process (hostctl's) ends.
TEST_F(HostCtlTest, LoadStartsTheSampleUntilTheLoaderExits)
{
    bool linkedWhileLoaded = false;
    HostCtlOutcome outcome =
        RunHostCtl({"load", "\\SystemRoot\\System32\\drivers\\sample.sys", "--stay"}, true, [&](std::string*) {
            // On a user thread with the module loaded: Linked()'s probe would unload it, so the
            // state is read.
            linkedWhileLoaded =
                km::FindDevice(u"\\Device\\sample") != nullptr && globals->ModuleHost.LinkState == LinkStateLinked;
        });
    EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
    EXPECT_THAT(outcome.out, ::testing::ContainsRegex("load: service 'sample'.*reply status STATUS_SUCCESS"));
    EXPECT_TRUE(linkedWhileLoaded);
    // The loader's exit makes the host unload the module from a system thread.
    km::WaitSystemThreadsEnded();
    EXPECT_EQ(km::FindDriver(u"\\Driver\\sample"), nullptr);
}

}  // namespace
