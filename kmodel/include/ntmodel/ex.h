// Executive support (Ex): pool, fast mutexes, status raising; the list and interlocked helpers
// that wdm.h provides inline.
#pragma once

#include <cstdarg>
#include <cstring>

#include "ke.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolNx = 512,
} POOL_TYPE;

typedef enum _EX_POOL_PRIORITY {
    LowPoolPriority = 0,
    LowPoolPrioritySpecialPoolOverrun = 8,
    LowPoolPrioritySpecialPoolUnderrun = 9,
    NormalPoolPriority = 16,
    NormalPoolPrioritySpecialPoolOverrun = 24,
    NormalPoolPrioritySpecialPoolUnderrun = 25,
    HighPoolPriority = 32,
    HighPoolPrioritySpecialPoolOverrun = 40,
    HighPoolPrioritySpecialPoolUnderrun = 41,
} EX_POOL_PRIORITY;

typedef struct _FAST_MUTEX {
    volatile LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;
static_assert(sizeof(FAST_MUTEX) == 56, "x64 layout");
static_assert(offsetof(FAST_MUTEX, Event) == 24, "x64 layout");

typedef ULONG_PTR ERESOURCE_THREAD;
typedef struct _OWNER_ENTRY {
    ERESOURCE_THREAD OwnerThread;
    ULONG TableSize;
} OWNER_ENTRY, *POWNER_ENTRY;

// An executive resource: shared or exclusive, recursive for its owners. The model keeps the
// owners in its own record; the fields are those of Windows for their size and offsets.
typedef struct _ERESOURCE {
    LIST_ENTRY SystemResourcesList;
    POWNER_ENTRY OwnerTable;
    SHORT ActiveCount;
    USHORT Flag;
    PVOID SharedWaiters;
    PKEVENT ExclusiveWaiters;
    OWNER_ENTRY OwnerEntry;
    ULONG ActiveEntries;
    ULONG ContentionCount;
    ULONG NumberOfSharedWaiters;
    ULONG NumberOfExclusiveWaiters;
    PVOID Reserved2;
    PVOID Address;
    KSPIN_LOCK SpinLock;
} ERESOURCE, *PERESOURCE;
static_assert(sizeof(ERESOURCE) == 0x68, "x64 layout");
static_assert(offsetof(ERESOURCE, OwnerEntry) == 0x30, "x64 layout");

#define FM_LOCK_BIT 0x1

// Pool type flags.
#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16

extern "C" {

// Pool. Paged pool may be touched only below DISPATCH_LEVEL; every block carries its type, tag
// and size, and freeing checks them.
NTSYSAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTSYSAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTSYSAPI PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTSYSAPI PVOID NTAPI ExAllocatePoolWithTagPriority(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                                   EX_POOL_PRIORITY Priority);
NTSYSAPI void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTSYSAPI void NTAPI ExFreePool(PVOID P);

// Fast mutexes: not recursive; acquiring raises to APC_LEVEL.
NTSYSAPI void NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);

// Executive resources. Acquiring is legal at IRQL <= APC_LEVEL and, below APC_LEVEL, only inside
// a critical region (KeEnterCriticalRegion); Wait FALSE answers FALSE instead of waiting. A
// thread may acquire again what it holds, except exclusive over its own shared hold (a deadlock
// on Windows, a bug check here). Each acquisition is released by ExReleaseResourceLite on the
// owning thread; releasing what the thread does not hold is RESOURCE_NOT_OWNED. A resource is
// deleted (not owned) before its memory goes; one left initialized is reported as a leak.
NTSYSAPI NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource);
NTSYSAPI NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource);
NTSYSAPI BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
NTSYSAPI BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
NTSYSAPI void FASTCALL ExReleaseResourceLite(PERESOURCE Resource);
NTSYSAPI BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);
// How many times the calling thread holds the resource (shared or exclusive); 0 when not.
NTSYSAPI ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource);
// Critical regions: normal kernel APCs are held off between the calls, which nest.
NTSYSAPI void NTAPI KeEnterCriticalRegion(void);
NTSYSAPI void NTAPI KeLeaveCriticalRegion(void);
NTSYSAPI void FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTSYSAPI void FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTSYSAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

// Raises a status to the innermost exception guard of the calling thread (see platform.h).
DECLSPEC_NORETURN NTSYSAPI void NTAPI ExRaiseStatus(NTSTATUS Status);

// Components and levels of the kernel debugger's output (dpfilter.h).
#define DPFLTR_IHVDRIVER_ID 77u
#define DPFLTR_DEFAULT_ID 101u
#define DPFLTR_ERROR_LEVEL 0u
#define DPFLTR_WARNING_LEVEL 1u
#define DPFLTR_TRACE_LEVEL 2u
#define DPFLTR_INFO_LEVEL 3u

// The kernel debugger's output. DbgPrintEx and vDbgPrintEx carry the caller's component and
// level (dpfilter.h); DbgPrint is component DPFLTR_DEFAULT_ID at level DPFLTR_INFO_LEVEL.
NTSYSAPI ULONG __cdecl DbgPrint(PCSTR Format, ...);
NTSYSAPI ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
NTSYSAPI ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist);

}  // extern "C"

// Doubly linked lists, as wdm.h defines them inline.
FORCEINLINE void InitializeListHead(PLIST_ENTRY ListHead) { ListHead->Flink = ListHead->Blink = ListHead; }
FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) { return ListHead->Flink == ListHead; }
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY Flink = Entry->Flink;
    PLIST_ENTRY Blink = Entry->Blink;
    if (Flink->Blink != Entry || Blink->Flink != Entry) {
        KeBugCheckEx(0x139 /* KERNEL_SECURITY_CHECK_FAILURE */, 3, (ULONG_PTR)Entry, 0, 0);
    }
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return Flink == Blink;
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Flink;
    RemoveEntryList(Entry);
    return Entry;
}
FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Blink;
    RemoveEntryList(Entry);
    return Entry;
}
FORCEINLINE void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY Flink = ListHead->Flink;
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}
FORCEINLINE void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY Blink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}

// Memory helpers, as wdm.h defines them.
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))

// Interlocked operations with full barriers, as on x64.
FORCEINLINE LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE LONG InterlockedOr(LONG volatile* Destination, LONG Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedAnd(LONG volatile* Destination, LONG Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONGLONG InterlockedIncrement64(LONGLONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONGLONG InterlockedExchange64(LONGLONG volatile* Target, LONGLONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONGLONG InterlockedCompareExchange64(LONGLONG volatile* Destination, LONGLONG Exchange, LONGLONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
// Reads with acquire semantics, for fields that other processors write under a lock.
FORCEINLINE LONG ReadAcquire(LONG const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
FORCEINLINE void WriteRelease(LONG volatile* Destination, LONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

// ---- Interlocked singly linked lists and lookaside lists ---------------------------------------
// An SLIST_HEADER keeps its depth in the low 16 bits of Alignment, as on x64 (ExQueryDepthSList);
// the model keeps the first entry in Region. Lookaside lists are laid out as the DDK's; their
// allocate and free are inline, as in wdm.h, over the exported list operations. A list is deleted
// before its memory goes: one left at the unload of the driver that initialized it is a bug check.
typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY, SLIST_ENTRY, *PSLIST_ENTRY;

typedef union alignas(16) _SLIST_HEADER {
    struct {
        ULONGLONG Alignment;
        ULONGLONG Region;
    };
} SLIST_HEADER, *PSLIST_HEADER;
static_assert(sizeof(SLIST_HEADER) == 16, "x64 layout");

typedef PVOID(NTAPI* PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef void(NTAPI* PFREE_FUNCTION)(PVOID Buffer);
typedef struct _LOOKASIDE_LIST_EX* PLOOKASIDE_LIST_EX;
typedef PVOID(NTAPI* PALLOCATE_FUNCTION_EX)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                            PLOOKASIDE_LIST_EX Lookaside);
typedef void(NTAPI* PFREE_FUNCTION_EX)(PVOID Buffer, PLOOKASIDE_LIST_EX Lookaside);

#define KM_GENERAL_LOOKASIDE_LAYOUT    \
    union {                            \
        SLIST_HEADER ListHead;         \
        SINGLE_LIST_ENTRY SingleListHead; \
    };                                 \
    USHORT Depth;                      \
    USHORT MaximumDepth;               \
    ULONG TotalAllocates;              \
    union {                            \
        ULONG AllocateMisses;          \
        ULONG AllocateHits;            \
    };                                 \
    ULONG TotalFrees;                  \
    union {                            \
        ULONG FreeMisses;              \
        ULONG FreeHits;                \
    };                                 \
    POOL_TYPE Type;                    \
    ULONG Tag;                         \
    ULONG Size;                        \
    union {                            \
        PALLOCATE_FUNCTION_EX AllocateEx; \
        PALLOCATE_FUNCTION Allocate;   \
    };                                 \
    union {                            \
        PFREE_FUNCTION_EX FreeEx;      \
        PFREE_FUNCTION Free;           \
    };                                 \
    LIST_ENTRY ListEntry;              \
    ULONG LastTotalAllocates;          \
    union {                            \
        ULONG LastAllocateMisses;      \
        ULONG LastAllocateHits;        \
    };                                 \
    ULONG Future[2];

typedef struct alignas(64) _GENERAL_LOOKASIDE {
    KM_GENERAL_LOOKASIDE_LAYOUT
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;
typedef struct _GENERAL_LOOKASIDE_POOL {
    KM_GENERAL_LOOKASIDE_LAYOUT
} GENERAL_LOOKASIDE_POOL, *PGENERAL_LOOKASIDE_POOL;
#undef KM_GENERAL_LOOKASIDE_LAYOUT
static_assert(sizeof(GENERAL_LOOKASIDE) == 0x80, "x64 layout");
static_assert(sizeof(GENERAL_LOOKASIDE_POOL) == 0x60, "x64 layout");
static_assert(offsetof(GENERAL_LOOKASIDE, Allocate) == 0x30, "x64 layout");

typedef struct _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;
typedef struct _PAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;
typedef struct _LOOKASIDE_LIST_EX {
    GENERAL_LOOKASIDE_POOL L;
} LOOKASIDE_LIST_EX;

#define POOL_NX_ALLOCATION 512
#define EX_LOOKASIDE_LIST_EX_FLAGS_RAISE_ON_FAIL 0x00000001UL
#define EX_LOOKASIDE_LIST_EX_FLAGS_FAIL_NO_RAISE 0x00000002UL

extern "C" {

// The interlocked list operations (any IRQL); each answers the previous first entry.
NTSYSAPI PSLIST_ENTRY FASTCALL ExpInterlockedPopEntrySList(PSLIST_HEADER ListHead);
NTSYSAPI PSLIST_ENTRY FASTCALL ExpInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry);
NTSYSAPI PSLIST_ENTRY FASTCALL ExpInterlockedFlushSList(PSLIST_HEADER ListHead);

// Null Allocate and Free stand for ExAllocatePoolWithTag and ExFreePool. Flags are pool type
// flags (POOL_NX_ALLOCATION, POOL_RAISE_IF_ALLOCATION_FAILURE). IRQL <= DISPATCH_LEVEL (paged:
// APC_LEVEL).
NTSYSAPI void NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                    PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                    USHORT Depth);
NTSYSAPI void NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTSYSAPI void NTAPI ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                   PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                   USHORT Depth);
NTSYSAPI void NTAPI ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
// STATUS_INVALID_PARAMETER_MIX for both raise flags together.
NTSYSAPI NTSTATUS NTAPI ExInitializeLookasideListEx(PLOOKASIDE_LIST_EX Lookaside, PALLOCATE_FUNCTION_EX Allocate,
                                                    PFREE_FUNCTION_EX Free, POOL_TYPE PoolType, ULONG Flags,
                                                    SIZE_T Size, ULONG Tag, USHORT Depth);
NTSYSAPI void NTAPI ExDeleteLookasideListEx(PLOOKASIDE_LIST_EX Lookaside);

}  // extern "C"

#define InterlockedPopEntrySList(Head) ExpInterlockedPopEntrySList(Head)
#define InterlockedPushEntrySList(Head, Entry) ExpInterlockedPushEntrySList(Head, Entry)
#define InterlockedFlushSList(Head) ExpInterlockedFlushSList(Head)
FORCEINLINE void InitializeSListHead(PSLIST_HEADER SListHead) { SListHead->Alignment = SListHead->Region = 0; }
FORCEINLINE USHORT ExQueryDepthSList(PSLIST_HEADER SListHead) { return (USHORT)(SListHead->Alignment & 0xffff); }

// As wdm.h: a block from the list, or from its allocate routine when the list is empty.
FORCEINLINE PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    Lookaside->L.TotalAllocates += 1;
    PVOID Entry = InterlockedPopEntrySList(&Lookaside->L.ListHead);
    if (Entry == nullptr) {
        Lookaside->L.AllocateMisses += 1;
        Entry = (Lookaside->L.Allocate)(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag);
    }
    return Entry;
}
// As wdm.h: the block goes back to the list, or to its free routine when the list is full.
FORCEINLINE void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    Lookaside->L.TotalFrees += 1;
    if (ExQueryDepthSList(&Lookaside->L.ListHead) >= Lookaside->L.Depth) {
        Lookaside->L.FreeMisses += 1;
        (Lookaside->L.Free)(Entry);
    } else {
        InterlockedPushEntrySList(&Lookaside->L.ListHead, (PSLIST_ENTRY)Entry);
    }
}
FORCEINLINE PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    return ExAllocateFromNPagedLookasideList(reinterpret_cast<PNPAGED_LOOKASIDE_LIST>(Lookaside));
}
FORCEINLINE void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    ExFreeToNPagedLookasideList(reinterpret_cast<PNPAGED_LOOKASIDE_LIST>(Lookaside), Entry);
}
FORCEINLINE PVOID ExAllocateFromLookasideListEx(PLOOKASIDE_LIST_EX Lookaside)
{
    Lookaside->L.TotalAllocates += 1;
    PVOID Entry = InterlockedPopEntrySList(&Lookaside->L.ListHead);
    if (Entry == nullptr) {
        Lookaside->L.AllocateMisses += 1;
        Entry = (Lookaside->L.AllocateEx)(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag, Lookaside);
    }
    return Entry;
}
FORCEINLINE void ExFreeToLookasideListEx(PLOOKASIDE_LIST_EX Lookaside, PVOID Entry)
{
    Lookaside->L.TotalFrees += 1;
    if (ExQueryDepthSList(&Lookaside->L.ListHead) >= Lookaside->L.Depth) {
        Lookaside->L.FreeMisses += 1;
        (Lookaside->L.FreeEx)(Entry, Lookaside);
    } else {
        InterlockedPushEntrySList(&Lookaside->L.ListHead, (PSLIST_ENTRY)Entry);
    }
}
