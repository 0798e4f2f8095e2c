// The mounted volumes the file-system filter benchmarks read from, built in one model: the model's
// disk file system, the host loaded as a driver and attached as it attaches itself, a minimal
// pass-through filter, and a filter module that forwards everything and links through the host's
// command path, loaded by the host itself. Each volume holds one file, open for the whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kmodel/fs_model.h"

// One open file and the devices a request for it can be sent to.
struct BenchVolume {
    PDEVICE_OBJECT storage = nullptr;
    PDEVICE_OBJECT volume = nullptr;  // the file system's volume device
    PDEVICE_OBJECT filter = nullptr;  // the filter device right above the volume device
    HANDLE handle = nullptr;
    PFILE_OBJECT file = nullptr;  // referenced while the run lasts
};

// Volumes of each kind: one per reading thread of the largest scaling run.
constexpr int BenchVolumesPerKind = 4;

struct BenchVolumes {
    // The host's filter device over the file system's volume device, attached when it mounted.
    BenchVolume hosted[BenchVolumesPerKind];
    // The pass-through filter's device over the file system's volume device (mounted, and the
    // pass-through attached, before the host loaded; the host's device sits above it).
    BenchVolume passThrough[BenchVolumesPerKind];
};

// Bytes in each volume's file, and read by every request.
constexpr ULONG BenchFileBytes = 4096;

// On a booted model: starts the file system, loads the drivers and builds
// the volumes; false with a message when anything fails (what was built is still torn down by
// TearDownBenchVolumes).
bool BuildBenchVolumes(BenchVolumes* volumes, std::string* error);
// Links (true) or unlinks the module; does nothing when it already is. False when the host refused.
bool SetModuleLinked(bool linked);
// Reads carrying FORWARDING_MODULE_PROBE_KEY that the module has forwarded so far.
long ModuleProbeCalls();
// The module's unload as an operator makes it: the module unlinks itself and withdraws its entry
// points (UnlinkModule; a call already inside it goes on), then the host unloads it (UnloadModule,
// which waits for the calls inside to leave, and answers the command's status) and loads it again
// (ReloadModule, linked or not; false with a message when that fails).
void UnlinkModule();
NTSTATUS UnloadModule();
bool ReloadModule(bool linked, std::string* error);
// The last unload's drain, by the mechanism hostsim uses: the model time the module stamped as its
// last drain read (FORWARDING_MODULE_DRAIN_KEY) left, from the line it printed as it unloaded
// (after debugger line `debuggerMark`; 0 when none), and the model time of the host's last
// ZwUnloadDriver of the module that succeeded (-1 when none).
int64_t ModuleDrainStart(size_t debuggerMark);
int64_t ModuleUnloadCalled();
// Unlinks and unloads the module, closes the files and dismounts the volumes (the filters above
// them detach and delete their devices). The host and pass-through drivers stay loaded: the model
// takes them down at shutdown.
void TearDownBenchVolumes(BenchVolumes* volumes);
