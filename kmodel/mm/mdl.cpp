// Memory descriptor lists: IoAllocateMdl and IoFreeMdl, locking and unlocking the pages, mapping
// them into system space, and MDLs for non-paged pool. The model's address space is flat, so the
// system address of a buffer is its own address; what the model adds is the life of each MDL
// (allocated, locked, mapped, unlocked, freed), checked at every step, attributed to the image
// that allocated it and reported when that image unloads with the MDL still allocated.
//
//   allocated --MmProbeAndLockPages--> locked --MmMapLockedPages...--> locked+mapped
//       ^  \--MmBuildMdlForNonPagedPool--> non-paged (mapped by nature)      |
//       +----------------------------- MmUnlockPages (unmaps first) ---------+
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "internal/ex.h"
#include "internal/ps.h"
#include "internal/routines.h"
#include "internal/verifier.h"
#include "ob/object_manager.h"

namespace {

// The longest buffer an MDL describes: 4 GB less a page.
constexpr ULONG KmpMaximumMdlLength = 0xFFFFFFFFu - PAGE_SIZE + 1;

struct KmpMdlRecord {
    uint64_t Serial;
    const void* Allocator;  // image that allocated it (null: test or model)
};

struct KmpMdlTable {
    std::mutex Lock;
    std::map<PMDL, KmpMdlRecord> Mdls;
    uint64_t NextSerial = 1;
};

KmpMdlTable& KmpMdls()
{
    static KmpMdlTable* table = new KmpMdlTable;
    return *table;
}

void KmpCheckIrqlAtMost(KIRQL limit, const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql > limit) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, limit, 0, 0, "%s at IRQL %u", routine, irql);
    }
}

// An MDL IoAllocateMdl handed out and IoFreeMdl has not taken back, or a bug check.
void KmpCheckKnown(PMDL mdl, const char* routine)
{
    std::lock_guard<std::mutex> guard(KmpMdls().Lock);
    if (KmpMdls().Mdls.count(mdl) == 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckMdlUnknown, (ULONG_PTR)mdl, 0, 0,
                   "%s on %p, which is not an allocated MDL (freed already?)", routine, (void*)mdl);
    }
}

// The page frame numbers of a flat address space: the page numbers of the buffer.
void KmpFillPageNumbers(PMDL mdl)
{
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    auto first = reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT;
    for (ULONG page = 0; page < pages; ++page) {
        MmGetMdlPfnArray(mdl)[page] = first + page;
    }
}

std::string KmpMdlLine(PMDL mdl, const KmpMdlRecord& record)
{
    char line[160];
    snprintf(line, sizeof line, "MDL %p (%lu bytes%s) not freed, allocated by ", (void*)mdl,
             (unsigned long)mdl->ByteCount, (mdl->MdlFlags & MDL_PAGES_LOCKED) != 0 ? ", pages locked" : "");
    std::lock_guard<std::mutex> hold(km::ob::ModelLock());
    return line + km::ob::ImageDisplayName(record.Allocator) + "\n";
}

// Lines for the MDLs `image` allocated (every MDL when `all`); they are freed.
std::string KmpReleaseMdls(const void* image, bool all)
{
    std::map<uint64_t, std::pair<PMDL, KmpMdlRecord>> leaked;
    {
        std::lock_guard<std::mutex> guard(KmpMdls().Lock);
        for (auto entry = KmpMdls().Mdls.begin(); entry != KmpMdls().Mdls.end();) {
            if (all || entry->second.Allocator == image) {
                leaked[entry->second.Serial] = *entry;
                entry = KmpMdls().Mdls.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    std::string lines;
    for (auto& entry : leaked) {
        lines += KmpMdlLine(entry.second.first, entry.second.second);
        free(entry.second.first);
    }
    return lines;
}

}  // namespace

PMDL KmAllocateMdl(PVOID address, ULONG length, const void* allocator)
{
    if (length > KmpMaximumMdlLength) {
        return nullptr;
    }
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(address, length);
    size_t size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
    auto* mdl = static_cast<PMDL>(calloc(1, size));
    if (mdl == nullptr) {
        return nullptr;
    }
    mdl->Size = static_cast<CSHORT>(size);
    mdl->StartVa = PAGE_ALIGN(address);
    mdl->ByteOffset = BYTE_OFFSET(address);
    mdl->ByteCount = length;
    std::lock_guard<std::mutex> guard(KmpMdls().Lock);
    KmpMdls().Mdls[mdl] = KmpMdlRecord{KmpMdls().NextSerial++, allocator};
    return mdl;
}

void KmReleaseIrpMdls(PIRP irp)
{
    PMDL mdl = irp->MdlAddress;
    irp->MdlAddress = nullptr;
    while (mdl != nullptr) {
        PMDL next = mdl->Next;
        if ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
            MmUnlockPages(mdl);
        }
        IoFreeMdl(mdl);
        mdl = next;
    }
}

std::string KmMdlsOfImage(const void* image) { return KmpReleaseMdls(image, false); }

std::string KmMdlShutdownReport() { return KmpReleaseMdls(nullptr, true); }

// IRQL <= DISPATCH_LEVEL.
extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN ChargeQuota, PIRP Irp)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    PMDL mdl = KmAllocateMdl(VirtualAddress, Length, km::ob::ImageContaining(__builtin_return_address(0)));
    if (mdl == nullptr || Irp == nullptr) {
        return mdl;
    }
    if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
        Irp->MdlAddress = mdl;
        return mdl;
    }
    PMDL last = Irp->MdlAddress;
    while (last->Next != nullptr) {
        last = last->Next;
    }
    last->Next = mdl;
    return mdl;
}

// IRQL <= DISPATCH_LEVEL. Freeing an MDL whose pages are locked would leave them locked forever.
extern "C" void NTAPI IoFreeMdl(PMDL Mdl)
{
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    KmpCheckKnown(Mdl, "IoFreeMdl");
    if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckMdlFreedLocked, (ULONG_PTR)Mdl, Mdl->ByteCount, 0,
                   "IoFreeMdl on MDL %p, whose pages are locked (MmUnlockPages first)", (void*)Mdl);
    }
    {
        std::lock_guard<std::mutex> guard(KmpMdls().Lock);
        KmpMdls().Mdls.erase(Mdl);
    }
    free(Mdl);
}

// A paged buffer may be locked at IRQL <= APC_LEVEL, a non-paged one up to DISPATCH_LEVEL. A null
// buffer raises STATUS_ACCESS_VIOLATION, as a probe of an invalid address does.
extern "C" void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                          LOCK_OPERATION Operation)
{
    UNREFERENCED_PARAMETER(Operation);
    PMDL mdl = MemoryDescriptorList;
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
    KmpCheckKnown(mdl, "MmProbeAndLockPages");
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckMdlLockedTwice, (ULONG_PTR)mdl, 0, 0,
                   "MmProbeAndLockPages on MDL %p, whose pages are locked already", (void*)mdl);
    }
    PVOID address = MmGetMdlVirtualAddress(mdl);
    if (KmCurrentThread()->Irql == DISPATCH_LEVEL && KmPoolIsPagedAddress(address)) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckMdlPagedAtDispatch, (ULONG_PTR)mdl,
                   (ULONG_PTR)address, 0, "MmProbeAndLockPages at DISPATCH_LEVEL on MDL %p of paged buffer %p",
                   (void*)mdl, address);
    }
    if (address == nullptr && mdl->ByteCount != 0) {
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    }
    KmpFillPageNumbers(mdl);
    mdl->Process = AccessMode == UserMode ? PsGetCurrentProcess() : nullptr;
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

// IRQL <= DISPATCH_LEVEL. A system mapping goes with the lock.
extern "C" void NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    PMDL mdl = MemoryDescriptorList;
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages");
    KmpCheckKnown(mdl, "MmUnlockPages");
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckMdlNotLocked, (ULONG_PTR)mdl, 0, 0,
                   "MmUnlockPages on MDL %p, whose pages are not locked", (void*)mdl);
    }
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
        mdl->MappedSystemVa = nullptr;
    }
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    mdl->Process = nullptr;
}

// IRQL <= DISPATCH_LEVEL (KernelMode). The pages must be locked, or the MDL built for non-paged
// pool or partial; mapping an MDL that is mapped already is a bug check (the DDK's
// MmGetSystemAddressForMdlSafe looks first). A user-mode mapping is not modelled: null.
extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                    ULONG BugCheckOnFailure, ULONG Priority)
{
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    PMDL mdl = MemoryDescriptorList;
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    KmpCheckKnown(mdl, "MmMapLockedPagesSpecifyCache");
    if (AccessMode != KernelMode) {
        return nullptr;
    }
    if ((mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) != 0) {
        return mdl->MappedSystemVa;
    }
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL)) == 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckMdlNotLocked, (ULONG_PTR)mdl, 1, 0,
                   "MmMapLockedPagesSpecifyCache on MDL %p, whose pages are not locked", (void*)mdl);
    }
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckMdlMappedTwice, (ULONG_PTR)mdl, 0, 0,
                   "MmMapLockedPagesSpecifyCache on MDL %p, which is mapped already", (void*)mdl);
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

// IRQL <= DISPATCH_LEVEL.
extern "C" void NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    UNREFERENCED_PARAMETER(BaseAddress);
    PMDL mdl = MemoryDescriptorList;
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
    KmpCheckKnown(mdl, "MmUnmapLockedPages");
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = nullptr;
}

// IRQL <= DISPATCH_LEVEL. The buffer must be non-paged (pool, image data, a stack).
extern "C" void NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    PMDL mdl = MemoryDescriptorList;
    KmpCheckIrqlAtMost(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
    KmpCheckKnown(mdl, "MmBuildMdlForNonPagedPool");
    PVOID address = MmGetMdlVirtualAddress(mdl);
    if (KmPoolIsPagedAddress(address)) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckMdlPagedPool, (ULONG_PTR)mdl, (ULONG_PTR)address, 0,
                   "MmBuildMdlForNonPagedPool on MDL %p of paged buffer %p", (void*)mdl, address);
    }
    KmpFillPageNumbers(mdl);
    mdl->MappedSystemVa = address;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}
