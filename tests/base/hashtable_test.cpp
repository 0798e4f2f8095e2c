// AHashTable: creation and its failures, keys and shadowing, reference counting, destruction.
#include <cstring>

#include "base_test.h"

namespace {

constexpr ULONG Buckets = 7;
constexpr ULONG PayloadSize = 16;

struct Payload {
    uint64_t first;
    uint64_t second;
};
static_assert(sizeof(Payload) == PayloadSize);

ABlockChunk* FirstChunk(AHashTable* table)
{
    return CONTAINING_RECORD(table->entryPool.chunks.Flink, ABlockChunk, link);
}

}  // namespace

class BaseHashTable : public BaseLibraryTest {
protected:
    // Allocates an entry with the given contents and links it under key.
    Payload* Add(ULONGLONG key, uint64_t value)
    {
        auto* payload = static_cast<Payload*>(host.AHashTable_AllocEntry(table));
        EXPECT_NE(payload, nullptr);
        if (payload != nullptr) {
            payload->first = value;
            EXPECT_TRUE(host.AHashTable_Insert(table, key, payload));
        }
        return payload;
    }

    // Value of the newest entry with this key, 0 when there is none; the reference is dropped again.
    uint64_t ValueOf(ULONGLONG key)
    {
        auto* payload = static_cast<Payload*>(host.AHashTable_Lookup(table, key));
        if (payload == nullptr) {
            return 0;
        }
        uint64_t value = payload->first;
        host.AHashTable_Release(table, payload);
        return value;
    }

    // The way users remove an entry: a lookup, then two releases.
    void Remove(ULONGLONG key)
    {
        PVOID payload = host.AHashTable_Lookup(table, key);
        ASSERT_NE(payload, nullptr);
        host.AHashTable_Release(table, payload);
        host.AHashTable_Release(table, payload);
    }

    void CreateTable(ULONG buckets = Buckets)
    {
        ASSERT_EQ(host.AHashTable_Create(&table, buckets, PayloadSize), STATUS_SUCCESS);
        ASSERT_NE(table, nullptr);
    }

    void TearDown() override
    {
        if (table != nullptr) {
            host.AHashTable_Destroy(table);
        }
        BaseLibraryTest::TearDown();
    }

    AHashTable* table = nullptr;
};

TEST_F(BaseHashTable, CreateClearsTheOutPointerFirstAndFailsWithoutLeftovers)
{
    EXPECT_EQ(host.AHashTable_Create(nullptr, Buckets, PayloadSize), STATUS_INVALID_PARAMETER);
    struct Case {
        ULONG buckets;
        ULONG payload;
        ULONG refusedTag;  // 0: no allocation refused
        NTSTATUS expected;
    } cases[] = {
        {0, PayloadSize, 0, STATUS_INVALID_PARAMETER},           // no chain to put a key in
        {0x20000000, PayloadSize, 0, STATUS_INVALID_PARAMETER},  // bucket heads wrap the 32-bit size
        {0xFFFFFFFF, PayloadSize, 0, STATUS_INVALID_PARAMETER},
        {Buckets, 0xFFFFFFF0, 0, STATUS_INVALID_PARAMETER},  // entry header plus payload wraps
        {Buckets, PayloadSize, TagHshT, STATUS_INSUFFICIENT_RESOURCES},
        {Buckets, PayloadSize, TagABPL, STATUS_NO_MEMORY},
    };
    for (const Case& c : cases) {
        table = reinterpret_cast<AHashTable*>(0x1234);
        if (c.refusedTag != 0) {
            km::FailAllocationsWithTag(c.refusedTag);
        }
        EXPECT_EQ(host.AHashTable_Create(&table, c.buckets, c.payload), c.expected)
            << c.buckets << " buckets, " << c.payload << " bytes";
        km::ClearPoolFaults();
        EXPECT_EQ(table, nullptr);
        EXPECT_EQ(km::GetPoolStats().outstandingBlocks, 0u);
    }
}

TEST_F(BaseHashTable, TableLivesInOneNonPagedBlockAndChunksFollowTheBucketCount)
{
    struct Case {
        ULONG buckets;
        ULONG chunkBlocks;
    } cases[] = {{1, 10}, {3, 10}, {4, 3}, {7, 3}, {37, 9}, {40, 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buckets);
        CreateTable(c.buckets);
        km::PoolBlockInfo info{};
        ASSERT_TRUE(km::QueryPoolBlock(table, &info));
        EXPECT_EQ(info.tag, TagHshT);
        EXPECT_FALSE(info.paged);
        EXPECT_EQ(info.size, sizeof(AHashTable) + c.buckets * sizeof(AHashEntry*));
        EXPECT_EQ(table->bucketCount, c.buckets);
        EXPECT_EQ(table->entryCount, 0u);
        EXPECT_GE(table->entrySize, HashEntryPayloadOffset + PayloadSize);
        EXPECT_EQ(table->entryPool.blockSize, table->entrySize);
        EXPECT_EQ(FirstChunk(table)->blockCount, c.chunkBlocks);
        host.AHashTable_Destroy(table);
        table = nullptr;
        EXPECT_EQ(km::GetPoolStats().outstandingBlocks, 0u);
    }
}

TEST_F(BaseHashTable, InsertRefusesWhatCannotBeLinked)
{
    CreateTable();
    auto* payload = static_cast<Payload*>(host.AHashTable_AllocEntry(table));
    ASSERT_NE(payload, nullptr);
    EXPECT_FALSE(host.AHashTable_Insert(table, HashTableUnlinkedKey, payload));
    EXPECT_FALSE(host.AHashTable_Insert(table, 5, nullptr));
    EXPECT_FALSE(host.AHashTable_Insert(nullptr, 5, payload));
    EXPECT_EQ(table->entryCount, 0u);

    ASSERT_TRUE(host.AHashTable_Insert(table, 5, payload));
    EXPECT_FALSE(host.AHashTable_Insert(table, 6, payload)) << "already linked";
    EXPECT_EQ(table->entryCount, 1u);
    EXPECT_EQ(host.AHashTable_Lookup(table, 6), nullptr);
    Remove(5);
    EXPECT_EQ(table->entryCount, 0u);

    EXPECT_EQ(host.AHashTable_AllocEntry(nullptr), nullptr);
    EXPECT_EQ(host.AHashTable_Lookup(nullptr, 5), nullptr);
    host.AHashTable_Release(nullptr, payload);
    host.AHashTable_Release(table, nullptr);
    host.AHashTable_Destroy(nullptr);
}

TEST_F(BaseHashTable, KeysAreComparedInFullAndTheNewestEqualKeyWins)
{
    CreateTable();
    constexpr ULONGLONG Low = 0x0000000100000005ULL;
    constexpr ULONGLONG High = 0x0000000200000005ULL;  // same bucket: same low 32 bits
    Add(Low, 1);
    Add(High, 2);
    EXPECT_EQ(ValueOf(Low), 1u);
    EXPECT_EQ(ValueOf(High), 2u);
    EXPECT_EQ(ValueOf(5), 0u) << "absent";

    Add(Low, 3);
    EXPECT_EQ(table->entryCount, 3u);
    EXPECT_EQ(ValueOf(Low), 3u) << "the second entry shadows the first";
    Remove(Low);
    EXPECT_EQ(ValueOf(Low), 1u);
    Remove(Low);
    EXPECT_EQ(ValueOf(Low), 0u);
    EXPECT_EQ(ValueOf(High), 2u);
    Remove(High);
    EXPECT_EQ(table->entryCount, 0u);
    EXPECT_EQ(ListLength(FirstChunk(table)->usedList), 0u) << "every block went back";
}

TEST_F(BaseHashTable, AnEntryStaysWhileAReferenceIsHeld)
{
    CreateTable();
    Add(42, 7);
    auto* held = static_cast<Payload*>(host.AHashTable_Lookup(table, 42));
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(host.AHashTable_Lookup(table, 43), nullptr);  // a miss takes no reference

    Remove(42);
    EXPECT_EQ(table->entryCount, 1u);
    EXPECT_EQ(ValueOf(42), 7u) << "still linked and found";
    EXPECT_EQ(held->first, 7u);

    host.AHashTable_Release(table, held);
    EXPECT_EQ(table->entryCount, 0u);
    EXPECT_EQ(host.AHashTable_Lookup(table, 42), nullptr);
    EXPECT_EQ(ListLength(FirstChunk(table)->usedList), 0u);
}

TEST_F(BaseHashTable, UnlinkedEntriesAreFreshAndGoBackOnOneRelease)
{
    CreateTable();
    auto* payload = static_cast<Payload*>(host.AHashTable_AllocEntry(table));
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->first, 0u);
    memset(payload, 0xEE, sizeof(*payload));
    host.AHashTable_Release(table, payload);
    EXPECT_EQ(ListLength(FirstChunk(table)->usedList), 0u);

    auto* again = static_cast<Payload*>(host.AHashTable_AllocEntry(table));
    EXPECT_EQ(again, payload) << "the block went back to the pool at once";
    EXPECT_EQ(again->first, 0u);
    EXPECT_EQ(again->second, 0u);
    host.AHashTable_Release(table, again);
}

TEST_F(BaseHashTable, DestroyReturnsLinkedReferencedAndUnlinkedEntries)
{
    CreateTable(37);
    for (ULONGLONG key = 0; key < 40; ++key) {
        Add(key * 37, key + 1);  // all in bucket 0, over several chunks
    }
    Add(1, 100);
    host.AHashTable_AllocEntry(table);                 // never linked
    EXPECT_NE(host.AHashTable_Lookup(table, 1), nullptr);  // a reference never dropped
    EXPECT_GE(km::OutstandingBlocks(TagABPL), 2 * 5u);
    host.AHashTable_Destroy(table);
    table = nullptr;
    EXPECT_EQ(km::GetPoolStats().outstandingBlocks, 0u);
}

TEST_F(BaseHashTable, WorksAtDispatchLevelAndUnderConcurrentUse)
{
    CreateTable();
    {
        RaisedIrql dispatch(DISPATCH_LEVEL);
        Add(9, 9);
        EXPECT_EQ(ValueOf(9), 9u);
        Remove(9);
    }

    // Both threads add, find and remove keys of their own; one of them also adds and removes a
    // shared key again and again while the other keeps finding it: a payload found stays valid
    // and unchanged until its reference is dropped, even when its remover has come and gone.
    constexpr int Rounds = 2000;
    constexpr ULONGLONG Shared = 1000;
    constexpr uint64_t Marker = 0x5EED;
    auto ownKeys = [&](ULONGLONG base, int round) {
        ULONGLONG key = base + static_cast<ULONGLONG>(round % 50);
        Add(key, key);
        ASSERT_EQ(ValueOf(key), key);
        Remove(key);
    };
    std::atomic<bool> writerDone{false};
    int found = 0;
    {
        ModelThread writer([&] {
            for (int round = 0; round < Rounds; ++round) {
                ownKeys(1ULL << 40, round);
                Add(Shared, Marker);
                Remove(Shared);
            }
            writerDone.store(true, std::memory_order_release);
        });
        ModelThread reader([&] {
            for (int round = 0; round < Rounds || !writerDone.load(std::memory_order_acquire); ++round) {
                ownKeys(2ULL << 40, round);
                auto* shared = static_cast<Payload*>(host.AHashTable_Lookup(table, Shared));
                if (shared != nullptr) {
                    ++found;
                    ASSERT_EQ(shared->first, Marker);
                    host.AHashTable_Release(table, shared);
                }
            }
        });
    }
    RecordProperty("SharedKeyFound", found);
    EXPECT_EQ(table->entryCount, 0u);
}
