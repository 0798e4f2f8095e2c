// ASpinLock: a spin lock that is queued in-stack when the running kernel offers the queued
// routines, and plain otherwise. The choice is made once, by the first ASpinLock_Init.
#include "base/locks.h"
#include "base/routinetable.h"

namespace {

// Value of a cache slot that has not been looked up yet: the 32-bit all-ones pattern.
constexpr ULONG_PTR NotLookedUp = 0xFFFFFFFF;

// The (acquire, release) pair of in-stack queued spin lock routines. Each slot is NotLookedUp
// until the first ASpinLock_Init, then either both hold the kernel's routines or both are null.
struct QueuedLockRoutineCache {
    AcquireInStackQueuedSpinLockRoutine acquire;
    ReleaseInStackQueuedSpinLockRoutine release;
};

QueuedLockRoutineCache QueuedLockRoutines = {
    (AcquireInStackQueuedSpinLockRoutine)NotLookedUp,
    (ReleaseInStackQueuedSpinLockRoutine)NotLookedUp,
};

// Fills the cache from RoutineTable on its first use; later calls change nothing. A kernel that
// has only one routine of the pair gets neither, so an acquire and its release always agree.
void ASpinLockUpdateQueuedRoutines()
{
    if ((ULONG_PTR)QueuedLockRoutines.acquire == NotLookedUp) {
        QueuedLockRoutines.acquire = RoutineTable.acquireInStackQueuedSpinLock;
    }
    if ((ULONG_PTR)QueuedLockRoutines.release == NotLookedUp) {
        QueuedLockRoutines.release = RoutineTable.releaseInStackQueuedSpinLock;
        if (QueuedLockRoutines.acquire == nullptr || QueuedLockRoutines.release == nullptr) {
            QueuedLockRoutines.acquire = nullptr;
            QueuedLockRoutines.release = nullptr;
        }
    }
}

}  // namespace

BOOLEAN ASpinLock_Init(ASpinLock* holder)
{
    ASpinLockUpdateQueuedRoutines();
    if (holder == nullptr) {
        return FALSE;
    }
    holder->lock = 0;
    return TRUE;
}

void ASpinLock_Acquire(ASpinLock* holder, PKLOCK_QUEUE_HANDLE queueHandle)
{
    if (holder == nullptr) {
        return;
    }
    if (QueuedLockRoutines.acquire != nullptr && queueHandle != nullptr) {
        QueuedLockRoutines.acquire(&holder->lock, queueHandle);
    } else {
        holder->savedIrql = KeAcquireSpinLockRaiseToDpc(&holder->lock);
    }
}

void ASpinLock_Release(ASpinLock* holder, PKLOCK_QUEUE_HANDLE queueHandle)
{
    if (holder == nullptr) {
        return;
    }
    if (QueuedLockRoutines.release != nullptr && queueHandle != nullptr) {
        QueuedLockRoutines.release(queueHandle);
    } else {
        KeReleaseSpinLock(&holder->lock, holder->savedIrql);
    }
}
