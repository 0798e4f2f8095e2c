// HostGlobals: the host driver's one global record, in non-paged memory. Every field is zero when
// the image is loaded except CachedFreePoolWithTag; driver entry gives the rest their start
// values. The driver core's own fields come first; the filter-module host's and the file-system
// filter's parts are records those layers declare in their own headers and reach through
// ModuleHost and FsFilter, which refer into this record. The support library's own process-wide
// state (RoutineTable, the queued-lock cache, OwnerLock) and the event log's sink settings live
// with that code, not here.
#pragma once

#include "base/platform.h"
#include "base/ahashtable.h"
#include "base/asimpleresource.h"
#include "fsfilter/fsfilter.h"
#include "host/host.h"

// CachedFreePoolWithTag before its first use: the 32-bit all-ones pattern in a pointer-sized slot.
constexpr ULONG_PTR FreePoolRoutineNotTaken = 0xFFFFFFFF;

struct HostGlobalsRecord {
    // ---- Pool routines handed out by GetPoolRoutines ----
    // ExFreePoolWithTag as taken from the RoutineTable on first use; FreePoolRoutineNotTaken
    // until then. Kept as an integer so that its start value needs no run-time initialiser.
    ULONG_PTR CachedFreePoolWithTag;

    // ---- Start-up ----
    volatile UCHAR Started;  // 1 from just before the file-system filter starts
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT ControlDevice;

    // ---- Redirect device (SetRedirectDevice, SetRedirectHandler; guarded by GateLock) ----
    PDEVICE_OBJECT RedirectDevice;
    PDRIVER_DISPATCH RedirectHandler;

    // ---- Per-device dispatch overrides (AddOverride, RemoveOverride) ----
    AHashTable* OverrideTable;  // OverrideEntry payloads keyed by device object address
    ASimpleResource OverrideLock;
    volatile UCHAR OverrideReady;  // OverrideTable and OverrideLock exist

    // ---- The filter-module host: service, life cycle, link and call gates (host/host.h) ----
    ModuleHostState ModuleHost;

    // ---- The file-system filter: attachment manager (fsfilter/fsfilter.h) ----
    FsFilterState FsFilter;
};

extern "C" {
extern HostGlobalsRecord HostGlobals;
}
