// The model's verifier: each misuse of a kernel routine stops the system with a bug check that
// names the violation. Each case runs in a child process (death test).
#include "base/platform.h"
#include "model_test_util.h"

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

struct KernelObjects {
    KSPIN_LOCK lock;
    KMUTEX mutex;
    FAST_MUTEX fastMutex;
    KEVENT event;
};

// Runs `body` on another thread of the System process and waits for it.
template <typename Body>
void OnOtherThread(Body body)
{
    km::RunInProcess(km::SystemProcess(), body);
}

void Raise(KIRQL level)
{
    KIRQL old;
    KeRaiseIrql(level, &old);
}

void* NewBlock(POOL_TYPE type) { return ExAllocatePoolWithTag(type, 8, TestTag); }

void WaitAtDispatch(KEVENT& event, LARGE_INTEGER* timeout)
{
    KeRaiseIrqlToDpcLevel();
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout);
}

using KernelMisuse = Misuse<KernelObjects>;
const KernelMisuse KernelMisuses[] = {
    {"RaisingIrqlToALowerLevel", [](auto&) { Raise(DISPATCH_LEVEL); Raise(APC_LEVEL); },
     "STOP 0x00000009 .*IRQL_NOT_GREATER_OR_EQUAL.*KeRaiseIrql to IRQL 1 from the higher IRQL 2"},
    {"LoweringIrqlToAHigherLevel", [](auto&) { KeLowerIrql(APC_LEVEL); },
     "STOP 0x0000000A .*KeLowerIrql to IRQL 1 from the lower IRQL 0"},
    {"ReleasingASpinLockNotHeld", [](auto& o) { KeRaiseIrqlToDpcLevel(); KeReleaseSpinLock(&o.lock, PASSIVE_LEVEL); },
     "STOP 0x00000010 .*SPIN_LOCK_NOT_OWNED.*is not held"},
    {"ReleasingAnotherThreadsSpinLock",
     [](auto& o) {
         KeAcquireSpinLockRaiseToDpc(&o.lock);
         OnOtherThread([&] { KeReleaseSpinLock(&o.lock, KeRaiseIrqlToDpcLevel()); });
     },
     "STOP 0x00000010 .*is held by thread"},
    {"AcquiringASpinLockAlreadyHeld",
     [](auto& o) {
         KLOCK_QUEUE_HANDLE handle;
         KeAcquireInStackQueuedSpinLock(&o.lock, &handle);
         KeAcquireSpinLockAtDpcLevel(&o.lock);
     },
     "STOP 0x0000000F .*SPIN_LOCK_ALREADY_OWNED.*already holds"},
    {"ReleasingASpinLockToAnotherIrql",
     [](auto& o) { KeReleaseSpinLock(&o.lock, KIRQL(KeAcquireSpinLockRaiseToDpc(&o.lock) + 1)); },
     "STOP 0x000000C4 .*returns to IRQL 1, but the lock was acquired at IRQL 0"},
    {"ReleasingAQueuedSpinLockAsAPlainOne",
     [](auto& o) {
         KLOCK_QUEUE_HANDLE handle;
         KeAcquireInStackQueuedSpinLock(&o.lock, &handle);
         KeReleaseSpinLock(&o.lock, handle.OldIrql);
     },
     "STOP 0x000000C4 .*acquired as an in-stack queued lock"},
    {"LoweringIrqlWhileHoldingASpinLock",
     [](auto& o) { KeAcquireSpinLockRaiseToDpc(&o.lock); KeLowerIrql(PASSIVE_LEVEL); },
     "STOP 0x000000C4 .*IRQL lowered to 0 while holding 1 spin lock"},
    {"ReleasingAMutexOwnedByAnotherThread",
     [](auto& o) {
         KeWaitForSingleObject(&o.mutex, Executive, KernelMode, FALSE, nullptr);
         OnOtherThread([&] { KeReleaseMutex(&o.mutex, FALSE); });
     },
     "STOP 0x00000011 .*THREAD_NOT_MUTEX_OWNER.*does not own it \\(owner: thread"},
    {"AcquiringAFastMutexTwice", [](auto& o) { ExAcquireFastMutex(&o.fastMutex); ExAcquireFastMutex(&o.fastMutex); },
     "STOP 0x000000C4 .*already owns fast mutex"},
    {"ReleasingAnotherThreadsFastMutex",
     [](auto& o) {
         ExAcquireFastMutex(&o.fastMutex);
         OnOtherThread([&] { ExReleaseFastMutex(&o.fastMutex); });
     },
     "STOP 0x000000C4 .*ExReleaseFastMutex.*which does not own it"},
    {"AcquiringAFastMutexAtDispatchLevel", [](auto& o) { KeRaiseIrqlToDpcLevel(); ExAcquireFastMutex(&o.fastMutex); },
     "STOP 0x0000000A .*ExAcquireFastMutex at IRQL 2"},
    {"WaitingWithATimeOutAtDispatchLevel",
     [](auto& o) {
         LARGE_INTEGER timeout = RelativeMs(1);
         WaitAtDispatch(o.event, &timeout);
     },
     "STOP 0x0000000A .*KeWaitForSingleObject with a non-zero time-out at IRQL 2"},
    {"WaitingForeverAtDispatchLevel", [](auto& o) { WaitAtDispatch(o.event, nullptr); },
     "KeWaitForSingleObject with a null time-out at IRQL 2"},
    {"ThreadEndingAtRaisedIrql", [](auto&) { OnOtherThread([] { KeRaiseIrqlToDpcLevel(); }); },
     "STOP 0x000000C4 .*ended at IRQL 2 instead of PASSIVE_LEVEL"},
    {"ThreadEndingHoldingASpinLock", [](auto& o) { OnOtherThread([&] { KeAcquireSpinLockRaiseToDpc(&o.lock); }); },
     "STOP 0x000000C4 .*ended holding 1 spin lock"},
    {"ThreadEndingHoldingAFastMutex", [](auto& o) { OnOtherThread([&] { ExAcquireFastMutex(&o.fastMutex); }); },
     "STOP 0x000000C4 .*ended holding 1 fast mutex"},
    {"AnyPoolAboveDispatchLevel", [](auto&) { Raise(CLOCK_LEVEL); NewBlock(NonPagedPool); },
     "STOP 0x000000C2 .*of non-paged pool at IRQL 13"},
    {"PagedPoolAtDispatchLevel", [](auto&) { KeRaiseIrqlToDpcLevel(); NewBlock(PagedPool); },
     "STOP 0x000000C2 \\(0x8, .*BAD_POOL_CALLER.*of paged pool at IRQL 2"},
    {"FreeingPagedPoolAtDispatchLevel",
     [](auto&) {
         void* block = NewBlock(PagedPool);
         KeRaiseIrqlToDpcLevel();
         ExFreePool(block);
     },
     "STOP 0x000000C2 \\(0x9, .*paged pool block .* freed at IRQL 2"},
    {"FreeingPoolByAWrongAddress", [](auto&) { ExFreePool(static_cast<char*>(NewBlock(NonPagedPool)) + 4); },
     "STOP 0x000000C2 \\(0x46, .*not the start of a pool block"},
    {"FreeingPoolWithTheWrongTag", [](auto&) { ExFreePoolWithTag(NewBlock(NonPagedPool), km::PoolTag("Othr")); },
     "STOP 0x000000C2 \\(0xA, .*has tag 0x74736554"},
    {"FreeingPoolTwice",
     [](auto&) {
         void* block = NewBlock(NonPagedPool);
         ExFreePoolWithTag(block, TestTag);
         ExFreePoolWithTag(block, TestTag);
     },
     "STOP 0x000000C2 \\(0x7, .*freed twice"},
    {"RaisingWithNoGuard", [](auto&) { ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES); },
     "STOP 0x0000001E \\(0xC000009A, .*KMODE_EXCEPTION_NOT_HANDLED.*no exception guard"},
    {"LeavingAGuardOutOfOrder",
     [](auto&) {
         KM_GUARD_FRAME outer;
         KM_GUARD_FRAME inner;
         KmGuardPush(&outer);
         KmGuardPush(&inner);
         KmGuardPop(&outer);
     },
     "STOP 0x000000C4 .*left while .* is the innermost guard"},
    // Verifier pages pageable code out at every raise to DISPATCH_LEVEL: its own code must never
    // run raised (PageableCodeTest has the calls that stay legal).
    {"PageableCodeEnteredAtDispatchLevel",
     [](auto&) {
         KeRaiseIrqlToDpcLevel();
         PageableRoutine(PagedBody::CallsLockingRoutines);
     },
     "STOP 0x000000D1 .*DRIVER_IRQL_NOT_LESS_OR_EQUAL.*pageable routine PageableRoutine entered at IRQL 2"},
    {"PageableCodeRunningUnderASpinLock", [](auto&) { PageableRoutine(PagedBody::HoldsALock); },
     "STOP 0x000000D1 .*PageableRoutine ran at IRQL 2"},
    {"PageableCodeReturningRaised", [](auto&) { PageableRoutine(PagedBody::ReturnsRaised); },
     "STOP 0x000000D1 .*PageableRoutine returns at IRQL 2"},
    {"KernelCodeStoppingTheSystem", [](auto&) { KeBugCheckEx(0xE2, 1, 2, 3, 4); },
     "\\*\\*\\* STOP 0x000000E2 \\(0x1, 0x2, 0x3, 0x4\\)"},
};

class VerifierDeathTest : public ModelDeathTest, public ::testing::WithParamInterface<KernelMisuse> {
protected:
    void SetUp() override
    {
        ModelDeathTest::SetUp();
        KeInitializeSpinLock(&objects.lock);
        KeInitializeMutex(&objects.mutex, 0);
        ExInitializeFastMutex(&objects.fastMutex);
        KeInitializeEvent(&objects.event, NotificationEvent, FALSE);
    }

    KernelObjects objects;
};

TEST_P(VerifierDeathTest, StopsTheSystem)
{
    EXPECT_DEATH(GetParam().body(objects), GetParam().bugCheck);
}

INSTANTIATE_TEST_SUITE_P(, VerifierDeathTest, ::testing::ValuesIn(KernelMisuses), ByName());

// Pageable code may call routines that raise and lower again before they return, also after an
// exception unwound through it.
using PageableCodeTest = KernelTest;
TEST_F(PageableCodeTest, CallsRoutinesThatRaiseAndLowerAgain)
{
    PageableRoutine(PagedBody::CallsLockingRoutines);
    PageableRoutine(PagedBody::RaisesThroughAGuard);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(ModelMisuseDeathTest, KernelRoutineBeforeBoot)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KeGetCurrentIrql(), "model is not running \\(call km::Boot first\\)");
}

}  // namespace
