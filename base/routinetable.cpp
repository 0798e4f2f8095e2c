// RoutineTable and BaseInit.
#include "base/routinetable.h"

#include "base/asimpleresource.h"
#include "base/locks.h"

OptionalRoutineTable RoutineTable = {nullptr, nullptr, nullptr};

// Answers the kernel's routine of the given name, or null when the running kernel lacks it.
HOST_PAGED
static PVOID BaseLookUpRoutine(PCWSTR name)
{
    PAGED_CODE();
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, name);
    return MmGetSystemRoutineAddress(&routineName);
}

HOST_INIT
NTSTATUS BaseInit(void)
{
    PAGED_CODE();
    RoutineTable.acquireInStackQueuedSpinLock = reinterpret_cast<AcquireInStackQueuedSpinLockRoutine>(
        BaseLookUpRoutine(HOST_TEXT("KeAcquireInStackQueuedSpinLock")));
    RoutineTable.releaseInStackQueuedSpinLock = reinterpret_cast<ReleaseInStackQueuedSpinLockRoutine>(
        BaseLookUpRoutine(HOST_TEXT("KeReleaseInStackQueuedSpinLock")));
    RoutineTable.freePoolWithTag =
        reinterpret_cast<FreePoolWithTagRoutine>(BaseLookUpRoutine(HOST_TEXT("ExFreePoolWithTag")));

    // The first ASpinLock_Init of the system: it settles the queued-lock cache for good.
    ASpinLock_Init(&OwnerLock);
    return STATUS_SUCCESS;
}
