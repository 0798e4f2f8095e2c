// Memory manager (Mm): the little the driver asks of it, and routine lookup by name.
#pragma once

#include "ps.h"
#include "rtl.h"

extern "C" {

// FALSE for addresses inside paged-pool blocks; TRUE for non-paged pool, image data and stacks.
NTSYSAPI BOOLEAN NTAPI MmIsNonPagedSystemAddressValid(PVOID VirtualAddress);

// Looks a routine up in the kernel's export table; null when the running kernel lacks it.
NTSYSAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

}  // extern "C"

// ---- Pageable code ------------------------------------------------------------------------------
// The model's PAGED_CODE() (base/platform.h) declares a KM_PAGEABLE_SCOPE: from there to the end of
// the routine the thread runs pageable code, and the model checks what Driver Verifier makes fail
// by paging pageable code out at every raise to DISPATCH_LEVEL. Each of these is a
// DRIVER_IRQL_NOT_LESS_OR_EQUAL bug check (an execute access to pageable driver code at a raised
// IRQL): entering the scope above APC_LEVEL; leaving it at DISPATCH_LEVEL or above; and running
// the routine's own code again before the IRQL is lowered after it raised to DISPATCH_LEVEL,
// itself or through a routine that returned still raised (a spin-lock acquire).
struct KM_PAGEABLE_FRAME {
    KM_PAGEABLE_FRAME* Previous;
    const char* Routine;
};

extern "C" {
void KmPageableEnter(KM_PAGEABLE_FRAME* Frame, const char* Routine);
void KmPageableLeave(KM_PAGEABLE_FRAME* Frame);
}

struct KM_PAGEABLE_SCOPE {
    explicit KM_PAGEABLE_SCOPE(const char* routine) { KmPageableEnter(&Frame, routine); }
    ~KM_PAGEABLE_SCOPE() { KmPageableLeave(&Frame); }
    KM_PAGEABLE_SCOPE(const KM_PAGEABLE_SCOPE&) = delete;
    KM_PAGEABLE_SCOPE& operator=(const KM_PAGEABLE_SCOPE&) = delete;
    KM_PAGEABLE_FRAME Frame;
};

// ---- Memory descriptor lists --------------------------------------------------------------------
// An MDL describes a virtual buffer by its pages. The model's address space is flat: a mapping of
// the pages into system space is the buffer's own address. What the model checks: pages are
// locked (or the buffer is non-paged pool) before they are mapped, a locked MDL is unlocked before
// it is freed, and an MDL is not locked twice or unlocked unlocked; one left at a driver's unload
// is reported.
#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12
#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((ULONG)((((ULONG_PTR)(Va) & (PAGE_SIZE - 1)) + (Size) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))

typedef SHORT CSHORT;
typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _KPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;
static_assert(sizeof(MDL) == 0x30, "x64 layout");
static_assert(offsetof(MDL, MappedSystemVa) == 0x18, "x64 layout");

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_IO_SPACE 0x0800

typedef enum _LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 } LOCK_OPERATION;
typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 } MEMORY_CACHING_TYPE;
typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;
#define MdlMappingNoExecute 0x40000000

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))

extern "C" {

// Locks the pages of the MDL's buffer (IRQL <= APC_LEVEL, DISPATCH_LEVEL for non-paged buffers);
// raises STATUS_ACCESS_VIOLATION for a buffer that is not there.
NTSYSAPI void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                        LOCK_OPERATION Operation);
// Unlocks what MmProbeAndLockPages locked, dropping a system mapping first. IRQL <= DISPATCH_LEVEL.
NTSYSAPI void NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
// Maps locked pages (KernelMode only in the model); null for an MDL whose pages are not locked.
NTSYSAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                  MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                  ULONG BugCheckOnFailure, ULONG Priority);
NTSYSAPI void NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
// Fills the MDL of a non-paged pool buffer, which then needs neither lock nor mapping.
NTSYSAPI void NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);

}  // extern "C"

// As wdm.h: the system address of an MDL's buffer, mapping it when it is not mapped yet.
#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                                          \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))             \
         ? ((Mdl)->MappedSystemVa)                                                           \
         : (MmMapLockedPagesSpecifyCache((Mdl), KernelMode, MmCached, nullptr, FALSE, (Priority))))
