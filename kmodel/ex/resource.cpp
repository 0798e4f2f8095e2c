// Executive resources (ERESOURCE) and the critical regions their holders must be in. The model
// keeps each initialized resource's owners in its own record, by address: which thread holds it
// exclusively, and how many acquisitions each owner has. Waiters sleep on one condition variable
// and look again whenever a release happens.
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <unordered_map>

#include "internal/ex.h"
#include "internal/ps.h"
#include "internal/verifier.h"
#include "ob/object_manager.h"

namespace {

struct KmpResource {
    km::Thread* Exclusive = nullptr;
    std::map<km::Thread*, ULONG> Owners;  // acquisitions per owning thread
    ULONG ExclusiveWaiters = 0;
    std::string Initializer;  // who initialized it, for the leak report
};

struct KmpResourceTable {
    std::mutex Lock;
    std::condition_variable Released;
    std::unordered_map<PERESOURCE, KmpResource> Resources;
};

KmpResourceTable& KmpTable()
{
    static KmpResourceTable* table = new KmpResourceTable;
    return *table;
}

// Table lock held: the record of an initialized resource; a bug check for any other address.
KmpResource& KmpRecordLocked(PERESOURCE resource, const char* routine)
{
    auto found = KmpTable().Resources.find(resource);
    if (found == KmpTable().Resources.end()) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckResourceUnknown, (ULONG_PTR)resource, 0, 0,
                   "%s on %p, which is not an initialized resource (never initialized, or deleted)", routine,
                   (void*)resource);
    }
    return found->second;
}

// Acquisition: IRQL <= APC_LEVEL, and below APC_LEVEL inside a critical region, as Verifier has it.
km::Thread* KmpCheckAcquire(PERESOURCE resource, const char* routine)
{
    km::Thread* thread = KmCurrentThread();
    if (thread->Irql > APC_LEVEL) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, thread->Irql, APC_LEVEL, (ULONG_PTR)resource, 0, "%s at IRQL %u", routine,
                   thread->Irql);
    }
    if (thread->Irql == PASSIVE_LEVEL && thread->CriticalRegionDepth == 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckResourceOutsideCriticalRegion, (ULONG_PTR)resource,
                   KmIdNumber(thread->UniqueThreadId), 0,
                   "%s on %p by thread %u outside a critical region (normal kernel APCs enabled)", routine,
                   (void*)resource, KmIdNumber(thread->UniqueThreadId));
    }
    return thread;
}

void KmpCheckIrqlAtMost(KIRQL limit, const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql > limit) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, limit, 0, "%s at IRQL %u", routine,
                   irql);
    }
}

}  // namespace

// IRQL <= DISPATCH_LEVEL. The resource starts free.
extern "C" NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource)
{
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "ExInitializeResourceLite");
    KmLockOrderForget(Resource, sizeof(*Resource));
    memset(Resource, 0, sizeof(*Resource));
    InitializeListHead(&Resource->SystemResourcesList);
    const void* image = km::ob::ImageContaining(__builtin_return_address(0));
    std::string initializer;
    {
        std::lock_guard<std::mutex> hold(km::ob::ModelLock());
        initializer = km::ob::ImageDisplayName(image);
    }
    KmpResourceTable& table = KmpTable();
    std::lock_guard<std::mutex> guard(table.Lock);
    auto found = table.Resources.find(Resource);
    if (found != table.Resources.end() && !found->second.Owners.empty()) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckResourceDeletedOwned, (ULONG_PTR)Resource, 0, 0,
                   "ExInitializeResourceLite on resource %p, which is owned", (void*)Resource);
    }
    KmpResource fresh;
    fresh.Initializer = initializer;
    table.Resources[Resource] = fresh;
    return STATUS_SUCCESS;
}

// IRQL <= APC_LEVEL. Deleting an owned resource is a bug check.
extern "C" NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource)
{
    KmpCheckIrqlAtMost(APC_LEVEL, "ExDeleteResourceLite");
    KmpResourceTable& table = KmpTable();
    std::lock_guard<std::mutex> guard(table.Lock);
    KmpResource& record = KmpRecordLocked(Resource, "ExDeleteResourceLite");
    if (!record.Owners.empty()) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckResourceDeletedOwned, (ULONG_PTR)Resource,
                   record.Owners.size(), 0, "ExDeleteResourceLite on resource %p while %zu thread(s) own it",
                   (void*)Resource, record.Owners.size());
    }
    table.Resources.erase(Resource);
    KmLockOrderForget(Resource, sizeof(*Resource));
    return STATUS_SUCCESS;
}

// Shared: granted unless another thread holds it exclusively or, for a thread not yet sharing
// it, an exclusive waiter is queued (writers are not starved).
extern "C" BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait)
{
    km::Thread* thread = KmpCheckAcquire(Resource, "ExAcquireResourceSharedLite");
    if (Wait) {
        KmLockOrderBeforeAcquire(Resource, KmLockKind::Resource, __builtin_return_address(0));
    }
    KmpResourceTable& table = KmpTable();
    std::unique_lock<std::mutex> guard(table.Lock);
    KmpResource* record = &KmpRecordLocked(Resource, "ExAcquireResourceSharedLite");
    for (;;) {
        bool mine = record->Exclusive == thread || record->Owners.count(thread) != 0;
        if (mine || (record->Exclusive == nullptr && record->ExclusiveWaiters == 0)) {
            break;
        }
        if (!Wait) {
            return FALSE;
        }
        Resource->ContentionCount++;
        table.Released.wait(guard);
        record = &KmpRecordLocked(Resource, "ExAcquireResourceSharedLite");
    }
    record->Owners[thread]++;
    thread->ResourcesHeld++;
    KmLockOrderAcquired(Resource, KmLockKind::Resource, __builtin_return_address(0));
    return TRUE;
}

// Exclusive: granted when nobody else owns it; recursive for the exclusive owner.
extern "C" BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait)
{
    km::Thread* thread = KmpCheckAcquire(Resource, "ExAcquireResourceExclusiveLite");
    if (Wait) {
        KmLockOrderBeforeAcquire(Resource, KmLockKind::Resource, __builtin_return_address(0));
    }
    KmpResourceTable& table = KmpTable();
    std::unique_lock<std::mutex> guard(table.Lock);
    KmpResource* record = &KmpRecordLocked(Resource, "ExAcquireResourceExclusiveLite");
    if (record->Exclusive != thread && record->Owners.count(thread) != 0) {
        if (!Wait) {
            return FALSE;
        }
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckResourceExclusiveOverShared, (ULONG_PTR)Resource,
                   KmIdNumber(thread->UniqueThreadId), 0,
                   "thread %u waits for resource %p exclusive while it holds it shared (it would wait forever)",
                   KmIdNumber(thread->UniqueThreadId), (void*)Resource);
    }
    if (record->Exclusive != thread) {
        if (!record->Owners.empty() && !Wait) {
            return FALSE;
        }
        record->ExclusiveWaiters++;
        while (!record->Owners.empty()) {
            Resource->ContentionCount++;
            table.Released.wait(guard);
            record = &KmpRecordLocked(Resource, "ExAcquireResourceExclusiveLite");
        }
        record->ExclusiveWaiters--;
        record->Exclusive = thread;
    }
    record->Owners[thread]++;
    thread->ResourcesHeld++;
    KmLockOrderAcquired(Resource, KmLockKind::Resource, __builtin_return_address(0));
    return TRUE;
}

// Releases one acquisition of the calling thread. IRQL <= DISPATCH_LEVEL.
extern "C" void FASTCALL ExReleaseResourceLite(PERESOURCE Resource)
{
    km::Thread* thread = KmCurrentThread();
    KmpResourceTable& table = KmpTable();
    {
        std::lock_guard<std::mutex> guard(table.Lock);
        KmpResource& record = KmpRecordLocked(Resource, "ExReleaseResourceLite");
        auto owner = record.Owners.find(thread);
        if (owner == record.Owners.end()) {
            KmBugCheck(RESOURCE_NOT_OWNED, (ULONG_PTR)Resource, (ULONG_PTR)thread, 0, 0,
                       "ExReleaseResourceLite on resource %p by thread %u, which does not own it", (void*)Resource,
                       KmIdNumber(thread->UniqueThreadId));
        }
        if (--owner->second == 0) {
            record.Owners.erase(owner);
            if (record.Exclusive == thread) {
                record.Exclusive = nullptr;
            }
        }
        thread->ResourcesHeld--;
    }
    KmLockOrderReleased(Resource);
    table.Released.notify_all();
}

extern "C" BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource)
{
    km::Thread* thread = KmCurrentThread();
    KmpResourceTable& table = KmpTable();
    std::lock_guard<std::mutex> guard(table.Lock);
    return KmpRecordLocked(Resource, "ExIsResourceAcquiredExclusiveLite").Exclusive == thread ? TRUE : FALSE;
}

extern "C" ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource)
{
    km::Thread* thread = KmCurrentThread();
    KmpResourceTable& table = KmpTable();
    std::lock_guard<std::mutex> guard(table.Lock);
    KmpResource& record = KmpRecordLocked(Resource, "ExIsResourceAcquiredSharedLite");
    auto owner = record.Owners.find(thread);
    return owner == record.Owners.end() ? 0 : owner->second;
}

// Any IRQL up to APC_LEVEL; nests.
extern "C" void NTAPI KeEnterCriticalRegion(void) { KmCurrentThread()->CriticalRegionDepth++; }

// Leaving a region the thread is not in is a bug check.
extern "C" void NTAPI KeLeaveCriticalRegion(void)
{
    km::Thread* thread = KmCurrentThread();
    if (thread->CriticalRegionDepth == 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckCriticalRegionUnderflow,
                   KmIdNumber(thread->UniqueThreadId), 0, 0,
                   "KeLeaveCriticalRegion by thread %u, which is not in a critical region",
                   KmIdNumber(thread->UniqueThreadId));
    }
    thread->CriticalRegionDepth--;
}

// Lines for the resources still initialized (then forgotten): a resource's memory must not go
// while it is initialized.
std::string KmExResourceShutdownReport()
{
    KmpResourceTable& table = KmpTable();
    std::lock_guard<std::mutex> guard(table.Lock);
    std::string report;
    for (auto& entry : table.Resources) {
        char line[160];
        snprintf(line, sizeof line, "executive resource %p never deleted, initialized by ", (void*)entry.first);
        report += line + entry.second.Initializer + "\n";
    }
    table.Resources.clear();
    return report;
}
