// Lock holders: ASpinLock modes and IRQL, AMutex and AFastMutex placement, waits and exclusion.
#include <cstring>

#include "base_test.h"

namespace {

constexpr int CountPerThread = 20000;
constexpr KIRQL UntouchedIrql = 0x5A;

// Runs `body` on two threads at once and waits for both.
void OnTwoThreads(const std::function<void()>& body)
{
    ModelThread first(body);
    ModelThread second(body);
}

// A block of paged pool for a holder that must not lie in non-paged memory.
template <typename Holder>
Holder* NewPagedHolder()
{
    auto* holder = static_cast<Holder*>(ExAllocatePoolWithTag(PagedPool, sizeof(Holder), TagTest));
    memset(static_cast<void*>(holder), 0xCC, sizeof(Holder));
    return holder;
}

bool AllZero(const void* memory, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(memory);
    for (size_t index = 0; index < size; ++index) {
        if (bytes[index] != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

using BaseSpinLock = BaseLibraryTest;

TEST_F(BaseSpinLock, PreviousIrqlLivesInTheHandleWhenQueuedAndInTheHolderWhenPlain)
{
    RaisedIrql apc(APC_LEVEL);
    for (bool withHandle : {true, false}) {
        ASpinLock holder;
        holder.savedIrql = UntouchedIrql;
        ASSERT_TRUE(host.ASpinLock_Init(&holder));
        KLOCK_QUEUE_HANDLE handle;
        handle.OldIrql = UntouchedIrql;
        PKLOCK_QUEUE_HANDLE given = withHandle ? &handle : nullptr;
        host.ASpinLock_Acquire(&holder, given);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(handle.OldIrql, withHandle ? APC_LEVEL : UntouchedIrql);
        EXPECT_EQ(holder.savedIrql, withHandle ? UntouchedIrql : APC_LEVEL);
        host.ASpinLock_Release(&holder, given);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    }
}

TEST_F(BaseSpinLock, InitReleasesTheLockOnlyAndNullHoldersAreIgnored)
{
    ASpinLock holder;
    holder.lock = 0xDEAD;
    holder.savedIrql = UntouchedIrql;
    EXPECT_TRUE(host.ASpinLock_Init(&holder));
    EXPECT_EQ(holder.lock, 0u);
    EXPECT_EQ(holder.savedIrql, UntouchedIrql);

    EXPECT_FALSE(host.ASpinLock_Init(nullptr));
    KLOCK_QUEUE_HANDLE handle;
    handle.OldIrql = UntouchedIrql;
    host.ASpinLock_Acquire(nullptr, &handle);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(handle.OldIrql, UntouchedIrql);
    host.ASpinLock_Release(nullptr, &handle);
    host.ASpinLock_Acquire(nullptr, nullptr);
    host.ASpinLock_Release(nullptr, nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(BaseSpinLock, ExcludesOtherThreadsInBothModes)
{
    for (bool queued : {true, false}) {
        ASpinLock holder;
        ASSERT_TRUE(host.ASpinLock_Init(&holder));
        long counter = 0;
        OnTwoThreads([&] {
            for (int round = 0; round < CountPerThread; ++round) {
                KLOCK_QUEUE_HANDLE handle;
                host.ASpinLock_Acquire(&holder, queued ? &handle : nullptr);
                counter = counter + 1;
                host.ASpinLock_Release(&holder, queued ? &handle : nullptr);
            }
        });
        EXPECT_EQ(counter, 2 * CountPerThread) << (queued ? "queued" : "plain");
    }
}

using BaseMutex = BaseLibraryTest;

TEST_F(BaseMutex, NonPagedHolderKeepsItsMutexInline)
{
    AMutex holder;
    uint64_t allocations = km::GetPoolStats().allocations;
    ASSERT_EQ(host.AMutex_Init(&holder), STATUS_SUCCESS);
    EXPECT_EQ(holder.mutex, &holder.inlineMutex);
    EXPECT_EQ(km::GetPoolStats().allocations, allocations);

    EXPECT_TRUE(host.AMutex_Wait(&holder, UnboundedWaitMs));
    host.AMutex_Release(&holder);
    host.AMutex_Free(&holder);
    EXPECT_EQ(holder.mutex, nullptr);
    EXPECT_FALSE(host.AMutex_Wait(&holder, 0)) << "a freed holder has no mutex";
}

TEST_F(BaseMutex, PagedHolderGetsANonPagedBlockThatFreeReturns)
{
    auto* holder = NewPagedHolder<AMutex>();
    for (int life = 0; life < 2; ++life) {  // a freed holder may be initialised again
        ASSERT_EQ(host.AMutex_Init(holder), STATUS_SUCCESS);
        ASSERT_NE(holder->mutex, &holder->inlineMutex);
        km::PoolBlockInfo info{};
        ASSERT_TRUE(km::QueryPoolBlock(holder->mutex, &info));
        EXPECT_EQ(info.tag, TagAmem);
        EXPECT_FALSE(info.paged);
        EXPECT_EQ(info.size, sizeof(KMUTEX));
        EXPECT_TRUE(host.AMutex_Wait(holder, 0));
        host.AMutex_Release(holder);

        host.AMutex_Free(holder);
        EXPECT_EQ(holder->mutex, nullptr);
        EXPECT_EQ(km::OutstandingBlocks(TagAmem), 0u);
    }
    ExFreePoolWithTag(holder, 0);
}

TEST_F(BaseMutex, InitWithoutPoolLeavesTheHolderZeroAndNullHoldersAreRefused)
{
    auto* holder = NewPagedHolder<AMutex>();
    km::FailAllocationsWithTag(TagAmem);
    EXPECT_EQ(host.AMutex_Init(holder), STATUS_INSUFFICIENT_RESOURCES);
    km::ClearPoolFaults();
    EXPECT_TRUE(AllZero(holder, sizeof(*holder)));
    EXPECT_FALSE(host.AMutex_Wait(holder, 0));
    host.AMutex_Release(holder);
    host.AMutex_Free(holder);
    ExFreePoolWithTag(holder, 0);

    EXPECT_EQ(host.AMutex_Init(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(host.AMutex_Wait(nullptr, UnboundedWaitMs));
    host.AMutex_Release(nullptr);
    host.AMutex_Free(nullptr);
}

TEST_F(BaseMutex, OwnerWaitsAgainAndReleasesOncePerWait)
{
    AMutex holder;
    ASSERT_EQ(host.AMutex_Init(&holder), STATUS_SUCCESS);
    auto otherThreadGetsIt = [&](KIRQL irql) {
        bool got = false;
        ModelThread other([&] {
            RaisedIrql raised(irql);
            got = host.AMutex_Wait(&holder, 0);
            if (got) {
                host.AMutex_Release(&holder);
            }
        });
        other.Join();
        return got;
    };

    ASSERT_TRUE(host.AMutex_Wait(&holder, UnboundedWaitMs));
    EXPECT_TRUE(host.AMutex_Wait(&holder, 0)) << "the owner passes at once";
    EXPECT_FALSE(otherThreadGetsIt(PASSIVE_LEVEL));
    EXPECT_FALSE(otherThreadGetsIt(DISPATCH_LEVEL));
    host.AMutex_Release(&holder);
    EXPECT_FALSE(otherThreadGetsIt(PASSIVE_LEVEL)) << "still owned once";
    host.AMutex_Release(&holder);
    EXPECT_TRUE(otherThreadGetsIt(DISPATCH_LEVEL));
    EXPECT_TRUE(otherThreadGetsIt(PASSIVE_LEVEL));
    host.AMutex_Free(&holder);
}

TEST_F(BaseMutex, TimeOutIsRelativeMillisecondsAndNeverInfinite)
{
    AMutex holder;
    ASSERT_EQ(host.AMutex_Init(&holder), STATUS_SUCCESS);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    std::atomic<bool> owned{false};
    ModelThread owner([&] {
        ASSERT_TRUE(host.AMutex_Wait(&holder, UnboundedWaitMs));
        owned.store(true, std::memory_order_release);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        host.AMutex_Release(&holder);
    });
    AwaitFlag(owned);

    constexpr int64_t UnitsPerMs = 10000;
    int64_t before = km::Now100ns();
    EXPECT_FALSE(host.AMutex_Wait(&holder, 25));
    int64_t waited = km::Now100ns() - before;
    EXPECT_GE(waited, 25 * UnitsPerMs);

    // 0xFFFFFFFF ms is about 49.7 days of model time, not an infinite wait.
    double rate = km::ClockRate();
    km::SetClockRate(1e9);
    before = km::Now100ns();
    EXPECT_FALSE(host.AMutex_Wait(&holder, UnboundedWaitMs));
    waited = km::Now100ns() - before;
    km::SetClockRate(rate);
    EXPECT_GE(waited, int64_t{0xFFFFFFFF} * UnitsPerMs);

    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    owner.Join();
    host.AMutex_Free(&holder);
}

TEST_F(BaseMutex, AbandonedMutexIsOwnedByTheNextWaiter)
{
    AMutex holder;
    ASSERT_EQ(host.AMutex_Init(&holder), STATUS_SUCCESS);
    ModelThread quitter([&] { ASSERT_TRUE(host.AMutex_Wait(&holder, UnboundedWaitMs)); });
    quitter.Join();
    EXPECT_TRUE(host.AMutex_Wait(&holder, 0));
    host.AMutex_Release(&holder);
    host.AMutex_Free(&holder);
}

using BaseFastMutex = BaseLibraryTest;

TEST_F(BaseFastMutex, PlacementFollowsTheHoldersMemory)
{
    AFastMutex inlineHolder;
    uint64_t allocations = km::GetPoolStats().allocations;
    ASSERT_EQ(host.AFastMutex_Init(&inlineHolder), STATUS_SUCCESS);
    EXPECT_EQ(inlineHolder.mutex, &inlineHolder.inlineMutex);
    EXPECT_EQ(km::GetPoolStats().allocations, allocations);
    EXPECT_EQ(inlineHolder.mutex->Count, 1);
    host.AFastMutex_Free(&inlineHolder);
    EXPECT_EQ(inlineHolder.mutex, nullptr);

    auto* paged = NewPagedHolder<AFastMutex>();
    ASSERT_EQ(host.AFastMutex_Init(paged), STATUS_SUCCESS);
    km::PoolBlockInfo info{};
    ASSERT_TRUE(km::QueryPoolBlock(paged->mutex, &info));
    EXPECT_EQ(info.tag, TagAmem);
    EXPECT_FALSE(info.paged);
    EXPECT_EQ(info.size, sizeof(FAST_MUTEX));
    EXPECT_EQ(paged->mutex->Count, 1);
    host.AFastMutex_Acquire(paged);
    host.AFastMutex_Release(paged);
    host.AFastMutex_Free(paged);
    EXPECT_EQ(km::OutstandingBlocks(TagAmem), 0u);

    memset(static_cast<void*>(paged), 0xCC, sizeof(*paged));
    km::FailAllocationsWithTag(TagAmem);
    EXPECT_EQ(host.AFastMutex_Init(paged), STATUS_INSUFFICIENT_RESOURCES);
    km::ClearPoolFaults();
    EXPECT_TRUE(AllZero(paged, sizeof(*paged)));
    host.AFastMutex_Acquire(paged);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "nothing to acquire";
    host.AFastMutex_Free(paged);
    ExFreePoolWithTag(paged, 0);
}

TEST_F(BaseFastMutex, HeldAtApcLevelAndExcludesOtherThreads)
{
    AFastMutex holder;
    ASSERT_EQ(host.AFastMutex_Init(&holder), STATUS_SUCCESS);
    host.AFastMutex_Acquire(&holder);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    host.AFastMutex_Release(&holder);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    long counter = 0;
    OnTwoThreads([&] {
        for (int round = 0; round < CountPerThread / 10; ++round) {
            host.AFastMutex_Acquire(&holder);
            counter = counter + 1;
            host.AFastMutex_Release(&holder);
        }
    });
    EXPECT_EQ(counter, 2 * (CountPerThread / 10));
    host.AFastMutex_Free(&holder);
}

TEST_F(BaseFastMutex, NullHoldersAreRefusedOrIgnored)
{
    EXPECT_EQ(host.AFastMutex_Init(nullptr), STATUS_INVALID_PARAMETER);
    host.AFastMutex_Acquire(nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    host.AFastMutex_Release(nullptr);
    host.AFastMutex_Free(nullptr);
}

TEST_F(BaseFastMutex, AcquireAtDispatchLevelBugChecks)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    AFastMutex holder;
    ASSERT_EQ(host.AFastMutex_Init(&holder), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            RaisedIrql dispatch(DISPATCH_LEVEL);
            host.AFastMutex_Acquire(&holder);
        },
        "STOP 0x0000000A");  // IRQL_NOT_LESS_OR_EQUAL
    host.AFastMutex_Free(&holder);
}
