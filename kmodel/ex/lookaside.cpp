// Interlocked singly linked lists and lookaside lists. The list operations take one model-wide
// lock (callable at any IRQL, as the kernel's are). Lookaside lists are the DDK's records, filled
// here and used by the inline allocate and free of the header; the model keeps each initialized
// list by address with the image that initialized it, so that a delete of a list never
// initialized is a bug check, and so is the unload of a driver whose list is still initialized
// (the kernel would walk it in freed memory).
#include <cstdio>
#include <map>
#include <mutex>

#include "internal/ps.h"
#include "internal/routines.h"
#include "internal/verifier.h"
#include "ob/object_manager.h"

namespace {

// The depth a new list starts with, and the most the kernel lets it grow to.
constexpr USHORT KmpMinimumLookasideDepth = 4;
constexpr USHORT KmpMaximumLookasideDepth = 256;
constexpr ULONGLONG KmpSListDepthMask = 0xffff;

std::mutex& KmpSListLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

enum class KmpListKind { NonPaged, Paged, Ex };

const char* KmpDeleteRoutine(KmpListKind kind)
{
    switch (kind) {
    case KmpListKind::NonPaged:
        return "ExDeleteNPagedLookasideList";
    case KmpListKind::Paged:
        return "ExDeletePagedLookasideList";
    case KmpListKind::Ex:
        return "ExDeleteLookasideListEx";
    }
    return "";
}

struct KmpListRecord {
    KmpListKind Kind;
    const void* Initializer;  // image (null: test or model)
    uint64_t Serial;
};

struct KmpListTable {
    std::mutex Lock;
    std::map<const void*, KmpListRecord> Lists;
    uint64_t NextSerial = 1;
};

KmpListTable& KmpLists()
{
    static KmpListTable* table = new KmpListTable;
    return *table;
}

void KmpCheckIrqlAtMost(KIRQL limit, const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql > limit) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, limit, 0, 0, "%s at IRQL %u", routine, irql);
    }
}

// Fills the common part of a list and records it.
void KmpInitialize(const void* list, PGENERAL_LOOKASIDE_POOL l, KmpListKind kind, POOL_TYPE type, SIZE_T size,
                   ULONG tag, const void* initializer)
{
    memset(l, 0, sizeof(*l));
    InitializeSListHead(&l->ListHead);
    l->Depth = KmpMinimumLookasideDepth;
    l->MaximumDepth = KmpMaximumLookasideDepth;
    l->Type = type;
    l->Tag = tag;
    l->Size = static_cast<ULONG>(size);
    InitializeListHead(&l->ListEntry);
    std::lock_guard<std::mutex> guard(KmpLists().Lock);
    KmpLists().Lists[list] = KmpListRecord{kind, initializer, KmpLists().NextSerial++};
}

// Forgets an initialized list of `kind`, or bug-checks.
void KmpForget(const void* list, KmpListKind kind)
{
    std::lock_guard<std::mutex> guard(KmpLists().Lock);
    auto found = KmpLists().Lists.find(list);
    if (found == KmpLists().Lists.end() || found->second.Kind != kind) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckLookasideUnknown, (ULONG_PTR)list, 0, 0,
                   "%s on %p, which is not a lookaside list of that kind initialized (deleted already?)",
                   KmpDeleteRoutine(kind), list);
    }
    KmpLists().Lists.erase(found);
}

PVOID NTAPI KmpAllocateEx(POOL_TYPE type, SIZE_T bytes, ULONG tag, PLOOKASIDE_LIST_EX)
{
    return ExAllocatePoolWithTag(type, bytes, tag);
}

void NTAPI KmpFreeEx(PVOID buffer, PLOOKASIDE_LIST_EX) { ExFreePool(buffer); }

}  // namespace

void KmCheckLookasideListsOfImage(const void* image)
{
    std::lock_guard<std::mutex> guard(KmpLists().Lock);
    for (auto& entry : KmpLists().Lists) {
        if (entry.second.Initializer == image) {
            std::string name;
            {
                std::lock_guard<std::mutex> hold(km::ob::ModelLock());
                name = km::ob::ImageDisplayName(image);
            }
            KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckLookasideAtUnload, (ULONG_PTR)entry.first, 0, 0,
                       "driver %s unloaded with lookaside list %p initialized (%s not called)", name.c_str(),
                       entry.first, KmpDeleteRoutine(entry.second.Kind));
        }
    }
}

std::string KmLookasideShutdownReport()
{
    std::map<uint64_t, std::pair<const void*, KmpListRecord>> left;
    {
        std::lock_guard<std::mutex> guard(KmpLists().Lock);
        for (auto& entry : KmpLists().Lists) {
            left[entry.second.Serial] = entry;
        }
        KmpLists().Lists.clear();
    }
    std::string lines;
    for (auto& entry : left) {
        char line[120];
        snprintf(line, sizeof line, "lookaside list %p never deleted, initialized by ", entry.second.first);
        std::lock_guard<std::mutex> hold(km::ob::ModelLock());
        lines += line + km::ob::ImageDisplayName(entry.second.second.Initializer) + "\n";
    }
    return lines;
}

extern "C" PSLIST_ENTRY FASTCALL ExpInterlockedPopEntrySList(PSLIST_HEADER ListHead)
{
    std::lock_guard<std::mutex> guard(KmpSListLock());
    auto* first = reinterpret_cast<PSLIST_ENTRY>(ListHead->Region);
    if (first != nullptr) {
        ListHead->Region = reinterpret_cast<ULONGLONG>(first->Next);
        ListHead->Alignment -= 1;
    }
    return first;
}

extern "C" PSLIST_ENTRY FASTCALL ExpInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry)
{
    std::lock_guard<std::mutex> guard(KmpSListLock());
    auto* first = reinterpret_cast<PSLIST_ENTRY>(ListHead->Region);
    ListEntry->Next = first;
    ListHead->Region = reinterpret_cast<ULONGLONG>(ListEntry);
    ListHead->Alignment += 1;
    return first;
}

extern "C" PSLIST_ENTRY FASTCALL ExpInterlockedFlushSList(PSLIST_HEADER ListHead)
{
    std::lock_guard<std::mutex> guard(KmpSListLock());
    auto* first = reinterpret_cast<PSLIST_ENTRY>(ListHead->Region);
    ListHead->Region = 0;
    ListHead->Alignment &= ~KmpSListDepthMask;
    return first;
}

namespace {

// The paged and non-paged forms: the pool routines stand in for absent allocate and free routines.
// `caller` is the initializing call's return address, which names the owning image.
template <typename General>
void KmpInitializeClassic(const void* list, General* general, KmpListKind kind, POOL_TYPE poolType, SIZE_T size,
                          ULONG tag, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free, const void* caller)
{
    auto* l = reinterpret_cast<PGENERAL_LOOKASIDE_POOL>(general);
    KmpInitialize(list, l, kind, poolType, size, tag, km::ob::ImageContaining(caller));
    l->Allocate = allocate != nullptr ? allocate : ExAllocatePoolWithTag;
    l->Free = free != nullptr ? free : ExFreePool;
}

}  // namespace

// IRQL <= DISPATCH_LEVEL.
extern "C" void NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                      PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                      USHORT Depth)
{
    UNREFERENCED_PARAMETER(Depth);
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList");
    KmpInitializeClassic(Lookaside, &Lookaside->L, KmpListKind::NonPaged, static_cast<POOL_TYPE>(NonPagedPool | Flags),
                         Size, Tag, Allocate, Free, __builtin_return_address(0));
}

// IRQL <= APC_LEVEL.
extern "C" void NTAPI ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                     USHORT Depth)
{
    UNREFERENCED_PARAMETER(Depth);
    KmpCheckIrqlAtMost(APC_LEVEL, "ExInitializePagedLookasideList");
    KmpInitializeClassic(Lookaside, &Lookaside->L, KmpListKind::Paged, static_cast<POOL_TYPE>(PagedPool | Flags), Size,
                         Tag, Allocate, Free, __builtin_return_address(0));
}

// IRQL <= DISPATCH_LEVEL.
extern "C" NTSTATUS NTAPI ExInitializeLookasideListEx(PLOOKASIDE_LIST_EX Lookaside, PALLOCATE_FUNCTION_EX Allocate,
                                                      PFREE_FUNCTION_EX Free, POOL_TYPE PoolType, ULONG Flags,
                                                      SIZE_T Size, ULONG Tag, USHORT Depth)
{
    UNREFERENCED_PARAMETER(Depth);
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "ExInitializeLookasideListEx");
    constexpr ULONG bothRaiseFlags = EX_LOOKASIDE_LIST_EX_FLAGS_RAISE_ON_FAIL | EX_LOOKASIDE_LIST_EX_FLAGS_FAIL_NO_RAISE;
    if ((Flags & bothRaiseFlags) == bothRaiseFlags || (Flags & ~bothRaiseFlags) != 0) {
        return STATUS_INVALID_PARAMETER_MIX;
    }
    ULONG type = PoolType;
    if ((Flags & EX_LOOKASIDE_LIST_EX_FLAGS_RAISE_ON_FAIL) != 0) {
        type |= POOL_RAISE_IF_ALLOCATION_FAILURE;
    }
    KmpInitialize(Lookaside, &Lookaside->L, KmpListKind::Ex, static_cast<POOL_TYPE>(type), Size, Tag,
                  km::ob::ImageContaining(__builtin_return_address(0)));
    Lookaside->L.AllocateEx = Allocate != nullptr ? Allocate : KmpAllocateEx;
    Lookaside->L.FreeEx = Free != nullptr ? Free : KmpFreeEx;
    return STATUS_SUCCESS;
}

namespace {

// Hands every block a deleted list still holds back to the list's free routine.
template <typename FreeBlock>
void KmpFreeHeldBlocks(PSLIST_HEADER head, FreeBlock freeBlock)
{
    for (PSLIST_ENTRY entry = ExpInterlockedFlushSList(head); entry != nullptr;) {
        PSLIST_ENTRY next = entry->Next;
        freeBlock(entry);
        entry = next;
    }
}

}  // namespace

// Frees every block the list holds and forgets the list. IRQL <= DISPATCH_LEVEL.
extern "C" void NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList");
    KmpForget(Lookaside, KmpListKind::NonPaged);
    KmpFreeHeldBlocks(&Lookaside->L.ListHead, [&](PVOID block) { Lookaside->L.Free(block); });
}

// IRQL <= APC_LEVEL.
extern "C" void NTAPI ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    KmpCheckIrqlAtMost(APC_LEVEL, "ExDeletePagedLookasideList");
    KmpForget(Lookaside, KmpListKind::Paged);
    KmpFreeHeldBlocks(&Lookaside->L.ListHead, [&](PVOID block) { Lookaside->L.Free(block); });
}

// IRQL <= DISPATCH_LEVEL.
extern "C" void NTAPI ExDeleteLookasideListEx(PLOOKASIDE_LIST_EX Lookaside)
{
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "ExDeleteLookasideListEx");
    KmpForget(Lookaside, KmpListKind::Ex);
    KmpFreeHeldBlocks(&Lookaside->L.ListHead, [&](PVOID block) { Lookaside->L.FreeEx(block, Lookaside); });
}
