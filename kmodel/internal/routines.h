// The routine areas kernel code calls beyond the core the host uses: filter-issued I/O and
// cancellation, MDLs, lookaside lists, semaphores, timers and DPCs, the Rtl conversions, and the
// object services (events and waits by handle, handle duplication). What these areas
// share with the rest of the model: their verifier checks, and their part of a driver's unload
// and of the model's shutdown.
#pragma once

#include <string>

#include "ntmodel/ntifs.h"

// Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION for the checks of these areas.
enum KmRoutineCheck : ULONG_PTR {
    KmCheckMdlUnknown = 0x1101,             // not an MDL from IoAllocateMdl (freed already?)
    KmCheckMdlFreedLocked = 0x1102,         // IoFreeMdl while its pages are locked
    KmCheckMdlLockedTwice = 0x1103,
    KmCheckMdlNotLocked = 0x1104,           // unlocked or mapped without being locked
    KmCheckMdlMappedTwice = 0x1105,
    KmCheckMdlPagedPool = 0x1106,           // MmBuildMdlForNonPagedPool on paged memory
    KmCheckMdlPagedAtDispatch = 0x1107,     // paged buffer locked at DISPATCH_LEVEL
    KmCheckIrpReusedInUse = 0x1108,         // IoReuseIrp while a driver holds the IRP
    KmCheckCancelLockHeld = 0x1109,         // cancel routine returned holding the cancel spin lock
    KmCheckLookasideUnknown = 0x110A,
    KmCheckLookasideAtUnload = 0x110B,
    KmCheckDpcReturnedRaised = 0x110C,      // DPC routine returned at another IRQL or holding a lock
    KmCheckWaitBlockMissing = 0x110D,       // more than THREAD_WAIT_OBJECTS objects, no wait blocks
};

// Parameter 1 of TIMER_OR_DPC_INVALID: what was found in a driver's memory at its unload.
enum KmTimerOrDpcKind : ULONG_PTR { KmFoundTimer = 0, KmFoundDpc = 1, KmFoundDpcRoutine = 2 };

// ---- MDLs (mm/mdl.cpp) ---------------------------------------------------------------------------

// An MDL allocated on behalf of `allocator` (the image whose request it serves).
PMDL KmAllocateMdl(PVOID address, ULONG length, const void* allocator);
// The I/O manager's end of an IRP: every MDL of its chain is unlocked and freed.
void KmReleaseIrpMdls(PIRP irp);

// ---- Driver unload and shutdown ------------------------------------------------------------------

// A driver's image is about to go: bug-checks for what would run or be walked in its memory
// afterwards (a set timer, a queued DPC, a lookaside list), then answers lines for what it left
// (MDLs), released.
std::string KmRoutinesOfImage(const void* image);
// Shutdown, before the drivers go: timers are cancelled and DPCs drained; lines for what is left.
std::string KmRoutinesShutdownReport();

// Per-area parts of the two above.
std::string KmMdlsOfImage(const void* image);
std::string KmMdlShutdownReport();
void KmCheckLookasideListsOfImage(const void* image);
std::string KmLookasideShutdownReport();
void KmCheckTimersOfImage(const void* image);
// A pool block is being freed: TIMER_OR_DPC_INVALID when it holds a set timer, the DPC of one, or
// a queued DPC (parameters: what was found, its address, the block's start and end).
void KmCheckTimersInFreedPool(const void* block, size_t size);
std::string KmTimerShutdownReport();
