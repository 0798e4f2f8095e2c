// The model's verifier: each misuse of a kernel routine stops the system with a bug check that
// names the violation: IRQL and lock misuse, pool misuse, exception guards and pageable code, the
// stricter checks (completing under a spin lock, unprepared stack locations, pool written after
// its free, locks taken in an order that closes a cycle), and the routines filter modules call
// beyond the host's own (executive resources and critical regions, IRPs, MDLs, lookaside lists,
// timers, DPCs and work items). Each case runs in a child process (death test); the tests after
// the table show what the checks let pass, and a trap raising where a test asks.
#include "base/platform.h"
#include "io/io_test_util.h"
#include "kmodel/trap.h"

namespace {

constexpr ULONG TestTag = km::PoolTag("Test");

// What the misuses work on, made afresh for each case.
struct Objects {
    KSPIN_LOCK lock;
    KSPIN_LOCK second;
    KMUTEX mutex;
    FAST_MUTEX fastMutex;
    KEVENT event;
    ERESOURCE resource;
    PDEVICE_OBJECT device;
};

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

// Runs `body` on another thread of the System process and waits for it.
void OnOtherThread(const std::function<void()>& body) { km::RunInProcess(km::SystemProcess(), body); }

void Raise(KIRQL level)
{
    KIRQL old;
    KeRaiseIrql(level, &old);
}

void* NewBlock(POOL_TYPE type) { return ExAllocatePoolWithTag(type, 8, TestTag); }

void* FreedBlock()
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, TestTag);
    ExFreePoolWithTag(block, TestTag);
    return block;
}

void WaitMutex(KMUTEX& mutex) { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); }

void TakeBoth(PKSPIN_LOCK outer, PKSPIN_LOCK inner)
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(outer);
    KeAcquireSpinLockAtDpcLevel(inner);
    KeReleaseSpinLockFromDpcLevel(inner);
    KeReleaseSpinLock(outer, old);
}

KSPIN_LOCK NotifyLock;
void NTAPI NotifyTakingALock(HANDLE, HANDLE, BOOLEAN) { KeAcquireSpinLockRaiseToDpc(&NotifyLock); }

// A work item routine that returns raised.
void NTAPI RaisingRoutine(PDEVICE_OBJECT, PVOID) { Raise(DISPATCH_LEVEL); }

void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

// `handler` answers a read sent to a device whose stack has room for one more driver.
void ReadThrough(PDEVICE_OBJECT device, km::IrpHandler handler)
{
    device->StackSize = 2;
    km::SetModelDeviceHandler(device, std::move(handler));
    km::SendIrp(device, km::IrpRequest{IRP_MJ_READ});
}

// An IRP as a driver holds it: its first stack location current.
PIRP HeldIrp()
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    return irp;
}

PMDL LockedMdl()
{
    static char buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    return mdl;
}

// Loads the I/O manager's test driver for `scenario` and unloads it.
void LoadAndUnloadIoTest(LONG scenario)
{
    km::DriverLoadOptions options;
    options.beforeEntry = [scenario](km::Image* image) {
        *static_cast<LONG*>(km::ImageSymbol(image, "IoTestScenario")) = scenario;
    };
    km::UnloadDriver(km::LoadDriver(km::ImagePath("iotest.so"), options).driver);
}
constexpr LONG IoTestUnloadTimerSet = 5;
constexpr LONG IoTestUnloadLookaside = 6;

#if defined(__SANITIZE_ADDRESS__)
#define WRITTEN_AFTER_FREE "heap-use-after-free"
#else
#define WRITTEN_AFTER_FREE "STOP 0x000000D5 .*DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL.*'Test', 16 bytes.* byte 3 is 0x01"
#endif

const Misuse<Objects> Misuses[] = {
    // IRQL and the locks.
    {"RaisingIrqlToALowerLevel", [](auto&) { Raise(APC_LEVEL); },
     "STOP 0x00000009 .*IRQL_NOT_GREATER_OR_EQUAL.*KeRaiseIrql to IRQL 1 from the higher IRQL 2", DISPATCH_LEVEL},
    {"LoweringIrqlToAHigherLevel", [](auto&) { KeLowerIrql(APC_LEVEL); },
     "STOP 0x0000000A .*KeLowerIrql to IRQL 1 from the lower IRQL 0"},
    {"ReleasingASpinLockNotHeld", [](auto& o) { KeReleaseSpinLock(&o.lock, PASSIVE_LEVEL); },
     "STOP 0x00000010 .*SPIN_LOCK_NOT_OWNED.*is not held", DISPATCH_LEVEL},
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
     [](auto& o) {
         KeAcquireSpinLockRaiseToDpc(&o.lock);
         KeLowerIrql(PASSIVE_LEVEL);
     },
     "STOP 0x000000C4 .*IRQL lowered to 0 while holding 1 spin lock"},
    {"ReleasingAMutexOwnedByAnotherThread",
     [](auto& o) {
         WaitMutex(o.mutex);
         OnOtherThread([&] { KeReleaseMutex(&o.mutex, FALSE); });
     },
     "STOP 0x00000011 .*THREAD_NOT_MUTEX_OWNER.*does not own it \\(owner: thread"},
    {"AcquiringAFastMutexTwice",
     [](auto& o) {
         ExAcquireFastMutex(&o.fastMutex);
         ExAcquireFastMutex(&o.fastMutex);
     },
     "STOP 0x000000C4 .*already owns fast mutex"},
    {"ReleasingAnotherThreadsFastMutex",
     [](auto& o) {
         ExAcquireFastMutex(&o.fastMutex);
         OnOtherThread([&] { ExReleaseFastMutex(&o.fastMutex); });
     },
     "STOP 0x000000C4 .*ExReleaseFastMutex.*which does not own it"},
    {"AcquiringAFastMutexAtDispatchLevel", [](auto& o) { ExAcquireFastMutex(&o.fastMutex); },
     "STOP 0x0000000A .*ExAcquireFastMutex at IRQL 2", DISPATCH_LEVEL},
    {"WaitingWithATimeOutAtDispatchLevel",
     [](auto& o) {
         LARGE_INTEGER timeout = RelativeMs(1);
         KeWaitForSingleObject(&o.event, Executive, KernelMode, FALSE, &timeout);
     },
     "STOP 0x0000000A .*KeWaitForSingleObject with a non-zero time-out at IRQL 2", DISPATCH_LEVEL},
    {"WaitingForeverAtDispatchLevel",
     [](auto& o) { KeWaitForSingleObject(&o.event, Executive, KernelMode, FALSE, nullptr); },
     "KeWaitForSingleObject with a null time-out at IRQL 2", DISPATCH_LEVEL},
    {"ThreadEndingAtRaisedIrql", [](auto&) { OnOtherThread([] { KeRaiseIrqlToDpcLevel(); }); },
     "STOP 0x000000C4 .*ended at IRQL 2 instead of PASSIVE_LEVEL"},
    {"ThreadEndingHoldingASpinLock", [](auto& o) { OnOtherThread([&] { KeAcquireSpinLockRaiseToDpc(&o.lock); }); },
     "STOP 0x000000C4 .*ended holding 1 spin lock"},
    {"ThreadEndingHoldingAFastMutex", [](auto& o) { OnOtherThread([&] { ExAcquireFastMutex(&o.fastMutex); }); },
     "STOP 0x000000C4 .*ended holding 1 fast mutex"},
    {"SemaphoreReleasedPastItsLimit",
     [](auto&) {
         KSEMAPHORE semaphore;
         KeInitializeSemaphore(&semaphore, 1, 1);
         KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
     },
     "ExRaiseStatus\\(0xC0000047\\)"},
    // Pool.
    {"AnyPoolAboveDispatchLevel", [](auto&) { NewBlock(NonPagedPool); },
     "STOP 0x000000C2 .*of non-paged pool at IRQL 13", CLOCK_LEVEL},
    {"PagedPoolAtDispatchLevel", [](auto&) { NewBlock(PagedPool); },
     "STOP 0x000000C2 \\(0x8, .*BAD_POOL_CALLER.*of paged pool at IRQL 2", DISPATCH_LEVEL},
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
    {"WritingPoolAfterItsFree",
     [](auto&) {
         static_cast<char*>(FreedBlock())[3] = 1;
         km::CheckFreedPool();
     },
     WRITTEN_AFTER_FREE},
    {"WritingPoolAfterItsFreeFoundAsItLeavesTheQuarantine",
     [](auto&) {
         static_cast<char*>(FreedBlock())[3] = 1;
         for (int block = 0; block < 5000; ++block) {
             FreedBlock();
         }
     },
     WRITTEN_AFTER_FREE},
    {"PoolFreedHoldingASetTimer",
     [](auto&) {
         auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), TestTag));
         KeInitializeTimer(timer);
         KeSetTimer(timer, RelativeMs(100000), nullptr);
         ExFreePoolWithTag(timer, TestTag);
     },
     "STOP 0x000000C7 \\(0x0, .*freed holding set timer"},
    // Exception guards, pageable code and the bug check a driver makes itself.
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
    {"PageableCodeEnteredAtDispatchLevel", [](auto&) { PageableRoutine(PagedBody::CallsLockingRoutines); },
     "STOP 0x000000D1 .*DRIVER_IRQL_NOT_LESS_OR_EQUAL.*pageable routine PageableRoutine entered at IRQL 2",
     DISPATCH_LEVEL},
    {"PageableCodeRunningUnderASpinLock", [](auto&) { PageableRoutine(PagedBody::HoldsALock); },
     "STOP 0x000000D1 .*PageableRoutine ran at IRQL 2"},
    {"PageableCodeReturningRaised", [](auto&) { PageableRoutine(PagedBody::ReturnsRaised); },
     "STOP 0x000000D1 .*PageableRoutine returns at IRQL 2"},
    {"KernelCodeStoppingTheSystem", [](auto&) { KeBugCheckEx(0xE2, 1, 2, 3, 4); },
     "\\*\\*\\* STOP 0x000000E2 \\(0x1, 0x2, 0x3, 0x4\\)"},
    // Lock order: a cycle is a deadlock waiting to happen, even when no two threads met in it.
    {"SpinLocksTakenInBothOrders",
     [](auto& o) {
         TakeBoth(&o.lock, &o.second);
         TakeBoth(&o.second, &o.lock);
     },
     "STOP 0x000000C4 \\(0x1001, .*lock order cycle.*takes spin lock .* at .*\\+0x[0-9a-f]+ holding spin lock .*the "
     "opposite order was seen before: thread [0-9]+ took spin lock"},
    {"MutexAndFastMutexInBothOrdersOnTwoThreads",
     [](auto& o) {
         OnOtherThread([&o] {
             WaitMutex(o.mutex);
             ExAcquireFastMutex(&o.fastMutex);
             ExReleaseFastMutex(&o.fastMutex);
             KeReleaseMutex(&o.mutex, FALSE);
         });
         ExAcquireFastMutex(&o.fastMutex);
         WaitMutex(o.mutex);
     },
     "STOP 0x000000C4 \\(0x1001, .*takes mutex .* holding fast mutex .*took fast mutex .* holding mutex"},
    {"ResourceClosingACycleThroughAThirdLock",
     [](auto& o) {
         KeEnterCriticalRegion();
         ExAcquireResourceExclusiveLite(&o.resource, TRUE);
         WaitMutex(o.mutex);
         KeReleaseMutex(&o.mutex, FALSE);
         ExReleaseResourceLite(&o.resource);
         WaitMutex(o.mutex);
         ExAcquireFastMutex(&o.fastMutex);
         ExReleaseFastMutex(&o.fastMutex);
         KeReleaseMutex(&o.mutex, FALSE);
         ExAcquireFastMutex(&o.fastMutex);
         ExAcquireResourceSharedLite(&o.resource, TRUE);
     },
     "STOP 0x000000C4 \\(0x1001, .*takes resource .* holding fast mutex .*took mutex .* holding resource"},
    // Executive resources and critical regions.
    {"ResourceAcquiredOutsideACriticalRegion", [](auto& o) { ExAcquireResourceSharedLite(&o.resource, TRUE); },
     "STOP 0x000000C4 \\(0x100E, .*outside a critical region"},
    {"ResourceAcquiredAtDispatchLevel", [](auto& o) { ExAcquireResourceExclusiveLite(&o.resource, TRUE); },
     "STOP 0x0000000A .*ExAcquireResourceExclusiveLite at IRQL 2", DISPATCH_LEVEL},
    {"ResourceReleasedByANonOwner", [](auto& o) { ExReleaseResourceLite(&o.resource); },
     "STOP 0x000000E3 .*RESOURCE_NOT_OWNED"},
    {"ResourceAskedExclusiveOverOwnSharedHold",
     [](auto& o) {
         KeEnterCriticalRegion();
         ExAcquireResourceSharedLite(&o.resource, TRUE);
         ExAcquireResourceExclusiveLite(&o.resource, TRUE);
     },
     "STOP 0x000000C4 \\(0x100F, .*holds it shared"},
    {"ResourceDeletedWhileOwned",
     [](auto& o) {
         KeEnterCriticalRegion();
         ExAcquireResourceExclusiveLite(&o.resource, TRUE);
         ExDeleteResourceLite(&o.resource);
     },
     "STOP 0x000000C4 \\(0x1010, .*while 1 thread"},
    {"ResourceUsedAfterDelete",
     [](auto& o) {
         ExDeleteResourceLite(&o.resource);
         ExIsResourceAcquiredSharedLite(&o.resource);
     },
     "STOP 0x000000C4 \\(0x1011, .*not an initialized resource"},
    {"ThreadEndsHoldingAResource",
     [](auto& o) {
         OnOtherThread([&o] {
             KeEnterCriticalRegion();
             ExAcquireResourceExclusiveLite(&o.resource, TRUE);
             KeLeaveCriticalRegion();
         });
     },
     "STOP 0x000000C4 \\(0x1012, .*ended holding 1 executive resource"},
    {"ThreadEndsInACriticalRegion", [](auto&) { OnOtherThread([] { KeEnterCriticalRegion(); }); },
     "STOP 0x00000001 .*APC_INDEX_MISMATCH.*ended inside 1 critical region"},
    {"CriticalRegionLeftWithoutEntering", [](auto&) { KeLeaveCriticalRegion(); },
     "STOP 0x000000C4 \\(0x1013, .*not in a critical region"},
    // Routines allowed only at low IRQL.
    {"ProcessLookedUpAtDispatchLevel",
     [](auto&) {
         PEPROCESS process;
         PsLookupProcessByProcessId(PsGetCurrentProcessId(), &process);
     },
     "STOP 0x000000C4 \\(0x100D, .*PsLookupProcessByProcessId at IRQL 2", DISPATCH_LEVEL},
    {"WaitByHandleAtApcLevel",
     [](auto&) {
         HANDLE event;
         ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, TRUE);
         Raise(APC_LEVEL);
         ZwWaitForSingleObject(event, FALSE, nullptr);
     },
     "STOP 0x000000C4 \\(0x100D, .*ZwWaitForSingleObject at IRQL 1"},
    // Callbacks must return as they were called.
    {"WorkItemRoutineReturningRaised",
     [](auto& o) {
         IoQueueWorkItem(IoAllocateWorkItem(o.device), RaisingRoutine, DelayedWorkQueue, nullptr);
         km::WaitSystemThreadsEnded();
     },
     "STOP 0x000000E1 .*WORKER_THREAD_RETURNED_AT_BAD_IRQL.*returned at IRQL 2"},
    {"DpcReturningAtAnotherIrql",
     [](auto&) {
         static KDPC dpc;
         KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
         KeInsertQueueDpc(&dpc, nullptr, nullptr);
         km::WaitSystemThreadsEnded();
     },
     "STOP 0x000000C4 \\(0x110C, .*returned at IRQL 0"},
    {"NotifyRoutineReturningHoldingASpinLock",
     [](auto&) {
         PsSetCreateThreadNotifyRoutine(NotifyTakingALock);
         OnOtherThread([] {});
     },
     "STOP 0x000000C4 \\(0x1022, .*the thread notify routine .* returned holding spin lock"},
    {"ImageLoadRoutineReturningRaised",
     [](auto&) {
         PsSetLoadImageNotifyRoutine([](PUNICODE_STRING, HANDLE, PIMAGE_INFO) { Raise(DISPATCH_LEVEL); });
         LoadAndUnloadIoTest(0);
     },
     "STOP 0x000000C4 \\(0x1023, .*image-load notify routine"},
    // IRPs and MDLs.
    {"CompletingAnIrpHoldingASpinLock",
     [](auto& o) {
         ReadThrough(o.device, [&o](auto, PIRP irp) {
             KIRQL old = KeAcquireSpinLockRaiseToDpc(&o.lock);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             KeReleaseSpinLock(&o.lock, old);
             return STATUS_SUCCESS;
         });
     },
     "STOP 0x000000C4 \\(0x1021, .*IofCompleteRequest for IRP .* holding spin lock"},
    {"CallingDownWithoutPreparingTheNextLocation",
     [](auto& o) {
         PDEVICE_OBJECT lower = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
         ReadThrough(o.device, [lower](auto, PIRP irp) { return IoCallDriver(lower, irp); });
     },
     "STOP 0x000000C9 \\(0x2040, .*stack location 1 of IRP .* was never prepared"},
    {"IrpCompletedWithItsCancelRoutineSet",
     [](auto&) {
         PIRP irp = HeldIrp();
         IoSetCancelRoutine(irp, IgnoreCancel);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
     },
     "STOP 0x00000048 .*completed with its cancel routine"},
    {"CancelRoutineKeepingTheCancelLock",
     [](auto&) {
         PIRP irp = HeldIrp();
         IoSetCancelRoutine(irp, IgnoreCancel);
         IoCancelIrp(irp);
     },
     "STOP 0x000000C4 \\(0x1109, .*holding the cancel spin lock"},
    {"IrpReusedWhileADriverHoldsIt", [](auto&) { IoReuseIrp(HeldIrp(), STATUS_SUCCESS); },
     "STOP 0x000000C4 \\(0x1108, .*still holds"},
    {"MdlFreedWhileLocked", [](auto&) { IoFreeMdl(LockedMdl()); }, "STOP 0x000000C4 \\(0x1102, .*whose pages are locked"},
    {"MdlMappedWithoutLocking",
     [](auto&) {
         PMDL mdl = LockedMdl();
         MmUnlockPages(mdl);
         MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
     },
     "STOP 0x000000C4 \\(0x1104, .*not locked"},
    {"PagedPoolDescribedAsNonPaged",
     [](auto&) { MmBuildMdlForNonPagedPool(IoAllocateMdl(NewBlock(PagedPool), 8, FALSE, FALSE, nullptr)); },
     "STOP 0x000000C4 \\(0x1106, .*paged buffer"},
    // Lookaside lists and timers a driver leaves behind.
    {"LookasideListDeletedTwice",
     [](auto&) {
         static NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, TestTag, 0);
         ExDeleteNPagedLookasideList(&list);
         ExDeleteNPagedLookasideList(&list);
     },
     "STOP 0x000000C4 \\(0x110A, .*not a lookaside list"},
    {"DriverUnloadedWithItsLookasideList", [](auto&) { LoadAndUnloadIoTest(IoTestUnloadLookaside); },
     "STOP 0x000000C4 \\(0x110B, .*unloaded with lookaside list"},
    {"DriverUnloadedWithItsTimerSet", [](auto&) { LoadAndUnloadIoTest(IoTestUnloadTimerSet); },
     "STOP 0x000000C7 .*unloaded with timer .* still set"},
};

class VerifierDeathTest : public ModelDeathTest, public ::testing::WithParamInterface<Misuse<Objects>> {
protected:
    void SetUp() override
    {
        ModelDeathTest::SetUp();
        KeInitializeSpinLock(&objects.lock);
        KeInitializeSpinLock(&objects.second);
        KeInitializeSpinLock(&NotifyLock);
        KeInitializeMutex(&objects.mutex, 0);
        ExInitializeFastMutex(&objects.fastMutex);
        KeInitializeEvent(&objects.event, NotificationEvent, FALSE);
        ExInitializeResourceLite(&objects.resource);
        objects.device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
    }
    void TearDown() override
    {
        ExDeleteResourceLite(&objects.resource);
        ModelDeathTest::TearDown();
    }

    Objects objects;
};

TEST_P(VerifierDeathTest, StopsTheSystem)
{
    EXPECT_DEATH(
        {
            Raise(GetParam().irql);
            GetParam().body(objects);
        },
        GetParam().bugCheck);
}

INSTANTIATE_TEST_SUITE_P(, VerifierDeathTest, ::testing::ValuesIn(Misuses), ByName());

using VerifierTest = KernelTest;

// Pageable code may call routines that raise and lower again before they return, also after an
// exception unwound through it. The same lock order again is no cycle, and a lock whose memory is
// initialised again is a new lock: its old order is forgotten.
TEST_F(VerifierTest, PageableCodeCallsRoutinesThatRaiseAndALockInitialisedAgainForgetsItsOrder)
{
    PageableRoutine(PagedBody::CallsLockingRoutines);
    PageableRoutine(PagedBody::RaisesThroughAGuard);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    TakeBoth(&first, &second);
    TakeBoth(&first, &second);
    KeInitializeSpinLock(&first);
    TakeBoth(&second, &first);
}

// A read after the free sees the fill, not the old contents.
TEST_F(VerifierTest, FreedPoolReadsAsTheFill)
{
    if (!km::PoolQuarantineActive()) {
        GTEST_SKIP() << "AddressSanitizer's quarantine reports the read itself";
    }
    auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 16, TestTag));
    block[5] = 7;
    ExFreePoolWithTag(const_cast<unsigned char*>(block), TestTag);
    EXPECT_EQ(block[5], km::FreedPoolFill);
}

// A trap counts only the calls it names (routine, tag, thread) and raises at the entry of the nth
// into the caller's exception guard. Traps that park a thread until released, and traps on one
// object, are what the driver's routing and override tests force their interleavings with
// (tests/driver).
TEST_F(VerifierTest, TrapRaisesAtTheEntryOfTheNthMatchingCallIntoTheCallersGuard)
{
    constexpr ULONG Kept = km::PoolTag("Kept");
    constexpr ULONG Gone = km::PoolTag("Gone");
    PVOID byOtherThread = ExAllocatePoolWithTag(NonPagedPool, 8, Kept);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, Kept);
    PVOID kept = ExAllocatePoolWithTag(NonPagedPool, 8, Kept);
    PVOID gone = ExAllocatePoolWithTag(NonPagedPool, 8, Gone);
    // This thread's second free of a block tagged `Kept` raises.
    km::Trap trap(km::TrapRule{"ExFreePoolWithTag", nullptr, Kept, km::CurrentThread(), {}, 2, km::TrapAction::Raise,
                               STATUS_INSUFFICIENT_RESOURCES});
    km::RunInProcess(km::SystemProcess(), [&] { ExFreePoolWithTag(byOtherThread, 0); });
    volatile NTSTATUS landed = STATUS_SUCCESS;
    HOST_TRY
    {
        ExFreePoolWithTag(gone, 0);
        ExFreePoolWithTag(first, 0);
        ExFreePoolWithTag(kept, 0);
    }
    HOST_EXCEPT { landed = HOST_EXCEPTION_CODE(); }
    HOST_END_TRY
    EXPECT_EQ(landed, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(km::OutstandingBlocks(Kept), 1u) << "only the second free of this thread raised";
    EXPECT_EQ(trap.FiringThread(), km::CurrentThread());
    ExFreePoolWithTag(kept, 0);  // the trap fires once
}

TEST(ModelMisuseDeathTest, KernelRoutineBeforeBoot)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KeGetCurrentIrql(), "model is not running \\(call km::Boot first\\)");
}

}  // namespace
