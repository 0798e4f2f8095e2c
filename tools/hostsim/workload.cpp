// The workload: worker threads of a model user process that open, read, write, query and close
// the machine's files (the I/O manager tries fast I/O first and sends an IRP when it is declined),
// a thread that creates processes with a thread each and ends them (the host's notify routines),
// and a thread that mounts and dismounts one volume over and over (the host attaches and detaches).
//
// Every request a worker sends is counted as sent before the call and as completed when the call
// returns; a request that never returns is caught when the workload stops (its worker does not
// come back in time). Each request's model time is measured; the longest one that overlapped a
// swap is the longest stall a worker saw across a swap.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostsim.h"

namespace hostsim {

namespace {

constexpr ULONG RequestBytes = 512;
// Model time between two rounds of the process churn and between a mount and a dismount.
constexpr int64_t ProcessChurnPauseMs = 50;
constexpr int64_t MountChurnPauseMs = 200;
// Real time a stopping worker has to come back before its request counts as lost: far beyond
// any wait the host makes (two 9-second drains) at the slowest clock rate hostsim allows.
constexpr auto WorkerReturnLimit = std::chrono::seconds(60);

void PauseModelMs(int64_t milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -10000 * milliseconds;
    (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void RaiseTo(std::atomic<int64_t>* maximum, int64_t value)
{
    int64_t seen = maximum->load(std::memory_order_relaxed);
    while (value > seen && !maximum->compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

struct Worker {
    km::Thread* thread = nullptr;
    std::atomic<bool> done{false};
    std::string name;
};

}  // namespace

struct Workload {
    const Scenario* scenario = nullptr;
    const Machine* machine = nullptr;
    WorkloadCounters* counters = nullptr;
    km::Process* process = nullptr;
    std::vector<std::unique_ptr<Worker>> workers;  // file workers, then the two churn threads
};

namespace {

// One request: counted, timed, and checked against the swaps it overlapped.
template <typename Call>
NTSTATUS Request(WorkloadCounters* counters, Call call)
{
    uint64_t epoch = counters->swapEpoch.load(std::memory_order_acquire);
    int64_t start = km::Now100ns();
    counters->sent.fetch_add(1, std::memory_order_relaxed);
    NTSTATUS status = call();
    counters->completed.fetch_add(1, std::memory_order_relaxed);
    if (!NT_SUCCESS(status)) {
        counters->failed.fetch_add(1, std::memory_order_relaxed);
        std::lock_guard<std::mutex> guard(counters->failuresLock);
        counters->failuresByStatus[status] += 1;
    }
    int64_t took = km::Now100ns() - start;
    RaiseTo(&counters->longestRequest100ns, took);
    if (epoch % 2 == 1 || counters->swapEpoch.load(std::memory_order_acquire) != epoch) {
        RaiseTo(&counters->longestStall100ns, took);
    }
    return status;
}

NTSTATUS Served(const km::FileIoResult& result, WorkloadCounters* counters)
{
    if (result.fastIo) {
        counters->fastIoServed.fetch_add(1, std::memory_order_relaxed);
    }
    return result.status;
}

bool WorkloadDone(const Workload& workload)
{
    const WorkloadCounters& counters = *workload.counters;
    return counters.stop.load(std::memory_order_acquire) ||
           (workload.scenario->requests != 0 && counters.completed.load() >= workload.scenario->requests);
}

// A file worker: one file at a time, picked at random; open, read, write (where the volume is
// written to), query, close.
void RunFileWorker(const Workload& workload, unsigned seed)
{
    WorkloadCounters* counters = workload.counters;
    const std::vector<Volume>& volumes = workload.machine->volumes;
    uint32_t state = 2463534242u ^ (seed * 2654435761u);
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    std::vector<uint8_t> buffer(RequestBytes, 0x33);
    while (!WorkloadDone(workload)) {
        const Volume& volume = volumes[next() % volumes.size()];
        const std::u16string& name = volume.files[next() % volume.files.size()];
        HANDLE handle = nullptr;
        NTSTATUS opened = Request(counters, [&] {
            km::OpenResult result = km::CreateFile(name, FILE_OPEN);
            handle = result.handle;
            return result.status;
        });
        if (!NT_SUCCESS(opened)) {
            continue;
        }
        uint64_t offset = (next() % 8) * RequestBytes;
        Request(counters, [&] { return Served(km::ReadFile(handle, offset, buffer.data(), RequestBytes), counters); });
        if (volume.writable) {
            Request(counters, [&] { return Served(km::WriteFile(handle, offset, buffer.data(), RequestBytes), counters); });
        }
        FILE_STANDARD_INFORMATION standard{};
        Request(counters, [&] {
            return Served(km::QueryInformationFile(handle, &standard, sizeof(standard), FileStandardInformation),
                          counters);
        });
        Request(counters, [&] { return ZwClose(handle); });
    }
}

// Creates a process with one thread and ends both, again and again.
void RunProcessChurn(const Workload& workload)
{
    while (!WorkloadDone(workload)) {
        km::Process* process = km::CreateProcess("churn.exe");
        workload.counters->processes.fetch_add(1, std::memory_order_relaxed);
        km::Thread* thread = km::StartThread(process, [] {});
        km::JoinThread(thread);
        workload.counters->threads.fetch_add(1, std::memory_order_relaxed);
        km::ExitProcess(process);
        PauseModelMs(ProcessChurnPauseMs);
    }
}

// Mounts the churn volume (its first open mounts it) and dismounts it, again and again.
void RunMountChurn(const Workload& workload)
{
    while (!WorkloadDone(workload)) {
        if (NT_SUCCESS(km::MountVolume(workload.machine->churnStorage))) {
            workload.counters->mounts.fetch_add(1, std::memory_order_relaxed);
        }
        PauseModelMs(MountChurnPauseMs);
        if (NT_SUCCESS(km::DismountVolume(workload.machine->churnStorage))) {
            workload.counters->dismounts.fetch_add(1, std::memory_order_relaxed);
        }
        PauseModelMs(MountChurnPauseMs);
    }
}

Worker* AddWorker(Workload* workload, km::Process* process, const std::string& name,
                  std::function<void(const Workload&)> body)
{
    workload->workers.push_back(std::make_unique<Worker>());
    Worker* worker = workload->workers.back().get();
    worker->name = name;
    worker->thread = km::StartThread(process, [workload, worker, body] {
        body(*workload);
        worker->done.store(true, std::memory_order_release);
    });
    return worker;
}

}  // namespace

Workload* StartWorkload(const Scenario& scenario, const Machine& machine, WorkloadCounters* counters)
{
    auto* workload = new Workload;
    workload->scenario = &scenario;
    workload->machine = &machine;
    workload->counters = counters;
    workload->process = km::CreateProcess("workload.exe");
    for (unsigned index = 0; index < scenario.threads; index += 1) {
        AddWorker(workload, workload->process, "file worker " + std::to_string(index + 1),
                  [index](const Workload& running) { RunFileWorker(running, index + 1); });
    }
    AddWorker(workload, km::SystemProcess(), "process churn", RunProcessChurn);
    AddWorker(workload, km::SystemProcess(), "mount churn", RunMountChurn);
    return workload;
}

bool StopWorkload(Workload* workload, std::vector<std::string>* lost)
{
    workload->counters->stop.store(true, std::memory_order_release);
    auto deadline = std::chrono::steady_clock::now() + WorkerReturnLimit;
    for (const std::unique_ptr<Worker>& worker : workload->workers) {
        while (!worker->done.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!worker->done.load(std::memory_order_acquire)) {
            lost->push_back(worker->name + " never came back from its request");
        }
    }
    if (!lost->empty()) {
        return false;  // the model cannot be shut down around a thread stuck inside it
    }
    for (const std::unique_ptr<Worker>& worker : workload->workers) {
        km::JoinThread(worker->thread);
    }
    km::ExitProcess(workload->process);
    delete workload;
    return true;
}

}  // namespace hostsim
