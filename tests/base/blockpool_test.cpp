// ABlockPool: chunk sizing, hand-out order, growth and shrinking, stray returns, and shortage.
#include <cstring>
#include <vector>

#include "base_test.h"

namespace {

ABlockChunk* NewestChunk(ABlockPool& pool)
{
    return CONTAINING_RECORD(pool.chunks.Flink, ABlockChunk, link);
}

size_t ChunkCount(const ABlockPool& pool)
{
    return ListLength(pool.chunks);
}

}  // namespace

using BaseBlockPool = BaseLibraryTest;

TEST_F(BaseBlockPool, InitRefusesNullPoolsAndTinyBlocksWithoutTouchingTheRecord)
{
    EXPECT_EQ(host.ABlockPool_Init(nullptr, 16, 0), STATUS_INVALID_PARAMETER);
    ABlockPool pool;
    memset(static_cast<void*>(&pool), 0xAB, sizeof(pool));
    EXPECT_EQ(host.ABlockPool_Init(&pool, BlockPoolMinimumBlockSize - 1, 0), STATUS_INVALID_PARAMETER);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&pool);
    for (size_t index = 0; index < sizeof(pool); ++index) {
        ASSERT_EQ(bytes[index], 0xAB) << "byte " << index;
    }
    EXPECT_EQ(km::GetPoolStats().outstandingBlocks, 0u);

    EXPECT_EQ(host.ABlockPool_Take(nullptr), nullptr);
    host.ABlockPool_Return(nullptr, &pool);
    host.ABlockPool_Destroy(nullptr);
}

TEST_F(BaseBlockPool, ANewPoolHoldsOneChunkSizedByBlocksPerChunk)
{
    constexpr ULONG BlockSize = 16;
    struct Case {
        ULONG blocksPerChunk;
        ULONG expectedBlocks;
    } cases[] = {{0, 10}, {1, 3}, {2, 3}, {3, 3}, {7, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.blocksPerChunk);
        ABlockPool pool;
        ASSERT_EQ(host.ABlockPool_Init(&pool, BlockSize, c.blocksPerChunk), STATUS_SUCCESS);
        ASSERT_EQ(ChunkCount(pool), 1u);
        ABlockChunk* chunk = NewestChunk(pool);
        EXPECT_EQ(chunk->blockCount, c.expectedBlocks);
        EXPECT_EQ(pool.totalBlocks, c.expectedBlocks);
        EXPECT_EQ(chunk->dataSize, ULONGLONG{BlockSize} * c.expectedBlocks);
        EXPECT_EQ(ListLength(chunk->freeList), c.expectedBlocks);

        km::PoolBlockInfo info{};
        ASSERT_TRUE(km::QueryPoolBlock(chunk->data, &info));
        EXPECT_EQ(info.tag, TagABPL);
        EXPECT_FALSE(info.paged);
        EXPECT_EQ(info.size, size_t{BlockSize} * c.expectedBlocks);
        ASSERT_TRUE(km::QueryPoolBlock(chunk, &info));
        EXPECT_EQ(info.tag, TagABPL);
        EXPECT_FALSE(info.paged);
        EXPECT_GE(info.size, sizeof(ABlockChunk) + c.expectedBlocks * sizeof(ABlockDescriptor));
        EXPECT_EQ(km::OutstandingBlocks(TagABPL), 2u) << "a header and a data area";

        host.ABlockPool_Destroy(&pool);
        EXPECT_EQ(km::OutstandingBlocks(TagABPL), 0u);
    }
}

TEST_F(BaseBlockPool, GrowsByAChunkAndGivesEmptiedChunksBackButTheLast)
{
    constexpr ULONG BlockSize = 24;
    constexpr ULONG PerChunk = 4;
    ABlockPool pool;
    ASSERT_EQ(host.ABlockPool_Init(&pool, BlockSize, PerChunk), STATUS_SUCCESS);
    ABlockChunk* first = NewestChunk(pool);

    std::vector<PVOID> taken;
    for (ULONG index = 0; index < PerChunk; ++index) {
        taken.push_back(host.ABlockPool_Take(&pool));
        EXPECT_EQ(taken.back(), first->data + index * BlockSize) << "ascending address order";
    }
    // A returned block is the next one handed out from its chunk.
    host.ABlockPool_Return(&pool, taken[1]);
    EXPECT_EQ(host.ABlockPool_Take(&pool), taken[1]);

    PVOID overflow = host.ABlockPool_Take(&pool);
    ASSERT_EQ(ChunkCount(pool), 2u);
    ABlockChunk* second = NewestChunk(pool);
    EXPECT_NE(second, first);
    EXPECT_EQ(overflow, second->data);
    EXPECT_EQ(pool.totalBlocks, 2 * PerChunk);
    EXPECT_EQ(km::OutstandingBlocks(TagABPL), 4u);

    // The second chunk's only block comes back while the first chunk exists: it is freed.
    host.ABlockPool_Return(&pool, overflow);
    EXPECT_EQ(ChunkCount(pool), 1u);
    EXPECT_EQ(pool.totalBlocks, PerChunk);
    EXPECT_EQ(km::OutstandingBlocks(TagABPL), 2u);

    // Every block of the last chunk comes back: it stays as the pool's reserve.
    for (PVOID block : taken) {
        host.ABlockPool_Return(&pool, block);
    }
    EXPECT_EQ(ChunkCount(pool), 1u);
    EXPECT_EQ(NewestChunk(pool), first);
    EXPECT_EQ(ListLength(first->freeList), PerChunk);
    EXPECT_EQ(host.ABlockPool_Take(&pool), taken.back()) << "last returned, first handed out";
    host.ABlockPool_Destroy(&pool);
}

TEST_F(BaseBlockPool, AddressesThatAreNotBlockStartsAreIgnored)
{
    constexpr ULONG BlockSize = 16;
    ABlockPool pool;
    ASSERT_EQ(host.ABlockPool_Init(&pool, BlockSize, 3), STATUS_SUCCESS);
    ABlockChunk* chunk = NewestChunk(pool);
    auto* block = static_cast<PUCHAR>(host.ABlockPool_Take(&pool));
    ASSERT_EQ(block, chunk->data);

    int outside = 0;
    for (PVOID stray : {static_cast<PVOID>(block + 1), static_cast<PVOID>(block + BlockSize + 3),
                        static_cast<PVOID>(chunk->data + chunk->dataSize), static_cast<PVOID>(&outside),
                        static_cast<PVOID>(nullptr)}) {
        host.ABlockPool_Return(&pool, stray);
    }
    EXPECT_EQ(ListLength(chunk->usedList), 1u);
    EXPECT_EQ(ListLength(chunk->freeList), 2u);
    EXPECT_EQ(pool.totalBlocks, 3u);
    EXPECT_EQ(host.ABlockPool_Take(&pool), block + BlockSize) << "the block in use stayed in use";
    host.ABlockPool_Destroy(&pool);
}

TEST_F(BaseBlockPool, ShortageShrinksTheChunkThenFailsCleanly)
{
    constexpr ULONG BlockSize = 32;
    ABlockPool pool;

    // Header, then a data area for 6 blocks that is refused, then one for 5.
    km::FailNthAllocation(2);
    ASSERT_EQ(host.ABlockPool_Init(&pool, BlockSize, 6), STATUS_SUCCESS);
    km::ClearPoolFaults();
    EXPECT_EQ(NewestChunk(pool)->blockCount, 5u);
    EXPECT_EQ(pool.totalBlocks, 5u);
    km::PoolBlockInfo info{};
    ASSERT_TRUE(km::QueryPoolBlock(NewestChunk(pool)->data, &info));
    EXPECT_EQ(info.size, size_t{BlockSize} * 5);
    host.ABlockPool_Destroy(&pool);

    // No header, or no data area even for three blocks: nothing is left allocated.
    for (uint64_t failing : {1, 2}) {
        km::FailNthAllocation(failing);
        EXPECT_EQ(host.ABlockPool_Init(&pool, BlockSize, 3), STATUS_NO_MEMORY);
        km::ClearPoolFaults();
        EXPECT_EQ(ChunkCount(pool), 0u);
        EXPECT_EQ(pool.totalBlocks, 0u);
        EXPECT_EQ(km::OutstandingBlocks(TagABPL), 0u);
    }

    // A full pool that cannot grow hands out nothing and stays as it was.
    ASSERT_EQ(host.ABlockPool_Init(&pool, BlockSize, 3), STATUS_SUCCESS);
    std::vector<PVOID> taken;
    for (int index = 0; index < 3; ++index) {
        taken.push_back(host.ABlockPool_Take(&pool));
    }
    km::FailAllocationsWithTag(TagABPL);
    EXPECT_EQ(host.ABlockPool_Take(&pool), nullptr);
    km::ClearPoolFaults();
    EXPECT_EQ(ChunkCount(pool), 1u);
    EXPECT_EQ(pool.totalBlocks, 3u);
    EXPECT_EQ(km::OutstandingBlocks(TagABPL), 2u);
    EXPECT_NE(host.ABlockPool_Take(&pool), nullptr) << "grows again once memory is back";

    // Destroy frees every chunk even with blocks still handed out; the record can be reused.
    host.ABlockPool_Destroy(&pool);
    EXPECT_EQ(km::OutstandingBlocks(TagABPL), 0u);
    EXPECT_EQ(pool.totalBlocks, 0u);
    ASSERT_EQ(host.ABlockPool_Init(&pool, BlockSize, 3), STATUS_SUCCESS);
    host.ABlockPool_Destroy(&pool);
}

TEST_F(BaseBlockPool, ConcurrentUsersNeverShareABlock)
{
    constexpr int Rounds = 3000;
    constexpr int HeldAtOnce = 4;
    ABlockPool pool;
    ASSERT_EQ(host.ABlockPool_Init(&pool, sizeof(uint64_t), 2), STATUS_SUCCESS);
    auto body = [&](uint64_t mark) {
        for (int round = 0; round < Rounds; ++round) {
            uint64_t* held[HeldAtOnce];
            for (auto& block : held) {
                block = static_cast<uint64_t*>(host.ABlockPool_Take(&pool));
                ASSERT_NE(block, nullptr);
                *block = mark;
            }
            for (auto* block : held) {
                ASSERT_EQ(*block, mark) << "another user was handed the same block";
                host.ABlockPool_Return(&pool, block);
            }
        }
    };
    {
        ModelThread first([&] { body(0x1111); });
        ModelThread second([&] { body(0x2222); });
    }
    EXPECT_EQ(ChunkCount(pool), 1u) << "emptied chunks went back";
    EXPECT_EQ(pool.totalBlocks, 3u);
    host.ABlockPool_Destroy(&pool);
}
