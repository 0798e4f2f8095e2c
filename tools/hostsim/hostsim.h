// hostsim's shared declarations: the scenario a run is asked for, what each area records while
// it runs, and the entry points of the areas (machine, workload, swaps, report).
//
// A run: boot the model, build the machine (file systems, the host loaded as a driver at boot,
// volumes with file trees), load the first module through the host's command path from a
// controller process, start the workload, swap the module under load at evenly spaced moments,
// stop the workload, let the controller process exit (the host then unloads the last module as
// the exit of the loader asks it to), shut the model down and report.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kmodel/fs_model.h"

namespace hostsim {

// ---- The scenario ----------------------------------------------------------------------------

struct Scenario {
    std::string module = "sample";         // image of the first and every odd generation
    std::string secondModule = "sample2";  // image of every even generation
    unsigned swaps = 10;
    unsigned threads = 4;
    double seconds = 20.0;   // model time of the workload, unless `requests` is set
    uint64_t requests = 0;   // stop after this many requests instead
    unsigned disks = 2;
    unsigned cdroms = 1;
    unsigned shares = 1;
    unsigned filesPerVolume = 8;
    double clockRate = 4.0;  // model seconds per real second
    std::string jsonPath;     // --json: write the report there too
    bool live = false;        // one-line live status (a terminal)
    bool quiet = false;       // no table (the JSON and the exit status only)
};

// ---- Counters shared by the areas ------------------------------------------------------------

// What the file systems were asked to do, file-system control requests left out (the host
// handles mounts itself and passes every other one down, linked or not). The network
// redirector's IRPs are kept apart: the host forwards only the IRPs of mounted volumes' filter
// devices, so it passes a share's IRPs down itself, linked or not (its fast I/O is forwarded).
struct FileSystemArrivals {
    uint64_t irps = 0;
    uint64_t fastIo = 0;
    uint64_t networkIrps = 0;
    uint64_t networkFastIo = 0;
};

// One module generation: loaded, served, unloaded.
struct Generation {
    std::string image;
    unsigned number = 0;  // 1, 2, ...
    bool loaded = false;
    std::string loadOutput;  // hostctl's words when the load failed
    // The module's own account, printed by the sample as it unloads; unknown for other modules.
    bool accounted = false;
    unsigned build = 0;
    uint64_t moduleRequests = 0;
    uint64_t moduleFastIo = 0;
    uint64_t refused = 0;   // of moduleRequests: completed by the module (writes to a read-only volume)
    uint64_t declined = 0;  // of moduleFastIo: declined by the module
    int64_t lastCallLeft100ns = 0;  // 0: no forwarded call came
    // File-system arrivals from this generation's load command to the next one's (or the end).
    FileSystemArrivals arrivalsAtLoad;
    FileSystemArrivals arrivalsAtEnd;
    // The unload that ended this generation.
    std::string unloadKind;  // "requested", "direct" or "loader exit"
    bool unloaded = false;
    unsigned unloadAttempts = 0;
    std::string unloadFailure;  // empty when the first attempt unloaded the module
    int64_t unloadCalled100ns = -1;  // model time of the successful ZwUnloadDriver, -1 unknown
};

// The workload's counters, written by its threads and read by the status line and the report.
struct WorkloadCounters {
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> completed{0};
    std::atomic<uint64_t> failed{0};        // completed with an error status
    std::mutex failuresLock;
    std::map<NTSTATUS, uint64_t> failuresByStatus;
    std::atomic<uint64_t> fastIoServed{0};  // reads, writes and queries the fast I/O path served
    std::atomic<uint64_t> processes{0};
    std::atomic<uint64_t> threads{0};
    std::atomic<uint64_t> mounts{0};
    std::atomic<uint64_t> dismounts{0};
    std::atomic<int64_t> longestStall100ns{0};  // longest request that overlapped a swap
    std::atomic<int64_t> longestRequest100ns{0};
    // Odd while a swap is in progress; a request overlapped a swap when it saw an odd value or a
    // change between its start and its end.
    std::atomic<uint64_t> swapEpoch{0};
    std::atomic<bool> stop{false};
};

struct RunResult {
    std::vector<Generation> generations;
    unsigned swapsDone = 0;
    double workloadSeconds = 0;  // model time the workload ran
    int64_t runEnd100ns = 0;
    uint64_t sent = 0;
    uint64_t completed = 0;
    uint64_t failedRequests = 0;
    std::map<NTSTATUS, uint64_t> failuresByStatus;
    uint64_t fastIoServed = 0;
    uint64_t processes = 0;
    uint64_t threads = 0;
    uint64_t mounts = 0;
    uint64_t dismounts = 0;
    int64_t longestStall100ns = 0;
    int64_t longestRequest100ns = 0;
    uint64_t outstandingIrps = 0;
    std::vector<std::string> lostRequests;  // workers that never came back
    std::string poolLeft;                   // the model's report of pool still allocated
    std::vector<std::string> findings;      // everything else the model found left behind
    std::vector<km::DebuggerLine> events;   // the host's diagnostic events
    std::vector<std::string> failures;      // broken invariants, in words
};

// ---- The areas -------------------------------------------------------------------------------

struct Volume {
    std::u16string root;  // "\Device\HarddiskVolume1", "\Device\ModelRdr\server\share1"
    PDEVICE_OBJECT storage = nullptr;  // null for a share
    bool writable = true;
    std::vector<std::u16string> files;  // full names
};

struct Machine {
    km::StandardFileSystems fileSystems{};
    PDRIVER_OBJECT host = nullptr;
    std::vector<Volume> volumes;       // the workload's
    PDEVICE_OBJECT churnStorage = nullptr;  // mounted and dismounted over and over
};

// machine.cpp: on a booted model, starts the file systems, the host and the volumes; false with
// the reason in *error.
bool BuildMachine(const Scenario& scenario, Machine* machine, std::string* error);
FileSystemArrivals CountArrivals(const Machine& machine);
// Dismounts every volume and deletes the storage devices (the host stays until shutdown).
void TearDownMachine(Machine* machine);

// workload.cpp: the workers (file requests), the process and thread churn and the mount churn.
struct Workload;
Workload* StartWorkload(const Scenario& scenario, const Machine& machine, WorkloadCounters* counters);
// Stops the workload and waits for it; false when a worker did not come back within the real
// time limit (its request is lost), named in *lost.
bool StopWorkload(Workload* workload, std::vector<std::string>* lost);

// swaps.cpp: the controller process and the module's life cycle through hostctl's commands.
struct Controller;
Controller* StartController(std::string* error);
// Loads generation `generation` (its image set) and links it.
bool LoadGeneration(Controller* controller, const Machine& machine, Generation* generation);
// Unloads the current generation, requested or direct; retries until it is gone.
void UnloadGeneration(Controller* controller, Generation* generation, bool requested);
// Ends the controller process; the host unloads the module that process loaded.
void EndController(Controller* controller, Generation* last);

// report.cpp
void CollectEvents(RunResult* result);
void CheckInvariants(const Scenario& scenario, RunResult* result);
std::string FormatReport(const Scenario& scenario, const RunResult& result);
bool WriteJson(const Scenario& scenario, const RunResult& result, const std::string& path, std::string* error);

// main.cpp's scenario runner, in the child process: runs and reports; the exit status.
int RunScenario(const Scenario& scenario);

}  // namespace hostsim
