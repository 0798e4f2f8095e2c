// The checks on the routines filter modules call beyond the host's own: executive resources and
// critical regions, and the process and thread look-ups. Each case runs in a child process.
#include "io/io_test_util.h"
#include "model_test_util.h"

namespace {

struct Objects {
    ERESOURCE resource;
    PDEVICE_OBJECT device;
};

// A work item routine that returns raised.
void NTAPI RaisingRoutine(PDEVICE_OBJECT, PVOID)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

void NTAPI IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

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

void RaiseTo(KIRQL level)
{
    KIRQL old;
    KeRaiseIrql(level, &old);
}

const Misuse<Objects> RoutineMisuses[] = {
    {"ResourceAcquiredOutsideACriticalRegion", [](Objects& o) { ExAcquireResourceSharedLite(&o.resource, TRUE); },
     "STOP 0x000000C4 \\(0x100E, .*outside a critical region"},
    {"ResourceAcquiredAtDispatchLevel",
     [](Objects& o) {
         RaiseTo(DISPATCH_LEVEL);
         ExAcquireResourceExclusiveLite(&o.resource, TRUE);
     },
     "STOP 0x0000000A .*ExAcquireResourceExclusiveLite at IRQL 2"},
    {"ResourceReleasedByANonOwner",
     [](Objects& o) { ExReleaseResourceLite(&o.resource); },
     "STOP 0x000000E3 .*RESOURCE_NOT_OWNED"},
    {"ResourceAskedExclusiveOverOwnSharedHold",
     [](Objects& o) {
         KeEnterCriticalRegion();
         ExAcquireResourceSharedLite(&o.resource, TRUE);
         ExAcquireResourceExclusiveLite(&o.resource, TRUE);
     },
     "STOP 0x000000C4 \\(0x100F, .*holds it shared"},
    {"ResourceDeletedWhileOwned",
     [](Objects& o) {
         KeEnterCriticalRegion();
         ExAcquireResourceExclusiveLite(&o.resource, TRUE);
         ExDeleteResourceLite(&o.resource);
     },
     "STOP 0x000000C4 \\(0x1010, .*while 1 thread"},
    {"ResourceUsedAfterDelete",
     [](Objects& o) {
         ExDeleteResourceLite(&o.resource);
         ExIsResourceAcquiredSharedLite(&o.resource);
     },
     "STOP 0x000000C4 \\(0x1011, .*not an initialized resource"},
    {"ThreadEndsHoldingAResource",
     [](Objects& o) {
         km::RunInProcess(km::SystemProcess(), [&o] {
             KeEnterCriticalRegion();
             ExAcquireResourceExclusiveLite(&o.resource, TRUE);
             KeLeaveCriticalRegion();
         });
     },
     "STOP 0x000000C4 \\(0x1012, .*ended holding 1 executive resource"},
    {"ThreadEndsInACriticalRegion",
     [](Objects&) { km::RunInProcess(km::SystemProcess(), [] { KeEnterCriticalRegion(); }); },
     "STOP 0x00000001 .*APC_INDEX_MISMATCH.*ended inside 1 critical region"},
    {"CriticalRegionLeftWithoutEntering", [](Objects&) { KeLeaveCriticalRegion(); },
     "STOP 0x000000C4 \\(0x1013, .*not in a critical region"},
    {"WorkItemRoutineReturningRaised",
     [](Objects& o) {
         IoQueueWorkItem(IoAllocateWorkItem(o.device), RaisingRoutine, DelayedWorkQueue, nullptr);
         km::WaitSystemThreadsEnded();
     },
     "STOP 0x000000E1 .*WORKER_THREAD_RETURNED_AT_BAD_IRQL.*returned at IRQL 2"},
    {"ProcessLookedUpAtDispatchLevel",
     [](Objects&) {
         PEPROCESS process;
         RaiseTo(DISPATCH_LEVEL);
         PsLookupProcessByProcessId(PsGetCurrentProcessId(), &process);
     },
     "STOP 0x000000C4 \\(0x100D, .*PsLookupProcessByProcessId at IRQL 2"},
    {"WaitByHandleAtApcLevel",
     [](Objects&) {
         HANDLE event;
         ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, TRUE);
         RaiseTo(APC_LEVEL);
         ZwWaitForSingleObject(event, FALSE, nullptr);
     },
     "STOP 0x000000C4 \\(0x100D, .*ZwWaitForSingleObject at IRQL 1"},
    {"IrpCompletedWithItsCancelRoutineSet",
     [](Objects&) {
         PIRP irp = HeldIrp();
         IoSetCancelRoutine(irp, IgnoreCancel);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
     },
     "STOP 0x00000048 .*completed with its cancel routine"},
    {"CancelRoutineKeepingTheCancelLock",
     [](Objects&) {
         PIRP irp = HeldIrp();
         IoSetCancelRoutine(irp, IgnoreCancel);
         IoCancelIrp(irp);
     },
     "STOP 0x000000C4 \\(0x1109, .*holding the cancel spin lock"},
    {"IrpReusedWhileADriverHoldsIt", [](Objects&) { IoReuseIrp(HeldIrp(), STATUS_SUCCESS); },
     "STOP 0x000000C4 \\(0x1108, .*still holds"},
    {"MdlFreedWhileLocked", [](Objects&) { IoFreeMdl(LockedMdl()); },
     "STOP 0x000000C4 \\(0x1102, .*whose pages are locked"},
    {"MdlMappedWithoutLocking",
     [](Objects&) {
         PMDL mdl = LockedMdl();
         MmUnlockPages(mdl);
         MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
     },
     "STOP 0x000000C4 \\(0x1104, .*not locked"},
    {"PagedPoolDescribedAsNonPaged",
     [](Objects&) {
         PVOID paged = ExAllocatePoolWithTag(PagedPool, 16, km::PoolTag("Test"));
         MmBuildMdlForNonPagedPool(IoAllocateMdl(paged, 16, FALSE, FALSE, nullptr));
     },
     "STOP 0x000000C4 \\(0x1106, .*paged buffer"},
    {"LookasideListDeletedTwice",
     [](Objects&) {
         static NPAGED_LOOKASIDE_LIST list;
         ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, km::PoolTag("Test"), 0);
         ExDeleteNPagedLookasideList(&list);
         ExDeleteNPagedLookasideList(&list);
     },
     "STOP 0x000000C4 \\(0x110A, .*not a lookaside list"},
    {"DriverUnloadedWithItsTimerSet", [](Objects&) { LoadAndUnloadIoTest(IoTestUnloadTimerSet); },
     "STOP 0x000000C7 .*unloaded with timer .* still set"},
    {"PoolFreedHoldingASetTimer",
     [](Objects&) {
         auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), km::PoolTag("Test")));
         KeInitializeTimer(timer);
         LARGE_INTEGER due;
         due.QuadPart = -1000000000LL;
         KeSetTimer(timer, due, nullptr);
         ExFreePoolWithTag(timer, km::PoolTag("Test"));
     },
     "STOP 0x000000C7 \\(0x0, .*freed holding set timer"},
    {"ImageLoadRoutineReturningRaised",
     [](Objects&) {
         PsSetLoadImageNotifyRoutine([](PUNICODE_STRING, HANDLE, PIMAGE_INFO) { RaiseTo(DISPATCH_LEVEL); });
         LoadAndUnloadIoTest(0);
     },
     "STOP 0x000000C4 \\(0x1023, .*image-load notify routine"},
    {"DriverUnloadedWithItsLookasideList", [](Objects&) { LoadAndUnloadIoTest(IoTestUnloadLookaside); },
     "STOP 0x000000C4 \\(0x110B, .*unloaded with lookaside list"},
    {"SemaphoreReleasedPastItsLimit",
     [](Objects&) {
         KSEMAPHORE semaphore;
         KeInitializeSemaphore(&semaphore, 1, 1);
         KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
     },
     "ExRaiseStatus\\(0xC0000047\\)"},
    {"DpcReturningAtAnotherIrql",
     [](Objects&) {
         static KDPC dpc;
         KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
         KeInsertQueueDpc(&dpc, nullptr, nullptr);
         km::WaitSystemThreadsEnded();
     },
     "STOP 0x000000C4 \\(0x110C, .*returned at IRQL 0"},
};

class RoutineDeathTest : public ModelDeathTest, public ::testing::WithParamInterface<Misuse<Objects>> {
protected:
    void SetUp() override
    {
        ModelDeathTest::SetUp();
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

TEST_P(RoutineDeathTest, StopsTheSystem)
{
    EXPECT_DEATH(GetParam().body(objects), GetParam().bugCheck);
}

INSTANTIATE_TEST_SUITE_P(, RoutineDeathTest, ::testing::ValuesIn(RoutineMisuses), ByName());

}  // namespace
