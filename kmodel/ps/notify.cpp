// Process, thread and image-load notify routines: PsSetCreateProcessNotifyRoutine,
// PsSetCreateThreadNotifyRoutine, PsRemoveCreateThreadNotifyRoutine, PsSetLoadImageNotifyRoutine
// and PsRemoveLoadImageNotifyRoutine, and the calls that the model's process and thread creation
// and exit and its driver loader make. As the kernel's callback blocks, each
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
    KmpNotifyTable Image;
};

KmpNotifyState& KmpNotify()
{
    static KmpNotifyState* state = new KmpNotifyState;
    return *state;
}

KmpNotifyTable& KmpTableOf(KmpNotifyState& state, km::NotifyKind kind)
{
    switch (kind) {
    case km::NotifyKind::Process:
        return state.Process;
    case km::NotifyKind::Thread:
        return state.Thread;
    default:
        return state.Image;
    }
}

const char* KmpKindName(km::NotifyKind kind)
{
    switch (kind) {
    case km::NotifyKind::Process:
        return "process";
    case km::NotifyKind::Thread:
        return "thread";
    default:
        return "image-load";
    }
}

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

// Runs every routine of the table on the calling thread, each under rundown protection;
// `invoke` calls one routine with the arguments of this notification.
template <typename Invoke>
void KmpCallAll(km::NotifyKind kind, const char* what, Invoke invoke)
{
    KmpNotifyState& state = KmpNotify();
    for (size_t index = 0; index < KmpNotifySlotCount; ++index) {
        void* routine;
        {
            std::lock_guard<std::mutex> hold(state.Lock);
            KmpNotifySlot& slot = KmpTableOf(state, kind).Slots[index];
            if (slot.Routine == nullptr || slot.Removing) {
                continue;
            }
            slot.ActiveCalls++;
            routine = slot.Routine;
        }
        KmCalloutMark mark = KmCalloutEnter();
        invoke(routine);
        KmCalloutReturned(mark, what, routine);
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
    KmpCallAll(km::NotifyKind::Process, "process notify routine", [&](void* routine) {
        reinterpret_cast<PCREATE_PROCESS_NOTIFY_ROUTINE>(routine)(parentId, processId, create ? TRUE : FALSE);
    });
}

void KmPsNotifyThread(HANDLE processId, HANDLE threadId, bool create)
{
    KmpCallAll(km::NotifyKind::Thread, "thread notify routine", [&](void* routine) {
        reinterpret_cast<PCREATE_THREAD_NOTIFY_ROUTINE>(routine)(processId, threadId, create ? TRUE : FALSE);
    });
}

void KmPsNotifySystemImageLoad(const std::u16string& fullName, void* imageBase, size_t imageSize)
{
    std::u16string name = fullName;
    UNICODE_STRING counted;
    counted.Buffer = reinterpret_cast<PWCH>(name.data());
    counted.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
    IMAGE_INFO info = {};
    info.ImageAddressingMode = IMAGE_ADDRESSING_MODE_32BIT;
    info.SystemModeImage = 1;
    info.ImageBase = imageBase;
    info.ImageSize = imageSize;
    KmpCallAll(km::NotifyKind::Image, "image-load notify routine", [&](void* routine) {
        // Each routine gets the information as the loader made it.
        IMAGE_INFO copy = info;
        reinterpret_cast<PLOAD_IMAGE_NOTIFY_ROUTINE>(routine)(&counted, nullptr, &copy);
    });
}

void KmPsNotifyReset()
{
    KmpNotifyState& state = KmpNotify();
    std::lock_guard<std::mutex> hold(state.Lock);
    state.Process = KmpNotifyTable{};
    state.Thread = KmpNotifyTable{};
    state.Image = KmpNotifyTable{};
}

std::string KmPsReleaseNotifyRoutinesOfImage(const void* image)
{
    KmpNotifyState& state = KmpNotify();
    std::lock_guard<std::mutex> hold(state.Lock);
    std::string lines;
    for (km::NotifyKind kind : {km::NotifyKind::Process, km::NotifyKind::Thread, km::NotifyKind::Image}) {
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

// Adds an image-load notify routine, called as each driver image is mapped, before its
// DriverEntry. PASSIVE_LEVEL. STATUS_INSUFFICIENT_RESOURCES when all 64 slots are taken.
extern "C" NTSTATUS NTAPI PsSetLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine)
{
    KmpRequirePassive("PsSetLoadImageNotifyRoutine");
    return KmpAdd(km::NotifyKind::Image, reinterpret_cast<void*>(NotifyRoutine), false,
                  STATUS_INSUFFICIENT_RESOURCES);
}

// Removes an image-load notify routine once its running calls have returned. PASSIVE_LEVEL.
// STATUS_PROCEDURE_NOT_FOUND when it is not registered.
extern "C" NTSTATUS NTAPI PsRemoveLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine)
{
    KmpRequirePassive("PsRemoveLoadImageNotifyRoutine");
    return KmpRemove(km::NotifyKind::Image, reinterpret_cast<void*>(NotifyRoutine), STATUS_PROCEDURE_NOT_FOUND);
}
