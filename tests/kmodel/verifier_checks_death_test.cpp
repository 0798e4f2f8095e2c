// The verifier's stricter checks: completing an IRP under a spin lock, calling down into a stack
// location nobody prepared, writing pool after its free, notify routines returning with a spin
// lock held, and locks taken in an order that closes a cycle (deadlock detection). Each case
// runs in a child process; the tests after the table show what the checks let pass.
#include "io/io_test_util.h"

namespace {

constexpr ULONG TestTag = km::PoolTag("Test");

struct Locks {
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KMUTEX mutex;
    FAST_MUTEX fastMutex;
    ERESOURCE resource;
    PDEVICE_OBJECT device;
};

KSPIN_LOCK NotifyLock;
void NTAPI NotifyTakingALock(HANDLE, HANDLE, BOOLEAN) { KeAcquireSpinLockRaiseToDpc(&NotifyLock); }

// `handler` answers a read sent to a device whose stack has room for one more driver.
void ReadThrough(PDEVICE_OBJECT device, km::IrpHandler handler)
{
    device->StackSize = 2;
    km::SetModelDeviceHandler(device, std::move(handler));
    km::SendIrp(device, km::IrpRequest{IRP_MJ_READ});
}

void TakeBoth(PKSPIN_LOCK outer, PKSPIN_LOCK inner)
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(outer);
    KeAcquireSpinLockAtDpcLevel(inner);
    KeReleaseSpinLockFromDpcLevel(inner);
    KeReleaseSpinLock(outer, old);
}

void WaitMutex(KMUTEX& mutex) { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); }

void* FreedBlock()
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, TestTag);
    ExFreePoolWithTag(block, TestTag);
    return block;
}

#if defined(__SANITIZE_ADDRESS__)
#define WRITTEN_AFTER_FREE "heap-use-after-free"
#else
#define WRITTEN_AFTER_FREE "STOP 0x000000D5 .*DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL.*'Test', 16 bytes.* byte 3 is 0x01"
#endif

const Misuse<Locks> StricterMisuses[] = {
    {"CompletingAnIrpHoldingASpinLock",
     [](Locks& l) {
         ReadThrough(l.device, [&l](auto, PIRP irp) {
             KIRQL old = KeAcquireSpinLockRaiseToDpc(&l.first);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             KeReleaseSpinLock(&l.first, old);
             return STATUS_SUCCESS;
         });
     },
     "STOP 0x000000C4 \\(0x1021, .*IofCompleteRequest for IRP .* holding spin lock"},
    {"CallingDownWithoutPreparingTheNextLocation",
     [](Locks& l) {
         PDEVICE_OBJECT lower = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
         ReadThrough(l.device, [lower](auto, PIRP irp) { return IoCallDriver(lower, irp); });
     },
     "STOP 0x000000C9 \\(0x2040, .*stack location 1 of IRP .* was never prepared"},
    {"WritingPoolAfterItsFree",
     [](Locks&) {
         static_cast<char*>(FreedBlock())[3] = 1;
         km::CheckFreedPool();
     },
     WRITTEN_AFTER_FREE},
    {"WritingPoolAfterItsFreeFoundAsItLeavesTheQuarantine",
     [](Locks&) {
         static_cast<char*>(FreedBlock())[3] = 1;
         for (int block = 0; block < 5000; ++block) {
             FreedBlock();
         }
     },
     WRITTEN_AFTER_FREE},
    {"NotifyRoutineReturningHoldingASpinLock",
     [](Locks&) {
         PsSetCreateThreadNotifyRoutine(NotifyTakingALock);
         km::RunInProcess(km::SystemProcess(), [] {});
     },
     "STOP 0x000000C4 \\(0x1022, .*the thread notify routine .* returned holding spin lock"},
    {"SpinLocksTakenInBothOrders",
     [](Locks& l) {
         TakeBoth(&l.first, &l.second);
         TakeBoth(&l.second, &l.first);
     },
     "STOP 0x000000C4 \\(0x1001, .*lock order cycle.*takes spin lock .* at .*\\+0x[0-9a-f]+ holding spin lock .*the "
     "opposite order was seen before: thread [0-9]+ took spin lock"},
    {"MutexAndFastMutexInBothOrdersOnTwoThreads",
     [](Locks& l) {
         km::RunInProcess(km::SystemProcess(), [&l] {
             WaitMutex(l.mutex);
             ExAcquireFastMutex(&l.fastMutex);
             ExReleaseFastMutex(&l.fastMutex);
             KeReleaseMutex(&l.mutex, FALSE);
         });
         ExAcquireFastMutex(&l.fastMutex);
         WaitMutex(l.mutex);
     },
     "STOP 0x000000C4 \\(0x1001, .*takes mutex .* holding fast mutex .*took fast mutex .* holding mutex"},
    {"ResourceClosingACycleThroughAThirdLock",
     [](Locks& l) {
         KeEnterCriticalRegion();
         ExAcquireResourceExclusiveLite(&l.resource, TRUE);
         WaitMutex(l.mutex);
         KeReleaseMutex(&l.mutex, FALSE);
         ExReleaseResourceLite(&l.resource);
         WaitMutex(l.mutex);
         ExAcquireFastMutex(&l.fastMutex);
         ExReleaseFastMutex(&l.fastMutex);
         KeReleaseMutex(&l.mutex, FALSE);
         ExAcquireFastMutex(&l.fastMutex);
         ExAcquireResourceSharedLite(&l.resource, TRUE);
     },
     "STOP 0x000000C4 \\(0x1001, .*takes resource .* holding fast mutex .*took mutex .* holding resource"},
};

class StricterVerifierDeathTest : public ModelDeathTest, public ::testing::WithParamInterface<Misuse<Locks>> {
protected:
    void SetUp() override
    {
        ModelDeathTest::SetUp();
        KeInitializeSpinLock(&locks.first);
        KeInitializeSpinLock(&locks.second);
        KeInitializeSpinLock(&NotifyLock);
        KeInitializeMutex(&locks.mutex, 0);
        ExInitializeFastMutex(&locks.fastMutex);
        ExInitializeResourceLite(&locks.resource);
        locks.device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
    }
    void TearDown() override
    {
        ExDeleteResourceLite(&locks.resource);
        ModelDeathTest::TearDown();
    }

    Locks locks;
};

TEST_P(StricterVerifierDeathTest, StopsTheSystem) { EXPECT_DEATH(GetParam().body(locks), GetParam().bugCheck); }

INSTANTIATE_TEST_SUITE_P(, StricterVerifierDeathTest, ::testing::ValuesIn(StricterMisuses), ByName());

using StricterVerifierTest = KernelTest;

// A read after the free sees the fill, not the old contents.
TEST_F(StricterVerifierTest, FreedPoolReadsAsTheFill)
{
    if (!km::PoolQuarantineActive()) {
        GTEST_SKIP() << "AddressSanitizer's quarantine reports the read itself";
    }
    auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 16, TestTag));
    block[5] = 7;
    ExFreePoolWithTag(const_cast<unsigned char*>(block), TestTag);
    EXPECT_EQ(block[5], km::FreedPoolFill);
}

// The same order again is no cycle, and a lock whose memory is initialised again is a new lock:
// its old order is forgotten.
TEST_F(StricterVerifierTest, LockOrderForgetsALockInitialisedAgain)
{
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    TakeBoth(&first, &second);
    TakeBoth(&first, &second);
    KeInitializeSpinLock(&first);
    TakeBoth(&second, &first);
}

}  // namespace
