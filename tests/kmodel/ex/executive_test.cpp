// Executive support: pool, the lookaside lists over it, and executive resources. Pool: block
// accounting, paged and non-paged types, the fill pattern, and quota allocations that raise; the
// fault rules are what the host's failure-path tests and the allocation sweep stand on
// (tests/driver, tests/reliability). Lookaside lists of the three kinds: blocks come from the
// allocate routine only when the list is empty, the list keeps at most its depth of freed blocks
// and gives the rest to the free routine, and deleting the list frees what it holds. Executive
// resources: who may acquire them while another thread holds them, who gets them when that thread
// lets go, and the queries, inside the critical regions their holders must be in. An exclusive
// owner's recursion is the routines module's (tests/host).
#include <algorithm>

#include "base/platform.h"
#include "../model_test_util.h"

namespace {

constexpr ULONG TestTag = km::PoolTag("Test");
constexpr ULONG OtherTag = km::PoolTag("Othr");
constexpr size_t BlockSize = 40;

using PoolTest = KernelTest;

TEST_F(PoolTest, BlocksCarryTheirTypeAreNotZeroedAndOnlyPagedOnesAreNotNonPaged)
{
    auto* paged = static_cast<char*>(ExAllocatePoolWithTag(PagedPoolCacheAligned, BlockSize, TestTag));
    auto* nonPaged = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, BlockSize, OtherTag));
    ASSERT_NE(paged, nullptr);
    ASSERT_NE(nonPaged, nullptr);
    EXPECT_NE(std::count(paged, paged + BlockSize, 0), static_cast<long>(BlockSize)) << "filled, not zeroed";

    km::PoolBlockInfo info{};
    ASSERT_TRUE(km::QueryPoolBlock(paged, &info));
    EXPECT_TRUE(info.paged);
    EXPECT_EQ(info.type, PagedPoolCacheAligned);
    ASSERT_TRUE(km::QueryPoolBlock(nonPaged, &info));
    EXPECT_FALSE(info.paged);
    EXPECT_FALSE(km::QueryPoolBlock(paged + 1, &info));
    EXPECT_EQ(km::GetPoolStats().outstandingBytes, 2 * BlockSize);

    int onStack = 0;
    EXPECT_FALSE(MmIsNonPagedSystemAddressValid(paged));
    EXPECT_FALSE(MmIsNonPagedSystemAddressValid(paged + BlockSize - 1));
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(nonPaged + BlockSize - 1));
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(&onStack));
    ExFreePoolWithTag(paged, TestTag);
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(paged)) << "no longer a paged block";
    ExFreePoolWithTag(nonPaged, 0);  // tag 0 frees a block of any tag
    km::PoolStats stats = km::GetPoolStats();
    EXPECT_EQ(stats.allocations, 2u);
    EXPECT_EQ(stats.frees, 2u);
}

// A quota allocation the paged-pool fault rule refuses raises, unless told to fail instead; the
// rule leaves non-paged pool alone.
TEST_F(PoolTest, QuotaAllocationRaisesUnlessToldToFail)
{
    km::FailAllocationsOfType(true);
    volatile NTSTATUS raised = STATUS_SUCCESS;
    HOST_TRY { ExAllocatePoolWithQuotaTag(PagedPool, BlockSize, TestTag); }
    HOST_EXCEPT { raised = HOST_EXCEPTION_CODE(); }
    HOST_END_TRY
    EXPECT_EQ(raised, STATUS_INSUFFICIENT_RESOURCES);

    POOL_TYPE failInstead = (POOL_TYPE)(PagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(failInstead, BlockSize, TestTag), nullptr);
    void* block = ExAllocatePoolWithQuotaTag(NonPagedPool, BlockSize, TestTag);
    EXPECT_NE(block, nullptr) << "the paged-pool rule leaves non-paged pool alone";
    ExFreePoolWithTag(block, TestTag);

    km::ClearPoolFaults();
    block = ExAllocatePoolWithQuotaTag(failInstead, BlockSize, TestTag);
    ASSERT_NE(block, nullptr) << "the flag is no part of the pool type";
    ExFreePoolWithTag(block, TestTag);
}


constexpr ULONG ListTag = km::PoolTag("Look");

LONG Allocated;
LONG Freed;

PVOID NTAPI CountAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    ++Allocated;
    return ExAllocatePoolWithTag(type, bytes, tag);
}
void NTAPI CountFree(PVOID block)
{
    ++Freed;
    ExFreePoolWithTag(block, ListTag);
}
PVOID NTAPI CountAllocateEx(POOL_TYPE type, SIZE_T bytes, ULONG tag, PLOOKASIDE_LIST_EX) { return CountAllocate(type, bytes, tag); }
void NTAPI CountFreeEx(PVOID block, PLOOKASIDE_LIST_EX) { CountFree(block); }

// One kind of list behind one interface.
struct ListKind {
    const char* name;
    void (*initialize)(void* list);
    PVOID (*allocate)(void* list);
    void (*free)(void* list, PVOID block);
    void (*remove)(void* list);
};
void PrintTo(const ListKind& kind, std::ostream* out) { *out << kind.name; }

const ListKind Kinds[] = {
    {"NonPaged",
     [](void* l) { ExInitializeNPagedLookasideList(static_cast<PNPAGED_LOOKASIDE_LIST>(l), CountAllocate, CountFree, 0, BlockSize, ListTag, 0); },
     [](void* l) { return ExAllocateFromNPagedLookasideList(static_cast<PNPAGED_LOOKASIDE_LIST>(l)); },
     [](void* l, PVOID b) { ExFreeToNPagedLookasideList(static_cast<PNPAGED_LOOKASIDE_LIST>(l), b); },
     [](void* l) { ExDeleteNPagedLookasideList(static_cast<PNPAGED_LOOKASIDE_LIST>(l)); }},
    {"Paged",
     [](void* l) { ExInitializePagedLookasideList(static_cast<PPAGED_LOOKASIDE_LIST>(l), CountAllocate, CountFree, 0, BlockSize, ListTag, 0); },
     [](void* l) { return ExAllocateFromPagedLookasideList(static_cast<PPAGED_LOOKASIDE_LIST>(l)); },
     [](void* l, PVOID b) { ExFreeToPagedLookasideList(static_cast<PPAGED_LOOKASIDE_LIST>(l), b); },
     [](void* l) { ExDeletePagedLookasideList(static_cast<PPAGED_LOOKASIDE_LIST>(l)); }},
    {"Ex",
     [](void* l) {
         EXPECT_EQ(ExInitializeLookasideListEx(static_cast<PLOOKASIDE_LIST_EX>(l), CountAllocateEx, CountFreeEx,
                                               NonPagedPoolNx, 0, BlockSize, ListTag, 0),
                   STATUS_SUCCESS);
     },
     [](void* l) { return ExAllocateFromLookasideListEx(static_cast<PLOOKASIDE_LIST_EX>(l)); },
     [](void* l, PVOID b) { ExFreeToLookasideListEx(static_cast<PLOOKASIDE_LIST_EX>(l), b); },
     [](void* l) { ExDeleteLookasideListEx(static_cast<PLOOKASIDE_LIST_EX>(l)); }},
};

class LookasideTest : public KernelTest, public ::testing::WithParamInterface<ListKind> {};

TEST_P(LookasideTest, KeepsItsDepthOfFreedBlocksAndFreesThemAtDelete)
{
    constexpr int Blocks = 6;
    alignas(64) UCHAR list[sizeof(NPAGED_LOOKASIDE_LIST)];
    Allocated = Freed = 0;
    GetParam().initialize(list);
    PVOID blocks[Blocks];
    for (PVOID& block : blocks) {
        block = GetParam().allocate(list);
        ASSERT_NE(block, nullptr);
    }
    for (PVOID block : blocks) {
        GetParam().free(list, block);
    }
    EXPECT_EQ(Allocated, Blocks);
    EXPECT_EQ(Freed, 2) << "a new list keeps 4 freed blocks";
    for (int i = 0; i < 4; ++i) {
        blocks[i] = GetParam().allocate(list);
    }
    EXPECT_EQ(Allocated, Blocks) << "served from the list";
    for (int i = 0; i < 4; ++i) {
        GetParam().free(list, blocks[i]);
    }
    GetParam().remove(list);
    EXPECT_EQ(Freed, Blocks);
}

INSTANTIATE_TEST_SUITE_P(, LookasideTest, ::testing::ValuesIn(Kinds), ByName());

enum class Hold { None, Shared, Exclusive };

struct Contention {
    const char* name;
    Hold other;      // what another thread holds
    bool exclusive;  // what the test thread then asks for, without waiting
    bool granted;
};

void PrintTo(const Contention& contention, std::ostream* out) { *out << contention.name; }

class ResourceContentionTest : public KernelTest, public ::testing::WithParamInterface<Contention> {};

BOOLEAN Acquire(PERESOURCE resource, bool exclusive, BOOLEAN wait)
{
    return exclusive ? ExAcquireResourceExclusiveLite(resource, wait) : ExAcquireResourceSharedLite(resource, wait);
}

// Acquiring without waiting answers whether it was granted; a refused acquirer that then waits
// gets the resource when the other thread lets go. Either way it holds one acquisition of the kind
// it asked for: a sharer is no exclusive owner.
TEST_P(ResourceContentionTest, GrantsWithoutWaitingOrWhenTheOtherThreadLetsGo)
{
    ERESOURCE resource;
    ASSERT_EQ(ExInitializeResourceLite(&resource), STATUS_SUCCESS);
    KEVENT held;
    KEVENT release;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    ModelThread other([&] {
        KeEnterCriticalRegion();
        if (GetParam().other != Hold::None) {
            Acquire(&resource, GetParam().other == Hold::Exclusive, TRUE);
        }
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        if (GetParam().other != Hold::None) {
            ExReleaseResourceLite(&resource);
        }
        KeLeaveCriticalRegion();
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    KeEnterCriticalRegion();
    BOOLEAN granted = Acquire(&resource, GetParam().exclusive, FALSE);
    EXPECT_EQ(granted != FALSE, GetParam().granted);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    if (!granted) {
        ASSERT_TRUE(Acquire(&resource, GetParam().exclusive, TRUE));
    }
    EXPECT_EQ(ExIsResourceAcquiredExclusiveLite(&resource) != FALSE, GetParam().exclusive);
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource), 1u);
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    other.Join();
    EXPECT_EQ(ExDeleteResourceLite(&resource), STATUS_SUCCESS);
}

const Contention Contentions[] = {
    {"FreeShared", Hold::None, false, true},
    {"FreeExclusive", Hold::None, true, true},
    {"SharedBesideShared", Hold::Shared, false, true},
    {"ExclusiveBesideShared", Hold::Shared, true, false},
    {"SharedBesideExclusive", Hold::Exclusive, false, false},
    {"ExclusiveBesideExclusive", Hold::Exclusive, true, false},
};

INSTANTIATE_TEST_SUITE_P(, ResourceContentionTest, ::testing::ValuesIn(Contentions), ByName());

}  // namespace
