// Pool: block accounting, paged and non-paged types, the fill pattern, and quota allocations that
// raise. The fault rules are what the host's failure-path tests and the allocation sweep stand on
// (tests/driver, tests/reliability).
#include <algorithm>

#include "base/platform.h"
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr ULONG TestTag = km::PoolTag("Test");
constexpr ULONG OtherTag = km::PoolTag("Othr");
constexpr size_t BlockSize = 40;

class PoolTest : public KernelTest {};

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
    km::PoolStats stats = km::GetPoolStats();
    EXPECT_EQ(stats.outstandingBytes, 2 * BlockSize);

    int onStack = 0;
    EXPECT_FALSE(MmIsNonPagedSystemAddressValid(paged));
    EXPECT_FALSE(MmIsNonPagedSystemAddressValid(paged + BlockSize - 1));
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(nonPaged + BlockSize - 1));
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(&onStack));
    ExFreePoolWithTag(paged, TestTag);
    EXPECT_TRUE(MmIsNonPagedSystemAddressValid(paged)) << "no longer a paged block";
    ExFreePoolWithTag(nonPaged, 0);  // tag 0 frees a block of any tag
    stats = km::GetPoolStats();
    EXPECT_EQ(stats.allocations, 2u);
    EXPECT_EQ(stats.frees, 2u);
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
    ASSERT_NE(block, nullptr) << "the flag is no part of the pool type";
    ExFreePoolWithTag(block, TestTag);
}

}  // namespace
