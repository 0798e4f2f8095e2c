// Work items: IoAllocateWorkItem, IoQueueWorkItem and IoFreeWorkItem. Each queued item runs on a
// system worker thread of its own (a thread of the System process the notify routines do not
// hear of, as Windows' worker threads exist from boot), with a model reference on the device
// while the routine runs.
#include <cstdio>
#include <map>
#include <set>
#include <thread>
#include <chrono>
#include <mutex>

#include "internal/ps.h"
#include "internal/verifier.h"
#include "io/io_manager.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT Device;
    const void* Allocator;  // the image that allocated it (null: test or model)
    bool Queued;
};

namespace km::io {

namespace {

struct WorkItemTable {
    std::mutex Lock;
    std::map<PIO_WORKITEM, uint64_t> Items;     // live items, by allocation serial
    std::multiset<const void*> QueuedRoutines;   // routines of items queued, not yet started
    std::multiset<const void*> RunningRoutines;  // routines running now
    uint64_t NextSerial = 1;
};

WorkItemTable& Table()
{
    static WorkItemTable* table = new WorkItemTable;
    return *table;
}

void CheckIrqlAtMostDispatch(const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql > DISPATCH_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, DISPATCH_LEVEL, 0, "%s at IRQL %u",
                   routine, irql);
    }
}

// Table lock held: a live item, or a bug check.
void CheckLiveLocked(PIO_WORKITEM item, const char* routine)
{
    if (Table().Items.count(item) == 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckWorkItemFreedQueued, (ULONG_PTR)item, 0, 0,
                   "%s on %p, which is not an allocated work item (freed already?)", routine, (void*)item);
    }
}

// On the worker thread: runs the routine, checks the IRQL it returns at, lets the device go.
void RunWorkItem(PIO_WORKITEM item, PDEVICE_OBJECT device, PIO_WORKITEM_ROUTINE routine, PVOID context)
{
    routine(device, context);
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(WORKER_THREAD_RETURNED_AT_BAD_IRQL, (ULONG_PTR)routine, irql, (ULONG_PTR)item, (ULONG_PTR)item,
                   "work item routine %p returned at IRQL %u", reinterpret_cast<void*>(routine), irql);
    }
    ob::DereferenceModel(device);
    std::lock_guard<std::mutex> guard(Table().Lock);
    Table().RunningRoutines.erase(Table().RunningRoutines.find(reinterpret_cast<const void*>(routine)));
}

// Table lock held: whether a routine of `image` is in `routines`.
bool HasRoutineOfLocked(const std::multiset<const void*>& routines, const void* image)
{
    for (const void* routine : routines) {
        if (ob::ImageContaining(routine) == image) {
            return true;
        }
    }
    return false;
}

std::string ItemLine(PIO_WORKITEM item)
{
    char line[120];
    snprintf(line, sizeof line, "work item %p not freed, allocated by ", (void*)item);
    return line + ob::ImageDisplayName(item->Allocator) + "\n";
}

}  // namespace

// A routine still running keeps the image (its device reference keeps the driver on Windows):
// the unload waits for it to return. One still queued is the driver's fault.
std::string WorkItemsOfImage(const void* image, bool free)
{
    std::vector<PIO_WORKITEM> items;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(Table().Lock);
            if (!HasRoutineOfLocked(Table().RunningRoutines, image)) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        std::lock_guard<std::mutex> guard(Table().Lock);
        if (HasRoutineOfLocked(Table().QueuedRoutines, image)) {
            KmBugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS, (ULONG_PTR)image, 0, 0, 0,
                       "driver %s unloaded with a work item queued", ob::ImageDisplayName(image).c_str());
        }
        for (auto& entry : Table().Items) {
            if (entry.first->Allocator == image) {
                items.push_back(entry.first);
            }
        }
        if (free) {
            for (PIO_WORKITEM item : items) {
                Table().Items.erase(item);
            }
        }
    }
    std::string lines;
    for (PIO_WORKITEM item : items) {
        {
            std::lock_guard<std::mutex> hold(ob::ModelLock());
            lines += ItemLine(item);
        }
        if (free) {
            delete item;
        }
    }
    return lines;
}

std::string WorkItemLeakReport()
{
    std::map<uint64_t, PIO_WORKITEM> items;
    {
        std::lock_guard<std::mutex> guard(Table().Lock);
        for (auto& entry : Table().Items) {
            items[entry.second] = entry.first;
        }
        Table().Items.clear();
    }
    std::string lines;
    for (auto& entry : items) {
        {
            std::lock_guard<std::mutex> hold(ob::ModelLock());
            lines += ItemLine(entry.second);
        }
        delete entry.second;
    }
    return lines;
}

}  // namespace km::io

using namespace km::io;

// IRQL <= DISPATCH_LEVEL.
extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    CheckIrqlAtMostDispatch("IoAllocateWorkItem");
    auto* item = new _IO_WORKITEM{DeviceObject, km::ob::ImageContaining(__builtin_return_address(0)), false};
    std::lock_guard<std::mutex> guard(Table().Lock);
    Table().Items[item] = Table().NextSerial++;
    return item;
}

// IRQL <= DISPATCH_LEVEL. The item is free to be queued again once its routine has started.
extern "C" void NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                      WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    UNREFERENCED_PARAMETER(QueueType);
    CheckIrqlAtMostDispatch("IoQueueWorkItem");
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> guard(Table().Lock);
        CheckLiveLocked(IoWorkItem, "IoQueueWorkItem");
        if (IoWorkItem->Queued) {
            KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckWorkItemQueuedTwice, (ULONG_PTR)IoWorkItem, 0, 0,
                       "IoQueueWorkItem on work item %p, which is already queued", (void*)IoWorkItem);
        }
        IoWorkItem->Queued = true;
        Table().QueuedRoutines.insert(reinterpret_cast<const void*>(WorkerRoutine));
        device = IoWorkItem->Device;
    }
    km::ob::ReferenceModel(device);
    KmStartThread(
        km::SystemProcess(),
        [IoWorkItem, device, WorkerRoutine, Context] {
            {
                std::lock_guard<std::mutex> guard(Table().Lock);
                IoWorkItem->Queued = false;
                auto queued = Table().QueuedRoutines.find(reinterpret_cast<const void*>(WorkerRoutine));
                Table().QueuedRoutines.erase(queued);
                Table().RunningRoutines.insert(reinterpret_cast<const void*>(WorkerRoutine));
            }
            RunWorkItem(IoWorkItem, device, WorkerRoutine, Context);
        },
        false, true);
}

// IRQL <= DISPATCH_LEVEL. An item still queued may not be freed.
extern "C" void NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    CheckIrqlAtMostDispatch("IoFreeWorkItem");
    {
        std::lock_guard<std::mutex> guard(Table().Lock);
        CheckLiveLocked(IoWorkItem, "IoFreeWorkItem");
        if (IoWorkItem->Queued) {
            KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckWorkItemFreedQueued, (ULONG_PTR)IoWorkItem, 0, 0,
                       "IoFreeWorkItem on work item %p, which is queued", (void*)IoWorkItem);
        }
        Table().Items.erase(IoWorkItem);
    }
    delete IoWorkItem;
}
