// The pool allocator. Blocks come from malloc with no padding, so that the address sanitizer sees
// overruns; the model keeps each block's type, tag and size and checks every free against them.
// New blocks are filled with a non-zero pattern: pool is not zeroed.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal/ex.h"
#include "internal/ps.h"
#include "internal/routines.h"
#include "internal/verifier.h"
#include "internal/trap.h"

namespace {

constexpr unsigned char KmpNewPoolFill = 0xA5;
// The tag ExAllocatePool gives its blocks.
constexpr ULONG KmpUntaggedPoolTag = km::PoolTag("None");
// Tags compare without the protected-pool bit.
constexpr ULONG KmpProtectedPoolBit = 0x80000000;
// Type bits the model knows: the basic type (0-7) and its flags.
constexpr ULONG KmpBasicPoolTypeMask = 7;
constexpr ULONG KmpSessionPoolFlag = 32;
constexpr ULONG KmpColdAllocationFlag = 256;
constexpr ULONG KmpKnownPoolTypeBits = KmpBasicPoolTypeMask | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE |
                                       POOL_RAISE_IF_ALLOCATION_FAILURE | KmpSessionPoolFlag |
                                       KmpColdAllocationFlag | NonPagedPoolNx;
// Freed addresses remembered for naming double frees; the memory starts over when full.
constexpr size_t KmpFreedAddressMemory = 1 << 16;

// Must-succeed pool and DontUseThisType are refused, as on Windows.
bool KmpIsUsablePoolType(ULONG type)
{
    ULONG basic = type & KmpBasicPoolTypeMask;
    return (type & ~KmpKnownPoolTypeBits) == 0 && basic != NonPagedPoolMustSucceed && basic != DontUseThisType &&
           basic != NonPagedPoolCacheAlignedMustS;
}

// Non-paged pool without the Nx bit is executable, as on Windows: the pages under such a block
// are made executable (which makes any neighbour on them executable too). False when the system
// refuses.
bool KmpMakeExecutable(void* block, size_t bytes)
{
    auto page = static_cast<uintptr_t>(getpagesize());
    auto start = reinterpret_cast<uintptr_t>(block) & ~(page - 1);
    auto end = (reinterpret_cast<uintptr_t>(block) + bytes + page - 1) & ~(page - 1);
    return mprotect(reinterpret_cast<void*>(start), end - start, PROT_READ | PROT_WRITE | PROT_EXEC) == 0;
}

bool KmpIsExecutableType(ULONG type) { return (type & (PagedPool | NonPagedPoolNx)) == 0; }

// Allocates a block after the IRQL and type checks; null when a fault rule refuses it or memory
// runs out. `routine` names the caller in bug checks; `caller` is the return address of the
// allocation call.
PVOID KmpAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine, const void* caller)
{
    KmTrapPoint(routine, nullptr, tag);
    km::Thread* thread = KmCurrentThread();
    ULONG typeBits = (ULONG)type;
    if (!KmpIsUsablePoolType(typeBits)) {
        KmBugCheck(BAD_POOL_CALLER, KmPoolBadType, typeBits, bytes, tag, "%s with pool type %u", routine, typeBits);
    }
    bool paged = (typeBits & PagedPool) != 0;
    if (thread->Irql > DISPATCH_LEVEL || (paged && thread->Irql >= DISPATCH_LEVEL)) {
        KmBugCheck(BAD_POOL_CALLER, KmPoolAllocateAtBadIrql, thread->Irql, typeBits, tag,
                   "%s of %s pool at IRQL %u", routine, paged ? "paged" : "non-paged", thread->Irql);
    }
    if (tag == 0) {
        KmBugCheck(BAD_POOL_CALLER, KmPoolZeroTag, typeBits, bytes, 0, "%s with a tag of zero", routine);
    }
    KmPoolState& pool = KmPool();
    {
        std::lock_guard<std::mutex> guard(pool.Lock);
        if (KmPoolFaultRefusesLocked(pool, paged, tag, caller)) {
            return nullptr;
        }
    }
    void* block = malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        return nullptr;
    }
    if (KmpIsExecutableType(typeBits) && !KmpMakeExecutable(block, bytes == 0 ? 1 : bytes)) {
        free(block);
        return nullptr;
    }
    memset(block, KmpNewPoolFill, bytes);
    std::lock_guard<std::mutex> guard(pool.Lock);
    auto address = reinterpret_cast<uintptr_t>(block);
    pool.Blocks[address] = km::PoolBlockInfo{type, paged, tag, bytes};
    pool.Callers[address] = caller;
    pool.Freed.erase(address);
    pool.OutstandingBytes += bytes;
    pool.Allocations += 1;
    return block;
}

// Raises STATUS_INSUFFICIENT_RESOURCES when an allocation that must not return null failed.
PVOID KmpRaiseIfNull(PVOID block)
{
    if (block == nullptr) {
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    }
    return block;
}

}  // namespace

KmPoolState& KmPool()
{
    static KmPoolState* pool = new KmPoolState;
    return *pool;
}

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    PVOID block = KmpAllocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag", __builtin_return_address(0));
    return (PoolType & POOL_RAISE_IF_ALLOCATION_FAILURE) != 0 ? KmpRaiseIfNull(block) : block;
}

extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    PVOID block =
        KmpAllocate(PoolType, NumberOfBytes, KmpUntaggedPoolTag, "ExAllocatePool", __builtin_return_address(0));
    return (PoolType & POOL_RAISE_IF_ALLOCATION_FAILURE) != 0 ? KmpRaiseIfNull(block) : block;
}

extern "C" PVOID ExAllocatePoolWithTagPriority(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                               EX_POOL_PRIORITY Priority)
{
    UNREFERENCED_PARAMETER(Priority);
    PVOID block = KmpAllocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTagPriority",
                              __builtin_return_address(0));
    return (PoolType & POOL_RAISE_IF_ALLOCATION_FAILURE) != 0 ? KmpRaiseIfNull(block) : block;
}

// Charges the current process (not modelled) and raises STATUS_INSUFFICIENT_RESOURCES on failure
// unless the type carries POOL_QUOTA_FAIL_INSTEAD_OF_RAISE, as Windows does.
extern "C" PVOID ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    PVOID block =
        KmpAllocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithQuotaTag", __builtin_return_address(0));
    return (PoolType & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) != 0 ? block : KmpRaiseIfNull(block);
}

// Frees a block into the quarantine. A non-zero tag must match the block's; tag 0 frees any tag.
// Freeing an address that is not a live block, or paged pool at DISPATCH_LEVEL, is a bug check.
extern "C" void ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    if (KmArmedTraps.load(std::memory_order_relaxed) != 0) {
        km::PoolBlockInfo info{};
        KmTrapPointSlow("ExFreePoolWithTag", P, km::QueryPoolBlock(P, &info) ? info.tag : 0);
    }
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql > DISPATCH_LEVEL) {
        KmBugCheck(BAD_POOL_CALLER, KmPoolFreeAtBadIrql, irql, 0, (ULONG_PTR)P, "ExFreePoolWithTag at IRQL %u",
                   irql);
    }
    KmPoolState& pool = KmPool();
    auto address = reinterpret_cast<uintptr_t>(P);
    size_t size;
    ULONG tag;
    {
        std::lock_guard<std::mutex> guard(pool.Lock);
        auto found = pool.Blocks.find(address);
        if (found == pool.Blocks.end()) {
            if (pool.Freed.count(address) != 0) {
                KmBugCheck(BAD_POOL_CALLER, KmPoolFreedTwice, address, 0, 0, "pool block %p freed twice", P);
            }
            KmBugCheck(BAD_POOL_CALLER, KmPoolFreeUnknownAddress, address, 0, 0,
                       "ExFreePoolWithTag of %p, which is not the start of a pool block", P);
        }
        const km::PoolBlockInfo block = found->second;
        if (Tag != 0 && (Tag & ~KmpProtectedPoolBit) != (block.tag & ~KmpProtectedPoolBit)) {
            KmBugCheck(BAD_POOL_CALLER, KmPoolTagMismatch, address, Tag, block.tag,
                       "pool block %p has tag 0x%08X but is freed with tag 0x%08X", P, block.tag, Tag);
        }
        if (block.paged && irql >= DISPATCH_LEVEL) {
            KmBugCheck(BAD_POOL_CALLER, KmPoolFreeAtBadIrql, irql, block.type, address,
                       "paged pool block %p freed at IRQL %u", P, irql);
        }
        pool.OutstandingBytes -= block.size;
        pool.Frees += 1;
        pool.Blocks.erase(found);
        pool.Callers.erase(address);
        if (pool.Freed.size() >= KmpFreedAddressMemory) {
            pool.Freed.clear();
        }
        pool.Freed.insert(address);
        size = block.size;
        tag = block.tag;
    }
    KmCheckTimersInFreedPool(P, size);
    KmLockOrderForget(P, size);
    KmPoolQuarantine(P, size, tag, __builtin_return_address(0));
}

extern "C" void ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

bool KmPoolIsPagedAddress(const void* address)
{
    KmPoolState& pool = KmPool();
    auto where = reinterpret_cast<uintptr_t>(address);
    std::lock_guard<std::mutex> guard(pool.Lock);
    auto after = pool.Blocks.upper_bound(where);
    if (after == pool.Blocks.begin()) {
        return false;
    }
    auto block = std::prev(after);
    size_t extent = block->second.size == 0 ? 1 : block->second.size;
    return block->second.paged && where - block->first < extent;
}

void KmPoolReset()
{
    KmPoolQuarantineDrain();
    KmPoolState& pool = KmPool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    for (auto& block : pool.Blocks) {
        free(reinterpret_cast<void*>(block.first));
    }
    pool.Blocks.clear();
    pool.Callers.clear();
    pool.Freed.clear();
    pool.OutstandingBytes = 0;
    pool.Allocations = 0;
    pool.Frees = 0;
    pool.FailedAllocations = 0;
    pool.Attempts = 0;
    pool.FailAttempt = 0;
    pool.FailCaller = nullptr;
    pool.TraceCallers = false;
    pool.AttemptCallers.clear();
    pool.FailTags.clear();
    pool.FailPaged = false;
    pool.FailNonPaged = false;
}
