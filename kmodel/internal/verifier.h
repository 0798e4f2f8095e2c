// The model's bug checks and the checks its verifier makes: the parameter values that tell one
// violation from another, and the formatted bug check the model's routines raise.
#pragma once

#include "ntmodel/ntifs.h"

// Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION for the checks the model's verifier makes.
enum KmVerifierCheck : ULONG_PTR {
    // A lock taken in the opposite order to one seen before on some thread: the cycle Verifier's
    // deadlock detection reports as a lock hierarchy violation (P2 the lock taken, P3 the lock
    // held that closes the cycle, P4 the thread id).
    KmCheckLockHierarchy = 0x1001,
    KmCheckSpinLockReleaseIrql = 0x1020,       // release restores an IRQL other than the saved one
    KmCheckSpinLockReleaseMode = 0x1002,       // queued lock released as plain, or the reverse
    KmCheckIrqlLoweredHoldingSpinLock = 0x1003,
    KmCheckIrqlLoweredHoldingFastMutex = 0x1004,
    KmCheckFastMutexRecursion = 0x1005,
    KmCheckFastMutexNotOwner = 0x1006,
    KmCheckFastMutexReleaseIrql = 0x1007,
    KmCheckThreadEndIrql = 0x1008,
    KmCheckThreadEndSpinLock = 0x1009,
    KmCheckThreadEndFastMutex = 0x100A,
    KmCheckGuardOrder = 0x100B,                // guard frame popped out of order
    KmCheckNotDispatcherObject = 0x100C,
    KmCheckRoutineIrql = 0x100D,               // routine called above its IRQL
    KmCheckResourceOutsideCriticalRegion = 0x100E,
    KmCheckResourceExclusiveOverShared = 0x100F,  // would wait for itself forever
    KmCheckResourceDeletedOwned = 0x1010,
    KmCheckResourceUnknown = 0x1011,              // not initialized, or deleted
    KmCheckThreadEndResource = 0x1012,
    KmCheckCriticalRegionUnderflow = 0x1013,
    KmCheckWorkItemQueuedTwice = 0x1014,
    KmCheckWorkItemFreedQueued = 0x1015,
    KmCheckCompleteHoldingSpinLock = 0x1021,   // IoCompleteRequest with a spin lock held
    KmCheckCalloutSpinLock = 0x1022,           // a notify or change routine returned holding a spin lock
    KmCheckCalloutIrql = 0x1023,               // a notify or change routine returned at another IRQL
    KmCheckModelMisuse = 0x10FF,               // the model's own interface used wrongly
};

// Parameter 1 of BAD_POOL_CALLER, as the pool allocator reports it.
enum KmPoolViolation : ULONG_PTR {
    KmPoolFreedTwice = 0x07,
    KmPoolAllocateAtBadIrql = 0x08,
    KmPoolFreeAtBadIrql = 0x09,
    KmPoolTagMismatch = 0x0A,
    KmPoolBadType = 0x0D,
    KmPoolFreeUnknownAddress = 0x46,
    KmPoolZeroTag = 0x9B,
};

// Raises a bug check whose reason is formatted like printf. Never returns.
[[noreturn]] void KmBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                             const char* format, ...) __attribute__((format(printf, 6, 7)));

// Misuse of the model's own interface (km::): a bug in a test, reported as a bug check.
#define KmModelMisuse(...) KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckModelMisuse, 0, 0, 0, __VA_ARGS__)

// A callback's entry state (callout.cpp): taken before a notify or change routine runs and checked
// when it returns (no spin lock gained, the IRQL it was called at).
struct KmCalloutMark {
    KIRQL Irql;
    size_t SpinLocks;
};
KmCalloutMark KmCalloutEnter();
// Bug-checks when the thread's state differs from `mark`; `what` names the kind of routine.
void KmCalloutReturned(const KmCalloutMark& mark, const char* what, const void* routine);

// Deadlock detection (lock_order.cpp). The lock routines report each acquisition: before it
// (an acquisition that closes a cycle in the run's lock order stops the system with
// KmCheckLockHierarchy), once it is held, and at its release. `site` is the caller's return
// address, for the report.
enum class KmLockKind : UCHAR { SpinLock, Mutex, FastMutex, Resource };
void KmLockOrderBeforeAcquire(const void* lock, KmLockKind kind, const void* site);
void KmLockOrderAcquired(const void* lock, KmLockKind kind, const void* site);
void KmLockOrderReleased(const void* lock);
// The memory [start, start + size) no longer holds the locks it held (freed, unloaded, or a lock
// initialised again): they leave the lock order with their edges.
void KmLockOrderForget(const void* start, size_t size);
// A fresh lock order (boot).
void KmLockOrderBoot();
