// The kernel-side routines that tests call in a loaded host image. The image exports them with C
// linkage; HostImageTest resolves each into a typed pointer of the same name: host.BaseInit().
#pragma once

#include "base/platform.h"

#include "base/ablockpool.h"
#include "base/ahashtable.h"
#include "base/asimpleresource.h"
#include "base/locks.h"
#include "base/routinetable.h"
#include "diag/eventlog.h"

// X(name) for each routine.
#define HOST_IMPORTS(X)                 \
    X(BaseInit)                         \
    X(ASpinLock_Init)                   \
    X(ASpinLock_Acquire)                \
    X(ASpinLock_Release)                \
    X(AMutex_Init)                      \
    X(AMutex_Wait)                      \
    X(AMutex_Release)                   \
    X(AMutex_Free)                      \
    X(AFastMutex_Init)                  \
    X(AFastMutex_Acquire)               \
    X(AFastMutex_Release)               \
    X(AFastMutex_Free)                  \
    X(AStopwatch_ElapsedMs)             \
    X(ASimpleResource_Init)             \
    X(ASimpleResource_Destroy)          \
    X(ASimpleResource_AcquireShared)    \
    X(ASimpleResource_ReleaseShared)    \
    X(ASimpleResource_AcquireExclusive) \
    X(ASimpleResource_ReleaseExclusive) \
    X(AHashTable_Create)                \
    X(AHashTable_Destroy)               \
    X(AHashTable_AllocEntry)            \
    X(AHashTable_Insert)                \
    X(AHashTable_Lookup)                \
    X(AHashTable_Release)               \
    X(ABlockPool_Init)                  \
    X(ABlockPool_Take)                  \
    X(ABlockPool_Return)                \
    X(ABlockPool_Destroy)               \
    X(ReportEvent)

struct HostImports {
#define HOST_IMPORT_FIELD(name) decltype(&::name) name;
    HOST_IMPORTS(HOST_IMPORT_FIELD)
#undef HOST_IMPORT_FIELD
};
