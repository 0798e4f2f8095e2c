// Memory manager (Mm): the little the driver asks of it, and routine lookup by name.
#pragma once

#include "rtl.h"

extern "C" {

// FALSE for addresses inside paged-pool blocks; TRUE for non-paged pool, image data and stacks.
NTSYSAPI BOOLEAN NTAPI MmIsNonPagedSystemAddressValid(PVOID VirtualAddress);

// Looks a routine up in the kernel's export table; null when the running kernel lacks it.
NTSYSAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

}  // extern "C"
