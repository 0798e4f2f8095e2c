// Lookaside lists of the three kinds: blocks come from the allocate routine only when the list is
// empty, the list keeps at most its depth of freed blocks and gives the rest to the free routine,
// and deleting the list frees what it holds.
#include "../model_test_util.h"

namespace {

constexpr ULONG ListTag = km::PoolTag("Look");
constexpr SIZE_T BlockSize = 40;

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

}  // namespace
