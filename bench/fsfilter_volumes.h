// The mounted volumes the file-system filter benchmarks read from, built in one model: the model's
// disk file system, the host loaded as a driver and attached as it attaches itself, a minimal
// pass-through filter, and a filter module that forwards everything and links through the host's
// command path. Each volume holds one file, open for the whole run.
#pragma once

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
// Unlinks and unloads the module, closes the files and dismounts the volumes (the filters above
// them detach and delete their devices). The host and pass-through drivers stay loaded: the model
// takes them down at shutdown.
void TearDownBenchVolumes(BenchVolumes* volumes);
