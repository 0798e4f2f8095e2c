// Timers and DPCs. A set timer has a model thread of its own that sleeps in model time until the
// timer is due, signals it and queues its DPC, and goes on for a periodic timer until cancelled.
// A queued DPC runs its routine at DISPATCH_LEVEL on a system thread of its own. Both are kept by
// address under the dispatcher lock with a generation per timer, so that a cancelled or reset
// timer's thread sees it is no longer wanted without touching the timer. A driver's unload finds
// any timer it set that is still set, and any DPC of its own still queued: TIMER_OR_DPC_INVALID,
// as Driver Verifier has it (the kernel would run code or touch memory that is gone).
//
//   initialized --KeSetTimer(Ex)--> set --due--> signalled (+ DPC queued) --period--> set ...
//        ^                            |
//        +------- KeCancelTimer ------+
#include <atomic>
#include <chrono>
#include <climits>
#include <map>
#include <set>
#include <thread>

#include "internal/ke.h"
#include "internal/routines.h"
#include "internal/verifier.h"
#include "ob/object_manager.h"

namespace {

constexpr int64_t KmpHundredNsPerMs = 10000;

// A set timer: each setting has a generation of its own.
struct KmpTimerRecord {
    uint64_t Generation = 0;
    const void* Setter = nullptr;  // image that set it
};

// Guarded by the dispatcher lock.
struct KmpTimerTable {
    std::map<PKTIMER, KmpTimerRecord> Timers;  // the timers set now
    uint64_t NextGeneration = 1;
    std::set<PKDPC> Queued;
    std::multiset<const void*> RunningRoutines;
};

KmpTimerTable& KmpTable()
{
    static KmpTimerTable* table = new KmpTimerTable;
    return *table;
}

// Set timers plus queued DPCs, so that a pool free with neither in the system takes no lock.
std::atomic<size_t> KmpPending{0};

// Dispatcher lock held: after any change to the set timers or the queue.
void KmpCountPendingLocked()
{
    KmpPending.store(KmpTable().Timers.size() + KmpTable().Queued.size(), std::memory_order_relaxed);
}

void KmpCheckIrqlAtMost(KIRQL limit, const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql > limit) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, limit, 0, 0, "%s at IRQL %u", routine, irql);
    }
}

// Model time at which a timer set for `due` expires (relative when negative).
int64_t KmpDueAt(LONGLONG due)
{
    if (due < 0) {
        return KmClockNow() - due;
    }
    return std::max<int64_t>(KmClockNow(), due - KmClockSystemTimeAtBoot());
}

// On the DPC's thread: runs the routine at DISPATCH_LEVEL and checks how it returns.
void KmpRunDpc(PKDPC dpc)
{
    PKDEFERRED_ROUTINE routine;
    PVOID context, argument1, argument2;
    {
        std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
        if (KmpTable().Queued.erase(dpc) == 0) {
            return;  // removed from the queue meanwhile
        }
        KmpCountPendingLocked();
        routine = dpc->DeferredRoutine;
        context = dpc->DeferredContext;
        argument1 = dpc->SystemArgument1;
        argument2 = dpc->SystemArgument2;
        dpc->DpcData = nullptr;
        KmpTable().RunningRoutines.insert(reinterpret_cast<const void*>(routine));
    }
    km::Thread* thread = KmCurrentThread();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    routine(dpc, context, argument1, argument2);
    if (thread->Irql != DISPATCH_LEVEL || !thread->SpinLocks.empty()) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckDpcReturnedRaised, (ULONG_PTR)routine, thread->Irql,
                   thread->SpinLocks.size(), "DPC routine %p returned at IRQL %u holding %zu spin lock(s)",
                   reinterpret_cast<void*>(routine), thread->Irql, thread->SpinLocks.size());
    }
    KeLowerIrql(old);
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    auto& running = KmpTable().RunningRoutines;
    running.erase(running.find(reinterpret_cast<const void*>(routine)));
}

// On the timer's thread: expiries of generation `generation` until it changes or a one-shot
// timer has expired.
void KmpRunTimer(PKTIMER timer, uint64_t generation, int64_t due, int64_t period)
{
    std::unique_lock<std::mutex> lock(KmGetDispatcher().Lock);
    for (;;) {
        auto wanted = [&] {
            auto found = KmpTable().Timers.find(timer);
            return found != KmpTable().Timers.end() && found->second.Generation == generation;
        };
        while (wanted() && KmClockNow() < due) {
            KmGetDispatcher().Changed.wait_for(lock, KmClockRealDuration(due - KmClockNow()));
        }
        if (!wanted()) {
            return;
        }
        KmSignalObjectLocked(&timer->Header);
        PKDPC dpc = timer->Dpc;
        if (period == 0) {
            KmpTable().Timers.erase(timer);
            KmpCountPendingLocked();
        }
        lock.unlock();
        if (dpc != nullptr) {
            KeInsertQueueDpc(dpc, nullptr, nullptr);
        }
        if (period == 0) {
            return;
        }
        lock.lock();
        due += period * KmpHundredNsPerMs;
    }
}

// Dispatcher lock held: takes the timer out of the set ones; whether it was set.
bool KmpCancelLocked(PKTIMER timer)
{
    bool wasSet = KmpTable().Timers.erase(timer) != 0;
    KmpCountPendingLocked();
    KmGetDispatcher().Changed.notify_all();
    return wasSet;
}

std::string KmpImageName(const void* image)
{
    std::lock_guard<std::mutex> hold(km::ob::ModelLock());
    return km::ob::ImageDisplayName(image);
}

}  // namespace

void KmCheckTimersOfImage(const void* image)
{
    struct SetTimer {
        PKTIMER timer;
        const void* setter;
        const void* dpcRoutine;
    };
    std::vector<SetTimer> timers;
    std::vector<std::pair<PKDPC, const void*>> queued;
    for (;;) {
        std::vector<const void*> routines;
        {
            std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
            routines.assign(KmpTable().RunningRoutines.begin(), KmpTable().RunningRoutines.end());
            timers.clear();
            for (auto& entry : KmpTable().Timers) {
                PKDPC dpc = entry.first->Dpc;
                timers.push_back({entry.first, entry.second.Setter,
                                  dpc != nullptr ? reinterpret_cast<const void*>(dpc->DeferredRoutine) : nullptr});
            }
            queued.clear();
            for (PKDPC dpc : KmpTable().Queued) {
                queued.emplace_back(dpc, reinterpret_cast<const void*>(dpc->DeferredRoutine));
            }
        }
        bool running = false;
        for (const void* routine : routines) {
            running = running || km::ob::ImageContaining(routine) == image;
        }
        if (!running) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (const SetTimer& set : timers) {
        bool ours = set.setter == image || km::ob::ImageContaining(set.timer) == image ||
                    (set.dpcRoutine != nullptr && km::ob::ImageContaining(set.dpcRoutine) == image);
        if (ours) {
            KmBugCheck(TIMER_OR_DPC_INVALID, KmFoundTimer, (ULONG_PTR)set.timer, (ULONG_PTR)image, 0,
                       "driver %s unloaded with timer %p still set", KmpImageName(image).c_str(), (void*)set.timer);
        }
    }
    for (auto& [dpc, routine] : queued) {
        if (km::ob::ImageContaining(routine) == image) {
            KmBugCheck(TIMER_OR_DPC_INVALID, KmFoundDpcRoutine, (ULONG_PTR)dpc, (ULONG_PTR)image, 0,
                       "driver %s unloaded with DPC %p queued", KmpImageName(image).c_str(), (void*)dpc);
        }
    }
}

void KmCheckTimersInFreedPool(const void* block, size_t size)
{
    if (KmpPending.load(std::memory_order_relaxed) == 0) {
        return;
    }
    auto start = reinterpret_cast<uintptr_t>(block);
    auto end = start + size;
    auto inside = [start, end](const void* object) {
        auto where = reinterpret_cast<uintptr_t>(object);
        return where >= start && where < end;
    };
    const void* found = nullptr;
    KmTimerOrDpcKind kind = KmFoundTimer;
    {
        std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
        for (auto& entry : KmpTable().Timers) {
            if (inside(entry.first)) {
                found = entry.first;
                break;
            }
            if (entry.first->Dpc != nullptr && inside(entry.first->Dpc)) {
                found = entry.first->Dpc;
                kind = KmFoundDpc;
                break;
            }
        }
        for (PKDPC dpc : KmpTable().Queued) {
            if (found == nullptr && inside(dpc)) {
                found = dpc;
                kind = KmFoundDpc;
            }
        }
    }
    if (found != nullptr) {
        KmBugCheck(TIMER_OR_DPC_INVALID, kind, (ULONG_PTR)found, start, end, "pool block %p freed holding %s %p",
                   block, kind == KmFoundTimer ? "set timer" : "queued DPC", found);
    }
}

std::string KmTimerShutdownReport()
{
    std::string lines;
    {
        std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
        for (auto& entry : KmpTable().Timers) {
            char line[80];
            snprintf(line, sizeof line, "timer %p still set\n", (void*)entry.first);
            lines += line;
        }
        KmpTable().Timers.clear();
        KmpCountPendingLocked();
        KmGetDispatcher().Changed.notify_all();
    }
    // Let the DPCs queued so far run before their drivers go.
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
            if (KmpTable().Queued.empty() && KmpTable().RunningRoutines.empty()) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return lines;
}

extern "C" void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "KeInitializeTimerEx");
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    KmpCancelLocked(Timer);
    memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Size = (UCHAR)(sizeof(KTIMER) / sizeof(LONG));
    InitializeListHead(&Timer->Header.WaitListHead);
    InitializeListHead(&Timer->TimerListEntry);
}

extern "C" void NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

// IRQL <= DISPATCH_LEVEL. Setting a set timer cancels it first. Period is in milliseconds.
extern "C" BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
    const void* setter = km::ob::ImageContaining(__builtin_return_address(0));
    bool wasSet;
    uint64_t generation;
    int64_t due = KmpDueAt(DueTime.QuadPart);
    {
        std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
        wasSet = KmpCancelLocked(Timer);
        generation = KmpTable().NextGeneration++;
        KmpTable().Timers[Timer] = KmpTimerRecord{generation, setter};
        KmpCountPendingLocked();
        Timer->Header.SignalState = 0;
        Timer->Dpc = Dpc;
        Timer->Period = static_cast<ULONG>(std::max<LONG>(Period, 0));
        Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    }
    int64_t period = std::max<LONG>(Period, 0);
    KmStartThread(
        km::SystemProcess(), [Timer, generation, due, period] { KmpRunTimer(Timer, generation, due, period); }, false,
        true);
    return wasSet ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

// IRQL <= DISPATCH_LEVEL. The timer's DPC, if queued already, stays queued (as on Windows).
extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    return KmpCancelLocked(Timer) ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

extern "C" void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    memset(Dpc, 0, sizeof(*Dpc));
    Dpc->Type = 0x13;  // DpcObject
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

// Any IRQL. FALSE when the DPC is queued already.
extern "C" BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    {
        std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
        if (!KmpTable().Queued.insert(Dpc).second) {
            return FALSE;
        }
        KmpCountPendingLocked();
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        Dpc->DpcData = Dpc;
    }
    KmStartThread(km::SystemProcess(), [Dpc] { KmpRunDpc(Dpc); }, false, true);
    return TRUE;
}

// Any IRQL. TRUE when the DPC was queued (it will not run for that queuing).
extern "C" BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    Dpc->DpcData = nullptr;
    bool wasQueued = KmpTable().Queued.erase(Dpc) != 0;
    KmpCountPendingLocked();
    return wasQueued ? TRUE : FALSE;
}
