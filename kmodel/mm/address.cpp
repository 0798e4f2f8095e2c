// Address validity: the little of the memory manager the driver asks about.
#include "internal/ex.h"

// FALSE for an address inside a paged-pool block (it could be paged out); TRUE for anything else:
// non-paged pool, image data, stacks.
extern "C" BOOLEAN MmIsNonPagedSystemAddressValid(PVOID VirtualAddress)
{
    return KmPoolIsPagedAddress(VirtualAddress) ? FALSE : TRUE;
}
