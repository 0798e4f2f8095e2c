// ASimpleResource: the library's recursive reader/writer lock for data walked often and changed
// rarely. The exclusive owner may enter again, shared or exclusive; shared holders are remembered
// per thread: a thread's hold made while it holds nothing yet in one of a few slots inside the
// resource, any further hold in a hash table. Exclusive access is serialised by a kernel mutex; a
// first shared acquisition with no writer active costs one spin-locked count and slot update.
#pragma once

#include "base/ahashtable.h"
#include "base/locks.h"

// Shape of the per-resource table of shared holders: thread id -> 1-byte reference count.
constexpr ULONG ResourceThreadTableBuckets = 37;
constexpr ULONG ResourceThreadTablePayload = 1;
// Threads whose first shared hold is recorded in the resource itself, with no table entry (and so
// no pool block); the holds of further threads, and a thread's re-entrant holds, go to the table.
constexpr ULONG ResourceInlineHolders = 8;

struct ASimpleResource {
    ASpinLock stateLock;     // guards sharedCount, exclusiveDepth and pendingExclusive
    AMutex gateMutex;        // owned by the writer (once per exclusive hold) and a pending writer
    ULONG sharedCount;       // shared holds outstanding, the owner's own included
    ULONG exclusiveDepth;    // granted exclusive holds of the owner; 0 when there is no writer
    ULONG pendingExclusive;  // writers that own gateMutex but wait for readers to leave (0 or 1)
    HANDLE owner;            // thread id of the exclusive owner, 0 when none; written under OwnerLock
    AHashTable* threadTable; // shared holders keyed by thread id
    HANDLE inlineHolders[ResourceInlineHolders];  // one shared hold each, 0 when free; under stateLock
};

extern "C" {

// Guards every write of any resource's owner. Initialised by BaseInit.
extern ASpinLock OwnerLock;

// Initialises a resource in zero-filled or destroyed memory. STATUS_INVALID_PARAMETER for a null
// resource, else the status of the mutex or table creation; a failed init leaves nothing allocated.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ASimpleResource_Init(_Out_opt_ ASimpleResource* resource);

// Frees the resource's mutex storage and table. No thread may hold or wait for it.
_IRQL_requires_max_(DISPATCH_LEVEL)
void ASimpleResource_Destroy(_Inout_opt_ ASimpleResource* resource);

// Takes a shared hold: at once unless another thread holds the resource exclusive, in which case
// the caller waits for the writer to leave (below DISPATCH_LEVEL) or fails (at DISPATCH_LEVEL).
// A writer that is only pending does not hold readers up. False when nothing is held. A thread
// that holds the resource shared must not ask for it exclusive.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ASimpleResource_AcquireShared(_Inout_opt_ ASimpleResource* resource);

// Releases one shared hold of the calling thread. A thread that holds none changes nothing; the
// misuse is reported (and stops the kernel model).
_IRQL_requires_max_(DISPATCH_LEVEL)
void ASimpleResource_ReleaseShared(_Inout_opt_ ASimpleResource* resource);

// Takes an exclusive hold, recursively for the owner. Below DISPATCH_LEVEL it waits for the
// writer ahead and then polls every millisecond until the readers have left; at DISPATCH_LEVEL it
// never blocks and gives up once readers remain after the first millisecond. False when nothing
// is held.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN ASimpleResource_AcquireExclusive(_Inout_opt_ ASimpleResource* resource);

// Releases one exclusive hold; the last one clears the owner. Ignored unless the caller is the
// owner.
_IRQL_requires_max_(DISPATCH_LEVEL)
void ASimpleResource_ReleaseExclusive(_Inout_opt_ ASimpleResource* resource);

}  // extern "C"
