// AHashTable: 64-bit keys to small fixed-size payloads, with reference-counted entries. A lookup
// hands out the payload with a reference; an entry leaves the table when its last reference is
// dropped, so a payload found by one thread stays valid while another removes it. Entries come
// from the table's own block pool. All operations work at IRQL <= DISPATCH_LEVEL.
#pragma once

#include "base/ablockpool.h"
#include "base/locks.h"

// Pool tag of the table block (header and bucket array): "HshT".
constexpr ULONG HashTablePoolTag = 0x54687348;
// Key of an entry that is not linked; it cannot be inserted.
constexpr ULONGLONG HashTableUnlinkedKey = 0xFFFFFFFFFFFFFFFFULL;
// Byte written over a table header before it is freed.
constexpr UCHAR HashTableFreedFill = 0x45;

// Entry block: this header, then the payload at HashEntryPayloadOffset.
struct AHashEntry {
    AHashEntry* next;  // next entry of the same bucket
    ULONGLONG key;     // HashTableUnlinkedKey while not linked
    SHORT refCount;
};
// Callers only see payload addresses; the entry header lies this far before the payload.
constexpr ULONG HashEntryPayloadOffset = sizeof(AHashEntry);

// Table header; the bucket heads (bucketCount entry pointers, null for an empty chain) follow it
// in the same non-paged allocation.
struct AHashTable {
    ULONG entryCount;   // entries linked into chains (written atomically, see AHashTable_IsEmpty)
    ULONG entrySize;    // size of one entry block
    ULONG bucketCount;  // fixed at creation
    ASpinLock lock;     // guards the chains, entryCount, and every entry's key and refCount
    ABlockPool entryPool;
};

extern "C" {

// Creates a table with bucketCount chains whose entries carry payloadSize bytes. Writes null to
// *table before anything can fail. STATUS_INVALID_PARAMETER for a null out pointer, a bucket count
// of 0, or sizes that do not fit in 32 bits; STATUS_INSUFFICIENT_RESOURCES when the table block
// cannot be had; the status of the entry pool's creation otherwise.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS AHashTable_Create(_Outptr_ AHashTable** table, ULONG bucketCount, ULONG payloadSize);

// Frees the table, its linked entries and the entries allocated but never linked. Every payload
// pointer it handed out becomes invalid.
_IRQL_requires_max_(DISPATCH_LEVEL)
void AHashTable_Destroy(_Inout_opt_ AHashTable* table);

// A fresh, zero-filled, unlinked entry (no reference yet); null when the pool cannot grow. Link it
// with AHashTable_Insert, or discard it with one AHashTable_Release.
_IRQL_requires_max_(DISPATCH_LEVEL)
PVOID AHashTable_AllocEntry(_Inout_opt_ AHashTable* table);

// Links an unlinked entry under key, newest first among equal keys; the link holds one reference.
// False, nothing changed, for a null table or payload, the key HashTableUnlinkedKey, or an entry
// that is already linked.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN AHashTable_Insert(_Inout_opt_ AHashTable* table, ULONGLONG key, _Inout_opt_ PVOID payload);

// True when no entry is linked (or the table is null), read without the table's lock: a lookup
// racing an insert may miss it either way, and one made after the insert has returned sees it.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN AHashTable_IsEmpty(_In_opt_ const AHashTable* table);

// The payload of the newest entry with this key, with one reference taken for the caller; null,
// and no reference, when there is none.
_IRQL_requires_max_(DISPATCH_LEVEL)
PVOID AHashTable_Lookup(_Inout_opt_ AHashTable* table, ULONGLONG key);

// Drops one reference; the last one unlinks the entry and returns its block to the pool.
_IRQL_requires_max_(DISPATCH_LEVEL)
void AHashTable_Release(_Inout_opt_ AHashTable* table, _In_opt_ PVOID payload);

// Unlinks a linked entry at once, whatever references others still hold, and drops the link's
// reference: lookups no longer find it, and its block goes back to the pool with the last
// reference. Nothing for an entry that is not linked (removed already). Removing an entry is a
// lookup, this call, and the release of the lookup's reference.
_IRQL_requires_max_(DISPATCH_LEVEL)
void AHashTable_Remove(_Inout_opt_ AHashTable* table, _In_opt_ PVOID payload);

// Decides whether a payload goes; runs under the table's spin lock, so it only compares.
typedef BOOLEAN AHASH_MATCH(_In_ PVOID payload, _In_opt_ PVOID context);

// Unlinks every linked entry whose payload match accepts, as AHashTable_Remove does for each; the
// number unlinked. 0 for a null table or routine.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG AHashTable_RemoveMatching(_Inout_opt_ AHashTable* table, _In_opt_ AHASH_MATCH* match, _In_opt_ PVOID context);

}  // extern "C"
