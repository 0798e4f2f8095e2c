// Fast mutexes. Count is 1 (FM_LOCK_BIT) while the mutex is free; each acquirer decrements it and
// one that does not reach 0 waits on the synchronization event, which the releaser sets when
// waiters remain, handing the mutex to one of them. Holding a fast mutex keeps the thread at
// APC_LEVEL; it is not recursive.
#include "internal/ke.h"
#include "internal/verifier.h"
#include "internal/trap.h"

namespace {

PVOID KmpOwnerOf(PFAST_MUTEX mutex) { return __atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED); }

// Acquisition is legal at IRQL <= APC_LEVEL, and not by the thread that already owns the mutex.
void KmpCheckAcquire(km::Thread* thread, PFAST_MUTEX mutex, const char* routine)
{
    if (thread->Irql > APC_LEVEL) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, thread->Irql, APC_LEVEL, (ULONG_PTR)mutex, 0, "%s at IRQL %u", routine,
                   thread->Irql);
    }
    if (KmpOwnerOf(mutex) == thread) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckFastMutexRecursion, (ULONG_PTR)mutex, 0, 0,
                   "%s: thread %u already owns fast mutex %p (fast mutexes are not recursive)", routine,
                   KmIdNumber(thread->UniqueThreadId), (void*)mutex);
    }
}

// The acquirer now owns the mutex.
void KmpTakeOwnership(km::Thread* thread, PFAST_MUTEX mutex, KIRQL oldIrql)
{
    __atomic_store_n(&mutex->Owner, static_cast<PVOID>(thread), __ATOMIC_RELAXED);
    mutex->OldIrql = oldIrql;
    thread->FastMutexesHeld += 1;
}

}  // namespace

extern "C" void ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    KmLockOrderForget(FastMutex, sizeof(*FastMutex));
    FastMutex->Count = FM_LOCK_BIT;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = PASSIVE_LEVEL;
}

// Raises to APC_LEVEL and takes the mutex, waiting while another thread owns it.
extern "C" void ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    KmTrapPoint("ExAcquireFastMutex", FastMutex);
    km::Thread* thread = KmCurrentThread();
    KmpCheckAcquire(thread, FastMutex, "ExAcquireFastMutex");
    KmLockOrderBeforeAcquire(FastMutex, KmLockKind::FastMutex, __builtin_return_address(0));
    KIRQL oldIrql;
    KeRaiseIrql(APC_LEVEL, &oldIrql);
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        __atomic_fetch_add(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
        KeWaitForSingleObject(&FastMutex->Event, WrExecutive, KernelMode, FALSE, nullptr);
    }
    KmpTakeOwnership(thread, FastMutex, oldIrql);
    KmLockOrderAcquired(FastMutex, KmLockKind::FastMutex, __builtin_return_address(0));
}

// Takes the mutex only if it is free; answers whether it did. Raises to APC_LEVEL on success.
extern "C" BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    km::Thread* thread = KmCurrentThread();
    if (thread->Irql > APC_LEVEL) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, thread->Irql, APC_LEVEL, (ULONG_PTR)FastMutex, 0,
                   "ExTryToAcquireFastMutex at IRQL %u", thread->Irql);
    }
    KIRQL oldIrql;
    KeRaiseIrql(APC_LEVEL, &oldIrql);
    if (InterlockedCompareExchange(&FastMutex->Count, 0, FM_LOCK_BIT) != FM_LOCK_BIT) {
        KeLowerIrql(oldIrql);
        return FALSE;
    }
    KmpTakeOwnership(thread, FastMutex, oldIrql);
    KmLockOrderAcquired(FastMutex, KmLockKind::FastMutex, __builtin_return_address(0));
    return TRUE;
}

// Releases the mutex (owner only, at APC_LEVEL) and returns to the IRQL saved by the acquisition.
extern "C" void ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    KmTrapPoint("ExReleaseFastMutex", FastMutex);
    km::Thread* thread = KmCurrentThread();
    ULONG id = KmIdNumber(thread->UniqueThreadId);
    if (KmpOwnerOf(FastMutex) != thread) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckFastMutexNotOwner, (ULONG_PTR)FastMutex,
                   (ULONG_PTR)KmpOwnerOf(FastMutex), 0,
                   "ExReleaseFastMutex of fast mutex %p by thread %u, which does not own it", (void*)FastMutex, id);
    }
    if (thread->Irql != APC_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckFastMutexReleaseIrql, (ULONG_PTR)FastMutex,
                   thread->Irql, 0, "ExReleaseFastMutex of fast mutex %p at IRQL %u instead of APC_LEVEL",
                   (void*)FastMutex, thread->Irql);
    }
    KIRQL oldIrql = (KIRQL)FastMutex->OldIrql;
    __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_RELAXED);
    thread->FastMutexesHeld -= 1;
    KmLockOrderReleased(FastMutex);
    if (InterlockedIncrement(&FastMutex->Count) != FM_LOCK_BIT) {
        KeSetEvent(&FastMutex->Event, EVENT_INCREMENT, FALSE);
    }
    KeLowerIrql(oldIrql);
}
