// The host's pool routines, handed out by command 22 so that a filter module can allocate and free
// through the host, which is never unloaded. Each has exactly the parameters and result of the
// kernel routine it serves, and works at the IRQL that routine allows.
#pragma once

#include "base/platform.h"

extern "C" {

PVOID NTAPI HostPoolAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
PVOID NTAPI HostPoolAllocateWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI HostPoolAllocateWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI HostPoolAllocateWithTagPriority(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                            EX_POOL_PRIORITY Priority);
// ExFreePoolWithTag(P, 0).
void NTAPI HostPoolFree(PVOID P);
// ExFreePoolWithTag(P, Tag) through HostGlobals.CachedFreePoolWithTag, which is taken from the
// RoutineTable on first use; without a RoutineTable entry, the directly linked routine.
void NTAPI HostPoolFreeWithTag(PVOID P, ULONG Tag);

}  // extern "C"
