// IRPs: IoAllocateIrp, IoFreeIrp, IofCallDriver and IofCompleteRequest with the verifier's
// checks, and the I/O manager's own completion of the IRPs it builds.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <list>
#include <unordered_map>

#include "internal/ps.h"
#include "internal/routines.h"
#include "internal/verifier.h"
#include "io/io_manager.h"
#include "internal/trap.h"

namespace km::io {

namespace {

// The stack location of one IofCallDriver call, until both the dispatch routine has returned
// and completion has passed the location: then whether the routine returned STATUS_PENDING must
// agree with whether the location was marked pending.
struct PendingCheck {
    uint64_t id;
    CCHAR location;
    PDEVICE_OBJECT device;
    UCHAR majorFunction;
    bool popped = false;
    bool marked = false;
    bool returned = false;
    NTSTATUS returnedStatus = STATUS_SUCCESS;
};

struct IrpRecord {
    uint64_t serial = 0;
    const void* allocator = nullptr;  // the image that allocated the IRP (null: test or model)
    std::list<PendingCheck> checks;
    bool ioManager = false;           // built by the model, finished by FinishIoManagerIrp
    IoManagerCompletion completion;
    bool finished = false;
};

// IRPs are kept in shards chosen by address, each with its own lock, so that threads working on
// different IRPs do not serialise on one table; the leak report merges the shards.
constexpr size_t IrpShardCount = 64;
// Low address bits that every IRP allocation shares (its alignment), left out of the shard choice.
constexpr unsigned IrpShardAlignmentBits = 4;

struct IrpShard {
    std::mutex lock;
    std::unordered_map<PIRP, IrpRecord> irps;
    // Checks whose location completed but whose dispatch routine had not returned when the IRP
    // was freed (the I/O manager frees the IRPs it built at completion), by check id.
    std::unordered_map<uint64_t, PendingCheck> orphans;
};

struct IrpTable {
    IrpShard shards[IrpShardCount];
    std::atomic<uint64_t> nextSerial{1};
    std::atomic<uint64_t> nextCheck{1};
};

IrpTable& Irps()
{
    static IrpTable* table = new IrpTable;
    return *table;
}

// Serial and check numbers only need to be unique (the counters never go back), so each thread
// takes them in blocks and the threads do not share a counter's cache line for every IRP.
constexpr uint64_t NumberBlockSize = 1024;

struct NumberBlock {
    uint64_t next = 0;
    uint64_t end = 0;
};

thread_local NumberBlock SerialNumbers;
thread_local NumberBlock CheckNumbers;

uint64_t TakeNumber(std::atomic<uint64_t>& source, NumberBlock& block)
{
    if (block.next == block.end) {
        block.next = source.fetch_add(NumberBlockSize, std::memory_order_relaxed);
        block.end = block.next + NumberBlockSize;
    }
    return block.next++;
}

// The shard that keeps `irp`'s record (and the orphaned checks of IRPs freed at that address).
IrpShard& ShardOf(PIRP irp)
{
    auto address = reinterpret_cast<uintptr_t>(irp) >> IrpShardAlignmentBits;
    return Irps().shards[(address ^ (address >> 7)) % IrpShardCount];
}

// The IRP's record, or null; its shard's lock held.
IrpRecord* FindIrpLocked(IrpShard& shard, PIRP irp)
{
    auto found = shard.irps.find(irp);
    return found == shard.irps.end() ? nullptr : &found->second;
}

// Both halves of a pending check are known: they must agree.
void EvaluatePendingCheck(PIRP irp, const PendingCheck& check)
{
    bool returnedPending = check.returnedStatus == STATUS_PENDING;
    if (returnedPending && !check.marked) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckPendingNotMarked, (ULONG_PTR)irp,
                   (ULONG_PTR)check.device, check.majorFunction,
                   "the dispatch routine of device %p returned STATUS_PENDING for IRP %p (major function 0x%x) "
                   "without IoMarkIrpPending on its stack location",
                   (void*)check.device, (void*)irp, check.majorFunction);
    }
    if (!returnedPending && check.marked) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckMarkedNotPending, (ULONG_PTR)irp,
                   (ULONG_PTR)check.device, (ULONG_PTR)check.returnedStatus,
                   "the dispatch routine of device %p marked IRP %p pending but returned 0x%08X, not "
                   "STATUS_PENDING",
                   (void*)check.device, (void*)irp, (unsigned)check.returnedStatus);
    }
}

// Completion has passed `location`, which was marked pending or not.
void RecordLocationCompleted(PIRP irp, CCHAR location, bool marked)
{
    std::vector<PendingCheck> ready;
    {
        IrpShard& shard = ShardOf(irp);
        std::lock_guard<std::mutex> hold(shard.lock);
        IrpRecord* record = FindIrpLocked(shard, irp);
        if (record == nullptr) {
            return;
        }
        for (auto check = record->checks.begin(); check != record->checks.end();) {
            if (check->location != location || check->popped) {
                ++check;
                continue;
            }
            check->popped = true;
            check->marked = marked;
            if (check->returned) {
                ready.push_back(*check);
                check = record->checks.erase(check);
            } else {
                ++check;
            }
        }
    }
    for (const PendingCheck& check : ready) {
        EvaluatePendingCheck(irp, check);
    }
}

// The dispatch routine behind check `id` returned `status`.
void RecordDispatchReturned(PIRP irp, uint64_t serial, uint64_t id, NTSTATUS status)
{
    PendingCheck ready{};
    bool evaluate = false;
    {
        IrpShard& shard = ShardOf(irp);
        std::lock_guard<std::mutex> hold(shard.lock);
        IrpRecord* record = FindIrpLocked(shard, irp);
        if (record == nullptr || record->serial != serial) {
            // Freed meanwhile: completed and freed by the I/O manager, or by its allocator.
            auto orphan = shard.orphans.find(id);
            if (orphan != shard.orphans.end()) {
                ready = orphan->second;
                shard.orphans.erase(orphan);
                evaluate = true;
            }
        } else {
            for (auto check = record->checks.begin(); check != record->checks.end(); ++check) {
                if (check->id != id) {
                    continue;
                }
                check->returned = true;
                check->returnedStatus = status;
                if (check->popped) {
                    ready = *check;
                    evaluate = true;
                    record->checks.erase(check);
                }
                break;
            }
        }
    }
    if (evaluate) {
        ready.returnedStatus = status;
        EvaluatePendingCheck(irp, ready);
    }
}

// The I/O manager's end of an IRP it built, once every stack location has completed.
void FinishIoManagerIrp(PIRP irp)
{
    IoManagerCompletion completion;
    {
        IrpShard& shard = ShardOf(irp);
        std::lock_guard<std::mutex> hold(shard.lock);
        IrpRecord* record = FindIrpLocked(shard, irp);
        if (record == nullptr || !record->ioManager) {
            return;
        }
        record->finished = true;
        completion = record->completion;
    }
    bool copyBack = (irp->Flags & IRP_BUFFERED_IO) != 0 && (irp->Flags & IRP_INPUT_OPERATION) != 0 &&
                    !NT_ERROR(irp->IoStatus.Status) && irp->UserBuffer != nullptr;
    if (copyBack) {
        size_t bytes = std::min<ULONG_PTR>(irp->IoStatus.Information, completion.outputLength);
        memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    KmReleaseIrpMdls(irp);
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0 && irp->AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, SystemBufferTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (completion.ioStatus != nullptr) {
        *completion.ioStatus = irp->IoStatus;
    }
    if (completion.freeIrp) {
        IoFreeIrp(irp);
    }
    if (completion.event != nullptr) {
        KeSetEvent(completion.event, IO_NO_INCREMENT, FALSE);
    }
}

bool IsBufferedControl(const IO_STACK_LOCATION* stack)
{
    bool control = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                   stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    return control && METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) == METHOD_BUFFERED;
}

std::string IrpLine(PIRP irp, const IrpRecord& record)
{
    char line[160];
    snprintf(line, sizeof line, "IRP %p (%d stack locations) not freed, allocated by ", (void*)irp,
             irp->StackCount);
    return line + ob::ImageDisplayName(record.allocator) + "\n";
}

}  // namespace

void SetIoManagerCompletion(PIRP irp, const IoManagerCompletion& completion)
{
    IrpShard& shard = ShardOf(irp);
    std::lock_guard<std::mutex> hold(shard.lock);
    IrpRecord* record = FindIrpLocked(shard, irp);
    record->ioManager = true;
    record->completion = completion;
}

NTSTATUS CallSynchronously(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* ioStatus)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoManagerCompletion completion;
    completion.ioStatus = ioStatus;
    completion.event = &done;
    completion.outputLength = 0;
    {
        IrpShard& shard = ShardOf(irp);
        std::lock_guard<std::mutex> hold(shard.lock);
        IrpRecord* record = FindIrpLocked(shard, irp);
        completion.outputLength = record->completion.outputLength;
        record->ioManager = true;
        record->completion = completion;
    }
    NTSTATUS returned = IofCallDriver(device, irp);
    if (returned == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    } else {
        bool finished;
        {
            IrpShard& shard = ShardOf(irp);
            std::lock_guard<std::mutex> hold(shard.lock);
            IrpRecord* record = FindIrpLocked(shard, irp);
            if (record == nullptr) {
                KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckUnknownIrp, (ULONG_PTR)irp, (ULONG_PTR)device,
                           0, "the driver of device %p freed IRP %p, which the I/O manager owns", (void*)device,
                           (void*)irp);
            }
            finished = record->finished;
        }
        if (!finished) {
            KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckNotCompleted, (ULONG_PTR)irp,
                       (ULONG_PTR)device, (ULONG_PTR)returned,
                       "the driver of device %p returned 0x%08X for IRP %p without completing it and without "
                       "STATUS_PENDING",
                       (void*)device, (unsigned)returned, (void*)irp);
        }
    }
    IoFreeIrp(irp);
    return returned;
}

std::string IrpLeakReport()
{
    std::vector<std::pair<uint64_t, std::string>> lines;
    {
        // The image names come from the object manager's table.
        std::lock_guard<std::mutex> model(ob::ModelLock());
        for (IrpShard& shard : Irps().shards) {
            std::lock_guard<std::mutex> hold(shard.lock);
            for (auto& entry : shard.irps) {
                lines.emplace_back(entry.second.serial, IrpLine(entry.first, entry.second));
            }
        }
    }
    std::sort(lines.begin(), lines.end());
    std::string report;
    for (auto& line : lines) {
        report += line.second;
    }
    return report;
}

std::string IrpsAllocatedByImage(const void* image, bool free)
{
    std::string report;
    std::vector<PIRP> freeing;
    {
        std::lock_guard<std::mutex> model(ob::ModelLock());
        for (IrpShard& shard : Irps().shards) {
            std::lock_guard<std::mutex> hold(shard.lock);
            for (auto& entry : shard.irps) {
                if (entry.second.allocator == image) {
                    report += IrpLine(entry.first, entry.second);
                    freeing.push_back(entry.first);
                }
            }
        }
    }
    if (free) {
        for (PIRP irp : freeing) {
            IoFreeIrp(irp);
        }
    }
    return report;
}

// Every stack location of a new or reused IRP carries a major function no driver uses, so that a
// call down into a location nobody prepared is caught at IofCallDriver.
void MarkStackUnprepared(PIRP irp)
{
    for (int location = 0; location < irp->StackCount; ++location) {
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1)[location].MajorFunction = KmUnpreparedMajorFunction;
    }
}

PIRP AllocateIrp(CCHAR stackSize, bool mayFail, const void* allocator)
{
    if (mayFail && TakeInjectedFailure(FaultPoint::AllocateIrp) != STATUS_SUCCESS) {
        return nullptr;
    }
    int locations = std::max<int>(stackSize, 0);
    size_t size = sizeof(IRP) + locations * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(calloc(1, size));
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = static_cast<CHAR>(locations);
    // Every IRP here is allocated at exactly the size asked for (no lookaside sizes).
    irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE;
    irp->CurrentLocation = static_cast<CHAR>(locations + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + locations;
    MarkStackUnprepared(irp);
    uint64_t serial = TakeNumber(Irps().nextSerial, SerialNumbers);
    IrpShard& shard = ShardOf(irp);
    std::lock_guard<std::mutex> hold(shard.lock);
    IrpRecord& record = shard.irps[irp];
    record.serial = serial;
    record.allocator = allocator;
    return irp;
}

bool IsAllocatedIrp(PIRP irp)
{
    IrpShard& shard = ShardOf(irp);
    std::lock_guard<std::mutex> hold(shard.lock);
    return FindIrpLocked(shard, irp) != nullptr;
}

size_t OutstandingIrpCount()
{
    size_t count = 0;
    for (IrpShard& shard : Irps().shards) {
        std::lock_guard<std::mutex> hold(shard.lock);
        count += shard.irps.size();
    }
    return count;
}

void ResetIrps()
{
    for (IrpShard& shard : Irps().shards) {
        std::lock_guard<std::mutex> hold(shard.lock);
        for (auto& entry : shard.irps) {
            free(entry.first);
        }
        shard.irps.clear();
        shard.orphans.clear();
    }
}

}  // namespace km::io

using namespace km::io;

// An IRP with StackSize stack locations right after it. CurrentLocation is StackSize + 1 and the
// current stack location one past the last, so that the caller fills IoGetNextIrpStackLocation.
extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    return AllocateIrp(StackSize, true, km::ob::ImageContaining(__builtin_return_address(0)));
}

// Frees an IRP from IoAllocateIrp. Freeing one that is not allocated bug-checks.
extern "C" void NTAPI IoFreeIrp(PIRP Irp)
{
    {
        IrpShard& shard = ShardOf(Irp);
        std::lock_guard<std::mutex> hold(shard.lock);
        IrpRecord* record = FindIrpLocked(shard, Irp);
        if (record == nullptr) {
            KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckFreeUnknownIrp, (ULONG_PTR)Irp, 0, 0,
                       "IoFreeIrp on %p, which is not an allocated IRP (freed twice?)", (void*)Irp);
        }
        for (const PendingCheck& check : record->checks) {
            if (check.popped && !check.returned) {
                shard.orphans[check.id] = check;
            }
        }
        shard.irps.erase(Irp);
    }
    free(Irp);
}

// Initializes an IRP again for another request, keeping its size and allocation flags. The IRP must
// be out of every driver: all its stack locations completed, or none used.
extern "C" void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    {
        IrpShard& shard = ShardOf(Irp);
        std::lock_guard<std::mutex> hold(shard.lock);
        IrpRecord* record = FindIrpLocked(shard, Irp);
        if (record == nullptr) {
            KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckUnknownIrp, (ULONG_PTR)Irp, 0, 0,
                       "IoReuseIrp on %p, which is not an allocated IRP", (void*)Irp);
        }
        if (Irp->CurrentLocation <= Irp->StackCount) {
            KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckIrpReusedInUse, (ULONG_PTR)Irp,
                       Irp->CurrentLocation, Irp->StackCount,
                       "IoReuseIrp on IRP %p, which a driver still holds (stack location %d of %d)", (void*)Irp,
                       Irp->CurrentLocation, Irp->StackCount);
        }
        record->checks.clear();
        record->ioManager = false;
        record->finished = false;
        record->completion = IoManagerCompletion{};
    }
    USHORT size = Irp->Size;
    CHAR stackCount = Irp->StackCount;
    UCHAR allocationFlags = Irp->AllocationFlags;
    memset(Irp, 0, size);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = size;
    Irp->StackCount = stackCount;
    Irp->CurrentLocation = static_cast<CHAR>(stackCount + 1);
    Irp->AllocationFlags = allocationFlags;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + stackCount;
    MarkStackUnprepared(Irp);
    Irp->IoStatus.Status = Status;
}

// Moves the IRP to its next stack location, records the device there and calls the device's
// driver for the location's major function. Checks: a stack location is left and was prepared
// by the caller, the routine
// returns at the IRQL it was called at and holding the spin locks it was called with, and
// STATUS_PENDING agrees with IoMarkIrpPending.
extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KmTrapPoint("IofCallDriver", DeviceObject);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, 0, 0, (ULONG_PTR)Irp, "IofCallDriver at IRQL %d", irql);
    }
    uint64_t serial = 0;
    bool known;
    IrpShard& shard = ShardOf(Irp);
    {
        std::lock_guard<std::mutex> hold(shard.lock);
        IrpRecord* record = FindIrpLocked(shard, Irp);
        known = record != nullptr;
        if (known) {
            serial = record->serial;
        }
    }
    if (!known) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckUnknownIrp, (ULONG_PTR)Irp, 0, 0,
                   "IofCallDriver with %p, which is not an allocated IRP", (void*)Irp);
    }
    if (!km::ob::IsLive(DeviceObject, km::ob::ObjectKind::Device)) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckUnknownDevice, (ULONG_PTR)DeviceObject,
                   (ULONG_PTR)Irp, 0, "IofCallDriver to %p, which is not a live device object",
                   (void*)DeviceObject);
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) {
        KmBugCheck(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)Irp, 0, 0, 0,
                   "IofCallDriver to device %p: IRP %p has no stack location left (%d allocated)",
                   (void*)DeviceObject, (void*)Irp, Irp->StackCount);
    }
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    UCHAR major = stack->MajorFunction;
    if (major == KmUnpreparedMajorFunction) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckUnpreparedLocation, (ULONG_PTR)Irp,
                   (ULONG_PTR)DeviceObject, Irp->CurrentLocation,
                   "IofCallDriver to device %p: stack location %d of IRP %p was never prepared (no "
                   "IoSkipCurrentIrpStackLocation, IoCopyCurrentIrpStackLocationToNext or filled next location)",
                   (void*)DeviceObject, Irp->CurrentLocation, (void*)Irp);
    }
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckBadMajorFunction, (ULONG_PTR)Irp, major, 0,
                   "IofCallDriver with major function 0x%x", major);
    }
    uint64_t id = TakeNumber(Irps().nextCheck, CheckNumbers);
    {
        std::lock_guard<std::mutex> hold(shard.lock);
        PendingCheck check{id, Irp->CurrentLocation, DeviceObject, major};
        FindIrpLocked(shard, Irp)->checks.push_back(check);
    }
    km::Thread* thread = KmCurrentThread();
    size_t spinLocks = thread->SpinLocks.size();
    PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[major];
    NTSTATUS status = routine(DeviceObject, Irp);
    KIRQL after = KeGetCurrentIrql();
    if (after != irql) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckDispatchIrql, (ULONG_PTR)routine, irql, after,
                   "the dispatch routine %p (major function 0x%x, device %p) was called at IRQL %d and returned at "
                   "IRQL %d",
                   (void*)routine, major, (void*)DeviceObject, irql, after);
    }
    if (thread->SpinLocks.size() != spinLocks) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckDispatchSpinLock, (ULONG_PTR)routine,
                   spinLocks, thread->SpinLocks.size(),
                   "the dispatch routine %p (major function 0x%x, device %p) returned holding a spin lock",
                   (void*)routine, major, (void*)DeviceObject);
    }
    RecordDispatchReturned(Irp, serial, id, status);
    return status;
}

// Completes the IRP's current stack location and those above it: each location's completion
// routine runs when its SL_INVOKE_ON_* bits match the status (or Cancel); PendingReturned
// carries each location's pending mark upward; STATUS_MORE_PROCESSING_REQUIRED from a routine
// stops completion there. Checks: IRQL at most DISPATCH_LEVEL, a stack location left to
// complete, a status other than STATUS_PENDING, and for buffered device control an Information
// within the output buffer, and no spin lock held by the completing thread.
extern "C" void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    KmTrapPoint("IofCompleteRequest", Irp);
    UNREFERENCED_PARAMETER(PriorityBoost);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckCompleteIrql, (ULONG_PTR)Irp, irql, 0,
                   "IofCompleteRequest for IRP %p at IRQL %d", (void*)Irp, irql);
    }
    km::Thread* thread = KmCurrentThread();
    if (!thread->SpinLocks.empty()) {
        PKSPIN_LOCK held = thread->SpinLocks.back().Lock;
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckCompleteHoldingSpinLock, (ULONG_PTR)Irp,
                   (ULONG_PTR)held, thread->SpinLocks.size(),
                   "IofCompleteRequest for IRP %p by thread %u holding spin lock %p (%zu held): completion "
                   "routines would run under it",
                   (void*)Irp, KmIdNumber(thread->UniqueThreadId), (void*)held, thread->SpinLocks.size());
    }
    bool known;
    {
        IrpShard& shard = ShardOf(Irp);
        std::lock_guard<std::mutex> hold(shard.lock);
        known = FindIrpLocked(shard, Irp) != nullptr;
    }
    if (!known) {
        KmBugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0,
                   "IofCompleteRequest for %p, which is not an allocated IRP (completed and freed already?)",
                   (void*)Irp);
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        KmBugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, Irp->CurrentLocation, 0, 0,
                   "IRP %p completed again: no stack location is left to complete", (void*)Irp);
    }
    if (Irp->CancelRoutine != nullptr) {
        KmBugCheck(CANCEL_STATE_IN_COMPLETED_IRP, (ULONG_PTR)Irp, (ULONG_PTR)Irp->CancelRoutine, 0, 0,
                   "IRP %p completed with its cancel routine %p still set", (void*)Irp,
                   reinterpret_cast<void*>(Irp->CancelRoutine));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckCompletePending, (ULONG_PTR)Irp, 0, 0,
                   "IRP %p completed with STATUS_PENDING", (void*)Irp);
    }
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    if (IsBufferedControl(current) &&
        Irp->IoStatus.Information > current->Parameters.DeviceIoControl.OutputBufferLength) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckInformationTooLarge, (ULONG_PTR)Irp,
                   Irp->IoStatus.Information, current->Parameters.DeviceIoControl.OutputBufferLength,
                   "IRP %p completed with Information %llu above its output buffer length %lu (buffered device "
                   "control 0x%x)",
                   (void*)Irp, (unsigned long long)Irp->IoStatus.Information,
                   (unsigned long)current->Parameters.DeviceIoControl.OutputBufferLength,
                   (unsigned)current->Parameters.DeviceIoControl.IoControlCode);
    }
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        CCHAR location = Irp->CurrentLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        RecordLocationCompleted(Irp, location, Irp->PendingReturned);
        NTSTATUS status = Irp->IoStatus.Status;
        UCHAR control = stack->Control;
        bool invoke = stack->CompletionRoutine != nullptr &&
                      ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                       (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                       (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
        // As ZeroIrpStackLocation: the routine and its context stay for the call below.
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        memset(&stack->Parameters.Others, 0, sizeof stack->Parameters.Others);
        stack->FileObject = nullptr;
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (stack->CompletionRoutine(device, Irp, stack->Context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    FinishIoManagerIrp(Irp);
}
