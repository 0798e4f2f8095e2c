// The model's verifier: each misuse of a kernel routine stops the system with a bug check that
// names the violation. Each case runs in a child process (death test).
#include "base/platform.h"
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr ULONG TestTag = km::PoolTag("Test");

// Pageable code and the spin lock it must not run under.
KSPIN_LOCK PagedTestLock;
__attribute__((noinline)) void LockBriefly() { KeReleaseSpinLock(&PagedTestLock, KeAcquireSpinLockRaiseToDpc(&PagedTestLock)); }
__attribute__((noinline)) KIRQL TakeLock() { return KeAcquireSpinLockRaiseToDpc(&PagedTestLock); }
__attribute__((noinline)) void DropLock(KIRQL old) { KeReleaseSpinLock(&PagedTestLock, old); }

enum class PagedBody { CallsLockingRoutines, Raises, RaisesThroughAGuard, HoldsALock, ReturnsRaised };

__attribute__((noinline)) void PageableRoutine(PagedBody body)
{
    PAGED_CODE();
    switch (body) {
    case PagedBody::CallsLockingRoutines:
        LockBriefly();
        LockBriefly();
        break;
    case PagedBody::Raises:
        ExRaiseStatus(STATUS_UNSUCCESSFUL);
    case PagedBody::RaisesThroughAGuard:
        HOST_TRY { PageableRoutine(PagedBody::Raises); }
        HOST_EXCEPT {}
        HOST_END_TRY
        LockBriefly();
        break;
    case PagedBody::HoldsALock:
        DropLock(TakeLock());
        break;
    case PagedBody::ReturnsRaised:
        KeRaiseIrqlToDpcLevel();
        break;
    }
}

class VerifierDeathTest : public KernelTest {
protected:
    void SetUp() override
    {
        // The model runs threads; re-executing the test binary is the safe way to die.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        KernelTest::SetUp();
        KeInitializeSpinLock(&lock);
        KeInitializeMutex(&mutex, 0);
        ExInitializeFastMutex(&fastMutex);
    }

    KSPIN_LOCK lock;
    KMUTEX mutex;
    FAST_MUTEX fastMutex;
};

TEST_F(VerifierDeathTest, RaisingIrqlToALowerLevelOrLoweringItToAHigherOne)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "STOP 0x00000009 .*IRQL_NOT_GREATER_OR_EQUAL.*KeRaiseIrql to IRQL 1 from the higher IRQL 2");
    EXPECT_DEATH(KeLowerIrql(APC_LEVEL), "STOP 0x0000000A .*KeLowerIrql to IRQL 1 from the lower IRQL 0");
}

TEST_F(VerifierDeathTest, ReleasingASpinLockThatIsNotTheCallersOrNotHeldAtAll)
{
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        "STOP 0x00000010 .*SPIN_LOCK_NOT_OWNED.*is not held");
    EXPECT_DEATH(
        {
            KeAcquireSpinLockRaiseToDpc(&lock);
            km::RunInProcess(km::SystemProcess(), [&] { KeReleaseSpinLock(&lock, KeRaiseIrqlToDpcLevel()); });
        },
        "STOP 0x00000010 .*is held by thread");
}

TEST_F(VerifierDeathTest, AcquiringASpinLockTheThreadAlreadyHolds)
{
    EXPECT_DEATH(
        {
            KLOCK_QUEUE_HANDLE handle;
            KeAcquireInStackQueuedSpinLock(&lock, &handle);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "STOP 0x0000000F .*SPIN_LOCK_ALREADY_OWNED.*already holds");
}

TEST_F(VerifierDeathTest, ReleasingASpinLockToAnotherIrqlOrInAnotherMode)
{
    EXPECT_DEATH(
        {
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            KeReleaseSpinLock(&lock, (KIRQL)(old + 1));
        },
        "STOP 0x000000C4 .*returns to IRQL 1, but the lock was acquired at IRQL 0");
    EXPECT_DEATH(
        {
            KLOCK_QUEUE_HANDLE handle;
            KeAcquireInStackQueuedSpinLock(&lock, &handle);
            KeReleaseSpinLock(&lock, handle.OldIrql);
        },
        "STOP 0x000000C4 .*acquired as an in-stack queued lock");
}

TEST_F(VerifierDeathTest, LoweringIrqlWhileHoldingASpinLock)
{
    EXPECT_DEATH(
        {
            KeAcquireSpinLockRaiseToDpc(&lock);
            KeLowerIrql(PASSIVE_LEVEL);
        },
        "STOP 0x000000C4 .*IRQL lowered to 0 while holding 1 spin lock");
}

TEST_F(VerifierDeathTest, ReleasingAMutexOwnedByAnotherThread)
{
    EXPECT_DEATH(
        {
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            km::RunInProcess(km::SystemProcess(), [&] { KeReleaseMutex(&mutex, FALSE); });
        },
        "STOP 0x00000011 .*THREAD_NOT_MUTEX_OWNER.*does not own it \\(owner: thread");
}

TEST_F(VerifierDeathTest, MisusingAFastMutex)
{
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&fastMutex);
            ExAcquireFastMutex(&fastMutex);
        },
        "STOP 0x000000C4 .*already owns fast mutex");
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&fastMutex);
            km::RunInProcess(km::SystemProcess(), [&] { ExReleaseFastMutex(&fastMutex); });
        },
        "STOP 0x000000C4 .*ExReleaseFastMutex.*which does not own it");
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            ExAcquireFastMutex(&fastMutex);
        },
        "STOP 0x0000000A .*ExAcquireFastMutex at IRQL 2");
}

TEST_F(VerifierDeathTest, BlockingWaitAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            LARGE_INTEGER timeout = RelativeMs(1);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "STOP 0x0000000A .*KeWaitForSingleObject with a non-zero time-out at IRQL 2");
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "KeWaitForSingleObject with a null time-out at IRQL 2");
}

TEST_F(VerifierDeathTest, ThreadEndingAtRaisedIrqlOrHoldingALock)
{
    EXPECT_DEATH(km::RunInProcess(km::SystemProcess(), [] { KeRaiseIrqlToDpcLevel(); }),
                 "STOP 0x000000C4 .*ended at IRQL 2 instead of PASSIVE_LEVEL");
    EXPECT_DEATH(km::RunInProcess(km::SystemProcess(), [&] { KeAcquireSpinLockRaiseToDpc(&lock); }),
                 "STOP 0x000000C4 .*ended holding 1 spin lock");
    EXPECT_DEATH(km::RunInProcess(km::SystemProcess(), [&] { ExAcquireFastMutex(&fastMutex); }),
                 "STOP 0x000000C4 .*ended holding 1 fast mutex");
}

TEST_F(VerifierDeathTest, PagedPoolAtDispatchLevelOrAnyPoolAboveIt)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(CLOCK_LEVEL, &old);
            ExAllocatePoolWithTag(NonPagedPool, 8, TestTag);
        },
        "STOP 0x000000C2 .*of non-paged pool at IRQL 13");
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            ExAllocatePoolWithTag(PagedPool, 8, TestTag);
        },
        "STOP 0x000000C2 \\(0x8, .*BAD_POOL_CALLER.*of paged pool at IRQL 2");
    void* block = ExAllocatePoolWithTag(PagedPool, 8, TestTag);
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            ExFreePool(block);
        },
        "STOP 0x000000C2 \\(0x9, .*paged pool block .* freed at IRQL 2");
    ExFreePool(block);
}

TEST_F(VerifierDeathTest, FreeingPoolTwiceByAWrongAddressOrWithTheWrongTag)
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, 8, TestTag);
    EXPECT_DEATH(ExFreePool(static_cast<char*>(block) + 4), "STOP 0x000000C2 \\(0x46, .*not the start of a pool block");
    EXPECT_DEATH(ExFreePoolWithTag(block, km::PoolTag("Othr")), "STOP 0x000000C2 \\(0xA, .*has tag 0x74736554");
    ExFreePoolWithTag(block, TestTag);
    EXPECT_DEATH(ExFreePoolWithTag(block, TestTag), "STOP 0x000000C2 \\(0x7, .*freed twice");
}

TEST_F(VerifierDeathTest, RaisingWithNoGuardOrLeavingAGuardOutOfOrder)
{
    EXPECT_DEATH(ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES),
                 "STOP 0x0000001E \\(0xC000009A, .*KMODE_EXCEPTION_NOT_HANDLED.*no exception guard");
    EXPECT_DEATH(
        {
            KM_GUARD_FRAME outer;
            KM_GUARD_FRAME inner;
            KmGuardPush(&outer);
            KmGuardPush(&inner);
            KmGuardPop(&outer);
        },
        "STOP 0x000000C4 .*left while .* is the innermost guard");
}

// Verifier pages pageable code out at every raise to DISPATCH_LEVEL: pageable code may call
// routines that raise and lower again, but its own code must never run raised.
TEST_F(VerifierDeathTest, PageableCodeEnteredOrRunningAtDispatchLevel)
{
    PageableRoutine(PagedBody::CallsLockingRoutines);
    PageableRoutine(PagedBody::RaisesThroughAGuard);
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            PageableRoutine(PagedBody::CallsLockingRoutines);
        },
        "STOP 0x000000D1 .*DRIVER_IRQL_NOT_LESS_OR_EQUAL.*pageable routine PageableRoutine entered at IRQL 2");
    EXPECT_DEATH(PageableRoutine(PagedBody::HoldsALock), "STOP 0x000000D1 .*PageableRoutine ran at IRQL 2");
    EXPECT_DEATH(PageableRoutine(PagedBody::ReturnsRaised), "STOP 0x000000D1 .*PageableRoutine returns at IRQL 2");
}

TEST_F(VerifierDeathTest, KernelCodeStoppingTheSystem)
{
    EXPECT_DEATH(KeBugCheckEx(0xE2, 1, 2, 3, 4), "\\*\\*\\* STOP 0x000000E2 \\(0x1, 0x2, 0x3, 0x4\\)");
}

TEST(ModelMisuseDeathTest, KernelRoutineBeforeBoot)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KeGetCurrentIrql(), "model is not running \\(call km::Boot first\\)");
}

}  // namespace
