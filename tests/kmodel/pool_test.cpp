// Pool: block accounting, paged and non-paged types, the fill pattern, fault injection, quota
// raising and the leak report.
#include "base/platform.h"
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr ULONG TestTag = km::PoolTag("Test");
constexpr ULONG OtherTag = km::PoolTag("Othr");
constexpr size_t BlockSize = 40;

class PoolTest : public KernelTest {};

bool AllZero(const void* block, size_t size)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST_F(PoolTest, BlocksCarryTypeTagAndSizeAndAreNotZeroed)
{
    void* paged = ExAllocatePoolWithTag(PagedPoolCacheAligned, BlockSize, TestTag);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, BlockSize, OtherTag);
    ASSERT_NE(paged, nullptr);
    ASSERT_NE(nonPaged, nullptr);
    EXPECT_FALSE(AllZero(paged, BlockSize));

    km::PoolBlockInfo info{};
    ASSERT_TRUE(km::QueryPoolBlock(paged, &info));
    EXPECT_TRUE(info.paged);
    EXPECT_EQ(info.type, PagedPoolCacheAligned);
    EXPECT_EQ(info.tag, TestTag);
    EXPECT_EQ(info.size, BlockSize);
    ASSERT_TRUE(km::QueryPoolBlock(nonPaged, &info));
    EXPECT_FALSE(info.paged);
    EXPECT_FALSE(km::QueryPoolBlock(static_cast<char*>(paged) + 1, &info));

    km::PoolStats stats = km::GetPoolStats();
    EXPECT_EQ(stats.outstandingBlocks, 2u);
    EXPECT_EQ(stats.outstandingBytes, 2 * BlockSize);
    EXPECT_EQ(km::OutstandingBlocks(TestTag), 1u);

    ExFreePoolWithTag(paged, TestTag);
    ExFreePoolWithTag(nonPaged, 0);  // tag 0 frees a block of any tag
    stats = km::GetPoolStats();
    EXPECT_EQ(stats.outstandingBlocks, 0u);
    EXPECT_EQ(stats.allocations, 2u);
    EXPECT_EQ(stats.frees, 2u);
}

TEST_F(PoolTest, OnlyPagedBlocksAreInvalidNonPagedAddresses)
{
    char* paged = static_cast<char*>(ExAllocatePoolWithTag(PagedPool, BlockSize, TestTag));
    char* nonPaged = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, BlockSize, TestTag));
    int onStack = 0;
    EXPECT_FALSE(MmIsNonPagedSystemAddressValid(paged));
    EXPECT_FALSE(MmIsNonPagedSystemAddressValid(paged + BlockSize / 2));
    EXPECT_FALSE(MmIsNonPagedSystemAddressValid(paged + BlockSize - 1));
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(nonPaged));
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(nonPaged + BlockSize - 1));
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(&onStack));
    ExFreePoolWithTag(paged, TestTag);
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(paged));
    ExFreePool(nonPaged);
}

TEST_F(PoolTest, NthAllocationRuleFailsExactlyThatAttempt)
{
    km::FailNthAllocation(3);
    void* blocks[4];
    for (void*& block : blocks) {
        block = ExAllocatePoolWithTag(NonPagedPool, BlockSize, TestTag);
    }
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_EQ(km::GetPoolStats().failedAllocations, 1u);
    for (void* block : blocks) {
        if (block != nullptr) {
            ExFreePoolWithTag(block, TestTag);
        }
    }
}

TEST_F(PoolTest, TagAndTypeRulesFailMatchingAllocationsUntilCleared)
{
    km::FailAllocationsWithTag(TestTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, BlockSize, TestTag), nullptr);
    void* other = ExAllocatePoolWithTag(NonPagedPool, BlockSize, OtherTag);
    EXPECT_NE(other, nullptr);
    ExFreePool(other);

    km::ClearPoolFaults();
    km::FailAllocationsOfType(true);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, BlockSize, OtherTag), nullptr);
    EXPECT_EQ(ExAllocatePool(PagedPoolCacheAligned, BlockSize), nullptr);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, BlockSize, TestTag);
    EXPECT_NE(nonPaged, nullptr);
    ExFreePool(nonPaged);
    EXPECT_EQ(km::GetPoolStats().failedAllocations, 3u);

    km::ClearPoolFaults();
    void* paged = ExAllocatePoolWithTag(PagedPool, BlockSize, TestTag);
    EXPECT_NE(paged, nullptr);
    ExFreePool(paged);
}

TEST_F(PoolTest, QuotaAllocationRaisesUnlessToldToFail)
{
    km::FailAllocationsWithTag(TestTag);
    volatile NTSTATUS raised = STATUS_SUCCESS;
    HOST_TRY
    {
        ExAllocatePoolWithQuotaTag(PagedPool, BlockSize, TestTag);
    }
    HOST_EXCEPT
    {
        raised = HOST_EXCEPTION_CODE();
    }
    HOST_END_TRY
    EXPECT_EQ(raised, STATUS_INSUFFICIENT_RESOURCES);

    POOL_TYPE failInstead = (POOL_TYPE)(PagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(failInstead, BlockSize, TestTag), nullptr);

    km::ClearPoolFaults();
    void* block = ExAllocatePoolWithQuotaTag(failInstead, BlockSize, TestTag);
    ASSERT_NE(block, nullptr);
    km::PoolBlockInfo info{};
    ASSERT_TRUE(km::QueryPoolBlock(block, &info));
    EXPECT_TRUE(info.paged);
    ExFreePoolWithTag(block, TestTag);
}

TEST_F(PoolTest, LeakReportListsOutstandingBlocksByTag)
{
    constexpr ULONG Amem = km::PoolTag("Amem");
    static_assert(Amem == 0x6D656D41, "tags read as in a pool dump");
    void* first = ExAllocatePoolWithTag(NonPagedPool, 56, Amem);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 56, Amem);
    void* third = ExAllocatePoolWithTag(PagedPool, 8, TestTag);
    EXPECT_EQ(km::PoolLeakReport(), "'Amem' 2 blocks 112 bytes\n'Test' 1 block 8 bytes\n");
    ExFreePoolWithTag(first, Amem);
    ExFreePoolWithTag(second, Amem);
    ExFreePoolWithTag(third, TestTag);
    EXPECT_EQ(km::PoolLeakReport(), "");
}

TEST(PoolLifetimeTest, ShutdownReportsAndReclaimsLeakedPoolAndBootStartsClean)
{
    km::BootOptions options;
    km::Boot(options);
    ExAllocatePoolWithTag(NonPagedPool, 8, km::PoolTag("Leak"));
    km::FailAllocationsWithTag(TestTag);
    std::string report = km::Shutdown();
    EXPECT_NE(report.find("'Leak' 1 block 8 bytes"), std::string::npos) << report;

    km::Boot(options);
    km::PoolStats stats = km::GetPoolStats();
    EXPECT_EQ(stats.outstandingBlocks, 0u);
    EXPECT_EQ(stats.allocations, 0u);
    void* block = ExAllocatePoolWithTag(NonPagedPool, 8, TestTag);  // the fault rule went with the old boot
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
    EXPECT_EQ(km::Shutdown(), "");
}

}  // namespace
