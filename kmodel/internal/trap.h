// Trap points: the calls of model routines that tests can park or make raise (kmodel/trap.h).
#pragma once

#include <atomic>

#include "ntmodel/ntifs.h"

// Number of armed traps; the routines test it before reporting, so that a call costs one load
// while no trap is armed.
extern std::atomic<int> KmArmedTraps;

// Reports a call of `routine` on `object` (tag for pool routines) at the routine's entry. May park
// the calling thread, or raise as ExRaiseStatus does: call it before the routine holds anything.
void KmTrapPointSlow(const char* routine, const void* object, ULONG tag);

inline void KmTrapPoint(const char* routine, const void* object, ULONG tag = 0)
{
    if (KmArmedTraps.load(std::memory_order_relaxed) != 0) {
        KmTrapPointSlow(routine, object, tag);
    }
}
