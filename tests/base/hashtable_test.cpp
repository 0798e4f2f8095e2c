// AHashTable: where the table lives, keys, reference counting, concurrent use.
#include "base_test.h"

namespace {

constexpr ULONG Buckets = 7;

struct Payload {
    uint64_t first;
    uint64_t second;
};

}  // namespace

class BaseHashTable : public BaseLibraryTest {
protected:
    void SetUp() override
    {
        BaseLibraryTest::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_EQ(host.AHashTable_Create(&table, Buckets, sizeof(Payload)), STATUS_SUCCESS);
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

    AHashTable* table = nullptr;
};

// The table is one non-paged block; at DISPATCH_LEVEL, where routing looks overrides up, every
// operation works.
TEST_F(BaseHashTable, TableIsOneNonPagedBlockAndKeysAreComparedInFull)
{
    ExpectNonPagedBlock(table, TagHshT, sizeof(AHashTable) + Buckets * sizeof(AHashEntry*));
    RaisedIrql dispatch(DISPATCH_LEVEL);
    constexpr ULONGLONG Low = 0x0000000100000005ULL;
    constexpr ULONGLONG High = 0x0000000200000005ULL;  // same bucket: same low 32 bits
    Add(Low, 1);
    Add(High, 2);
    EXPECT_EQ(ValueOf(Low), 1u);
    EXPECT_EQ(ValueOf(High), 2u);
    EXPECT_EQ(ValueOf(5), 0u) << "absent";

    Remove(Low);
    EXPECT_EQ(ValueOf(Low), 0u);
    EXPECT_EQ(ValueOf(High), 2u);
    Remove(High);
    EXPECT_EQ(ListLength(CONTAINING_RECORD(table->entryPool.chunks.Flink, ABlockChunk, link)->usedList), 0u)
        << "every block went back";
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
