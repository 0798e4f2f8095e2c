// AFastMutex: a fast mutex (not recursive, held at APC_LEVEL) embedded in a holder.
#include "base/locks.h"

NTSTATUS AFastMutex_Init(AFastMutex* holder)
{
    if (holder == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(holder, sizeof(*holder));
    if (MmIsNonPagedSystemAddressValid(holder)) {
        holder->mutex = &holder->inlineMutex;
    } else {
        holder->mutex =
            static_cast<PFAST_MUTEX>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FAST_MUTEX), LockPoolTag));
        if (holder->mutex == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ExInitializeFastMutex(holder->mutex);
    return STATUS_SUCCESS;
}

HOST_PAGED
void AFastMutex_Acquire(AFastMutex* holder)
{
    PAGED_CODE();
    if (holder == nullptr || holder->mutex == nullptr) {
        return;
    }
    ExAcquireFastMutex(holder->mutex);
}

HOST_PAGED
void AFastMutex_Release(AFastMutex* holder)
{
    PAGED_CODE();
    if (holder == nullptr || holder->mutex == nullptr) {
        return;
    }
    ExReleaseFastMutex(holder->mutex);
}

void AFastMutex_Free(AFastMutex* holder)
{
    if (holder == nullptr || holder->mutex == nullptr) {
        return;
    }
    if (holder->mutex != &holder->inlineMutex) {
        ExFreePoolWithTag(holder->mutex, 0);
    }
    holder->mutex = nullptr;
}
