// AHashTable: creation and its failures, unlinked entries, keys and shadowing, reference
// counting, destruction, concurrent use.
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

}  // namespace

class BaseHashTable : public BaseLibraryTest {
protected:
    void SetUp() override
    {
        BaseLibraryTest::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_EQ(host.AHashTable_Create(&table, Buckets, PayloadSize), STATUS_SUCCESS);
        }
    }
    void TearDown() override
    {
        if (table != nullptr) {
            host.AHashTable_Destroy(table);
        }
        BaseLibraryTest::TearDown();
    }

    // Allocates an entry with the given value and links it under key.
    void Add(ULONGLONG key, uint64_t value)
    {
        auto* payload = static_cast<Payload*>(host.AHashTable_AllocEntry(table));
        ASSERT_NE(payload, nullptr);
        payload->first = value;
        EXPECT_TRUE(host.AHashTable_Insert(table, key, payload));
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

    size_t BlocksInUse()
    {
        return ListLength(CONTAINING_RECORD(table->entryPool.chunks.Flink, ABlockChunk, link)->usedList);
    }

    AHashTable* table = nullptr;
};

TEST_F(BaseHashTable, TableIsOneNonPagedBlockAndFailedCreatesLeaveNothing)
{
    km::PoolBlockInfo info{};
    ASSERT_TRUE(km::QueryPoolBlock(table, &info));
    EXPECT_EQ(info.tag, TagHshT);
    EXPECT_FALSE(info.paged);
    EXPECT_EQ(info.size, sizeof(AHashTable) + Buckets * sizeof(AHashEntry*));

    struct Case {
        ULONG buckets;
        ULONG payload;
        ULONG refusedTag;  // 0: no allocation refused
        NTSTATUS expected;
    } cases[] = {
        {0, PayloadSize, 0, STATUS_INVALID_PARAMETER},           // no chain to put a key in
        {0x20000000, PayloadSize, 0, STATUS_INVALID_PARAMETER},  // bucket heads wrap the 32-bit size
        {Buckets, 0xFFFFFFF0, 0, STATUS_INVALID_PARAMETER},      // entry header plus payload wraps
        {Buckets, PayloadSize, TagHshT, STATUS_INSUFFICIENT_RESOURCES},
        {Buckets, PayloadSize, TagABPL, STATUS_NO_MEMORY},
    };
    size_t blocksBefore = km::GetPoolStats().outstandingBlocks;
    for (const Case& c : cases) {
        AHashTable* created = reinterpret_cast<AHashTable*>(0x1234);
        if (c.refusedTag != 0) {
            km::FailAllocationsWithTag(c.refusedTag);
        }
        EXPECT_EQ(host.AHashTable_Create(&created, c.buckets, c.payload), c.expected) << c.buckets;
        km::ClearPoolFaults();
        EXPECT_EQ(created, nullptr) << "cleared before anything can fail";
        EXPECT_EQ(km::GetPoolStats().outstandingBlocks, blocksBefore);
    }
}

TEST_F(BaseHashTable, UnlinkedEntriesAreZeroedAndOnlyLinkedOnce)
{
    auto* payload = static_cast<Payload*>(host.AHashTable_AllocEntry(table));
    ASSERT_NE(payload, nullptr);
    memset(payload, 0xEE, sizeof(*payload));
    host.AHashTable_Release(table, payload);  // one release discards an unlinked entry
    EXPECT_EQ(BlocksInUse(), 0u);
    EXPECT_EQ(host.AHashTable_AllocEntry(table), payload) << "the block went back to the pool at once";
    EXPECT_EQ(payload->first | payload->second, 0u);

    EXPECT_FALSE(host.AHashTable_Insert(table, HashTableUnlinkedKey, payload));
    EXPECT_FALSE(host.AHashTable_Insert(table, 5, nullptr));
    ASSERT_TRUE(host.AHashTable_Insert(table, 5, payload));
    EXPECT_FALSE(host.AHashTable_Insert(table, 6, payload)) << "already linked";
    EXPECT_EQ(table->entryCount, 1u);
    EXPECT_EQ(host.AHashTable_Lookup(table, 6), nullptr);
    Remove(5);
}

// At DISPATCH_LEVEL, where every operation must work.
TEST_F(BaseHashTable, KeysAreComparedInFullAndTheNewestEqualKeyWins)
{
    RaisedIrql dispatch(DISPATCH_LEVEL);
    constexpr ULONGLONG Low = 0x0000000100000005ULL;
    constexpr ULONGLONG High = 0x0000000200000005ULL;  // same bucket: same low 32 bits
    Add(Low, 1);
    Add(High, 2);
    EXPECT_EQ(ValueOf(Low), 1u);
    EXPECT_EQ(ValueOf(High), 2u);
    EXPECT_EQ(ValueOf(5), 0u) << "absent";

    Add(Low, 3);
    EXPECT_EQ(ValueOf(Low), 3u) << "the second entry shadows the first";
    Remove(Low);
    EXPECT_EQ(ValueOf(Low), 1u);
    Remove(Low);
    EXPECT_EQ(ValueOf(Low), 0u);
    EXPECT_EQ(ValueOf(High), 2u);
    Remove(High);
    EXPECT_EQ(BlocksInUse(), 0u) << "every block went back";
}

TEST_F(BaseHashTable, ConcurrentUsersKeepWhatTheyFound)
{
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
                    ASSERT_EQ(shared->first, Marker);
                    host.AHashTable_Release(table, shared);
                }
            }
        });
    }
    EXPECT_EQ(table->entryCount, 0u);
}
