// ABlockPool: fixed-size blocks from chunks of non-paged pool.
#include "base/ablockpool.h"

namespace {

// The descriptors that follow a chunk header.
ABlockDescriptor* ABlockPoolDescriptors(ABlockChunk* chunk)
{
    return reinterpret_cast<ABlockDescriptor*>(chunk + 1);
}

// Adds one chunk of blocksPerChunk blocks (at least BlockPoolMinimumChunkBlocks), making do with
// fewer blocks when the data area cannot be had at full size. Answers the chunk, or null when the
// pool is at its maximum or no memory is left. Pool lock held, except during ABlockPool_Init.
ABlockChunk* ABlockPool_Grow(ABlockPool* pool)
{
    if (pool->totalBlocks >= pool->maximumBlocks) {
        return nullptr;
    }
    ULONG count = pool->maximumBlocks - pool->totalBlocks;
    if (pool->blocksPerChunk < count) {
        count = pool->blocksPerChunk;
    }
    if (count < BlockPoolMinimumChunkBlocks) {
        count = BlockPoolMinimumChunkBlocks;
    }

    SIZE_T headerSize = sizeof(ABlockChunk) + static_cast<SIZE_T>(count) * sizeof(ABlockDescriptor);
    auto* chunk = static_cast<ABlockChunk*>(ExAllocatePoolWithTag(NonPagedPool, headerSize, BlockPoolTag));
    if (chunk == nullptr) {
        return nullptr;
    }
    // The header keeps room for the first count descriptors even when the data area shrinks.
    PUCHAR data;
    for (;;) {
        data = static_cast<PUCHAR>(ExAllocatePoolWithTag(
            NonPagedPool, static_cast<SIZE_T>(static_cast<ULONGLONG>(pool->blockSize) * count), BlockPoolTag));
        if (data != nullptr || count <= BlockPoolMinimumChunkBlocks) {
            break;
        }
        count -= 1;
    }
    if (data == nullptr) {
        ExFreePoolWithTag(chunk, 0);
        return nullptr;
    }

    chunk->blockCount = count;
    chunk->data = data;
    chunk->dataSize = static_cast<ULONGLONG>(pool->blockSize) * count;
    InitializeListHead(&chunk->usedList);
    InitializeListHead(&chunk->freeList);
    ABlockDescriptor* descriptors = ABlockPoolDescriptors(chunk);
    for (ULONG index = 0; index < count; index += 1) {
        descriptors[index].block = data + static_cast<ULONGLONG>(index) * pool->blockSize;
        InsertTailList(&chunk->freeList, &descriptors[index].link);
    }
    InsertHeadList(&pool->chunks, &chunk->link);
    pool->totalBlocks += count;
    return chunk;
}

// Unlinks a chunk and frees its data area and header. Pool lock held.
void ABlockPool_FreeChunk(ABlockPool* pool, ABlockChunk* chunk)
{
    RemoveEntryList(&chunk->link);
    pool->totalBlocks -= chunk->blockCount;
    ExFreePoolWithTag(chunk->data, 0);
    ExFreePoolWithTag(chunk, 0);
}

}  // namespace

NTSTATUS ABlockPool_Init(ABlockPool* pool, ULONG blockSize, ULONG blocksPerChunk)
{
    if (pool == nullptr || blockSize < BlockPoolMinimumBlockSize) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(pool, sizeof(*pool));
    pool->blockSize = blockSize;
    pool->totalBlocks = 0;
    pool->blocksPerChunk = blocksPerChunk != 0 ? blocksPerChunk : BlockPoolDefaultBlocksPerChunk;
    pool->minimumBlocks = BlockPoolMinimumBlocks;
    pool->maximumBlocks = BlockPoolMaximumBlocks;
    InitializeListHead(&pool->chunks);
    ASpinLock_Init(&pool->lock);

    NTSTATUS status = STATUS_SUCCESS;
    while (pool->totalBlocks < BlockPoolMinimumBlocks) {
        if (ABlockPool_Grow(pool) == nullptr) {
            status = STATUS_NO_MEMORY;
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        ABlockPool_Destroy(pool);
    }
    return status;
}

PVOID ABlockPool_Take(ABlockPool* pool)
{
    if (pool == nullptr) {
        return nullptr;
    }
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&pool->lock, &queueHandle);
    ABlockChunk* chunk = nullptr;
    for (PLIST_ENTRY link = pool->chunks.Flink; link != &pool->chunks; link = link->Flink) {
        ABlockChunk* candidate = CONTAINING_RECORD(link, ABlockChunk, link);
        if (!IsListEmpty(&candidate->freeList)) {
            chunk = candidate;
            break;
        }
    }
    if (chunk == nullptr) {
        chunk = ABlockPool_Grow(pool);
    }
    PVOID block = nullptr;
    if (chunk != nullptr) {
        PLIST_ENTRY link = RemoveHeadList(&chunk->freeList);
        InsertHeadList(&chunk->usedList, link);
        block = CONTAINING_RECORD(link, ABlockDescriptor, link)->block;
    }
    ASpinLock_Release(&pool->lock, &queueHandle);
    return block;
}

void ABlockPool_Return(ABlockPool* pool, PVOID block)
{
    if (pool == nullptr) {
        return;
    }
    auto address = reinterpret_cast<ULONG_PTR>(block);
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&pool->lock, &queueHandle);
    for (PLIST_ENTRY link = pool->chunks.Flink; link != &pool->chunks; link = link->Flink) {
        ABlockChunk* chunk = CONTAINING_RECORD(link, ABlockChunk, link);
        auto data = reinterpret_cast<ULONG_PTR>(chunk->data);
        if (address < data || address - data >= chunk->dataSize) {
            continue;
        }
        ULONGLONG index = static_cast<ULONGLONG>(address - data) / pool->blockSize;
        ABlockDescriptor* descriptor = index < chunk->blockCount ? &ABlockPoolDescriptors(chunk)[index] : nullptr;
        if (descriptor != nullptr && descriptor->block == block) {
            RemoveEntryList(&descriptor->link);
            InsertHeadList(&chunk->freeList, &descriptor->link);
            if (IsListEmpty(&chunk->usedList) && pool->totalBlocks - chunk->blockCount > pool->minimumBlocks) {
                ABlockPool_FreeChunk(pool, chunk);
            }
        }
        break;
    }
    ASpinLock_Release(&pool->lock, &queueHandle);
}

void ABlockPool_Destroy(ABlockPool* pool)
{
    if (pool == nullptr) {
        return;
    }
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&pool->lock, &queueHandle);
    while (!IsListEmpty(&pool->chunks)) {
        ABlockPool_FreeChunk(pool, CONTAINING_RECORD(pool->chunks.Flink, ABlockChunk, link));
    }
    ASpinLock_Release(&pool->lock, &queueHandle);
}
