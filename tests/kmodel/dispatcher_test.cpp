// Dispatcher objects across real threads: mutex abandonment and fast mutexes. A mutex's recursion
// and time-outs, and polls at DISPATCH_LEVEL, are the base library's mutex holder's (tests/base);
// a thread object signalled at its end is the system thread test's; notification events are the
// host's drain events (tests/host) and synchronization events the model's own device locks, which
// pended mounts wait on (fs/mount_test).
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr int IncrementsPerThread = 2000;

class MutexTest : public KernelTest {};
class FastMutexTest : public KernelTest {};

TEST_F(MutexTest, OwnerThatEndsAbandonsTheMutexModelThreadOrAdoptedOsThread)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    km::RunInProcess(km::SystemProcess(), [&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_ABANDONED_WAIT_0);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS)
        << "the abandonment is reported once";
    KeReleaseMutex(&mutex, FALSE);

    std::thread osThread([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); });
    osThread.join();
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_ABANDONED_WAIT_0);
    KeReleaseMutex(&mutex, FALSE);
}

TEST_F(FastMutexTest, ExcludesOtherThreadsAndEndsFree)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long counter = 0;
    auto body = [&] {
        for (int i = 0; i < IncrementsPerThread; ++i) {
            ExAcquireFastMutex(&mutex);
            counter = counter + 1;
            ExReleaseFastMutex(&mutex);
        }
    };
    km::Thread* first = km::StartThread(km::SystemProcess(), body);
    km::Thread* second = km::StartThread(km::SystemProcess(), body);
    km::JoinThread(first);
    km::JoinThread(second);
    EXPECT_EQ(counter, 2L * IncrementsPerThread);
    EXPECT_EQ(mutex.Count, FM_LOCK_BIT);
    EXPECT_EQ(mutex.Owner, nullptr);
}

TEST_F(FastMutexTest, AnOwnedFastMutexRefusesTryAndBlocksAcquireUntilReleased)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    BOOLEAN whileOwned = TRUE;
    km::RunInProcess(km::SystemProcess(), [&] { whileOwned = ExTryToAcquireFastMutex(&mutex); });
    EXPECT_FALSE(whileOwned);

    std::atomic<bool> acquired{false};
    km::Thread* waiter = km::StartThread(km::SystemProcess(), [&] {
        ExAcquireFastMutex(&mutex);
        acquired = true;
        ExReleaseFastMutex(&mutex);
    });
    ASSERT_TRUE(WaitUntil([&] { return __atomic_load_n(&mutex.Contention, __ATOMIC_RELAXED) == 1; }));
    EXPECT_FALSE(acquired.load());
    ExReleaseFastMutex(&mutex);
    km::JoinThread(waiter);
    EXPECT_TRUE(acquired.load());

    BOOLEAN whenFree = FALSE;
    KIRQL irqlWhileHeld = PASSIVE_LEVEL;
    km::RunInProcess(km::SystemProcess(), [&] {
        whenFree = ExTryToAcquireFastMutex(&mutex);
        irqlWhileHeld = KeGetCurrentIrql();
        if (whenFree) {
            ExReleaseFastMutex(&mutex);
        }
    });
    EXPECT_TRUE(whenFree);
    EXPECT_EQ(irqlWhileHeld, APC_LEVEL);
}

}  // namespace
