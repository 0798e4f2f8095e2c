// The cost of the host as a file-system filter, in the model, printed as ratios of stacks measured
// side by side in the same run. Every request reads BenchFileBytes from a file on a mounted volume
// of the model's disk file system, sent to one device of the volume's stack:
//   NoFilter     the file system's volume device itself;
//   PassThrough  a minimal pass-through filter right above the volume device;
//   HostUnlinked the host's filter device, attached when the volume mounted, the module registered
//                but the link off: HostDispatch (or the fast I/O entry) passes the request down;
//   HostLinked   the same device with a module linked whose dispatch and FastIoRead pass down.
// ReadIrp* send a read IRP as the I/O manager builds it; FastIoRead* call the FastIoRead member of
// the device's driver, as the I/O manager tries it first. ReadIrpThreads* read with 1, 2 or 4
// model threads at once, each on its own volume of the kind, and count reads per second of wall
// time. UnloadDrain unloads the module through the host while a read is inside it, and measures in
// model time how long after the read left the module the host called ZwUnloadDriver (drain_us;
// 0 is possible: the clock's unit is 100 ns). The end of the output gives the ratios of the performance goals, with their targets, and
// the scaling table; with --benchmark_repetitions=N every figure is the median of the N runs.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "fsfilter_volumes.h"
#include "images/forwarding_module.h"
#include "model_threads.h"
#include "kmodel/trap.h"
#include "ratio_reporter.h"

namespace {

constexpr double MinTimeSeconds = 0.3;
// Reads each thread makes per iteration of a ReadIrpThreads* benchmark.
constexpr int ReadsPerThread = 20000;
// Unloads (each with a reload) per repetition of UnloadDrain.
constexpr int UnloadDrainIterations = 10;

BenchVolumes Volumes;

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// One read IRP's whole trip, as the I/O manager makes it for a synchronous file with neither I/O:
// allocate, send to `device`, complete, free. True when the whole file was read.
bool ReadByIrp(PDEVICE_OBJECT device, PFILE_OBJECT file, void* buffer, ULONG key = 0)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr) {
        return false;
    }
    irp->RequestorMode = KernelMode;
    irp->Flags = IRP_SYNCHRONOUS_API | IRP_READ_OPERATION;
    irp->UserBuffer = buffer;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_READ;
    stack->FileObject = file;
    stack->Parameters.Read.Length = BenchFileBytes;
    stack->Parameters.Read.Key = key;
    stack->Parameters.Read.ByteOffset.QuadPart = 0;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(device, irp);
    bool read = status == STATUS_SUCCESS && irp->IoStatus.Information == BenchFileBytes;
    IoFreeIrp(irp);
    return read;
}

// A fast read of the whole file through `device`, as the I/O manager tries it first. True when the
// driver served it.
bool ReadByFastIo(PDEVICE_OBJECT device, PFILE_OBJECT file, void* buffer, ULONG key = 0)
{
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    IO_STATUS_BLOCK ioStatus{};
    BOOLEAN handled = device->DriverObject->FastIoDispatch->FastIoRead(file, &offset, BenchFileBytes, TRUE, key,
                                                                       buffer, &ioStatus, device);
    return handled && ioStatus.Status == STATUS_SUCCESS && ioStatus.Information == BenchFileBytes;
}

using ReadRoutine = bool (*)(PDEVICE_OBJECT, PFILE_OBJECT, void*, ULONG);

// Sets the link state a benchmark needs and checks, with one untimed probe read, that a read
// through `device` works and reaches the module exactly when it should: through the host's device
// while linked. False (the benchmark skipped with the reason) otherwise.
bool Prepare(benchmark::State& state, const BenchVolume& volume, PDEVICE_OBJECT device, bool linked, ReadRoutine read)
{
    if (volume.file == nullptr || (device->Flags & DO_BUFFERED_IO) != 0) {
        state.SkipWithError("volume not built, or it uses buffered I/O");
        return false;
    }
    if (!SetModuleLinked(linked)) {
        state.SkipWithError("the host refused the link switch");
        return false;
    }
    std::vector<uint8_t> buffer(BenchFileBytes);
    long before = ModuleProbeCalls();
    if (!read(device, volume.file, buffer.data(), FORWARDING_MODULE_PROBE_KEY)) {
        state.SkipWithError("the probe read failed");
        return false;
    }
    bool expected = linked && device == volume.filter;
    if ((ModuleProbeCalls() - before == 1) != expected) {
        state.SkipWithError(expected ? "the read did not reach the module" : "the read reached the module");
        return false;
    }
    return true;
}

void ReadIrp(benchmark::State& state, BenchVolume* volume, bool toFilter, bool linked)
{
    PDEVICE_OBJECT device = toFilter ? volume->filter : volume->volume;
    if (!Prepare(state, *volume, device, linked, ReadByIrp)) {
        return;
    }
    std::vector<uint8_t> buffer(BenchFileBytes);
    for (auto _ : state) {
        if (!ReadByIrp(device, volume->file, buffer.data())) {
            state.SkipWithError("a read IRP failed");
            break;
        }
    }
}

void FastIoRead(benchmark::State& state, BenchVolume* volume, bool toFilter, bool linked)
{
    PDEVICE_OBJECT device = toFilter ? volume->filter : volume->volume;
    if (!Prepare(state, *volume, device, linked, ReadByFastIo)) {
        return;
    }
    std::vector<uint8_t> buffer(BenchFileBytes);
    for (auto _ : state) {
        if (!ReadByFastIo(device, volume->file, buffer.data())) {
            state.SkipWithError("a fast read was not served");
            break;
        }
    }
}

void ReadIrpNoFilter(benchmark::State& state) { ReadIrp(state, &Volumes.hosted[0], false, false); }
void ReadIrpPassThrough(benchmark::State& state) { ReadIrp(state, &Volumes.passThrough[0], true, false); }
void ReadIrpHostUnlinked(benchmark::State& state) { ReadIrp(state, &Volumes.hosted[0], true, false); }
void ReadIrpHostLinked(benchmark::State& state) { ReadIrp(state, &Volumes.hosted[0], true, true); }
BENCHMARK(ReadIrpNoFilter)->MinTime(MinTimeSeconds);
BENCHMARK(ReadIrpPassThrough)->MinTime(MinTimeSeconds);
BENCHMARK(ReadIrpHostUnlinked)->MinTime(MinTimeSeconds);
BENCHMARK(ReadIrpHostLinked)->MinTime(MinTimeSeconds);

void FastIoReadNoFilter(benchmark::State& state) { FastIoRead(state, &Volumes.hosted[0], false, false); }
void FastIoReadPassThrough(benchmark::State& state) { FastIoRead(state, &Volumes.passThrough[0], true, false); }
void FastIoReadHostUnlinked(benchmark::State& state) { FastIoRead(state, &Volumes.hosted[0], true, false); }
void FastIoReadHostLinked(benchmark::State& state) { FastIoRead(state, &Volumes.hosted[0], true, true); }
BENCHMARK(FastIoReadNoFilter)->MinTime(MinTimeSeconds);
BENCHMARK(FastIoReadPassThrough)->MinTime(MinTimeSeconds);
BENCHMARK(FastIoReadHostUnlinked)->MinTime(MinTimeSeconds);
BENCHMARK(FastIoReadHostLinked)->MinTime(MinTimeSeconds);

// The stacks of the scaling table, by the device each thread reads through.
enum class Stack { NoFilter, PassThrough, HostUnlinked, HostLinked };

struct StackKind {
    Stack stack;
    const char* benchmark;  // the ReadIrpThreads* benchmark's name
    const char* label;
};

const StackKind StackKinds[] = {
    {Stack::NoFilter, "ReadIrpThreadsNoFilter", "no filter"},
    {Stack::PassThrough, "ReadIrpThreadsPassThrough", "pass-through"},
    {Stack::HostUnlinked, "ReadIrpThreadsHostUnlinked", "host unlinked"},
    {Stack::HostLinked, "ReadIrpThreadsHostLinked", "host linked"},
};

// The volume a thread of that stack reads, and the device it sends to.
BenchVolume* ThreadVolume(Stack stack, int index)
{
    return stack == Stack::PassThrough ? &Volumes.passThrough[index] : &Volumes.hosted[index];
}

PDEVICE_OBJECT ThreadDevice(Stack stack, const BenchVolume& volume)
{
    return stack == Stack::NoFilter ? volume.volume : volume.filter;
}

// state.range(0) model threads, each reading ReadsPerThread times on its own volume.
void ReadIrpThreads(benchmark::State& state, Stack stack)
{
    int threads = static_cast<int>(state.range(0));
    bool linked = stack == Stack::HostLinked;
    for (int index = 0; index < threads; index++) {
        BenchVolume* volume = ThreadVolume(stack, index);
        if (!Prepare(state, *volume, ThreadDevice(stack, *volume), linked, ReadByIrp)) {
            return;
        }
    }
    for (auto _ : state) {
        bool failed = false;
        double seconds = RunOnModelThreads(
            threads,
            [stack](int index) {
                BenchVolume* volume = ThreadVolume(stack, index);
                PDEVICE_OBJECT device = ThreadDevice(stack, *volume);
                std::vector<uint8_t> buffer(BenchFileBytes);
                for (int read = 0; read < ReadsPerThread; read++) {
                    if (!ReadByIrp(device, volume->file, buffer.data())) {
                        return false;
                    }
                }
                return true;
            },
            &failed);
        state.SetIterationTime(seconds);
        if (failed) {
            state.SkipWithError("a read IRP failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * ReadsPerThread);
}

void ReadIrpThreadsNoFilter(benchmark::State& state) { ReadIrpThreads(state, Stack::NoFilter); }
void ReadIrpThreadsPassThrough(benchmark::State& state) { ReadIrpThreads(state, Stack::PassThrough); }
void ReadIrpThreadsHostUnlinked(benchmark::State& state) { ReadIrpThreads(state, Stack::HostUnlinked); }
void ReadIrpThreadsHostLinked(benchmark::State& state) { ReadIrpThreads(state, Stack::HostLinked); }
BENCHMARK(ReadIrpThreadsNoFilter)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->MinTime(MinTimeSeconds);
BENCHMARK(ReadIrpThreadsPassThrough)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->MinTime(MinTimeSeconds);
BENCHMARK(ReadIrpThreadsHostUnlinked)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->MinTime(MinTimeSeconds);
BENCHMARK(ReadIrpThreadsHostLinked)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->MinTime(MinTimeSeconds);

// Starts a model thread that waits for `go` before running `body`, so that a trap can name it
// before it makes its first call.
template <typename Body>
km::Thread* StartHeldThread(const std::atomic<bool>& go, Body body)
{
    return km::StartThread(km::SystemProcess(), [&go, body] {
        while (!go) {
            std::this_thread::yield();
        }
        body();
    });
}

// One unload with a read inside the module: the read is parked at its call to the volume device
// below, the module unlinks, the host's unload command starts on its own thread and, once that
// thread comes to its wait for the drain, the read is let go. The time from the read leaving the
// module to the host's ZwUnloadDriver, in model time, is the drain; the module is loaded again
// afterwards. False with the reason when anything did not happen as it should.
bool UnloadDuringRead(BenchVolume* volume, int64_t* drain100ns, std::string* error)
{
    if (!SetModuleLinked(true)) {
        *error = "the module could not be linked";
        return false;
    }
    size_t debuggerMark = km::DebuggerOutput().size();
    std::atomic<bool> readGo{false};
    std::atomic<bool> unloadGo{false};
    std::atomic<bool> readDone{false};
    std::atomic<NTSTATUS> unloaded{STATUS_UNSUCCESSFUL};
    km::Thread* reader = StartHeldThread(readGo, [volume, &readDone] {
        std::vector<uint8_t> buffer(BenchFileBytes);
        readDone = ReadByIrp(volume->filter, volume->file, buffer.data(), FORWARDING_MODULE_DRAIN_KEY);
    });
    km::Thread* unloader = StartHeldThread(unloadGo, [&unloaded] { unloaded = UnloadModule(); });

    km::TrapRule inside;
    inside.routine = "IofCallDriver";
    inside.object = volume->volume;
    inside.thread = reader;
    km::Trap readInside(inside);
    // The drain's wait is the unloader's first on a notification event (the mutexes it takes first
    // are mutant objects).
    km::TrapRule draining;
    draining.routine = "KeWaitForSingleObject";
    draining.thread = unloader;
    draining.when = [](const km::TrapCall& call) {
        return static_cast<const DISPATCHER_HEADER*>(call.object)->Type == NotificationEvent;
    };
    km::Trap drainWait(draining);

    readGo = true;
    bool parked = readInside.WaitFired();
    if (parked) {
        UnlinkModule();
    }
    unloadGo = true;
    bool waiting = parked && drainWait.WaitFired();
    drainWait.Release();
    readInside.Release();
    km::JoinThread(reader);
    km::JoinThread(unloader);

    int64_t left = ModuleDrainStart(debuggerMark);
    int64_t called = ModuleUnloadCalled();
    std::string reloadError;
    bool reloaded = ReloadModule(false, &reloadError);
    if (!parked || !waiting || !readDone || !NT_SUCCESS(unloaded.load()) || left <= 0 || called < left) {
        *error = !parked    ? "the read did not reach the module"
                 : !waiting ? "the unload did not wait for the read"
                 : !readDone ? "the read failed"
                 : !NT_SUCCESS(unloaded.load()) ? "the host did not unload the module"
                                                : "the drain was not stamped";
        return false;
    }
    if (!reloaded) {
        *error = reloadError;
        return false;
    }
    *drain100ns = called - left;
    return true;
}

// The unload's drain in model time: each iteration's manual time is one drain; "drain_us" is the
// mean in microseconds.
void UnloadDrain(benchmark::State& state)
{
    int64_t total100ns = 0;
    for (auto _ : state) {
        int64_t drain100ns = 0;
        std::string error;
        if (!UnloadDuringRead(&Volumes.hosted[0], &drain100ns, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        total100ns += drain100ns;
        state.SetIterationTime(static_cast<double>(drain100ns) / 1e7);
    }
    state.counters["drain_us"] = benchmark::Counter(static_cast<double>(total100ns) / 10.0,
                                                    benchmark::Counter::kAvgIterations);
}
BENCHMARK(UnloadDrain)->Iterations(UnloadDrainIterations)->UseManualTime();

std::string Threads(const char* benchmark, int threads) { return std::string(benchmark) + "/" + std::to_string(threads); }

void PrintRatios(const RatioReporter& reporter)
{
    std::printf("\nPerformance goals (CPU time of the measuring thread; reads per second for threads):\n");
    reporter.PrintRatio("  read IRP, host unlinked / pass-through filter", "ReadIrpHostUnlinked",
                        "ReadIrpPassThrough", "<= 1.30x");
    reporter.PrintRatio("  FastIoRead, host linked / pass-through filter", "FastIoReadHostLinked",
                        "FastIoReadPassThrough", "<= 2.00x");
    reporter.PrintRatio("  read IRP, host linked / host unlinked", "ReadIrpHostLinked", "ReadIrpHostUnlinked",
                        "<= 1.10x");
    reporter.PrintThroughputRatio("  two threads on two volumes / one on one, no filter",
                                  Threads("ReadIrpThreadsNoFilter", 2), Threads("ReadIrpThreadsNoFilter", 1),
                                  ">= 1.70x");
    reporter.PrintThroughputRatio("  two threads on two volumes / one on one, host linked",
                                  Threads("ReadIrpThreadsHostLinked", 2), Threads("ReadIrpThreadsHostLinked", 1),
                                  ">= 1.60x");

    double drain = reporter.Counter("UnloadDrain", "drain_us");
    if (drain > 0) {
        std::printf("  unload drain, last call out of the module to ZwUnloadDriver: %.1f us of model time "
                    "(target < 1000 us)\n",
                    drain);
    } else {
        std::printf("  unload drain: not measured\n");
    }

    std::printf("\nOther ratios:\n");
    const char* const kinds[] = {"ReadIrp", "FastIoRead"};
    for (const char* kind : kinds) {
        std::string k = kind;
        std::printf("%s:\n", kind);
        reporter.PrintRatio("  host unlinked / no filter", k + "HostUnlinked", k + "NoFilter");
        reporter.PrintRatio("  host unlinked / pass-through filter", k + "HostUnlinked", k + "PassThrough");
        reporter.PrintRatio("  host linked / host unlinked", k + "HostLinked", k + "HostUnlinked");
        reporter.PrintRatio("  host linked / pass-through filter", k + "HostLinked", k + "PassThrough");
        reporter.PrintRatio("  host linked / no filter", k + "HostLinked", k + "NoFilter");
        reporter.PrintRatio("  pass-through filter / no filter", k + "PassThrough", k + "NoFilter");
    }

    std::printf("\nScaling: read IRPs per second, N threads each on its own volume (ratio to 1 thread):\n");
    std::printf("  %-14s", "stack");
    for (int threads : ScalingThreadCounts) {
        std::printf("  %8d thread%s    ", threads, threads == 1 ? " " : "s");
    }
    std::printf("\n");
    for (const StackKind& kind : StackKinds) {
        std::printf("  %-14s", kind.label);
        double one = reporter.ItemsPerSecond(Threads(kind.benchmark, 1));
        for (int threads : ScalingThreadCounts) {
            double rate = reporter.ItemsPerSecond(Threads(kind.benchmark, threads));
            if (rate <= 0 || one <= 0) {
                std::printf("  %21s", "not measured");
            } else {
                std::printf("  %9.0f/s (%.2fx)", rate, rate / one);
            }
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    km::Boot();
    std::string error;
    bool built = BuildBenchVolumes(&Volumes, &error);
    if (built) {
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        PrintRatios(reporter);
    } else {
        std::fprintf(stderr, "fsfilter_bench: %s\n", error.c_str());
    }
    TearDownBenchVolumes(&Volumes);
    std::string leaks = km::Shutdown();
    if (!leaks.empty()) {
        std::printf("left behind:\n%s\n", leaks.c_str());
        return 1;
    }
    return built ? 0 : 1;
}
