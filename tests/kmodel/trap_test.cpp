// Traps: a thread parked at the nth matching call of a routine until released, and a raise made
// at a routine's entry that the caller's exception guard receives.
#include <atomic>

#include "base/platform.h"
#include "kmodel/trap.h"
#include "support/kernel_test.h"

namespace {

class TrapTest : public KernelTest {};

TEST_F(TrapTest, ParksTheNthMatchingCallOfOneThreadUntilReleased)
{
    KSPIN_LOCK lock;
    KSPIN_LOCK other;
    KeInitializeSpinLock(&lock);
    KeInitializeSpinLock(&other);
    std::atomic<int> taken{0};
    std::atomic<bool> go{false};
    km::Thread* worker = km::StartThread(km::SystemProcess(), [&] {
        while (!go) {
        }
        for (int round = 0; round < 3; round += 1) {
            KeReleaseSpinLock(&other, KeAcquireSpinLockRaiseToDpc(&other));
            KLOCK_QUEUE_HANDLE handle;
            KeAcquireInStackQueuedSpinLock(&lock, &handle);
            taken += 1;
            KeReleaseInStackQueuedSpinLock(&handle);
        }
    });
    // The worker's second acquisition of `lock` by any KeAcquire* routine.
    km::Trap trap(km::TrapRule{"KeAcquire*", &lock, 0, worker, {}, 2});
    // Calls of other threads, and on other locks, do not count.
    KeReleaseSpinLock(&lock, KeAcquireSpinLockRaiseToDpc(&lock));
    go = true;
    ASSERT_TRUE(trap.WaitFired());
    EXPECT_EQ(trap.FiringThread(), worker);
    EXPECT_EQ(taken, 1);
    // Parked at the entry: the lock is free.
    KeReleaseSpinLock(&lock, KeAcquireSpinLockRaiseToDpc(&lock));
    EXPECT_EQ(taken, 1);
    trap.Release();
    km::JoinThread(worker);
    EXPECT_EQ(taken, 3);
}

TEST_F(TrapTest, RaisesAtTheEntryOfTheRoutineIntoTheCallersGuard)
{
    constexpr ULONG Kept = km::PoolTag("Kept");
    constexpr ULONG Gone = km::PoolTag("Gone");
    PVOID kept = ExAllocatePoolWithTag(NonPagedPool, 8, Kept);
    PVOID gone = ExAllocatePoolWithTag(NonPagedPool, 8, Gone);
    // The next free of a block tagged `Kept` raises.
    km::Trap trap(km::TrapRule{"ExFreePoolWithTag", nullptr, Kept, nullptr, {}, 1, km::TrapAction::Raise,
                               STATUS_INSUFFICIENT_RESOURCES});
    volatile NTSTATUS landed = STATUS_SUCCESS;
    HOST_TRY
    {
        ExFreePoolWithTag(gone, 0);
        ExFreePoolWithTag(kept, 0);
    }
    HOST_EXCEPT { landed = HOST_EXCEPTION_CODE(); }
    HOST_END_TRY
    EXPECT_EQ(landed, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(km::OutstandingBlocks(Gone), 0u);
    EXPECT_EQ(km::OutstandingBlocks(Kept), 1u) << "the routine did something before the raise";
    EXPECT_EQ(trap.FiringThread(), km::CurrentThread());
    ExFreePoolWithTag(kept, 0);  // the trap fires once
}

}  // namespace
