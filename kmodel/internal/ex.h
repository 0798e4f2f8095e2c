// Pool internals shared by the allocator, its accounting and fault rules, boot and shutdown, and
// the memory manager.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kmodel/model.h"

// Every pool block the model handed out, with the allocator's counters and fault rules.
struct KmPoolState {
    std::mutex Lock;
    std::map<uintptr_t, km::PoolBlockInfo> Blocks;  // by start address
    std::unordered_set<uintptr_t> Freed;            // recently freed addresses, to name double frees
    // The return address of each live block's allocation call, by start address: the I/O manager
    // attributes blocks to the driver image that allocated them.
    std::unordered_map<uintptr_t, const void*> Callers;
    size_t OutstandingBytes = 0;
    uint64_t Allocations = 0;
    uint64_t Frees = 0;
    uint64_t FailedAllocations = 0;

    // Fault rules.
    uint64_t Attempts = 0;     // allocation attempts since boot
    uint64_t FailAttempt = 0;  // the attempt number the Nth rule refuses; 0 when no such rule
    std::set<ULONG> FailTags;
    bool FailPaged = false;
    bool FailNonPaged = false;
    const void* FailCaller = nullptr;            // refuse every attempt from this return address
    bool TraceCallers = false;                   // record AttemptCallers
    std::vector<const void*> AttemptCallers;     // the return address of each attempt traced
};
KmPoolState& KmPool();

// Pool lock held: whether the fault rules refuse this attempt (counted as an attempt).
bool KmPoolFaultRefusesLocked(KmPoolState& pool, bool paged, ULONG tag, const void* caller);

// Hands a freed block's memory to the quarantine (verifier/pool_quarantine.cpp), which fills it
// and frees it later; `freer` is the return address of the free call.
void KmPoolQuarantine(void* start, size_t size, ULONG tag, const void* freer);
// Checks every quarantined block for writes after its free and frees them all.
void KmPoolQuarantineDrain();

// Frees every block and forgets the pool's history and fault rules (boot and shutdown).
void KmPoolReset();
// Forgets the kernel debugger output of the previous boot.
void KmDebuggerBoot();
// True when `address` lies inside a paged-pool block.
bool KmPoolIsPagedAddress(const void* address);

// Lines for the executive resources still initialized at shutdown; the model forgets them.
std::string KmExResourceShutdownReport();
