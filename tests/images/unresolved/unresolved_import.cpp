// An image that imports a routine the kernel does not export: the loader must refuse it by name.
#include "ntmodel/ntifs.h"

extern "C" NTSYSAPI NTSTATUS NTAPI IoRoutineNoKernelExports(PVOID Context);

extern "C" __attribute__((visibility("default"))) NTSTATUS UnresolvedImageCall(PVOID Context)
{
    return IoRoutineNoKernelExports(Context);
}
