// The cost of the host on the I/O path, in the model, printed as ratios against stacks measured
// side by side in the same run:
//   direct       a read IRP sent straight to a sink device (the bottom of every stack here);
//   passthrough  the same IRP through a minimal filter that skips its stack location and calls down;
//   host         the same IRP through a host device of a file-system type attached over the sink,
//                with no override and no module, so HostDispatch passes it down.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "kmodel/io_model.h"
#include "kmodel/model.h"
#include "ratio_reporter.h"

namespace {

using CreateSinkRoutine = NTSTATUS (*)(DEVICE_TYPE, PDEVICE_OBJECT*);
using AttachRoutine = NTSTATUS (*)(PDEVICE_OBJECT, PDEVICE_OBJECT*);
using DetachRoutine = void (*)(PDEVICE_OBJECT);

constexpr double MinTimeSeconds = 0.3;
constexpr ULONG ReadLength = 4096;

struct BenchStacks {
    PDEVICE_OBJECT directTop = nullptr;
    PDEVICE_OBJECT passThroughTop = nullptr;
    PDEVICE_OBJECT hostTop = nullptr;
    PDEVICE_OBJECT hostLower = nullptr;
};

BenchStacks Stacks;

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// One read IRP's whole trip: allocate, send to the top of the stack, complete, free.
void SendRead(benchmark::State& state, PDEVICE_OBJECT top)
{
    if (top == nullptr) {
        state.SkipWithError("stack not built");
        return;
    }
    for (auto _ : state) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_READ;
        stack->Parameters.Read.Length = ReadLength;
        IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
        NTSTATUS status = IofCallDriver(top, irp);
        benchmark::DoNotOptimize(status);
        IoFreeIrp(irp);
    }
}

void ReadDirect(benchmark::State& state) { SendRead(state, Stacks.directTop); }
void ReadPassThrough(benchmark::State& state) { SendRead(state, Stacks.passThroughTop); }
void ReadHostPassDown(benchmark::State& state) { SendRead(state, Stacks.hostTop); }
BENCHMARK(ReadDirect)->MinTime(MinTimeSeconds);
BENCHMARK(ReadPassThrough)->MinTime(MinTimeSeconds);
BENCHMARK(ReadHostPassDown)->MinTime(MinTimeSeconds);

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
    PDEVICE_OBJECT sinkForPassThrough = nullptr;
    PDEVICE_OBJECT sinkForHost = nullptr;
    if (createSink == nullptr || attach == nullptr ||
        !NT_SUCCESS(createSink(FILE_DEVICE_DISK_FILE_SYSTEM, &Stacks.directTop)) ||
        !NT_SUCCESS(createSink(FILE_DEVICE_DISK_FILE_SYSTEM, &sinkForPassThrough)) ||
        !NT_SUCCESS(createSink(FILE_DEVICE_DISK_FILE_SYSTEM, &sinkForHost)) ||
        !NT_SUCCESS(attach(sinkForPassThrough, &Stacks.passThroughTop))) {
        *error = "building the pass-through stacks failed";
        return false;
    }
    PDEVICE_OBJECT hostDevice = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(host.driver, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &hostDevice)) ||
        !NT_SUCCESS(IoAttachDeviceToDeviceStackSafe(hostDevice, sinkForHost, &Stacks.hostLower))) {
        *error = "attaching a host device failed";
        return false;
    }
    hostDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    Stacks.hostTop = hostDevice;
    return true;
}

// Takes the host device off its stack; the drivers' other devices go with the model.
void TearDownStacks()
{
    if (Stacks.hostTop != nullptr) {
        IoDetachDevice(Stacks.hostLower);
        IoDeleteDevice(Stacks.hostTop);
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

    TearDownStacks();
    std::string leaks = km::Shutdown();
    if (!leaks.empty()) {
        std::printf("left behind:\n%s\n", leaks.c_str());
        return 1;
    }
    return 0;
}
