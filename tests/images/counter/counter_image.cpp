// A tiny kernel image for the model's loader tests: one initialised global, a routine that
// changes it, and routines that call into the model's pool.
#include "ntmodel/ntifs.h"

extern "C" {

__attribute__((visibility("default"))) LONG CounterImageValue = 41;

__attribute__((visibility("default"))) LONG CounterImageBump(void) { return ++CounterImageValue; }

__attribute__((visibility("default"))) PVOID CounterImageAllocate(ULONG Tag)
{
    return ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(LONG), Tag);
}

__attribute__((visibility("default"))) void CounterImageFree(PVOID Block, ULONG Tag) { ExFreePoolWithTag(Block, Tag); }

}  // extern "C"
