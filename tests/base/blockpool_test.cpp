// ABlockPool: chunk sizing and shrinking when memory is short, hand-out order, growth and the
// return of emptied chunks.
#include <vector>

#include "base_test.h"

namespace {

constexpr ULONG BlockSize = 16;

ABlockChunk* NewestChunk(ABlockPool& pool)
{
    return CONTAINING_RECORD(pool.chunks.Flink, ABlockChunk, link);
}

}  // namespace

using BaseBlockPool = BaseLibraryTest;

TEST_F(BaseBlockPool, ChunkSizeFollowsBlocksPerChunkAndShrinksWhenMemoryIsShort)
{
    ABlockPool pool;
    struct Case {
        ULONG blocksPerChunk;
        uint64_t refused;  // the allocation refused: 0 none, 1 the chunk header, 2 its first data area
        ULONG blocks;      // 0: Init fails with STATUS_NO_MEMORY
    } cases[] = {{0, 0, 10}, {2, 0, 3}, {7, 0, 7}, {6, 2, 5}, {3, 1, 0}, {3, 2, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.blocksPerChunk);
        if (c.refused != 0) {
            km::FailNthAllocation(c.refused);
        }
        EXPECT_EQ(host.ABlockPool_Init(&pool, BlockSize, c.blocksPerChunk),
                  c.blocks != 0 ? STATUS_SUCCESS : STATUS_NO_MEMORY);
        km::ClearPoolFaults();
        ASSERT_EQ(ListLength(pool.chunks), c.blocks != 0 ? 1u : 0u);
        if (c.blocks != 0) {
            EXPECT_EQ(ListLength(NewestChunk(pool)->freeList), c.blocks);
            ExpectNonPagedBlock(NewestChunk(pool)->data, TagABPL, size_t{BlockSize} * c.blocks);
        }
        host.ABlockPool_Destroy(&pool);
    }
}

TEST_F(BaseBlockPool, GrowsByAChunkAndGivesEmptiedChunksBackButTheLast)
{
    constexpr ULONG PerChunk = 4;
    ABlockPool pool;
    ASSERT_EQ(host.ABlockPool_Init(&pool, BlockSize, PerChunk), STATUS_SUCCESS);
    ABlockChunk* first = NewestChunk(pool);
    std::vector<PUCHAR> taken;
    for (ULONG index = 0; index < PerChunk; ++index) {
        taken.push_back(static_cast<PUCHAR>(host.ABlockPool_Take(&pool)));
        EXPECT_EQ(taken.back(), first->data + index * BlockSize) << "ascending address order";
    }
    // A returned block is the next one handed out from its chunk.
    host.ABlockPool_Return(&pool, taken[1]);
    EXPECT_EQ(host.ABlockPool_Take(&pool), taken[1]);

    PVOID overflow = host.ABlockPool_Take(&pool);
    ASSERT_EQ(ListLength(pool.chunks), 2u);
    EXPECT_EQ(overflow, NewestChunk(pool)->data);
    // The second chunk's only block comes back while the first chunk exists: it is freed.
    host.ABlockPool_Return(&pool, overflow);
    EXPECT_EQ(pool.totalBlocks, PerChunk);
    EXPECT_EQ(km::OutstandingBlocks(TagABPL), 2u);
    // Every block of the last chunk comes back: it stays as the pool's reserve.
    for (PVOID block : taken) {
        host.ABlockPool_Return(&pool, block);
    }
    EXPECT_EQ(NewestChunk(pool), first);
    EXPECT_EQ(host.ABlockPool_Take(&pool), taken.back()) << "last returned, first handed out";

    // A full pool that cannot grow hands out nothing and stays as it was.
    for (ULONG index = 1; index < PerChunk; ++index) {
        host.ABlockPool_Take(&pool);
    }
    km::FailAllocationsWithTag(TagABPL);
    EXPECT_EQ(host.ABlockPool_Take(&pool), nullptr);
    km::ClearPoolFaults();
    EXPECT_EQ(pool.totalBlocks, PerChunk);
    EXPECT_NE(host.ABlockPool_Take(&pool), nullptr) << "grows again once memory is back";
    host.ABlockPool_Destroy(&pool);  // with blocks still handed out
}

