// Shared pieces of the support-library tests: a fixture that starts the library in a fresh host
// image, and small helpers for IRQL, lists and pool blocks.
#pragma once

#include <atomic>
#include <thread>

#include "support/kernel_test.h"

// A fresh host image whose support library has been started with BaseInit.
class BaseLibraryTest : public HostImageTest {
protected:
    void SetUp() override
    {
        HostImageTest::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_EQ(host.BaseInit(), STATUS_SUCCESS);
        }
    }
};

// Raises the calling thread's IRQL for the life of the object.
class RaisedIrql {
public:
    explicit RaisedIrql(KIRQL level) { KeRaiseIrql(level, &previous_); }
    ~RaisedIrql() { KeLowerIrql(previous_); }

private:
    KIRQL previous_ = PASSIVE_LEVEL;
};

// Entries on a doubly linked list.
inline size_t ListLength(const LIST_ENTRY& head)
{
    size_t count = 0;
    for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) {
        ++count;
    }
    return count;
}

// A block of paged pool for a record that must not lie in non-paged memory; free it with
// ExFreePoolWithTag.
template <typename Record>
Record* NewPaged()
{
    return static_cast<Record*>(ExAllocatePoolWithTag(PagedPool, sizeof(Record), km::PoolTag("Test")));
}

// `block` is one non-paged pool block of `size` bytes tagged `tag`.
inline void ExpectNonPagedBlock(const void* block, ULONG tag, size_t size)
{
    km::PoolBlockInfo info{};
    ASSERT_TRUE(km::QueryPoolBlock(block, &info));
    EXPECT_EQ(info.tag, tag);
    EXPECT_FALSE(info.paged);
    EXPECT_EQ(info.size, size);
}

// Pool tags of the library, as they read in a pool dump.
constexpr ULONG TagAmem = km::PoolTag("Amem");
constexpr ULONG TagHshT = km::PoolTag("HshT");
constexpr ULONG TagABPL = km::PoolTag("ABPL");
