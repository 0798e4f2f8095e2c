// Spin locks. The lock word holds the owning thread record's address with bit 0 set, so that the
// verifier can tell who holds a lock; other threads really spin on it. Each thread keeps the
// locks it holds with the IRQL each release must restore.
#include <thread>

#include "internal/ps.h"
#include "internal/verifier.h"
#include "internal/trap.h"

namespace {

constexpr ULONG_PTR KmpSpinLockHeldBit = 1;
// Pauses between yields while a lock is busy: the holder may be a descheduled OS thread.
constexpr unsigned KmpSpinsBeforeYield = 64;

ULONG_PTR KmpOwnerWord(km::Thread* thread) { return reinterpret_cast<ULONG_PTR>(thread) | KmpSpinLockHeldBit; }

ULONG KmpOwnerIdOf(ULONG_PTR word)
{
    auto* owner = reinterpret_cast<km::Thread*>(word & ~KmpSpinLockHeldBit);
    return owner == nullptr ? 0 : KmIdNumber(owner->UniqueThreadId);
}

// Takes the lock word for `thread` (IRQL already at DISPATCH_LEVEL or above) and records it.
void KmpTakeLock(km::Thread* thread, PKSPIN_LOCK lock, KIRQL oldIrql, KmSpinLockMode mode)
{
    ULONG_PTR mine = KmpOwnerWord(thread);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == mine) {
        KmBugCheck(SPIN_LOCK_ALREADY_OWNED, (ULONG_PTR)lock, KmIdNumber(thread->UniqueThreadId), 0, 0,
                   "thread %u acquires spin lock %p, which it already holds", KmIdNumber(thread->UniqueThreadId),
                   (void*)lock);
    }
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, mine, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) {
            if (++spins % KmpSpinsBeforeYield == 0) {
                std::this_thread::yield();
            } else {
                __builtin_ia32_pause();
            }
        }
    }
    thread->SpinLocks.push_back({lock, oldIrql, mode});
}

// Frees the lock word after checking that `thread` holds it in `mode`; answers the IRQL saved at
// acquisition. The IRQL is not changed here.
KIRQL KmpDropLock(km::Thread* thread, PKSPIN_LOCK lock, KmSpinLockMode mode, const char* routine)
{
    ULONG id = KmIdNumber(thread->UniqueThreadId);
    if (lock == nullptr) {
        KmBugCheck(SPIN_LOCK_NOT_OWNED, 0, id, 0, 0, "%s by thread %u names no spin lock", routine, id);
    }
    ULONG_PTR word = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (word != KmpOwnerWord(thread)) {
        if (word == 0) {
            KmBugCheck(SPIN_LOCK_NOT_OWNED, (ULONG_PTR)lock, id, 0, 0, "%s by thread %u: spin lock %p is not held",
                       routine, id, (void*)lock);
        }
        KmBugCheck(SPIN_LOCK_NOT_OWNED, (ULONG_PTR)lock, id, KmpOwnerIdOf(word), 0,
                   "%s by thread %u: spin lock %p is held by thread %u", routine, id, (void*)lock, KmpOwnerIdOf(word));
    }
    if (thread->Irql < DISPATCH_LEVEL) {
        KmBugCheck(IRQL_NOT_GREATER_OR_EQUAL, thread->Irql, DISPATCH_LEVEL, (ULONG_PTR)lock, 0,
                   "%s of spin lock %p at IRQL %u", routine, (void*)lock, thread->Irql);
    }
    auto held = thread->SpinLocks.end();
    do {
        if (held == thread->SpinLocks.begin()) {
            KmBugCheck(SPIN_LOCK_NOT_OWNED, (ULONG_PTR)lock, id, 0, 0,
                       "%s by thread %u: spin lock %p carries its mark but was not acquired by it", routine, id,
                       (void*)lock);
        }
        --held;
    } while (held->Lock != lock);
    if (held->Mode != mode) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckSpinLockReleaseMode, (ULONG_PTR)lock, 0, 0,
                   "%s of spin lock %p, which was acquired %s", routine, (void*)lock,
                   held->Mode == KmSpinLockMode::Queued ? "as an in-stack queued lock" : "as a plain spin lock");
    }
    KIRQL oldIrql = held->OldIrql;
    thread->SpinLocks.erase(held);
    KmLockOrderReleased(lock);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    return oldIrql;
}

// Checks that a release restores the IRQL its acquisition saved.
void KmpCheckRestoredIrql(PKSPIN_LOCK lock, KIRQL saved, KIRQL restored, const char* routine)
{
    if (saved != restored) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckSpinLockReleaseIrql, (ULONG_PTR)lock, saved, restored,
                   "%s of spin lock %p returns to IRQL %u, but the lock was acquired at IRQL %u", routine, (void*)lock,
                   restored, saved);
    }
}

}  // namespace

extern "C" void KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    KmLockOrderForget(SpinLock, sizeof(*SpinLock));
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED);
}

// Raises to DISPATCH_LEVEL and takes the lock; answers the previous IRQL for KeReleaseSpinLock.
extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    KmTrapPoint("KeAcquireSpinLockRaiseToDpc", SpinLock);
    km::Thread* thread = KmCurrentThread();
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    KmLockOrderBeforeAcquire(SpinLock, KmLockKind::SpinLock, __builtin_return_address(0));
    KmpTakeLock(thread, SpinLock, oldIrql, KmSpinLockMode::Plain);
    KmLockOrderAcquired(SpinLock, KmLockKind::SpinLock, __builtin_return_address(0));
    return oldIrql;
}

// Releases the lock and lowers to NewIrql, which must be the IRQL the acquisition returned.
extern "C" void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    KmTrapPoint("KeReleaseSpinLock", SpinLock);
    km::Thread* thread = KmCurrentThread();
    KIRQL saved = KmpDropLock(thread, SpinLock, KmSpinLockMode::Plain, "KeReleaseSpinLock");
    KmpCheckRestoredIrql(SpinLock, saved, NewIrql, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

// Takes the lock without changing IRQL; the caller must already be at DISPATCH_LEVEL or above.
extern "C" void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    KmTrapPoint("KeAcquireSpinLockAtDpcLevel", SpinLock);
    km::Thread* thread = KmCurrentThread();
    if (thread->Irql < DISPATCH_LEVEL) {
        KmBugCheck(IRQL_NOT_GREATER_OR_EQUAL, thread->Irql, DISPATCH_LEVEL, (ULONG_PTR)SpinLock, 0,
                   "KeAcquireSpinLockAtDpcLevel at IRQL %u", thread->Irql);
    }
    KmLockOrderBeforeAcquire(SpinLock, KmLockKind::SpinLock, __builtin_return_address(0));
    KmpTakeLock(thread, SpinLock, thread->Irql, KmSpinLockMode::Plain);
    KmLockOrderAcquired(SpinLock, KmLockKind::SpinLock, __builtin_return_address(0));
}

extern "C" void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    KmTrapPoint("KeReleaseSpinLockFromDpcLevel", SpinLock);
    KmpDropLock(KmCurrentThread(), SpinLock, KmSpinLockMode::Plain, "KeReleaseSpinLockFromDpcLevel");
}

// Raises to DISPATCH_LEVEL and takes the lock; the previous IRQL is kept in the caller's handle.
extern "C" void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    KmTrapPoint("KeAcquireInStackQueuedSpinLock", SpinLock);
    km::Thread* thread = KmCurrentThread();
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    KmLockOrderBeforeAcquire(SpinLock, KmLockKind::SpinLock, __builtin_return_address(0));
    KmpTakeLock(thread, SpinLock, oldIrql, KmSpinLockMode::Queued);
    KmLockOrderAcquired(SpinLock, KmLockKind::SpinLock, __builtin_return_address(0));
    LockHandle->OldIrql = oldIrql;
}

// Releases the lock named by the handle and lowers to the IRQL the handle saved.
extern "C" void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KmTrapPoint("KeReleaseInStackQueuedSpinLock", LockHandle->LockQueue.Lock);
    km::Thread* thread = KmCurrentThread();
    PKSPIN_LOCK lock = LockHandle->LockQueue.Lock;
    KIRQL saved = KmpDropLock(thread, lock, KmSpinLockMode::Queued, "KeReleaseInStackQueuedSpinLock");
    KmpCheckRestoredIrql(lock, saved, LockHandle->OldIrql, "KeReleaseInStackQueuedSpinLock");
    KeLowerIrql(LockHandle->OldIrql);
}
