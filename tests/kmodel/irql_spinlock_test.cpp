// IRQL per thread and spin locks: real exclusion between threads and the IRQL each acquisition
// saves and each release restores.
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr int IncrementsPerThread = 20000;

class IrqlTest : public KernelTest {};
class SpinLockTest : public KernelTest {};

TEST_F(IrqlTest, RaiseAndLowerChangeOnlyTheCallingThread)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);

    KIRQL seenByOther = HIGH_LEVEL;
    km::RunInProcess(km::SystemProcess(), [&] { seenByOther = KeGetCurrentIrql(); });
    EXPECT_EQ(seenByOther, PASSIVE_LEVEL);

    KeLowerIrql(APC_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, PlainLockExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // deliberately not atomic: only the lock protects it
    bool irqlRaised = true;
    auto body = [&] {
        for (int i = 0; i < IncrementsPerThread; ++i) {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            if (KeGetCurrentIrql() != DISPATCH_LEVEL || old != PASSIVE_LEVEL) {
                irqlRaised = false;
            }
            counter = counter + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    km::Thread* first = km::StartThread(km::SystemProcess(), body);
    km::Thread* second = km::StartThread(km::SystemProcess(), body);
    km::JoinThread(first);
    km::JoinThread(second);
    EXPECT_EQ(counter, 2L * IncrementsPerThread);
    EXPECT_TRUE(irqlRaised);
}

TEST_F(SpinLockTest, QueuedLockExcludesOtherThreadsAndKeepsIrqlInHandle)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto body = [&] {
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        for (int i = 0; i < IncrementsPerThread; ++i) {
            KLOCK_QUEUE_HANDLE handle;
            KeAcquireInStackQueuedSpinLock(&lock, &handle);
            if (handle.OldIrql == APC_LEVEL && KeGetCurrentIrql() == DISPATCH_LEVEL) {
                counter = counter + 1;
            }
            KeReleaseInStackQueuedSpinLock(&handle);
        }
        if (KeGetCurrentIrql() == APC_LEVEL) {
            KeLowerIrql(old);
        }
    };
    km::Thread* first = km::StartThread(km::SystemProcess(), body);
    km::Thread* second = km::StartThread(km::SystemProcess(), body);
    km::JoinThread(first);
    km::JoinThread(second);
    EXPECT_EQ(counter, 2L * IncrementsPerThread);
}

TEST_F(SpinLockTest, NestedLocksRestoreIrqlInReverseOrder)
{
    KSPIN_LOCK outer;
    KSPIN_LOCK middle;
    KSPIN_LOCK inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&middle);
    KeInitializeSpinLock(&inner);

    KLOCK_QUEUE_HANDLE outerHandle;
    KeAcquireInStackQueuedSpinLock(&outer, &outerHandle);
    EXPECT_EQ(outerHandle.OldIrql, PASSIVE_LEVEL);
    KIRQL middleOld = KeAcquireSpinLockRaiseToDpc(&middle);
    EXPECT_EQ(middleOld, DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);

    KeReleaseSpinLockFromDpcLevel(&inner);
    KeReleaseSpinLock(&middle, middleOld);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseInStackQueuedSpinLock(&outerHandle);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, ReleasedLockCanBeTakenByAnotherThread)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    std::atomic<bool> taken{false};
    km::Thread* other = km::StartThread(km::SystemProcess(), [&] {
        KIRQL otherOld = KeAcquireSpinLockRaiseToDpc(&lock);
        taken = true;
        KeReleaseSpinLock(&lock, otherOld);
    });
    // The other thread spins until the lock is released; give it a moment to reach the lock.
    km::Thread* idle = km::StartThread(km::SystemProcess(), [] {
        LARGE_INTEGER pause = RelativeMs(5);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    });
    km::JoinThread(idle);
    EXPECT_FALSE(taken.load());
    KeReleaseSpinLock(&lock, old);
    km::JoinThread(other);
    EXPECT_TRUE(taken.load());
}

}  // namespace
