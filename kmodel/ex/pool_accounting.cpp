// What tests ask of the pool: counters, blocks by tag, the leak report, and the fault rules that
// make allocations fail on purpose.
#include <cstdio>

#include "internal/ex.h"

namespace {

// A tag as it reads in a pool dump, with unprintable bytes shown as '.'.
std::string KmpTagText(ULONG tag)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        char c = (char)((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

}  // namespace

bool KmPoolFaultRefusesLocked(KmPoolState& pool, bool paged, ULONG tag, const void* caller)
{
    pool.Attempts += 1;
    if (pool.TraceCallers) {
        pool.AttemptCallers.push_back(caller);
    }
    bool refused = pool.Attempts == pool.FailAttempt || pool.FailTags.count(tag) != 0 ||
                   (paged ? pool.FailPaged : pool.FailNonPaged) || (caller != nullptr && caller == pool.FailCaller);
    if (refused) {
        pool.FailedAllocations += 1;
    }
    return refused;
}

km::PoolStats km::GetPoolStats()
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    return PoolStats{pool.Blocks.size(), pool.OutstandingBytes, pool.Allocations, pool.Frees,
                     pool.FailedAllocations};
}

size_t km::OutstandingBlocks(ULONG tag)
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    size_t count = 0;
    for (auto& block : pool.Blocks) {
        count += block.second.tag == tag ? 1 : 0;
    }
    return count;
}

bool km::QueryPoolBlock(const void* address, PoolBlockInfo* info)
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    auto found = pool.Blocks.find(reinterpret_cast<uintptr_t>(address));
    if (found == pool.Blocks.end()) {
        return false;
    }
    *info = found->second;
    return true;
}

std::string km::PoolLeakReport()
{
    struct TagTotal {
        size_t blocks = 0;
        size_t bytes = 0;
    };
    std::map<std::string, TagTotal> totals;
    {
        KmPoolState& pool = KmPool();
        std::lock_guard<std::mutex> guard(pool.Lock);
        for (auto& block : pool.Blocks) {
            TagTotal& total = totals[KmpTagText(block.second.tag)];
            total.blocks += 1;
            total.bytes += block.second.size;
        }
    }
    std::string report;
    char line[96];
    for (auto& entry : totals) {
        snprintf(line, sizeof(line), "'%s' %zu block%s %zu bytes\n", entry.first.c_str(), entry.second.blocks,
                 entry.second.blocks == 1 ? "" : "s", entry.second.bytes);
        report += line;
    }
    return report;
}

void km::FailNthAllocation(uint64_t n)
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    pool.FailAttempt = n == 0 ? 0 : pool.Attempts + n;
}

void km::FailAllocationsFrom(const void* caller)
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    pool.FailCaller = caller;
}

void km::TraceAllocationCallers()
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    pool.TraceCallers = true;
    pool.AttemptCallers.clear();
}

std::vector<const void*> km::AllocationTrace()
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    return pool.AttemptCallers;
}

void km::FailAllocationsWithTag(ULONG tag)
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    pool.FailTags.insert(tag);
}

void km::FailAllocationsOfType(bool paged)
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    (paged ? pool.FailPaged : pool.FailNonPaged) = true;
}

void km::ClearPoolFaults()
{
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    pool.FailAttempt = 0;
    pool.FailCaller = nullptr;
    pool.FailTags.clear();
    pool.FailPaged = false;
    pool.FailNonPaged = false;
}
