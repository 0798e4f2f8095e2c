// AHashTable: keyed, reference-counted entries in bucket chains.
#include "base/ahashtable.h"

namespace {

// Changes entryCount by delta; the table's lock is held. The store is atomic because
// AHashTable_IsEmpty reads the count without the lock.
void AHashTableCountLinked(AHashTable* table, LONG delta)
{
    __atomic_store_n(&table->entryCount, table->entryCount + static_cast<ULONG>(delta), __ATOMIC_RELEASE);
}

}  // namespace

namespace {

// Entry blocks are padded to this multiple so that every entry header in a chunk is aligned.
constexpr ULONG HashEntryAlignment = sizeof(PVOID);
// Largest sizes whose 32-bit size computations cannot wrap.
constexpr ULONG HashTableMaximumBuckets = (0xFFFFFFFFUL - sizeof(AHashTable)) / sizeof(AHashEntry*);
constexpr ULONG HashTableMaximumPayload = 0xFFFFFFFFUL - HashEntryPayloadOffset - (HashEntryAlignment - 1);
// The entry pool gets one chunk block for every this many buckets.
constexpr ULONG HashTableBucketsPerChunkBlock = 4;

// The bucket heads that follow the table header.
AHashEntry** AHashTableBuckets(AHashTable* table)
{
    return reinterpret_cast<AHashEntry**>(table + 1);
}

// Entry header of a payload handed out by the table, and the reverse.
AHashEntry* AHashTableEntryOf(PVOID payload)
{
    return reinterpret_cast<AHashEntry*>(static_cast<PUCHAR>(payload) - HashEntryPayloadOffset);
}

PVOID AHashTablePayloadOf(AHashEntry* entry)
{
    return reinterpret_cast<PUCHAR>(entry) + HashEntryPayloadOffset;
}

// Bucket of a key: its low 32 bits modulo the bucket count.
ULONG AHashTableBucketOf(const AHashTable* table, ULONGLONG key)
{
    return static_cast<ULONG>(key) % table->bucketCount;
}

}  // namespace

NTSTATUS AHashTable_Create(AHashTable** table, ULONG bucketCount, ULONG payloadSize)
{
    if (table == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *table = nullptr;
    // No chains, or sizes that would wrap and leave the table or its entries too small.
    if (bucketCount == 0 || bucketCount > HashTableMaximumBuckets || payloadSize > HashTableMaximumPayload) {
        return STATUS_INVALID_PARAMETER;
    }

    ULONG tableSize = static_cast<ULONG>(sizeof(AHashTable)) + bucketCount * static_cast<ULONG>(sizeof(AHashEntry*));
    auto* created = static_cast<AHashTable*>(ExAllocatePoolWithTag(NonPagedPool, tableSize, HashTablePoolTag));
    if (created == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(created, tableSize);
    created->entryCount = 0;
    created->bucketCount = bucketCount;
    created->entrySize = (HashEntryPayloadOffset + payloadSize + HashEntryAlignment - 1) & ~(HashEntryAlignment - 1);

    NTSTATUS status =
        ABlockPool_Init(&created->entryPool, created->entrySize, bucketCount / HashTableBucketsPerChunkBlock);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(created, 0);
        return status;
    }
    ASpinLock_Init(&created->lock);
    *table = created;
    return STATUS_SUCCESS;
}

void AHashTable_Destroy(AHashTable* table)
{
    if (table == nullptr) {
        return;
    }
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&table->lock, &queueHandle);
    AHashEntry** buckets = AHashTableBuckets(table);
    for (ULONG bucket = 0; bucket < table->bucketCount && table->entryCount > 0; bucket += 1) {
        AHashEntry* entry = buckets[bucket];
        while (entry != nullptr) {
            AHashEntry* next = entry->next;
            ABlockPool_Return(&table->entryPool, entry);
            AHashTableCountLinked(table, -1);
            entry = next;
        }
    }
    // Frees every chunk, and with them the entries allocated but never linked.
    ABlockPool_Destroy(&table->entryPool);
    ASpinLock_Release(&table->lock, &queueHandle);

    RtlFillMemory(table, sizeof(AHashTable) + sizeof(AHashEntry*), HashTableFreedFill);
    ExFreePoolWithTag(table, 0);
}

PVOID AHashTable_AllocEntry(AHashTable* table)
{
    if (table == nullptr) {
        return nullptr;
    }
    // Only the pool's own lock is taken.
    auto* entry = static_cast<AHashEntry*>(ABlockPool_Take(&table->entryPool));
    if (entry == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(entry, table->entrySize);
    entry->key = HashTableUnlinkedKey;
    entry->refCount = 0;
    return AHashTablePayloadOf(entry);
}

BOOLEAN AHashTable_Insert(AHashTable* table, ULONGLONG key, PVOID payload)
{
    if (table == nullptr || payload == nullptr || key == HashTableUnlinkedKey) {
        return FALSE;
    }
    AHashEntry* entry = AHashTableEntryOf(payload);
    if (entry->key != HashTableUnlinkedKey) {
        return FALSE;
    }
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&table->lock, &queueHandle);
    entry->refCount += 1;
    entry->key = key;
    AHashEntry** head = &AHashTableBuckets(table)[AHashTableBucketOf(table, key)];
    entry->next = *head;
    *head = entry;
    AHashTableCountLinked(table, 1);
    ASpinLock_Release(&table->lock, &queueHandle);
    return TRUE;
}

BOOLEAN AHashTable_IsEmpty(const AHashTable* table)
{
    return table == nullptr || __atomic_load_n(&table->entryCount, __ATOMIC_ACQUIRE) == 0;
}

PVOID AHashTable_Lookup(AHashTable* table, ULONGLONG key)
{
    if (table == nullptr) {
        return nullptr;
    }
    ULONG bucket = AHashTableBucketOf(table, key);
    PVOID payload = nullptr;
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&table->lock, &queueHandle);
    for (AHashEntry* entry = AHashTableBuckets(table)[bucket]; entry != nullptr; entry = entry->next) {
        if (entry->key == key) {
            entry->refCount += 1;
            payload = AHashTablePayloadOf(entry);
            break;
        }
    }
    ASpinLock_Release(&table->lock, &queueHandle);
    return payload;
}

namespace {

// Takes a linked entry out of its bucket's chain. The table's lock is held.
void AHashTableUnlink(AHashTable* table, AHashEntry* entry)
{
    AHashEntry** link = &AHashTableBuckets(table)[AHashTableBucketOf(table, entry->key)];
    while (*link != nullptr && *link != entry) {
        link = &(*link)->next;
    }
    if (*link != nullptr) {
        *link = entry->next;
        AHashTableCountLinked(table, -1);
    }
}

// Marks an entry taken out of its chain as unlinked and drops the chain's reference; a holder of
// another one returns the block with its release. The table's lock is held.
void AHashTableDropLink(AHashTable* table, AHashEntry* entry)
{
    entry->key = HashTableUnlinkedKey;
    entry->next = nullptr;
    entry->refCount -= 1;
    if (entry->refCount <= 0) {
        ABlockPool_Return(&table->entryPool, entry);
    }
}

}  // namespace

void AHashTable_Release(AHashTable* table, PVOID payload)
{
    if (table == nullptr || payload == nullptr) {
        return;
    }
    AHashEntry* entry = AHashTableEntryOf(payload);
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&table->lock, &queueHandle);
    entry->refCount -= 1;
    if (entry->refCount <= 0) {
        if (entry->key != HashTableUnlinkedKey) {
            AHashTableUnlink(table, entry);
        }
        // Linked or not, the block goes back to the pool.
        ABlockPool_Return(&table->entryPool, entry);
    }
    ASpinLock_Release(&table->lock, &queueHandle);
}

void AHashTable_Remove(AHashTable* table, PVOID payload)
{
    if (table == nullptr || payload == nullptr) {
        return;
    }
    AHashEntry* entry = AHashTableEntryOf(payload);
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&table->lock, &queueHandle);
    if (entry->key != HashTableUnlinkedKey) {
        AHashTableUnlink(table, entry);
        AHashTableDropLink(table, entry);
    }
    ASpinLock_Release(&table->lock, &queueHandle);
}

ULONG AHashTable_RemoveMatching(AHashTable* table, AHASH_MATCH* match, PVOID context)
{
    if (table == nullptr || match == nullptr) {
        return 0;
    }
    ULONG removed = 0;
    KLOCK_QUEUE_HANDLE queueHandle;
    ASpinLock_Acquire(&table->lock, &queueHandle);
    AHashEntry** buckets = AHashTableBuckets(table);
    for (ULONG bucket = 0; bucket < table->bucketCount; bucket += 1) {
        AHashEntry** link = &buckets[bucket];
        while (*link != nullptr) {
            AHashEntry* entry = *link;
            if (!match(AHashTablePayloadOf(entry), context)) {
                link = &entry->next;
                continue;
            }
            *link = entry->next;
            AHashTableCountLinked(table, -1);
            removed += 1;
            AHashTableDropLink(table, entry);
        }
    }
    ASpinLock_Release(&table->lock, &queueHandle);
    return removed;
}
