// The host's pool routines and GetPoolRoutines, which hands them out.
#include "base/routinetable.h"
#include "driver/driver.h"

namespace {

// The ExFreePoolWithTag that HostPoolFreeWithTag calls: taken once from the RoutineTable, null
// when the running kernel's table has none. Two first users may race; both store the same value.
FreePoolWithTagRoutine PoolCachedFreeRoutine()
{
    auto* slot = reinterpret_cast<PVOID volatile*>(&HostGlobals.CachedFreePoolWithTag);
    PVOID cached = InterlockedCompareExchangePointer(slot, nullptr, nullptr);
    if (reinterpret_cast<ULONG_PTR>(cached) == FreePoolRoutineNotTaken) {
        PVOID taken = reinterpret_cast<PVOID>(RoutineTable.freePoolWithTag);
        InterlockedCompareExchangePointer(slot, taken, reinterpret_cast<PVOID>(FreePoolRoutineNotTaken));
        cached = taken;
    }
    return reinterpret_cast<FreePoolWithTagRoutine>(cached);
}

}  // namespace

PVOID NTAPI HostPoolAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePool(PoolType, NumberOfBytes);
}

PVOID NTAPI HostPoolAllocateWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag);
}

PVOID NTAPI HostPoolAllocateWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return ExAllocatePoolWithQuotaTag(PoolType, NumberOfBytes, Tag);
}

PVOID NTAPI HostPoolAllocateWithTagPriority(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                            EX_POOL_PRIORITY Priority)
{
    return ExAllocatePoolWithTagPriority(PoolType, NumberOfBytes, Tag, Priority);
}

void NTAPI HostPoolFree(PVOID P)
{
    ExFreePoolWithTag(P, 0);
}

void NTAPI HostPoolFreeWithTag(PVOID P, ULONG Tag)
{
    FreePoolWithTagRoutine freeRoutine = PoolCachedFreeRoutine();
    if (freeRoutine == nullptr) {
        ExFreePoolWithTag(P, Tag);
        return;
    }
    freeRoutine(P, Tag);
}

NTSTATUS GetPoolRoutines(ControlRequest* Request, ControlReply* Reply)
{
    UNREFERENCED_PARAMETER(Request);
    auto* reply = reinterpret_cast<PoolRoutinesReply*>(Reply);
    reply->Routines[PoolRoutineAllocate] = reinterpret_cast<ULONG_PTR>(&HostPoolAllocate);
    reply->Routines[PoolRoutineAllocateWithTag] = reinterpret_cast<ULONG_PTR>(&HostPoolAllocateWithTag);
    reply->Routines[PoolRoutineAllocateWithQuotaTag] = reinterpret_cast<ULONG_PTR>(&HostPoolAllocateWithQuotaTag);
    reply->Routines[PoolRoutineAllocateWithTagPriority] =
        reinterpret_cast<ULONG_PTR>(&HostPoolAllocateWithTagPriority);
    reply->Routines[PoolRoutineFree] = reinterpret_cast<ULONG_PTR>(&HostPoolFree);
    reply->Routines[PoolRoutineFreeWithTag] = reinterpret_cast<ULONG_PTR>(&HostPoolFreeWithTag);
    reply->Header.Status = STATUS_SUCCESS;
    reply->Header.ReplySize = POOL_ROUTINES_REPLY_BYTES;
    return STATUS_SUCCESS;
}
