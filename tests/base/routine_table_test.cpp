// BaseInit, the table of optional kernel routines and the mode every ASpinLock settles on.
#include <string>
#include <vector>

#include "base_test.h"

namespace {

constexpr KIRQL UntouchedIrql = 0x5A;

enum class SpinMode { Queued, Plain };

// Acquires a fresh lock with a queue handle at APC_LEVEL and tells where the previous IRQL went:
// into the handle (queued) or into the holder (plain).
SpinMode ModeOfANewLock(const HostImports& host)
{
    RaisedIrql apc(APC_LEVEL);
    ASpinLock holder;
    holder.savedIrql = UntouchedIrql;
    EXPECT_TRUE(host.ASpinLock_Init(&holder));
    KLOCK_QUEUE_HANDLE handle;
    handle.OldIrql = UntouchedIrql;
    host.ASpinLock_Acquire(&holder, &handle);
    bool queued = handle.OldIrql == APC_LEVEL && holder.savedIrql == UntouchedIrql;
    bool plain = holder.savedIrql == APC_LEVEL && handle.OldIrql == UntouchedIrql;
    EXPECT_NE(queued, plain);
    host.ASpinLock_Release(&holder, &handle);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    return queued ? SpinMode::Queued : SpinMode::Plain;
}

}  // namespace

using BaseRoutineTable = HostImageTest;

TEST_F(BaseRoutineTable, KernelWithTheQueuedRoutinesGetsQueuedLocks)
{
    EXPECT_EQ(host.BaseInit(), STATUS_SUCCESS);
    EXPECT_EQ(ModeOfANewLock(host), SpinMode::Queued);
    EXPECT_EQ(ModeOfANewLock(host), SpinMode::Queued);
}

// A kernel that lacks one or both routines of the queued pair.
class BaseRoutineTableMissing : public HostImageTest,
                                public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(BaseRoutineTableMissing, KernelLackingAQueuedRoutineGetsPlainLocksEverywhere)
{
    for (const std::string& name : GetParam()) {
        km::RemoveExport(name.c_str());
    }
    EXPECT_EQ(host.BaseInit(), STATUS_SUCCESS) << "a missing routine is not an error";
    km::RestoreExports();
    EXPECT_EQ(ModeOfANewLock(host), SpinMode::Plain) << "the choice is made once, at BaseInit";
    EXPECT_EQ(ModeOfANewLock(host), SpinMode::Plain);
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, BaseRoutineTableMissing,
    ::testing::Values(std::vector<std::string>{"KeAcquireInStackQueuedSpinLock"},
                      std::vector<std::string>{"KeReleaseInStackQueuedSpinLock"},
                      std::vector<std::string>{"KeAcquireInStackQueuedSpinLock", "KeReleaseInStackQueuedSpinLock"}),
    [](const ::testing::TestParamInfo<std::vector<std::string>>& kernel) {
        return kernel.param.size() == 2 ? std::string("WithoutEither")
                                      : "Without" + kernel.param[0].substr(2);  // drop "Ke"
    });

TEST_F(BaseRoutineTable, KernelWithoutExFreePoolWithTagStillStarts)
{
    km::RemoveExport("ExFreePoolWithTag");
    EXPECT_EQ(host.BaseInit(), STATUS_SUCCESS);
    EXPECT_EQ(ModeOfANewLock(host), SpinMode::Queued);
}

TEST_F(BaseRoutineTable, BaseInitAboveApcLevelBugChecks)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RaisedIrql dispatch(DISPATCH_LEVEL);
            host.BaseInit();
        },
        "STOP 0x0000000A");  // IRQL_NOT_LESS_OR_EQUAL
}
