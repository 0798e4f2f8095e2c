// ASimpleResource: recursive reader/writer lock with per-thread shared holds.
#include "base/asimpleresource.h"

#include "diag/eventlog.h"

ASpinLock OwnerLock = {0, 0};

namespace {

// Pause of a writer between two looks at the reader count.
constexpr LONGLONG ResourcePollIntervalMs = 1;

// Wait time-out of both acquires: without limit where the caller may wait, a poll at
// DISPATCH_LEVEL and above.
ULONG ResourceTimeoutForIrql()
{
    return KeGetCurrentIrql() < DISPATCH_LEVEL ? UnboundedWaitMs : 0;
}

// The owner is written under OwnerLock and read without it: a thread compares it with its own id,
// which only that thread can have stored. Both sides are interlocked so that the read is whole.
HANDLE ResourceOwner(ASimpleResource* resource)
{
    return InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&resource->owner), nullptr, nullptr);
}

void ResourceSetOwner(ASimpleResource* resource, HANDLE owner)
{
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&OwnerLock, &queueHandle);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&resource->owner), owner);
    ASpinLock_Release(&OwnerLock, &queueHandle);
}

// Adds (delta 1) or removes (delta -1) one shared hold to the count.
void ResourceCountShared(ASimpleResource* resource, LONG delta)
{
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&resource->stateLock, &queueHandle);
    resource->sharedCount += static_cast<ULONG>(delta);
    ASpinLock_Release(&resource->stateLock, &queueHandle);
}

// Records a shared hold of `self` in a free slot of the resource when the thread has no slot yet.
// TRUE when recorded; FALSE when it has one or every slot is taken (the hold then needs a table
// entry). stateLock held.
BOOLEAN ResourceClaimInlineSlot(ASimpleResource* resource, HANDLE self)
{
    ULONG freeSlot = ResourceInlineHolders;
    for (ULONG slot = 0; slot < ResourceInlineHolders; slot++) {
        if (resource->inlineHolders[slot] == self) {
            return FALSE;
        }
        if (resource->inlineHolders[slot] == nullptr && freeSlot == ResourceInlineHolders) {
            freeSlot = slot;
        }
    }
    if (freeSlot == ResourceInlineHolders) {
        return FALSE;
    }
    resource->inlineHolders[freeSlot] = self;
    return TRUE;
}

// Whether `self` has a slot; with `release`, the slot is given back. stateLock held.
BOOLEAN ResourceFindInlineSlot(ASimpleResource* resource, HANDLE self, BOOLEAN release)
{
    for (ULONG slot = 0; slot < ResourceInlineHolders; slot++) {
        if (resource->inlineHolders[slot] == self) {
            if (release) {
                resource->inlineHolders[slot] = nullptr;
            }
            return TRUE;
        }
    }
    return FALSE;
}

// Waits about one millisecond. Below DISPATCH_LEVEL only.
void ResourcePause()
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER interval;
    interval.QuadPart = ResourcePollIntervalMs * RelativeTimePerMs;
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &interval);
}

}  // namespace

NTSTATUS ASimpleResource_Init(ASimpleResource* resource)
{
    if (resource == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(resource, sizeof(*resource));
    NTSTATUS status = AMutex_Init(&resource->gateMutex);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = AHashTable_Create(&resource->threadTable, ResourceThreadTableBuckets, ResourceThreadTablePayload);
    if (!NT_SUCCESS(status)) {
        AMutex_Free(&resource->gateMutex);
        return status;
    }
    ASpinLock_Init(&resource->stateLock);
    return STATUS_SUCCESS;
}

void ASimpleResource_Destroy(ASimpleResource* resource)
{
    if (resource == nullptr) {
        return;
    }
    AMutex_Free(&resource->gateMutex);
    AHashTable_Destroy(resource->threadTable);
}

BOOLEAN ASimpleResource_AcquireShared(ASimpleResource* resource)
{
    HANDLE self = PsGetCurrentThreadId();
    if (resource == nullptr) {
        return FALSE;
    }

    // Decide under stateLock: no writer, or the writer is the caller: count at once. Another
    // writer: a thread already recorded as a shared holder (in a slot or the table) is admitted,
    // a table entry taking a reference for the new hold; anyone else waits for the writer to
    // leave. An admitted thread with no slot yet records the hold in a free slot.
    BOOLEAN mustWait = FALSE;
    BOOLEAN recorded = FALSE;
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&resource->stateLock, &queueHandle);
    if (resource->exclusiveDepth == 0 || ResourceOwner(resource) == self) {
        resource->sharedCount += 1;
        recorded = ResourceClaimInlineSlot(resource, self);
    } else {
        // The lookup's reference becomes the reference of this hold.
        auto* holds = static_cast<PUCHAR>(AHashTable_Lookup(resource->threadTable, reinterpret_cast<ULONGLONG>(self)));
        if (holds != nullptr) {
            *holds += 1;
            resource->sharedCount += 1;
            recorded = TRUE;
        } else if (ResourceFindInlineSlot(resource, self, FALSE)) {
            resource->sharedCount += 1;
        } else {
            mustWait = TRUE;
        }
    }
    ASpinLock_Release(&resource->stateLock, &queueHandle);

    if (mustWait) {
        // gateMutex is free only when no writer holds or awaits the resource.
        if (!AMutex_Wait(&resource->gateMutex, ResourceTimeoutForIrql())) {
            return FALSE;
        }
        ASpinLock_Acquire(&resource->stateLock, &queueHandle);
        resource->sharedCount += 1;
        recorded = ResourceClaimInlineSlot(resource, self);
        ASpinLock_Release(&resource->stateLock, &queueHandle);
        AMutex_Release(&resource->gateMutex);
    }
    if (recorded) {
        return TRUE;
    }

    PVOID holds = AHashTable_AllocEntry(resource->threadTable);
    if (holds != nullptr) {
        *static_cast<PUCHAR>(holds) = 0;
        if (AHashTable_Insert(resource->threadTable, reinterpret_cast<ULONGLONG>(self), holds)) {
            return TRUE;
        }
        AHashTable_Release(resource->threadTable, holds);
    }
    ResourceCountShared(resource, -1);
    return FALSE;
}

void ASimpleResource_ReleaseShared(ASimpleResource* resource)
{
    if (resource == nullptr) {
        return;
    }
    HANDLE self = PsGetCurrentThreadId();
    // A hold recorded in a slot goes with the count, under one stateLock hold. Which of a
    // thread's records goes first does not matter: only their sum is its number of holds.
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&resource->stateLock, &queueHandle);
    BOOLEAN inSlot = ResourceFindInlineSlot(resource, self, TRUE);
    if (inSlot) {
        resource->sharedCount -= 1;
    }
    ASpinLock_Release(&resource->stateLock, &queueHandle);
    if (inSlot) {
        // Wakes nobody: a pending writer sees the change at its next poll.
        return;
    }
    auto* holds = static_cast<PUCHAR>(AHashTable_Lookup(resource->threadTable, reinterpret_cast<ULONGLONG>(self)));
    if (holds == nullptr) {
        // Every shared hold is recorded, so the caller holds none: counting it down would let a
        // writer in beside a live reader. Ignored, as a non-owner's exclusive release is.
        (void)ReportEvent(EventLockMisuse, EventSourceHost, __LINE__, FALSE, "%p", resource);
        HOST_VERIFIER_STOP(RESOURCE_NOT_OWNED, resource, self, 0, 0);
        return;
    }
    // Drop the lookup's reference and the reference of the hold.
    *holds -= 1;
    AHashTable_Release(resource->threadTable, holds);
    AHashTable_Release(resource->threadTable, holds);
    ResourceCountShared(resource, -1);
}

BOOLEAN ASimpleResource_AcquireExclusive(ASimpleResource* resource)
{
    if (resource == nullptr) {
        return FALSE;
    }
    HANDLE self = PsGetCurrentThreadId();
    ULONG timeoutMs = ResourceTimeoutForIrql();
    AStopwatch stopwatch;
    LARGE_INTEGER frequency;
    stopwatch.start = KeQueryPerformanceCounter(&frequency).QuadPart;
    stopwatch.end = 0;
    stopwatch.frequency = frequency.QuadPart;

    // Passes at once for the owner: the mutex is recursive for it.
    if (!AMutex_Wait(&resource->gateMutex, timeoutMs)) {
        return FALSE;
    }
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&resource->stateLock, &queueHandle);
    resource->pendingExclusive += 1;
    ASpinLock_Release(&resource->stateLock, &queueHandle);

    // Pending: wait for the shared holders to leave.
    for (;;) {
        BOOLEAN granted = FALSE;
        ASpinLock_Acquire(&resource->stateLock, &queueHandle);
        if (resource->sharedCount == 0) {
            resource->exclusiveDepth += resource->pendingExclusive;
            resource->pendingExclusive = 0;
            granted = TRUE;
        }
        ASpinLock_Release(&resource->stateLock, &queueHandle);
        if (granted) {
            ResourceSetOwner(resource, self);
            return TRUE;  // still owning gateMutex
        }

        if (timeoutMs != UnboundedWaitMs) {
            // At DISPATCH_LEVEL: no pause, and give up after the first whole millisecond.
            if (AStopwatch_ElapsedMs(&stopwatch) > timeoutMs) {
                ASpinLock_Acquire(&resource->stateLock, &queueHandle);
                resource->exclusiveDepth += resource->pendingExclusive - 1;
                resource->pendingExclusive = 0;
                ASpinLock_Release(&resource->stateLock, &queueHandle);
                AMutex_Release(&resource->gateMutex);
                return FALSE;
            }
        } else {
            ResourcePause();
        }
    }
}

void ASimpleResource_ReleaseExclusive(ASimpleResource* resource)
{
    if (resource == nullptr || ResourceOwner(resource) != PsGetCurrentThreadId()) {
        return;
    }
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&resource->stateLock, &queueHandle);
    resource->exclusiveDepth -= 1;
    ULONG depth = resource->exclusiveDepth;
    ASpinLock_Release(&resource->stateLock, &queueHandle);

    if (depth == 0) {
        ResourceSetOwner(resource, nullptr);
    }
    AMutex_Release(&resource->gateMutex);
}
