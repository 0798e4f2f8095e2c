// Memory manager (Mm): the little the driver asks of it, and routine lookup by name.
#pragma once

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
