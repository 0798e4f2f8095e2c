// hostsim: the host and a filter module on the kernel model, with volumes, traffic and module
// swaps under load, and the model's verifier watching. Parses the flags, runs the scenario and
// reports (hostsim.h describes a run).
//
// The scenario runs in a child process. A bug check (a call into an unloaded image among them)
// stops the model the way it stops Windows: the stop screen is printed and the process aborts.
// The parent then says so and exits non-zero, so that a broken run is never mistaken for a
// finished one.
#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "hostsim.h"

namespace hostsim {

namespace {

constexpr int ExitBroken = 1;
constexpr int ExitUsage = 2;
constexpr int ExitStopped = 3;
constexpr auto StatusInterval = std::chrono::milliseconds(100);

// The live status line, on a terminal only.
class StatusLine {
public:
    explicit StatusLine(bool live) : live_(live) {}
    void Show(const WorkloadCounters& counters, const RunResult& result, unsigned swaps, double modelSeconds)
    {
        auto now = std::chrono::steady_clock::now();
        if (!live_ || now - shown_ < StatusInterval) {
            return;
        }
        shown_ = now;
        uint64_t completed = counters.completed.load(std::memory_order_relaxed);
        double rate = modelSeconds > lastSeconds_ ? static_cast<double>(completed - lastCompleted_) /
                                                        (modelSeconds - lastSeconds_)
                                                  : 0;
        lastSeconds_ = modelSeconds;
        lastCompleted_ = completed;
        const Generation* current = result.generations.empty() ? nullptr : &result.generations.back();
        std::fprintf(stdout, "\r\033[K  model %6.1f s  %9.0f requests/s  generation %u (%s)  swaps %u/%u",
                     modelSeconds, rate, current != nullptr ? current->number : 0,
                     current != nullptr ? current->image.c_str() : "-", result.swapsDone, swaps);
        std::fflush(stdout);
    }
    void Clear()
    {
        if (live_) {
            std::fprintf(stdout, "\r\033[K");
            std::fflush(stdout);
        }
    }

private:
    bool live_;
    std::chrono::steady_clock::time_point shown_{};
    double lastSeconds_ = 0;
    uint64_t lastCompleted_ = 0;
};

double ModelSecondsSince(int64_t start100ns) { return static_cast<double>(km::Now100ns() - start100ns) / 1e7; }

// How far the workload has come, from 0 to 1: by model time, or by requests when they are counted.
double Progress(const Scenario& scenario, const WorkloadCounters& counters, int64_t start100ns)
{
    if (scenario.requests != 0) {
        return static_cast<double>(counters.completed.load(std::memory_order_relaxed)) /
               static_cast<double>(scenario.requests);
    }
    return ModelSecondsSince(start100ns) / scenario.seconds;
}

// What the model reports at shutdown: pool left allocated, and the other findings line by line.
void TakeShutdownReport(const std::string& report, RunResult* result)
{
    constexpr char PoolHeading[] = "pool left allocated:\n";
    size_t pool = report.find(PoolHeading);
    std::string rest = report.substr(0, pool);
    if (pool != std::string::npos) {
        result->poolLeft = report.substr(pool + std::strlen(PoolHeading));
    }
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = rest.find('\n', start);
        if (end == std::string::npos) {
            end = rest.size();
        }
        if (end > start) {
            result->findings.push_back(rest.substr(start, end - start));
        }
        start = end + 1;
    }
}

void PrintAndSave(const Scenario& scenario, RunResult* result)
{
    CheckInvariants(scenario, result);
    if (!scenario.quiet) {
        std::fputs(FormatReport(scenario, *result).c_str(), stdout);
    }
    std::string error;
    if (!scenario.jsonPath.empty() && !WriteJson(scenario, *result, scenario.jsonPath, &error)) {
        std::fprintf(stderr, "hostsim: %s\n", error.c_str());
        result->failures.push_back(error);
    }
    std::fflush(stdout);
}

}  // namespace

int RunScenario(const Scenario& scenario)
{
    km::BootOptions options;
    options.clockRate = scenario.clockRate;
    km::Boot(options);
    Machine machine;
    std::string error;
    if (!BuildMachine(scenario, &machine, &error)) {
        std::fprintf(stderr, "hostsim: %s\n", error.c_str());
        return ExitBroken;
    }
    Controller* controller = StartController(&error);
    if (controller == nullptr) {
        std::fprintf(stderr, "hostsim: %s\n", error.c_str());
        return ExitBroken;
    }

    RunResult result;
    WorkloadCounters counters;
    StatusLine status(scenario.live);
    auto newGeneration = [&]() -> Generation* {
        Generation generation;
        generation.number = static_cast<unsigned>(result.generations.size() + 1);
        generation.image = generation.number % 2 == 1 ? scenario.module : scenario.secondModule;
        result.generations.push_back(generation);
        return &result.generations.back();
    };
    bool loaded = LoadGeneration(controller, machine, newGeneration());
    Workload* workload = StartWorkload(scenario, machine, &counters);
    int64_t start = km::Now100ns();
    // A generation serves requests before it is swapped out, however long the last swap took on a
    // slow machine: with more completions since the load than eight per worker, some worker began
    // several requests after the load (requests to network shares pass the module by). The end of
    // the run still bounds the wait.
    const uint64_t servedBeforeSwap = 8 * static_cast<uint64_t>(scenario.threads) + 1;
    auto waitFor = [&](double progress, uint64_t completedAtLoad, uint64_t served) {
        while (Progress(scenario, counters, start) < progress ||
               (counters.completed.load(std::memory_order_relaxed) - completedAtLoad < served &&
                Progress(scenario, counters, start) < 1.0)) {
            status.Show(counters, result, scenario.swaps, ModelSecondsSince(start));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    uint64_t completedAtLoad = 0;
    for (unsigned swap = 1; loaded && swap <= scenario.swaps; swap += 1) {
        waitFor(static_cast<double>(swap) / (scenario.swaps + 1), completedAtLoad, servedBeforeSwap);
        counters.swapEpoch.fetch_add(1, std::memory_order_acq_rel);
        Generation* current = &result.generations.back();
        UnloadGeneration(controller, current, swap % 2 == 1);
        if (!current->unloaded) {
            counters.swapEpoch.fetch_add(1, std::memory_order_acq_rel);
            break;
        }
        Generation* next = newGeneration();
        loaded = LoadGeneration(controller, machine, next);
        completedAtLoad = counters.completed.load(std::memory_order_relaxed);
        result.generations[result.generations.size() - 2].arrivalsAtEnd = next->arrivalsAtLoad;
        counters.swapEpoch.fetch_add(1, std::memory_order_acq_rel);
        result.swapsDone += loaded ? 1 : 0;
    }
    waitFor(1.0, completedAtLoad, 0);
    result.workloadSeconds = ModelSecondsSince(start);
    status.Clear();

    bool returned = StopWorkload(workload, &result.lostRequests);
    result.sent = counters.sent.load();
    result.completed = counters.completed.load();
    result.failedRequests = counters.failed.load();
    result.failuresByStatus = counters.failuresByStatus;
    result.fastIoServed = counters.fastIoServed.load();
    result.processes = counters.processes.load();
    result.threads = counters.threads.load();
    result.mounts = counters.mounts.load();
    result.dismounts = counters.dismounts.load();
    result.longestStall100ns = counters.longestStall100ns.load();
    result.longestRequest100ns = counters.longestRequest100ns.load();
    if (!returned) {
        // A worker is stuck inside the model: no clean shutdown is possible.
        CollectEvents(&result);
        PrintAndSave(scenario, &result);
        return ExitBroken;
    }
    EndController(controller, &result.generations.back());
    result.generations.back().arrivalsAtEnd = CountArrivals(machine);
    result.outstandingIrps = km::OutstandingIrps();
    TearDownMachine(&machine);
    CollectEvents(&result);
    TakeShutdownReport(km::TakeDriverLeakReport() + km::Shutdown(), &result);
    PrintAndSave(scenario, &result);
    return result.failures.empty() ? 0 : ExitBroken;
}

}  // namespace hostsim

int main(int argc, char** argv)
{
    hostsim::Scenario scenario;
    bool echo = false;
    CLI::App app{"hostsim: runs the filterhost host driver and a filter module on the kernel model, with volumes, "
                 "traffic and module swaps under load, and reports what happened. Exit status 0 when every "
                 "invariant held, 1 when one broke, 2 on a usage error, 3 when the model stopped on a bug check.",
                 "hostsim"};
    app.add_option("--module", scenario.module,
                   "image of the module to load (odd generations): IMAGE.so in the model's image directory, "
                   "loaded as \\SystemRoot\\System32\\drivers\\IMAGE.sys under service IMAGE")
        ->capture_default_str();
    app.add_option("--second-module", scenario.secondModule, "image of the module swapped in (even generations)")
        ->capture_default_str();
    app.add_option("--swaps", scenario.swaps, "module swaps under load, alternately requested and direct unloads")
        ->capture_default_str();
    app.add_option("--threads", scenario.threads, "worker threads sending file requests")
        ->capture_default_str()
        ->check(CLI::Range(1u, 64u));
    app.add_option("--seconds", scenario.seconds, "model time the workload runs")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    app.add_option("--requests", scenario.requests, "run until this many requests completed instead of --seconds");
    app.add_option("--disks", scenario.disks, "disk volumes")->capture_default_str()->check(CLI::Range(0u, 8u));
    app.add_option("--cdroms", scenario.cdroms, "CD-ROM volumes")->capture_default_str()->check(CLI::Range(0u, 4u));
    app.add_option("--shares", scenario.shares, "network shares (on the model's redirector)")
        ->capture_default_str()
        ->check(CLI::Range(0u, 4u));
    app.add_option("--files", scenario.filesPerVolume, "files on each volume")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1000u));
    app.add_option("--clock-rate", scenario.clockRate,
                   "model seconds per real second (waits, time-outs and the performance counter scale with it)")
        ->capture_default_str()
        ->check(CLI::Range(0.5, 1000.0));
    app.add_option("--json", scenario.jsonPath, "also write the report as JSON to this file");
    app.add_flag("--quiet", scenario.quiet, "print no report table (the JSON file and the exit status only)");
    app.add_flag("--debugger-output", echo, "echo the kernel debugger output (DbgPrint) to stderr as it comes");
    CLI11_PARSE(app, argc, argv);
    if (scenario.disks + scenario.cdroms + scenario.shares == 0) {
        std::fprintf(stderr, "hostsim: the machine needs at least one volume\n");
        return hostsim::ExitUsage;
    }
    scenario.live = isatty(STDOUT_FILENO) != 0 && !scenario.quiet;
    std::fflush(stdout);

    pid_t child = fork();
    if (child < 0) {
        std::perror("hostsim: fork");
        return hostsim::ExitBroken;
    }
    if (child == 0) {
        km::SetDebuggerEcho(echo);
        int exitCode = hostsim::RunScenario(scenario);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(exitCode);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    std::fprintf(stderr,
                 "hostsim: FAILED: the model stopped the machine (%s): a bug check, whose stop screen is above; "
                 "the run did not finish and has no report\n",
                 WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "unknown");
    return hostsim::ExitStopped;
}
