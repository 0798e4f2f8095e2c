// The cost of the host on the I/O path, in the model, printed as ratios against stacks measured
// side by side in the same run:
//   direct       a read IRP sent straight to a sink device (the bottom of every stack here);
//   passthrough  the same IRP through a minimal filter that skips its stack location and calls down;
//   host         the same IRP through a host device of a file-system type attached over the sink,
//                with no override and no module, so HostDispatch passes it down.
// Read*Threads send with 1, 2 or 4 model threads at once, each to its own stack of the kind, and
// count IRPs per second of wall time for the scaling table at the end. With
// --benchmark_repetitions=N every figure is the median of the N runs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "kmodel/io_model.h"
#include "kmodel/model.h"
#include "model_threads.h"
#include "ratio_reporter.h"

namespace {

using CreateSinkRoutine = NTSTATUS (*)(DEVICE_TYPE, PDEVICE_OBJECT*);
using AttachRoutine = NTSTATUS (*)(PDEVICE_OBJECT, PDEVICE_OBJECT*);
using DetachRoutine = void (*)(PDEVICE_OBJECT);

constexpr double MinTimeSeconds = 0.3;
constexpr ULONG ReadLength = 4096;
// IRPs each thread sends per iteration of a Read*Threads benchmark.
constexpr int IrpsPerThread = 20000;

// One stack of each kind per thread of the largest scaling run; the single-thread benchmarks use
// the first.
struct BenchStacks {
    PDEVICE_OBJECT directTop[ScalingThreadsMax] = {};
    PDEVICE_OBJECT passThroughTop[ScalingThreadsMax] = {};
    PDEVICE_OBJECT hostTop[ScalingThreadsMax] = {};
    PDEVICE_OBJECT hostLower[ScalingThreadsMax] = {};
};

BenchStacks Stacks;

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// One read IRP's whole trip: allocate, send to the top of the stack, complete, free.
NTSTATUS SendOneRead(PDEVICE_OBJECT top)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = ReadLength;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(top, irp);
    IoFreeIrp(irp);
    return status;
}

void SendRead(benchmark::State& state, PDEVICE_OBJECT top)
{
    if (top == nullptr) {
        state.SkipWithError("stack not built");
        return;
    }
    for (auto _ : state) {
        NTSTATUS status = SendOneRead(top);
        benchmark::DoNotOptimize(status);
    }
}

void ReadDirect(benchmark::State& state) { SendRead(state, Stacks.directTop[0]); }
void ReadPassThrough(benchmark::State& state) { SendRead(state, Stacks.passThroughTop[0]); }
void ReadHostPassDown(benchmark::State& state) { SendRead(state, Stacks.hostTop[0]); }
BENCHMARK(ReadDirect)->MinTime(MinTimeSeconds);
BENCHMARK(ReadPassThrough)->MinTime(MinTimeSeconds);
BENCHMARK(ReadHostPassDown)->MinTime(MinTimeSeconds);

// state.range(0) model threads, each sending IrpsPerThread reads to its own stack of the kind.
void SendReadThreads(benchmark::State& state, PDEVICE_OBJECT (&tops)[ScalingThreadsMax])
{
    int threads = static_cast<int>(state.range(0));
    for (int index = 0; index < threads; index++) {
        if (tops[index] == nullptr) {
            state.SkipWithError("stack not built");
            return;
        }
    }
    for (auto _ : state) {
        bool failed = false;
        double seconds = RunOnModelThreads(
            threads,
            [&tops](int index) {
                for (int irp = 0; irp < IrpsPerThread; irp++) {
                    if (SendOneRead(tops[index]) == STATUS_PENDING) {
                        return false;
                    }
                }
                return true;
            },
            &failed);
        state.SetIterationTime(seconds);
        if (failed) {
            state.SkipWithError("a read was left pending");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * IrpsPerThread);
}

void ReadDirectThreads(benchmark::State& state) { SendReadThreads(state, Stacks.directTop); }
void ReadPassThroughThreads(benchmark::State& state) { SendReadThreads(state, Stacks.passThroughTop); }
void ReadHostPassDownThreads(benchmark::State& state) { SendReadThreads(state, Stacks.hostTop); }
BENCHMARK(ReadDirectThreads)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->MinTime(MinTimeSeconds);
BENCHMARK(ReadPassThroughThreads)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->MinTime(MinTimeSeconds);
BENCHMARK(ReadHostPassDownThreads)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->MinTime(MinTimeSeconds);

template <typename Routine>
Routine Export(km::Image* image, const char* name)
{
    return reinterpret_cast<Routine>(km::ImageSymbol(image, name));
}

// Loads the host and the pass-through driver and builds the three stacks; false with a message
// when anything fails.
bool BuildStacks(std::string* error)
{
    km::DriverLoadResult host = km::LoadDriver(km::ImagePath("host.so"), {u"filterhost", {}, {}});
    km::DriverLoadResult passThrough = km::LoadDriver(km::ImagePath("passthrough.so"), {u"passthrough", {}, {}});
    if (!NT_SUCCESS(host.status) || !NT_SUCCESS(passThrough.status)) {
        *error = "loading the drivers failed: " + host.error + passThrough.error;
        return false;
    }
    auto createSink = Export<CreateSinkRoutine>(passThrough.image, "PassThroughCreateSink");
    auto attach = Export<AttachRoutine>(passThrough.image, "PassThroughAttach");
    if (createSink == nullptr || attach == nullptr) {
        *error = "the pass-through driver lacks its routines";
        return false;
    }
    for (int index = 0; index < ScalingThreadsMax; index++) {
        PDEVICE_OBJECT sinkForPassThrough = nullptr;
        PDEVICE_OBJECT sinkForHost = nullptr;
        if (!NT_SUCCESS(createSink(FILE_DEVICE_DISK_FILE_SYSTEM, &Stacks.directTop[index])) ||
            !NT_SUCCESS(createSink(FILE_DEVICE_DISK_FILE_SYSTEM, &sinkForPassThrough)) ||
            !NT_SUCCESS(createSink(FILE_DEVICE_DISK_FILE_SYSTEM, &sinkForHost)) ||
            !NT_SUCCESS(attach(sinkForPassThrough, &Stacks.passThroughTop[index]))) {
            *error = "building the pass-through stacks failed";
            return false;
        }
        PDEVICE_OBJECT hostDevice = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(host.driver, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &hostDevice))) {
            *error = "creating a host device failed";
            return false;
        }
        if (!NT_SUCCESS(IoAttachDeviceToDeviceStackSafe(hostDevice, sinkForHost, &Stacks.hostLower[index]))) {
            IoDeleteDevice(hostDevice);
            *error = "attaching a host device failed";
            return false;
        }
        hostDevice->Flags &= ~DO_DEVICE_INITIALIZING;
        Stacks.hostTop[index] = hostDevice;
    }
    return true;
}

// Takes the host device off its stack; the drivers' other devices go with the model.
void TearDownStacks()
{
    for (int index = 0; index < ScalingThreadsMax; index++) {
        if (Stacks.hostTop[index] != nullptr) {
            IoDetachDevice(Stacks.hostLower[index]);
            IoDeleteDevice(Stacks.hostTop[index]);
        }
    }
    Stacks = BenchStacks{};
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    km::Boot();
    std::string error;
    if (!BuildStacks(&error)) {
        std::fprintf(stderr, "io_bench: %s\n", error.c_str());
        TearDownStacks();
        km::Shutdown();
        return 1;
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n");
    reporter.PrintRatio("read IRP through HostDispatch (pass down) / straight to the device below", "ReadHostPassDown",
                        "ReadDirect");
    reporter.PrintRatio("read IRP through HostDispatch (pass down) / through a minimal pass-through filter",
                        "ReadHostPassDown", "ReadPassThrough");
    reporter.PrintRatio("read IRP through a minimal pass-through filter / straight to the device below",
                        "ReadPassThrough", "ReadDirect");
    std::printf("(the performance goal on this path: host / pass-through filter <= 1.30x; the goals that need a\n"
                "file system or a module, FastIoRead and the link, are measured by fsfilter_bench)\n");

    std::printf("\nScaling: read IRPs per second, N threads each on its own stack (ratio to 1 thread):\n");
    const char* const kinds[][2] = {{"ReadDirectThreads", "no filter"},
                                    {"ReadPassThroughThreads", "pass-through"},
                                    {"ReadHostPassDownThreads", "host unlinked"}};
    for (const auto& kind : kinds) {
        std::printf("  %-14s", kind[1]);
        double one = reporter.ItemsPerSecond(std::string(kind[0]) + "/1");
        for (int threads : ScalingThreadCounts) {
            double rate = reporter.ItemsPerSecond(std::string(kind[0]) + "/" + std::to_string(threads));
            if (rate <= 0 || one <= 0) {
                std::printf("  %d: not measured     ", threads);
            } else {
                std::printf("  %d: %9.0f/s (%.2fx)", threads, rate, rate / one);
            }
        }
        std::printf("\n");
    }

    TearDownStacks();
    std::string leaks = km::Shutdown();
    if (!leaks.empty()) {
        std::printf("left behind:\n%s\n", leaks.c_str());
        return 1;
    }
    return 0;
}
