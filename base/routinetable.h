// Optional kernel routines, looked up by name once at driver entry, and the support library's
// start-up routine.
#pragma once

#include "base/platform.h"

typedef VOID(FASTCALL* AcquireInStackQueuedSpinLockRoutine)(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
typedef VOID(FASTCALL* ReleaseInStackQueuedSpinLockRoutine)(PKLOCK_QUEUE_HANDLE LockHandle);
typedef VOID(NTAPI* FreePoolWithTagRoutine)(PVOID P, ULONG Tag);

// Each entry is the kernel's routine of that name, or null when the running kernel lacks it.
// Filled by BaseInit and read-only afterwards, so it is read without a lock.
struct OptionalRoutineTable {
    AcquireInStackQueuedSpinLockRoutine acquireInStackQueuedSpinLock;
    ReleaseInStackQueuedSpinLockRoutine releaseInStackQueuedSpinLock;
    FreePoolWithTagRoutine freePoolWithTag;
};

extern "C" {

extern OptionalRoutineTable RoutineTable;

// Prepares the support library: fills RoutineTable and initialises the OwnerLock of the
// recursive resources (which settles the queued-lock cache). Runs first in driver entry, once, at
// PASSIVE_LEVEL, before any other routine of the library. Always STATUS_SUCCESS: a routine the
// kernel lacks is not an error.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS BaseInit(void);

}  // extern "C"
