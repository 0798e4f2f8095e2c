// Waits on dispatcher objects and delays. A waiter sleeps on the dispatcher's condition until the
// object it waits for is signalled for it or its time-out passes in model time.
#include <algorithm>
#include <climits>

#include "internal/ke.h"
#include "internal/routines.h"
#include "internal/verifier.h"
#include "internal/trap.h"

namespace {

constexpr int64_t KmpNoDeadline = INT64_MAX;

// Model time at which a wait with `timeout` gives up: none for a null time-out, now for zero,
// now + |t| for a relative (negative) time, the given system time for an absolute one.
int64_t KmpDeadlineOf(const LARGE_INTEGER* timeout)
{
    if (timeout == nullptr || timeout->QuadPart == LLONG_MIN) {
        return KmpNoDeadline;
    }
    int64_t now = KmClockNow();
    LONGLONG value = timeout->QuadPart;
    if (value < 0) {
        return -value > KmpNoDeadline - now ? KmpNoDeadline : now - value;
    }
    if (value == 0) {
        return now;
    }
    return value - KmClockSystemTimeAtBoot();
}

// A wait that may block is legal only below DISPATCH_LEVEL.
void KmpCheckWaitIrql(km::Thread* thread, const LARGE_INTEGER* timeout, const char* routine)
{
    bool mayBlock = timeout == nullptr || timeout->QuadPart != 0;
    if (mayBlock && thread->Irql >= DISPATCH_LEVEL) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, thread->Irql, 0, 0, 0, "%s with a %s time-out at IRQL %u", routine,
                   timeout == nullptr ? "null" : "non-zero", thread->Irql);
    }
}

// Dispatcher lock held: whether a wait on `header` by `thread` would be satisfied now.
bool KmpIsSignalledLocked(DISPATCHER_HEADER* header, km::Thread* thread)
{
    switch (header->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case ProcessObject:
    case ThreadObject:
    case SemaphoreObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        return header->SignalState > 0;
    case MutantObject:
        return header->SignalState > 0 || reinterpret_cast<PKMUTANT>(header)->OwnerThread == thread;
    default:
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckNotDispatcherObject, (ULONG_PTR)header,
                   header->Type, 0, "wait on %p, which is not a dispatcher object (type %u)", (void*)header,
                   header->Type);
    }
}

// Dispatcher lock held: applies the side effect of a satisfied wait and answers its status.
NTSTATUS KmpSatisfyWaitLocked(DISPATCHER_HEADER* header, km::Thread* thread)
{
    switch (header->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        header->SignalState = 0;
        return STATUS_SUCCESS;
    case SemaphoreObject:
        header->SignalState -= 1;
        return STATUS_SUCCESS;
    case MutantObject:
        return KmAcquireMutantLocked(reinterpret_cast<PKMUTANT>(header), thread);
    default:
        return STATUS_SUCCESS;
    }
}

// Dispatcher lock held (through `lock`): sleeps until something changes or `deadline` passes.
// False once the deadline has passed; true after a wake-up (which may be spurious).
bool KmpSleepUntil(std::unique_lock<std::mutex>& lock, int64_t deadline)
{
    KmDispatcher& dispatcher = KmGetDispatcher();
    if (deadline == KmpNoDeadline) {
        dispatcher.Changed.wait(lock);
        return true;
    }
    int64_t now = KmClockNow();
    if (now >= deadline) {
        return false;
    }
    dispatcher.Changed.wait_for(lock, KmClockRealDuration(deadline - now));
    return true;
}

}  // namespace

KmDispatcher& KmGetDispatcher()
{
    static KmDispatcher* dispatcher = new KmDispatcher;
    return *dispatcher;
}

void KmSignalObjectLocked(DISPATCHER_HEADER* header)
{
    header->SignalState = 1;
    KmGetDispatcher().Changed.notify_all();
}

// Waits for an event, mutex, thread or process. Answers STATUS_SUCCESS, STATUS_ABANDONED_WAIT_0
// for a mutex whose owner ended, or STATUS_TIMEOUT. A null time-out waits without limit.
extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    KmTrapPoint("KeWaitForSingleObject", Object);
    km::Thread* thread = KmCurrentThread();
    KmpCheckWaitIrql(thread, Timeout, "KeWaitForSingleObject");
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    bool mutex = header->Type == MutantObject;
    // A mutex waited for without a zero time-out takes its place in the lock order.
    if (mutex && (Timeout == nullptr || Timeout->QuadPart != 0)) {
        KmLockOrderBeforeAcquire(Object, KmLockKind::Mutex, __builtin_return_address(0));
    }
    std::unique_lock<std::mutex> lock(KmGetDispatcher().Lock);
    int64_t deadline = KmpDeadlineOf(Timeout);
    for (;;) {
        if (KmpIsSignalledLocked(header, thread)) {
            NTSTATUS status = KmpSatisfyWaitLocked(header, thread);
            if (mutex) {
                KmLockOrderAcquired(Object, KmLockKind::Mutex, __builtin_return_address(0));
            }
            return status;
        }
        if (!KmpSleepUntil(lock, deadline)) {
            return STATUS_TIMEOUT;
        }
    }
}

// Waits for all (WaitAll) or any (WaitAny) of the objects; see the declaration for the statuses.
extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                             KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                             PKWAIT_BLOCK WaitBlockArray)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    km::Thread* thread = KmCurrentThread();
    KmpCheckWaitIrql(thread, Timeout, "KeWaitForMultipleObjects");
    if (Count > MAXIMUM_WAIT_OBJECTS) {
        KmBugCheck(MAXIMUM_WAIT_OBJECTS_EXCEEDED, Count, 0, 0, 0, "KeWaitForMultipleObjects on %lu objects",
                   (unsigned long)Count);
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckWaitBlockMissing, Count, 0, 0,
                   "KeWaitForMultipleObjects on %lu objects without a wait block array", (unsigned long)Count);
    }
    std::unique_lock<std::mutex> lock(KmGetDispatcher().Lock);
    int64_t deadline = KmpDeadlineOf(Timeout);
    for (;;) {
        ULONG signalled = 0;
        for (ULONG i = 0; i < Count; ++i) {
            auto* header = static_cast<DISPATCHER_HEADER*>(Object[i]);
            if (!KmpIsSignalledLocked(header, thread)) {
                continue;
            }
            if (WaitType == WaitAny) {
                return KmpSatisfyWaitLocked(header, thread) + static_cast<NTSTATUS>(i);
            }
            ++signalled;
        }
        if (WaitType == WaitAll && signalled == Count) {
            NTSTATUS status = STATUS_SUCCESS;
            for (ULONG i = 0; i < Count; ++i) {
                if (KmpSatisfyWaitLocked(static_cast<DISPATCHER_HEADER*>(Object[i]), thread) == STATUS_ABANDONED_WAIT_0) {
                    status = STATUS_ABANDONED_WAIT_0;
                }
            }
            return status;
        }
        if (!KmpSleepUntil(lock, deadline)) {
            return STATUS_TIMEOUT;
        }
    }
}

// Sleeps for the interval (relative or absolute, in model time).
extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    km::Thread* thread = KmCurrentThread();
    if (Interval == nullptr) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckModelMisuse, 0, 0, 0,
                   "KeDelayExecutionThread without an interval");
    }
    KmpCheckWaitIrql(thread, Interval, "KeDelayExecutionThread");
    std::unique_lock<std::mutex> lock(KmGetDispatcher().Lock);
    int64_t deadline = KmpDeadlineOf(Interval);
    // A relative interval counts as asked; an absolute one as what was left of it.
    LONGLONG asked = Interval->QuadPart;
    thread->DelayRequested += asked < 0 && asked != LLONG_MIN ? -asked : std::max<int64_t>(0, deadline - KmClockNow());
    while (KmpSleepUntil(lock, deadline)) {
    }
    return STATUS_SUCCESS;
}

int64_t km::DelayRequested100ns() { return KmCurrentThread()->DelayRequested; }
