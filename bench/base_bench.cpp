// Support-library benchmarks, each printed as a ratio against a baseline measured in the same run:
// the block pool and the hash table against the system pool, the recursive resource's shared
// hold against a bare spin lock and against itself with a second reader.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "base/ablockpool.h"
#include "base/ahashtable.h"
#include "base/asimpleresource.h"
#include "base/locks.h"
#include "base/routinetable.h"
#include "kmodel/model.h"
#include "ratio_reporter.h"

namespace {

constexpr ULONG BenchTag = km::PoolTag("Bnch");
constexpr ULONG BlockSize = 32;
constexpr double MinTimeSeconds = 0.2;

void PoolAllocFree(benchmark::State& state)
{
    for (auto _ : state) {
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, BlockSize, BenchTag);
        benchmark::DoNotOptimize(block);
        ExFreePoolWithTag(block, 0);
    }
}
BENCHMARK(PoolAllocFree)->MinTime(MinTimeSeconds);

void BlockPoolTakeReturn(benchmark::State& state)
{
    ABlockPool pool;
    if (ABlockPool_Init(&pool, BlockSize, 0) != STATUS_SUCCESS) {
        state.SkipWithError("ABlockPool_Init failed");
        return;
    }
    for (auto _ : state) {
        PVOID block = ABlockPool_Take(&pool);
        benchmark::DoNotOptimize(block);
        ABlockPool_Return(&pool, block);
    }
    ABlockPool_Destroy(&pool);
}
BENCHMARK(BlockPoolTakeReturn)->MinTime(MinTimeSeconds);

void SpinLockAcquireRelease(benchmark::State& state)
{
    ASpinLock lock;
    ASpinLock_Init(&lock);
    for (auto _ : state) {
        KLOCK_QUEUE_HANDLE handle;
        ASpinLock_Acquire(&lock, &handle);
        ASpinLock_Release(&lock, &handle);
    }
}
BENCHMARK(SpinLockAcquireRelease)->MinTime(MinTimeSeconds);

// One entry's whole life: allocate, insert, look up, and remove (a lookup and two releases).
void HashTableEntryCycle(benchmark::State& state)
{
    AHashTable* table = nullptr;
    if (AHashTable_Create(&table, 37, 16) != STATUS_SUCCESS) {
        state.SkipWithError("AHashTable_Create failed");
        return;
    }
    ULONGLONG key = 1;
    for (auto _ : state) {
        PVOID entry = AHashTable_AllocEntry(table);
        AHashTable_Insert(table, key, entry);
        PVOID found = AHashTable_Lookup(table, key);
        benchmark::DoNotOptimize(found);
        AHashTable_Release(table, found);
        AHashTable_Release(table, found);
        key += 1;
    }
    AHashTable_Destroy(table);
}
BENCHMARK(HashTableEntryCycle)->MinTime(MinTimeSeconds);

// A hit in a table of 37 buckets holding 100 entries, and the release of its reference.
void HashTableLookupRelease(benchmark::State& state)
{
    constexpr ULONGLONG Entries = 100;
    AHashTable* table = nullptr;
    if (AHashTable_Create(&table, 37, 16) != STATUS_SUCCESS) {
        state.SkipWithError("AHashTable_Create failed");
        return;
    }
    for (ULONGLONG key = 0; key < Entries; ++key) {
        AHashTable_Insert(table, key, AHashTable_AllocEntry(table));
    }
    ULONGLONG key = 0;
    for (auto _ : state) {
        PVOID found = AHashTable_Lookup(table, key);
        benchmark::DoNotOptimize(found);
        AHashTable_Release(table, found);
        key = (key + 1) % Entries;
    }
    AHashTable_Destroy(table);
}
BENCHMARK(HashTableLookupRelease)->MinTime(MinTimeSeconds);

// A shared hold and its release; with a second model thread taking and dropping shared holds
// on the same resource all the while when `readers` is 2.
void ResourceShared(benchmark::State& state)
{
    ASimpleResource resource;
    if (ASimpleResource_Init(&resource) != STATUS_SUCCESS) {
        state.SkipWithError("ASimpleResource_Init failed");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<bool> running{false};
    km::Thread* other = nullptr;
    if (state.range(0) == 2) {
        other = km::StartThread(km::SystemProcess(), [&] {
            running.store(true);
            while (!stop.load(std::memory_order_relaxed)) {
                if (ASimpleResource_AcquireShared(&resource)) {
                    ASimpleResource_ReleaseShared(&resource);
                }
            }
        });
        while (!running.load()) {
            std::this_thread::yield();
        }
    }
    for (auto _ : state) {
        if (!ASimpleResource_AcquireShared(&resource)) {
            state.SkipWithError("shared hold refused");
            break;
        }
        ASimpleResource_ReleaseShared(&resource);
    }
    stop.store(true);
    if (other != nullptr) {
        km::JoinThread(other);
    }
    ASimpleResource_Destroy(&resource);
}
BENCHMARK(ResourceShared)->Arg(1)->Arg(2)->MinTime(MinTimeSeconds);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    km::Boot();
    BaseInit();

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n");
    reporter.PrintRatio("ABlockPool take+return / ExAllocatePoolWithTag+free", "BlockPoolTakeReturn",
               "PoolAllocFree");
    reporter.PrintRatio("AHashTable alloc+insert+lookup+remove / ExAllocatePoolWithTag+free",
               "HashTableEntryCycle", "PoolAllocFree");
    reporter.PrintRatio("AHashTable lookup+release / ASpinLock acquire+release",
               "HashTableLookupRelease", "SpinLockAcquireRelease");
    reporter.PrintRatio("ASimpleResource shared acquire+release / ASpinLock acquire+release",
               "ResourceShared/1", "SpinLockAcquireRelease");
    reporter.PrintRatio("ASimpleResource shared, two readers / one reader", "ResourceShared/2",
               "ResourceShared/1");

    std::string leaks = km::Shutdown();
    if (!leaks.empty()) {
        std::printf("left behind:\n%s\n", leaks.c_str());
        return 1;
    }
    return 0;
}
