// Command 22: the host's pool routines, used the way a filter module uses them, on a kernel whose
// export table has ExFreePoolWithTag and on one that lacks it.
#include "support/host_test.h"

namespace {

constexpr ULONG TestTag = km::PoolTag("PrTs");

struct PoolRoutines {
    decltype(&ExAllocatePool) allocate;
    decltype(&ExAllocatePoolWithTag) allocateWithTag;
    decltype(&ExAllocatePoolWithQuotaTag) allocateWithQuotaTag;
    decltype(&ExAllocatePoolWithTagPriority) allocateWithTagPriority;
    decltype(&ExFreePool) free;
    decltype(&ExFreePoolWithTag) freeWithTag;
};

// The parameter: whether the kernel exports ExFreePoolWithTag.
class PoolRoutinesTest : public HostTest, public ::testing::WithParamInterface<bool> {
protected:
    bool LoadAtSetUp() const override { return false; }
    PoolRoutines Fetch()
    {
        ControlAnswer answer = KernelCommand(CommandBlock(HostCommandGetPoolRoutines), POOL_ROUTINES_REPLY_BYTES);
        EXPECT_TRUE(Accepted(answer));
        EXPECT_EQ(answer.information, POOL_ROUTINES_REPLY_BYTES);
        PoolRoutines routines{};
        uint64_t* slots = reinterpret_cast<uint64_t*>(&routines);
        for (size_t index = 0; index < PoolRoutineCount; index += 1) {
            slots[index] = ReplyField64(answer, 8 + 8 * index);
        }
        // The reply's reserved bytes are zeros, not old pool contents.
        for (size_t offset = 8 + 8 * PoolRoutineCount; offset < POOL_ROUTINES_REPLY_BYTES; offset += 8) {
            EXPECT_EQ(ReplyField64(answer, offset), 0u) << "reserved bytes at " << offset;
        }
        return routines;
    }
};

TEST_P(PoolRoutinesTest, PoolRoutinesAllocateAndFreeLikeTheKernel)
{
    if (!GetParam()) {
        km::RemoveExport("ExFreePoolWithTag");  // the host falls back to its own link
    }
    ASSERT_EQ(LoadHost().status, STATUS_SUCCESS);
    PoolRoutines routines = Fetch();
    // Allocates with each allocating entry, checks the block, and frees it with either free.
    PVOID blocks[] = {
        routines.allocate(NonPagedPool, 24),
        routines.allocateWithTag(PagedPool, 32, TestTag),
        routines.allocateWithQuotaTag(NonPagedPool, 40, TestTag),
        routines.allocateWithTagPriority(NonPagedPool, 48, TestTag, NormalPoolPriority),
    };
    for (size_t index = 0; index < 4; index += 1) {
        km::PoolBlockInfo info{};
        ASSERT_TRUE(km::QueryPoolBlock(blocks[index], &info)) << "entry " << index;
        EXPECT_EQ(info.size, 24 + 8 * index);
        EXPECT_EQ(info.paged, index == 1);
        if (index > 0) {
            EXPECT_EQ(info.tag, TestTag);
        }
    }
    EXPECT_EQ(km::OutstandingBlocks(TestTag), 3u);
    routines.free(blocks[0]);
    routines.freeWithTag(blocks[1], TestTag);
    routines.freeWithTag(blocks[2], TestTag);
    routines.free(blocks[3]);
    EXPECT_EQ(km::OutstandingBlocks(TestTag), 0u);
    // The cached routine leaves no trace a caller can see (every path frees alike): read it.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"ExFreePoolWithTag");
    EXPECT_EQ(globals->CachedFreePoolWithTag, reinterpret_cast<ULONG_PTR>(MmGetSystemRoutineAddress(&name)));
    // The addresses stay the same for every caller.
    EXPECT_EQ(Fetch().freeWithTag, routines.freeWithTag);
    km::RestoreExports();
}

INSTANTIATE_TEST_SUITE_P(PoolRoutines, PoolRoutinesTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& exported) {
                             return exported.param ? "Exported" : "NotExported";
                         });

}  // namespace
