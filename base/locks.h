// Lock holders of the support library: ASpinLock, AMutex, AFastMutex, and the AStopwatch that the
// recursive resource times its polls with. A holder can be embedded in any record, paged or
// non-paged; the kernel object lives inline when the holder is non-paged, else in a small
// non-paged block of its own.
#pragma once

#include "base/platform.h"

// Wait time-out that callers pass when they mean "without limit" (about 49.7 days).
constexpr ULONG UnboundedWaitMs = 0xFFFFFFFF;
// Relative kernel time of one millisecond, in 100 ns units.
constexpr LONGLONG RelativeTimePerMs = -10000;
// Pool tag of the separate mutex blocks of holders that lie in paged memory: "Amem".
constexpr ULONG LockPoolTag = 0x6D656D41;

// Holder of one spin lock. The saved IRQL is used only in plain mode; in queued mode the previous
// IRQL lives in the caller's queue handle.
struct ASpinLock {
    KSPIN_LOCK lock;
    KIRQL savedIrql;
};

// Holder of one KMUTEX: inline storage, and the mutex in use (the inline storage, a non-paged
// "Amem" block, or null before initialisation and after AMutex_Free).
struct AMutex {
    KMUTEX inlineMutex;
    PKMUTEX mutex;
};

// Holder of one FAST_MUTEX, the same shape as AMutex.
struct AFastMutex {
    FAST_MUTEX inlineMutex;
    PFAST_MUTEX mutex;
};

// Performance-counter interval: an end of 0 stands for the present moment; frequency is in counts
// per second as KeQueryPerformanceCounter reports it.
struct AStopwatch {
    LONGLONG start;
    LONGLONG end;
    LONGLONG frequency;
};

extern "C" {

// Brings the process-wide queued-lock routine cache up to date, then puts the holder's lock in the
// released state. False only for a null holder. Any IRQL up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ASpinLock_Init(_Inout_opt_ ASpinLock* holder);

// Acquires the lock and returns at DISPATCH_LEVEL. With a queue handle and a kernel that has the
// in-stack queued routines, the lock is queued and the previous IRQL kept in the handle; otherwise
// it is a plain spin lock whose previous IRQL is kept in the holder. Release with the same handle.
_IRQL_requires_max_(DISPATCH_LEVEL)
_IRQL_raises_(DISPATCH_LEVEL)
void ASpinLock_Acquire(_Inout_opt_ ASpinLock* holder, _Out_opt_ PKLOCK_QUEUE_HANDLE queueHandle);

// Releases a lock taken by ASpinLock_Acquire with the same queue handle (or none), restoring the
// previous IRQL.
_IRQL_requires_(DISPATCH_LEVEL)
void ASpinLock_Release(_Inout_opt_ ASpinLock* holder, _Inout_opt_ PKLOCK_QUEUE_HANDLE queueHandle);

// Zero-fills the holder and initialises its mutex (level 0), inline when the holder is non-paged,
// else in a non-paged "Amem" block. STATUS_INVALID_PARAMETER for a null holder,
// STATUS_INSUFFICIENT_RESOURCES when the block cannot be had (the holder is then left zero).
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS AMutex_Init(_Out_opt_ AMutex* holder);

// Waits for the mutex for at most timeoutMs milliseconds (UnboundedWaitMs: about 49.7 days).
// True when the caller now owns it, an abandoned mutex included; the owner may wait again and
// must then release once per successful wait. At DISPATCH_LEVEL only with a time-out of 0.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN AMutex_Wait(_Inout_opt_ AMutex* holder, ULONG timeoutMs);

// Releases one ownership of the mutex.
_IRQL_requires_max_(DISPATCH_LEVEL)
void AMutex_Release(_Inout_opt_ AMutex* holder);

// Frees the mutex's separate block, if it has one, and clears the holder's mutex pointer. The
// mutex must not be owned or waited for.
_IRQL_requires_max_(DISPATCH_LEVEL)
void AMutex_Free(_Inout_opt_ AMutex* holder);

// Zero-fills the holder and initialises its fast mutex, inline when the holder is non-paged, else
// in a non-paged "Amem" block. STATUS_INSUFFICIENT_RESOURCES when the block cannot be had;
// STATUS_INVALID_PARAMETER for a null holder.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS AFastMutex_Init(_Out_opt_ AFastMutex* holder);

// Acquires the fast mutex (not recursive) and returns at APC_LEVEL. IRQL <= APC_LEVEL.
_IRQL_requires_max_(APC_LEVEL)
void AFastMutex_Acquire(_Inout_opt_ AFastMutex* holder);

// Releases the fast mutex and restores the IRQL of its acquisition.
_IRQL_requires_(APC_LEVEL)
void AFastMutex_Release(_Inout_opt_ AFastMutex* holder);

// Frees the fast mutex's separate block, if it has one, and clears the holder's pointer.
_IRQL_requires_max_(DISPATCH_LEVEL)
void AFastMutex_Free(_Inout_opt_ AFastMutex* holder);

// Milliseconds from the stopwatch's start to its end (to now when the end is 0), truncated to the
// low 32 bits; 0 for a null stopwatch or a frequency of 0. Any IRQL.
ULONG AStopwatch_ElapsedMs(_In_opt_ const AStopwatch* stopwatch);

}  // extern "C"
