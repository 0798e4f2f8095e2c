// Process and thread notify routines: PsSetCreateProcessNotifyRoutine,
// PsSetCreateThreadNotifyRoutine and PsRemoveCreateThreadNotifyRoutine, and the calls that the
// model's process and thread creation and exit make. As the kernel's callback blocks, each
// registration has a slot (64 per kind) and rundown protection: a removal waits until every call
// of that routine already running has returned.
#include <array>
#include <condition_variable>
#include <cstdio>

#include "internal/ps.h"
#include "internal/verifier.h"
#include "kmodel/fs_model.h"
#include "ob/object_manager.h"

namespace {

constexpr size_t KmpNotifySlotCount = 64;

struct KmpNotifySlot {
    void* Routine = nullptr;     // null: free
    const void* Image = nullptr;  // the driver image the routine lies in (null: test code, model)
    ULONG ActiveCalls = 0;
    bool Removing = false;
};

struct KmpFaultRule {
    uint64_t CallsBeforeFailing = 0;
    uint64_t Failures = 0;
    NTSTATUS Status = STATUS_SUCCESS;
};

struct KmpNotifyTable {
    std::array<KmpNotifySlot, KmpNotifySlotCount> Slots;
    KmpFaultRule Fault;
};

struct KmpNotifyState {
    std::mutex Lock;
    std::condition_variable CallsReturned;
    KmpNotifyTable Process;
    KmpNotifyTable Thread;
};

KmpNotifyState& KmpNotify()
{
    static KmpNotifyState* state = new KmpNotifyState;
    return *state;
}

KmpNotifyTable& KmpTableOf(KmpNotifyState& state, km::NotifyKind kind)
{
    return kind == km::NotifyKind::Process ? state.Process : state.Thread;
}

const char* KmpKindName(km::NotifyKind kind) { return kind == km::NotifyKind::Process ? "process" : "thread"; }

void KmpRequirePassive(const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, 0, 0, "%s at IRQL %u", routine,
                   irql);
    }
}

// Lock held: the injected failure for the next registration of this table, or STATUS_SUCCESS.
NTSTATUS KmpTakeFaultLocked(KmpNotifyTable& table)
{
    KmpFaultRule& rule = table.Fault;
    if (rule.Failures == 0) {
        return STATUS_SUCCESS;
    }
    if (rule.CallsBeforeFailing > 0) {
        rule.CallsBeforeFailing--;
        return STATUS_SUCCESS;
    }
    rule.Failures--;
    return rule.Status;
}

KmpNotifySlot* KmpFindLocked(KmpNotifyTable& table, void* routine)
{
    for (KmpNotifySlot& slot : table.Slots) {
        if (slot.Routine == routine && !slot.Removing) {
            return &slot;
        }
    }
    return nullptr;
}

// Puts the routine in the first free slot; `full` when none is free.
NTSTATUS KmpAdd(km::NotifyKind kind, void* routine, bool refuseDuplicate, NTSTATUS full)
{
    KmpNotifyState& state = KmpNotify();
    std::lock_guard<std::mutex> hold(state.Lock);
    KmpNotifyTable& table = KmpTableOf(state, kind);
    NTSTATUS injected = KmpTakeFaultLocked(table);
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (refuseDuplicate && KmpFindLocked(table, routine) != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    for (KmpNotifySlot& slot : table.Slots) {
        if (slot.Routine == nullptr) {
            slot.Routine = routine;
            slot.Image = km::ob::ImageContaining(routine);
            slot.ActiveCalls = 0;
            slot.Removing = false;
            return STATUS_SUCCESS;
        }
    }
    return full;
}

// Frees the routine's slot once its running calls have returned; `missing` when not registered.
NTSTATUS KmpRemove(km::NotifyKind kind, void* routine, NTSTATUS missing)
{
    KmpNotifyState& state = KmpNotify();
    std::unique_lock<std::mutex> hold(state.Lock);
    KmpNotifySlot* slot = KmpFindLocked(KmpTableOf(state, kind), routine);
    if (slot == nullptr) {
        return missing;
    }
    slot->Removing = true;
    state.CallsReturned.wait(hold, [slot] { return slot->ActiveCalls == 0; });
    *slot = KmpNotifySlot{};
    return STATUS_SUCCESS;
}

// Runs every routine of the table on the calling thread, each under rundown protection.
template <typename Routine>
void KmpCallAll(km::NotifyKind kind, HANDLE first, HANDLE second, bool create)
{
    KmpNotifyState& state = KmpNotify();
    for (size_t index = 0; index < KmpNotifySlotCount; ++index) {
        Routine routine;
        {
            std::lock_guard<std::mutex> hold(state.Lock);
            KmpNotifySlot& slot = KmpTableOf(state, kind).Slots[index];
            if (slot.Routine == nullptr || slot.Removing) {
                continue;
            }
            slot.ActiveCalls++;
            routine = reinterpret_cast<Routine>(slot.Routine);
        }
        KmCalloutMark mark = KmCalloutEnter();
        routine(first, second, create ? TRUE : FALSE);
        KmCalloutReturned(mark, kind == km::NotifyKind::Process ? "process notify routine" : "thread notify routine",
                          reinterpret_cast<const void*>(routine));
        {
            std::lock_guard<std::mutex> hold(state.Lock);
            KmpTableOf(state, kind).Slots[index].ActiveCalls--;
        }
        state.CallsReturned.notify_all();
    }
}

}  // namespace

void KmPsNotifyProcess(HANDLE parentId, HANDLE processId, bool create)
{
    KmpCallAll<PCREATE_PROCESS_NOTIFY_ROUTINE>(km::NotifyKind::Process, parentId, processId, create);
}

void KmPsNotifyThread(HANDLE processId, HANDLE threadId, bool create)
{
    KmpCallAll<PCREATE_THREAD_NOTIFY_ROUTINE>(km::NotifyKind::Thread, processId, threadId, create);
}

void KmPsNotifyReset()
{
    KmpNotifyState& state = KmpNotify();
    std::lock_guard<std::mutex> hold(state.Lock);
    state.Process = KmpNotifyTable{};
    state.Thread = KmpNotifyTable{};
}

std::string KmPsReleaseNotifyRoutinesOfImage(const void* image)
{
    KmpNotifyState& state = KmpNotify();
    std::lock_guard<std::mutex> hold(state.Lock);
    std::string lines;
    for (km::NotifyKind kind : {km::NotifyKind::Process, km::NotifyKind::Thread}) {
        for (KmpNotifySlot& slot : KmpTableOf(state, kind).Slots) {
            if (slot.Routine != nullptr && slot.Image == image) {
                char line[96];
                snprintf(line, sizeof line, "%s notify routine %p still registered\n", KmpKindName(kind),
                         slot.Routine);
                lines += line;
                slot = KmpNotifySlot{};
            }
        }
    }
    return lines;
}

void km::FailNotifyRegistration(NotifyKind kind, uint64_t nth, NTSTATUS status, uint64_t count)
{
    KmpNotifyState& state = KmpNotify();
    std::lock_guard<std::mutex> hold(state.Lock);
    KmpFaultRule& rule = KmpTableOf(state, kind).Fault;
    rule.CallsBeforeFailing = nth > 0 ? nth - 1 : 0;
    rule.Failures = count;
    rule.Status = status;
}

size_t km::NotifyRoutineCount(NotifyKind kind)
{
    KmpNotifyState& state = KmpNotify();
    std::lock_guard<std::mutex> hold(state.Lock);
    size_t count = 0;
    for (const KmpNotifySlot& slot : KmpTableOf(state, kind).Slots) {
        count += slot.Routine != nullptr && !slot.Removing ? 1 : 0;
    }
    return count;
}

// Adds or removes a process notify routine. PASSIVE_LEVEL. STATUS_INVALID_PARAMETER when the
// routine is registered already, all 64 slots are taken, or (Remove) it is not registered.
extern "C" NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine,
                                                          BOOLEAN Remove)
{
    KmpRequirePassive("PsSetCreateProcessNotifyRoutine");
    void* routine = reinterpret_cast<void*>(NotifyRoutine);
    if (Remove) {
        return KmpRemove(km::NotifyKind::Process, routine, STATUS_INVALID_PARAMETER);
    }
    return KmpAdd(km::NotifyKind::Process, routine, true, STATUS_INVALID_PARAMETER);
}

// Adds a thread notify routine. PASSIVE_LEVEL. STATUS_INSUFFICIENT_RESOURCES when all 64 slots
// are taken.
extern "C" NTSTATUS NTAPI PsSetCreateThreadNotifyRoutine(PCREATE_THREAD_NOTIFY_ROUTINE NotifyRoutine)
{
    KmpRequirePassive("PsSetCreateThreadNotifyRoutine");
    return KmpAdd(km::NotifyKind::Thread, reinterpret_cast<void*>(NotifyRoutine), false,
                  STATUS_INSUFFICIENT_RESOURCES);
}

// Removes a thread notify routine once its running calls have returned. PASSIVE_LEVEL.
// STATUS_PROCEDURE_NOT_FOUND when it is not registered.
extern "C" NTSTATUS NTAPI PsRemoveCreateThreadNotifyRoutine(PCREATE_THREAD_NOTIFY_ROUTINE NotifyRoutine)
{
    KmpRequirePassive("PsRemoveCreateThreadNotifyRoutine");
    return KmpRemove(km::NotifyKind::Thread, reinterpret_cast<void*>(NotifyRoutine), STATUS_PROCEDURE_NOT_FOUND);
}
