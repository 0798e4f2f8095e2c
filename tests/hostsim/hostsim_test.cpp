// hostsim run as a user runs it, in its own process: a short scenario keeps every invariant, and a
// module that keeps a call inside past the host's drain time-out makes the run fail and say why.
#include <gmock/gmock.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

namespace {

using nlohmann::json;
using ::testing::HasSubstr;

struct HostsimRun {
    int exitCode = -1;
    std::string out;  // stdout and stderr
    json report;
};

// Runs hostsim with the arguments; its output and JSON report go through files of this process.
HostsimRun RunHostsim(const std::string& arguments)
{
    HostsimRun run;
    const std::string base = ::testing::TempDir() + "hostsim_" + std::to_string(getpid());
    std::string command = std::string(HOSTSIM_PATH) + " " + arguments + " --json " + base + ".json >" + base +
                          ".out 2>&1";
    std::remove((base + ".json").c_str());
    int status = std::system(command.c_str());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream output(base + ".out");
    run.out.assign(std::istreambuf_iterator<char>(output), {});
    std::ifstream file(base + ".json");
    run.report = json::parse(file, nullptr, false);
    std::remove((base + ".out").c_str());
    std::remove((base + ".json").c_str());
    return run;
}

// Four swaps (two requested, two direct) under two workers, at ten times real time. Exit code 0:
// every invariant held (no pool or object left, no IRP lost or outstanding, every swap done).
TEST(Hostsim, ShortScenarioKeepsEveryInvariant)
{
    HostsimRun run = RunHostsim("--seconds 4 --swaps 4 --threads 2 --clock-rate 10");
    ASSERT_EQ(run.exitCode, 0) << run.out;
    const json& report = run.report;
    ASSERT_TRUE(report.is_object()) << run.out;
    EXPECT_GT(report["sent"].get<uint64_t>(), 0u);
    ASSERT_EQ(report["generations"].size(), 5u);
    for (const json& generation : report["generations"]) {
        SCOPED_TRACE(generation.dump());
        EXPECT_EQ(generation["build"], generation["generation"].get<int>() % 2 == 1 ? 1 : 2);
        EXPECT_GT(generation["moduleRequests"].get<uint64_t>() + generation["moduleFastIo"].get<uint64_t>(), 0u);
        EXPECT_GE(generation["passedDownRequests"].get<int64_t>(), 0);
        EXPECT_GE(generation["drainTime100ns"].get<int64_t>(), 0);
    }
    EXPECT_THAT(run.out, HasSubstr("result: every invariant held"));
}

// A module calling every routine area beyond the host's own loads, runs and is swapped out under
// hostsim with nothing found and nothing left (hostsim fails the run otherwise).
TEST(Hostsim, RoutinesModuleRunsAndLeavesNothing)
{
    HostsimRun run = RunHostsim("--module routinesmodule --second-module routinesmodule --seconds 1 --swaps 1 "
                                "--threads 1 --clock-rate 20");
    EXPECT_EQ(run.exitCode, 0) << run.out;
}

// The faulty sample build keeps its first forwarded create for 20 s: the first (requested) unload
// times out, the host reports it, and hostsim fails the run once the module is finally gone.
TEST(Hostsim, ModuleHoldingACallPastTheDrainTimeOutFailsTheRun)
{
    HostsimRun run = RunHostsim("--module sample_holds --seconds 6 --swaps 1 --threads 2 --clock-rate 20");
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_THAT(run.out, HasSubstr("generation 1 (sample_holds): the requested unload failed"));
    EXPECT_THAT(run.out, HasSubstr("filterhost: event 8007 line 558: 1"));
    ASSERT_TRUE(run.report.is_object()) << run.out;
    const json& first = run.report["generations"][0];
    EXPECT_TRUE(first["unloaded"].get<bool>());
    EXPECT_GT(first["unloadAttempts"].get<int>(), 1);
    EXPECT_EQ(run.report["poolLeft"], "");
    EXPECT_EQ(run.report["sent"], run.report["completed"]);
}

}  // namespace
