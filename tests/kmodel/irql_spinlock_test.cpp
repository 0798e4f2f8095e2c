// Spin locks: real exclusion between threads and the IRQL each acquisition saves and each release
// restores. Raising and lowering IRQL is what every lock holder of the base library does.
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr int IncrementsPerThread = 20000;

class SpinLockTest : public KernelTest {};

// Both kinds of lock, taken at APC_LEVEL: only the lock protects the counter, and the previous
// IRQL comes back from the acquisition (plain) or in the queue handle (queued).
TEST_F(SpinLockTest, PlainAndQueuedLocksExcludeOtherThreads)
{
    for (bool queued : {false, true}) {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        long counter = 0;  // deliberately not atomic
        auto body = [&] {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            for (int i = 0; i < IncrementsPerThread; ++i) {
                KLOCK_QUEUE_HANDLE handle;
                KIRQL saved = APC_LEVEL;
                if (queued) {
                    KeAcquireInStackQueuedSpinLock(&lock, &handle);
                    saved = handle.OldIrql;
                } else {
                    saved = KeAcquireSpinLockRaiseToDpc(&lock);
                }
                counter = counter + (saved == APC_LEVEL && KeGetCurrentIrql() == DISPATCH_LEVEL ? 1 : 0);
                queued ? KeReleaseInStackQueuedSpinLock(&handle) : KeReleaseSpinLock(&lock, saved);
            }
            KeLowerIrql(old);
        };
        km::Thread* first = km::StartThread(km::SystemProcess(), body);
        km::Thread* second = km::StartThread(km::SystemProcess(), body);
        km::JoinThread(first);
        km::JoinThread(second);
        EXPECT_EQ(counter, 2L * IncrementsPerThread) << (queued ? "queued" : "plain");
    }
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

}  // namespace
