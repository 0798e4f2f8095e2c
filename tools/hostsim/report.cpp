// The report of a run: the invariants checked, the table printed on the terminal and the same
// facts as JSON (--json). What each figure measures:
//   module IRPs / fast I/O    calls the host forwarded to the generation, as the sample counts them
//                             (refused: write IRPs it completed itself; declined: fast I/O writes)
//   passed down               requests and fast I/O calls that reached the file systems from this
//                             generation's load command to the next one's without going through
//                             the module (file-system control requests, which the host never
//                             forwards, are left out)
//   share IRPs                of the passed-down IRPs, those of network shares: the host forwards
//                             only mounted volumes' IRPs, so it passes these down linked or not
//   found no module           passed down, share IRPs left out: calls that found no module linked,
//                             while it loaded, unloaded and swapped
//   drain                     model time from the moment the module's last forwarded call
//                             returned (the sample stamps it) to the host's ZwUnloadDriver call
//                             (the model logs it); "-" where the module does not say
//   longest stall             the longest request of a worker that overlapped a swap
// A figure hostsim cannot know for a module other than the sample is shown as "-" (null in JSON).
#include <fmt/format.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "hostctl/statusnames.h"
#include "hostsim.h"

namespace hostsim {

namespace {

constexpr char HostEventPrefix[] = "filterhost: ";

std::string Milliseconds(int64_t time100ns) { return fmt::format("{:.3f} ms", static_cast<double>(time100ns) / 1e4); }

// Calls that reached the file systems in the generation's time without going through its module;
// false when the module did not account for its calls.
bool PassedDown(const Generation& generation, int64_t* irps, int64_t* fastIo)
{
    if (!generation.accounted) {
        return false;
    }
    const FileSystemArrivals& end = generation.arrivalsAtEnd;
    const FileSystemArrivals& load = generation.arrivalsAtLoad;
    *irps = static_cast<int64_t>(end.irps + end.networkIrps - load.irps - load.networkIrps) -
            static_cast<int64_t>(generation.moduleRequests - generation.refused);
    *fastIo = static_cast<int64_t>(end.fastIo + end.networkFastIo - load.fastIo - load.networkFastIo) -
              static_cast<int64_t>(generation.moduleFastIo - generation.declined);
    return true;
}

// The drain time of the generation's unload; false when it cannot be known.
bool DrainTime(const Generation& generation, int64_t* drain100ns)
{
    if (!generation.accounted || generation.lastCallLeft100ns == 0 || generation.unloadCalled100ns < 0) {
        return false;
    }
    *drain100ns = generation.unloadCalled100ns - generation.lastCallLeft100ns;
    return true;
}

std::string Count(bool known, uint64_t value) { return known ? std::to_string(value) : "-"; }

int64_t ShareIrps(const Generation& generation)
{
    return static_cast<int64_t>(generation.arrivalsAtEnd.networkIrps - generation.arrivalsAtLoad.networkIrps);
}

}  // namespace

void CollectEvents(RunResult* result)
{
    for (km::DebuggerLine& line : km::DebuggerOutput()) {
        if (line.component == DPFLTR_IHVDRIVER_ID && line.text.rfind(HostEventPrefix, 0) == 0) {
            result->events.push_back(std::move(line));
        }
    }
}

void CheckInvariants(const Scenario& scenario, RunResult* result)
{
    std::vector<std::string>& failures = result->failures;
    for (const Generation& generation : result->generations) {
        std::string name = fmt::format("generation {} ({})", generation.number, generation.image);
        if (!generation.loaded) {
            failures.push_back(fmt::format("{} did not load: {}", name, generation.loadOutput));
            continue;
        }
        if (!generation.unloadFailure.empty()) {
            failures.push_back(fmt::format("{}: the {} unload failed: {}", name, generation.unloadKind,
                                           generation.unloadFailure));
        }
        if (!generation.unloaded) {
            failures.push_back(fmt::format("{} stayed loaded after {} attempts", name, generation.unloadAttempts));
        }
    }
    if (result->sent != result->completed) {
        failures.push_back(fmt::format("requests lost or duplicated: {} sent, {} completed", result->sent,
                                       result->completed));
    }
    for (const std::string& lost : result->lostRequests) {
        failures.push_back("request lost: " + lost);
    }
    if (result->outstandingIrps != 0) {
        failures.push_back(fmt::format("{} IRPs never completed and freed", result->outstandingIrps));
    }
    if (!result->poolLeft.empty()) {
        failures.push_back("pool left allocated at the end");
    }
    if (!result->findings.empty()) {
        failures.push_back("the model's verifier found what the drivers left behind");
    }
    if (result->swapsDone < scenario.swaps) {
        failures.push_back(fmt::format("only {} of {} swaps were done", result->swapsDone, scenario.swaps));
    }
}

std::string FormatReport(const Scenario& scenario, const RunResult& result)
{
    std::string text;
    text += fmt::format("hostsim: {:.1f} s of model time, {} worker threads, {} disk, {} CD-ROM, {} network volumes, "
                        "{} swaps\n\n",
                        result.workloadSeconds, scenario.threads, scenario.disks, scenario.cdroms, scenario.shares,
                        result.swapsDone);
    text += fmt::format("{:<4} {:<12} {:>5} {:>11} {:>7} {:>13} {:>8} {:>11} {:>13} {:>10}  {:<12} {:>10}\n", "gen",
                        "image", "build", "module IRPs", "refused", "module fastio", "declined", "passed IRPs",
                        "passed fastio", "share IRPs", "unload", "drain");
    for (const Generation& generation : result.generations) {
        int64_t passedIrps = 0;
        int64_t passedFastIo = 0;
        bool passed = PassedDown(generation, &passedIrps, &passedFastIo);
        int64_t drain = 0;
        bool drained = DrainTime(generation, &drain);
        std::string unload = generation.unloadKind;
        if (!generation.unloadFailure.empty() || !generation.unloaded) {
            unload += " FAILED";
        }
        text += fmt::format("{:<4} {:<12} {:>5} {:>11} {:>7} {:>13} {:>8} {:>11} {:>13} {:>10}  {:<12} {:>10}\n",
                            generation.number, generation.image, Count(generation.accounted, generation.build),
                            Count(generation.accounted, generation.moduleRequests),
                            Count(generation.accounted, generation.refused),
                            Count(generation.accounted, generation.moduleFastIo),
                            Count(generation.accounted, generation.declined),
                            passed ? std::to_string(passedIrps) : "-", passed ? std::to_string(passedFastIo) : "-",
                            ShareIrps(generation), unload, drained ? Milliseconds(drain) : "-");
    }
    int64_t noModule = 0;
    bool noModuleKnown = !result.generations.empty();
    for (const Generation& generation : result.generations) {
        int64_t irps = 0;
        int64_t fastIo = 0;
        noModuleKnown = noModuleKnown && PassedDown(generation, &irps, &fastIo);
        noModule += irps - ShareIrps(generation) + fastIo;
    }
    text += "\n";
    text += fmt::format("requests: {} sent, {} completed, {} served by fast I/O; {} failed", result.sent,
                        result.completed, result.fastIoServed, result.failedRequests);
    const char* separator = ": ";
    for (const auto& [status, count] : result.failuresByStatus) {
        text += fmt::format("{}{} {}", separator, count, StatusText(status));
        separator = ", ";
    }
    text += "\n";
    text += fmt::format("calls that found no module linked (passed down while it loaded, unloaded, swapped): {}\n",
                        noModuleKnown ? std::to_string(noModule) : "-");
    text += fmt::format("longest stall of a worker across a swap: {} (longest request {})\n",
                        Milliseconds(result.longestStall100ns), Milliseconds(result.longestRequest100ns));
    text += fmt::format("processes created and ended: {} (threads {}); mounts {}, dismounts {}\n", result.processes,
                        result.threads, result.mounts, result.dismounts);
    text += fmt::format("pool left at the end: {}\n", result.poolLeft.empty() ? "0 bytes" : "\n" + result.poolLeft);
    text += "verifier findings: " + std::string(result.findings.empty() ? "none\n" : "\n");
    for (const std::string& finding : result.findings) {
        text += "  " + finding + "\n";
    }
    text += fmt::format("host events (kernel debugger output): {}\n", result.events.empty() ? "none" : "");
    for (const km::DebuggerLine& event : result.events) {
        text += fmt::format("  {:>10.3f} s  {}\n", static_cast<double>(event.time100ns) / 1e7, event.text);
    }
    if (result.failures.empty()) {
        text += "\nresult: every invariant held\n";
    } else {
        text += "\nresult: FAILED\n";
        for (const std::string& failure : result.failures) {
            text += "  " + failure + "\n";
        }
    }
    return text;
}

bool WriteJson(const Scenario& scenario, const RunResult& result, const std::string& path, std::string* error)
{
    using nlohmann::json;
    json generations = json::array();
    for (const Generation& generation : result.generations) {
        json entry = {{"generation", generation.number},
                      {"image", generation.image},
                      {"loaded", generation.loaded},
                      {"unload", generation.unloadKind},
                      {"unloaded", generation.unloaded},
                      {"unloadAttempts", generation.unloadAttempts},
                      {"unloadFailure", generation.unloadFailure}};
        int64_t irps = 0;
        int64_t fastIo = 0;
        int64_t drain = 0;
        bool passed = PassedDown(generation, &irps, &fastIo);
        bool drained = DrainTime(generation, &drain);
        entry["build"] = generation.accounted ? json(generation.build) : json(nullptr);
        entry["moduleRequests"] = generation.accounted ? json(generation.moduleRequests) : json(nullptr);
        entry["refused"] = generation.accounted ? json(generation.refused) : json(nullptr);
        entry["moduleFastIo"] = generation.accounted ? json(generation.moduleFastIo) : json(nullptr);
        entry["declined"] = generation.accounted ? json(generation.declined) : json(nullptr);
        entry["passedDownRequests"] = passed ? json(irps) : json(nullptr);
        entry["passedDownFastIo"] = passed ? json(fastIo) : json(nullptr);
        entry["drainTime100ns"] = drained ? json(drain) : json(nullptr);
        entry["shareRequests"] = ShareIrps(generation);
        generations.push_back(entry);
    }
    json events = json::array();
    for (const km::DebuggerLine& event : result.events) {
        events.push_back({{"time100ns", event.time100ns}, {"text", event.text}});
    }
    json failuresByStatus = json::object();
    for (const auto& [status, count] : result.failuresByStatus) {
        failuresByStatus[StatusText(status)] = count;
    }
    json report = {{"scenario",
                    {{"module", scenario.module},
                     {"secondModule", scenario.secondModule},
                     {"swaps", scenario.swaps},
                     {"threads", scenario.threads},
                     {"seconds", scenario.seconds},
                     {"requests", scenario.requests},
                     {"clockRate", scenario.clockRate}}},
                   {"generations", generations},
                   {"swapsDone", result.swapsDone},
                   {"workloadSeconds", result.workloadSeconds},
                   {"sent", result.sent},
                   {"completed", result.completed},
                   {"failedRequests", result.failedRequests},
                   {"failedByStatus", failuresByStatus},
                   {"fastIoServed", result.fastIoServed},
                   {"processes", result.processes},
                   {"threads", result.threads},
                   {"mounts", result.mounts},
                   {"dismounts", result.dismounts},
                   {"longestStall100ns", result.longestStall100ns},
                   {"longestRequest100ns", result.longestRequest100ns},
                   {"outstandingIrps", result.outstandingIrps},
                   {"lostRequests", result.lostRequests},
                   {"poolLeft", result.poolLeft},
                   {"findings", result.findings},
                   {"events", events},
                   {"failures", result.failures}};
    std::ofstream file(path);
    file << report.dump(2) << "\n";
    if (!file) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace hostsim
