// The dispatcher lock and the model clock: shared by waits, events, mutexes, thread and process
// ends, and the routines that read the time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "internal/ps.h"

// One model-wide lock guards the state of every dispatcher object (DISPATCHER_HEADER.SignalState,
// mutex owners, thread mutex lists); `Changed` is notified whenever a state may let a waiter go.
struct KmDispatcher {
    std::mutex Lock;
    std::condition_variable Changed;
};
KmDispatcher& KmGetDispatcher();

// Dispatcher lock held: marks `header` signalled and wakes the waiters.
void KmSignalObjectLocked(DISPATCHER_HEADER* header);
// Dispatcher lock held: `thread` takes ownership (or one more recursion) of a mutex whose wait is
// satisfied; STATUS_ABANDONED_WAIT_0 when the previous owner ended while owning it.
NTSTATUS KmAcquireMutantLocked(PKMUTANT mutant, km::Thread* thread);
// Dispatcher lock held: the thread's mutexes become free and abandoned.
void KmAbandonMutexesLocked(km::Thread* thread);

// Model clock. Model time runs `rate` times faster than real time and never goes backwards.
void KmClockBoot(double rate);
// Model time since boot in 100 ns units.
int64_t KmClockNow();
// System time (100 ns since 1601) at model time 0.
int64_t KmClockSystemTimeAtBoot();
// Real time that passes while model time advances by `modelDelta` (100 ns units) at the
// present rate; at least 1 ns, at most an hour (callers re-check and wait again).
std::chrono::nanoseconds KmClockRealDuration(int64_t modelDelta);
// Dispatcher lock held: changes the rate from now on, keeping model time continuous.
void KmClockSetRateLocked(double rate);
