// ABlockPool: fixed-size blocks carved from chunks of non-paged pool. A pool grows by whole
// chunks and gives an emptied chunk back at once unless it is the last one. Every operation holds
// the pool's spin lock throughout, so all of them work at IRQL <= DISPATCH_LEVEL; the pool lock is
// the innermost lock of the library.
#pragma once

#include "base/locks.h"

// Pool tag of chunk headers and data areas: "ABPL".
constexpr ULONG BlockPoolTag = 0x4C504241;
// Smallest block a pool hands out, in bytes.
constexpr ULONG BlockPoolMinimumBlockSize = 4;
// Blocks per chunk when the creator passes 0.
constexpr ULONG BlockPoolDefaultBlocksPerChunk = 10;
// Fewest blocks in any chunk.
constexpr ULONG BlockPoolMinimumChunkBlocks = 3;
// An emptied chunk is kept when freeing it would leave the pool with this many blocks or fewer.
constexpr ULONG BlockPoolMinimumBlocks = 1;
// No chunk is added once a pool holds this many blocks.
constexpr ULONG BlockPoolMaximumBlocks = 0x7FFFFFFF;

// A pool; embedded by its user, never allocated or freed by the pool itself.
struct ABlockPool {
    ULONG blockSize;
    ULONG totalBlocks;     // blocks in all chunks, free or handed out
    ULONG blocksPerChunk;  // asked for when a chunk is added
    ULONG minimumBlocks;
    ULONG maximumBlocks;
    ASpinLock lock;     // guards everything below and every chunk's lists
    LIST_ENTRY chunks;  // ABlockChunk.link, newest first
};

// One block of a chunk: on the chunk's used list while handed out, on its free list otherwise.
struct ABlockDescriptor {
    LIST_ENTRY link;
    PVOID block;
};

// Chunk header; its descriptors (one per block, in block order) follow it in the same
// allocation. The blocks themselves lie in a separate data area.
struct ABlockChunk {
    LIST_ENTRY link;
    LIST_ENTRY usedList;
    LIST_ENTRY freeList;  // the first descriptor is handed out next
    ULONG blockCount;
    PUCHAR data;
    ULONGLONG dataSize;  // blockSize * blockCount
};

extern "C" {

// Initialises the pool with one chunk. blocksPerChunk 0 selects BlockPoolDefaultBlocksPerChunk.
// STATUS_INVALID_PARAMETER (pool untouched) for a null pool or a block size below 4;
// STATUS_NO_MEMORY when the first chunk cannot be had (the pool is then left without chunks).
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ABlockPool_Init(_Out_opt_ ABlockPool* pool, ULONG blockSize, ULONG blocksPerChunk);

// Hands out a block (contents as last left), growing the pool by a chunk when none is free. Null
// when no block is free and the pool cannot grow.
_IRQL_requires_max_(DISPATCH_LEVEL)
PVOID ABlockPool_Take(_Inout_opt_ ABlockPool* pool);

// Takes a block back; it is handed out again first. An address that is not the start of a block
// of this pool is ignored. A chunk whose last block comes back is freed unless it is the last one.
_IRQL_requires_max_(DISPATCH_LEVEL)
void ABlockPool_Return(_Inout_opt_ ABlockPool* pool, _In_opt_ PVOID block);

// Frees every chunk, whether or not blocks are still handed out. The pool may be initialised
// again afterwards.
_IRQL_requires_max_(DISPATCH_LEVEL)
void ABlockPool_Destroy(_Inout_opt_ ABlockPool* pool);

}  // extern "C"
