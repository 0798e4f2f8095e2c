// AMutex: a kernel mutex (recursive for its owner) embedded in a holder.
#include "base/locks.h"

NTSTATUS AMutex_Init(AMutex* holder)
{
    if (holder == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(holder, sizeof(*holder));
    if (MmIsNonPagedSystemAddressValid(holder)) {
        holder->mutex = &holder->inlineMutex;
    } else {
        holder->mutex = static_cast<PKMUTEX>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KMUTEX), LockPoolTag));
        if (holder->mutex == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    KeInitializeMutex(holder->mutex, 0);
    return STATUS_SUCCESS;
}

BOOLEAN AMutex_Wait(AMutex* holder, ULONG timeoutMs)
{
    if (holder == nullptr || holder->mutex == nullptr) {
        return FALSE;
    }
    // 0 ms polls; UnboundedWaitMs gives about 49.7 days, never an infinite wait.
    LARGE_INTEGER timeout;
    timeout.QuadPart = static_cast<LONGLONG>(static_cast<ULONGLONG>(timeoutMs)) * RelativeTimePerMs;
    NTSTATUS status = KeWaitForSingleObject(holder->mutex, Executive, KernelMode, FALSE, &timeout);
    // An abandoned mutex (STATUS_ABANDONED_WAIT_0) is owned all the same.
    if (!NT_SUCCESS(status) || status == STATUS_TIMEOUT || status == STATUS_ALERTED || status == STATUS_USER_APC) {
        return FALSE;
    }
    return TRUE;
}

void AMutex_Release(AMutex* holder)
{
    if (holder == nullptr || holder->mutex == nullptr) {
        return;
    }
    KeReleaseMutex(holder->mutex, FALSE);
}

void AMutex_Free(AMutex* holder)
{
    if (holder == nullptr || holder->mutex == nullptr) {
        return;
    }
    if (holder->mutex != &holder->inlineMutex) {
        ExFreePoolWithTag(holder->mutex, 0);
    }
    holder->mutex = nullptr;
}
