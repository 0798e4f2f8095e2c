// Object headers and reference counting: ObfReferenceObject, ObfDereferenceObject, and the
// attribution of references to the driver images that hold them.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <shared_mutex>
#include <unordered_map>

#include "internal/ldr.h"
#include "internal/ps.h"
#include "kmodel/model.h"
#include "object_manager.h"
#include "internal/trap.h"

namespace km::ob {

namespace {

struct ImageRange {
    uintptr_t start;
    uintptr_t end;
    std::string name;
};

struct ObjectTable {
    uint64_t nextSerial = 1;
    std::map<const void*, ImageRange> images;  // by image base
};

ObjectTable* g_table = nullptr;

// The live objects, by body, split into shards by address so that threads working on different
// objects share no lock. Every change of a shard takes ModelLock and the shard's lock exclusive;
// the checks and references made on every request (is this a live device, take a reference)
// hold only the shard shared, without ModelLock. Shards are locked one at a time, or several in
// index order (readers) or all in index order (boot and shutdown).
constexpr unsigned ObjectShardBits = 6;
constexpr size_t ObjectShardCount = size_t{1} << ObjectShardBits;
constexpr uint64_t ShardHashMultiplier = 0x9E3779B97F4A7C15ull;

struct alignas(64) ObjectShard {
    std::shared_mutex lock;
    std::unordered_map<const void*, ObjectHeader*> objects;
};

// Never destroyed: a program may end without shutting the model down (the fuzzer does), and the
// objects it leaves must stay reachable rather than read as leaks once static storage is torn down.
ObjectShard* Shards()
{
    static ObjectShard* shards = new ObjectShard[ObjectShardCount];
    return shards;
}

size_t ShardIndex(const void* body)
{
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(body) * ShardHashMultiplier) >> (64 - ObjectShardBits));
}

ObjectShard& ShardOf(const void* body) { return Shards()[ShardIndex(body)]; }

// The header of `body` in its shard (its lock held either way, or ModelLock), or null.
ObjectHeader* FindInShard(ObjectShard& shard, const void* body)
{
    auto found = shard.objects.find(body);
    return found == shard.objects.end() ? nullptr : found->second;
}

// Image ranges have a reader/writer lock of their own besides ModelLock, for the attribution of
// each call to its image.

std::shared_mutex& ImagesLock()
{
    static std::shared_mutex lock;
    return lock;
}

// Changes with every change of the image ranges (under ImagesLock held exclusive).
std::atomic<uint64_t> ImagesVersion{1};

// A thread's recent answers of ImageContaining, by the address asked about, valid while
// ImagesVersion is unchanged. Direct-mapped by a multiplicative hash of the address: calls come
// from a handful of places, which must not evict each other on every request.
constexpr unsigned ImageCacheSlotBits = 6;
constexpr size_t ImageCacheSlots = size_t{1} << ImageCacheSlotBits;
struct ImageCacheSlot {
    uint64_t version;
    uintptr_t address;
    const void* image;
};
thread_local ImageCacheSlot ImageCache[ImageCacheSlots] __attribute__((tls_model("initial-exec")));

ImageCacheSlot& ImageCacheSlotOf(uintptr_t address)
{
    return ImageCache[(address * ShardHashMultiplier) >> (64 - ImageCacheSlotBits)];
}

// Called with ImagesLock held exclusive: every thread's remembered answers become stale.
void ImagesChanged() { ImagesVersion.fetch_add(1, std::memory_order_release); }

ObjectTable& Table()
{
    if (g_table == nullptr) {
        km::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, 0, 0, 0,
                     "an object routine was called while the model is not booted");
    }
    return *g_table;
}

}  // namespace

const char* KindName(ObjectKind kind)
{
    switch (kind) {
    case ObjectKind::Driver:
        return "driver";
    case ObjectKind::Device:
        return "device";
    case ObjectKind::File:
        return "file";
    case ObjectKind::Key:
        return "key";
    case ObjectKind::Thread:
        return "thread";
    case ObjectKind::Process:
        return "process";
    case ObjectKind::Event:
        return "event";
    }
    return "object";
}

std::mutex& ModelLock()
{
    static std::mutex lock;
    return lock;
}

ObjectHeader* Create(ObjectKind kind, void* body, LastReferenceRoutine lastReference)
{
    auto* header = new ObjectHeader;
    header->kind = kind;
    header->body = body;
    header->pointerCount = 1;
    header->lastReference = lastReference;
    std::lock_guard<std::mutex> hold(ModelLock());
    header->serial = Table().nextSerial++;
    ObjectShard& shard = ShardOf(body);
    std::unique_lock<std::shared_mutex> objects(shard.lock);
    shard.objects[body] = header;
    return header;
}

ObjectHeader* FindLocked(const void* body)
{
    ObjectTable& table = Table();
    ObjectShard& shard = ShardOf(body);
    if (ObjectHeader* found = FindInShard(shard, body)) {
        return found;
    }
    bool isProcess = false;
    if (body == nullptr || !KmPsIsRecord(body, &isProcess)) {
        return nullptr;
    }
    auto* header = new ObjectHeader;
    header->kind = isProcess ? ObjectKind::Process : ObjectKind::Thread;
    header->body = const_cast<void*>(body);
    header->pointerCount = 1;
    header->serial = table.nextSerial++;
    std::unique_lock<std::shared_mutex> writing(shard.lock);
    shard.objects[body] = header;
    return header;
}

// The entry of `holder` in the header's list, or where it would go.
std::vector<std::pair<const void*, long>>::iterator HolderEntry(ObjectHeader* header, const void* holder)
{
    return std::lower_bound(header->heldBy.begin(), header->heldBy.end(), holder,
                            [](const std::pair<const void*, long>& entry, const void* key) { return entry.first < key; });
}

namespace {

// Counts a handed-out reference for `holder` (holdersLock held).
void AddHolderLocked(ObjectHeader* header, const void* holder)
{
    auto entry = HolderEntry(header, holder);
    if (entry == header->heldBy.end() || entry->first != holder) {
        entry = header->heldBy.insert(entry, {holder, 0});
    }
    entry->second++;
}

// The handed-out reference a dereference by `holder` drops (holdersLock held): the caller's own
// if it has one; a reference may also be handed from one image to another, so any holder's will
// do. End when none is handed out.
std::vector<std::pair<const void*, long>>::iterator DroppedHolderLocked(ObjectHeader* header, const void* holder)
{
    auto own = HolderEntry(header, holder);
    if (own == header->heldBy.end() || own->first != holder) {
        own = header->heldBy.begin();
    }
    return own;
}

// Takes one off the count unless that would end the object; false when it would.
bool DecrementAboveOne(ObjectHeader* header, long* remaining)
{
    long count = header->pointerCount.load(std::memory_order_relaxed);
    while (count > 1) {
        if (header->pointerCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
            *remaining = count - 1;
            return true;
        }
    }
    return false;
}

// Takes `count` references off (ModelLock held); true when they were the last, and the object
// has then left the table. The shard is held exclusive for the step to zero, so that no lookup
// under the shard sees the object with no references.
bool ReleaseLocked(ObjectHeader* header, long count)
{
    long remaining;
    if (count == 1 && DecrementAboveOne(header, &remaining)) {
        return false;
    }
    ObjectShard& shard = ShardOf(header->body);
    std::unique_lock<std::shared_mutex> objects(shard.lock);
    if (header->pointerCount.fetch_sub(count, std::memory_order_acq_rel) - count > 0) {
        return false;
    }
    shard.objects.erase(header->body);
    return true;
}

}  // namespace

void ReferenceLocked(ObjectHeader* header, bool handedOut, const void* holder)
{
    header->pointerCount.fetch_add(1, std::memory_order_relaxed);
    if (handedOut) {
        std::lock_guard<std::mutex> holders(header->holdersLock);
        AddHolderLocked(header, holder);
    }
}

bool DereferenceLocked(ObjectHeader* header, bool handedOut, const void* fromHolder)
{
    if (handedOut) {
        std::lock_guard<std::mutex> holders(header->holdersLock);
        auto own = DroppedHolderLocked(header, fromHolder);
        if (own == header->heldBy.end()) {
            // The caller drops a reference it never took.
            long count = header->pointerCount.load();
            char reason[200];
            snprintf(reason, sizeof reason,
                     "ObfDereferenceObject on %s object %p drops a reference nobody took (the "
                     "remaining %ld belong to the object's own life)",
                     KindName(header->kind), header->body, count);
            km::BugCheck(REFERENCE_BY_POINTER, (ULONG_PTR)header->body, (ULONG_PTR)count, 0, 0, reason);
        }
        if (--own->second == 0) {
            header->heldBy.erase(own);
        }
    }
    return ReleaseLocked(header, 1);
}

bool ReferenceHandedOut(const void* body, const void* holder, long* count)
{
    ObjectShard& shard = ShardOf(body);
    std::shared_lock<std::shared_mutex> hold(shard.lock);
    ObjectHeader* header = FindInShard(shard, body);
    if (header == nullptr) {
        return false;
    }
    *count = header->pointerCount.fetch_add(1, std::memory_order_relaxed) + 1;
    std::lock_guard<std::mutex> holders(header->holdersLock);
    AddHolderLocked(header, holder);
    return true;
}

bool DereferenceHandedOut(const void* body, const void* holder, long* remaining)
{
    ObjectShard& shard = ShardOf(body);
    std::shared_lock<std::shared_mutex> hold(shard.lock);
    ObjectHeader* header = FindInShard(shard, body);
    if (header == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> holders(header->holdersLock);
    auto own = DroppedHolderLocked(header, holder);
    if (own == header->heldBy.end() || !DecrementAboveOne(header, remaining)) {
        return false;
    }
    if (--own->second == 0) {
        header->heldBy.erase(own);
    }
    return true;
}

bool ReferenceThrough(const void* body, ObjectKind kind, void* (*next)(const void* body), const void* holder,
                      void** target)
{
    size_t bodyIndex = ShardIndex(body);
    ObjectShard* shards = Shards();
    std::shared_lock<std::shared_mutex> first(shards[bodyIndex].lock);
    ObjectHeader* header = FindInShard(shards[bodyIndex], body);
    if (header == nullptr || header->kind != kind) {
        return false;
    }
    void* pointed = next(body);
    *target = pointed;
    if (pointed == nullptr) {
        return true;
    }
    // The pointed-to object's shard is needed too, taken after the body's only when it comes
    // later in index order; otherwise both are taken again in order and the pointer read again.
    size_t targetIndex = ShardIndex(pointed);
    std::shared_lock<std::shared_mutex> second;
    if (targetIndex > bodyIndex) {
        second = std::shared_lock<std::shared_mutex>(shards[targetIndex].lock);
    } else if (targetIndex < bodyIndex) {
        first.unlock();
        second = std::shared_lock<std::shared_mutex>(shards[targetIndex].lock);
        first.lock();
        if (FindInShard(shards[bodyIndex], body) != header || next(body) != pointed) {
            return false;
        }
    }
    ObjectHeader* referenced = FindInShard(shards[targetIndex], pointed);
    if (referenced == nullptr) {
        return false;
    }
    referenced->pointerCount.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> holders(referenced->holdersLock);
    AddHolderLocked(referenced, holder);
    return true;
}

std::unique_lock<std::shared_mutex> LockShardExclusive(const void* body)
{
    return std::unique_lock<std::shared_mutex>(ShardOf(body).lock);
}

void FinishLastReference(ObjectHeader* header)
{
    if (header->lastReference != nullptr) {
        header->lastReference(header);
    }
    delete header;
}

void ReferenceModel(void* body)
{
    std::lock_guard<std::mutex> hold(ModelLock());
    ReferenceLocked(FindLocked(body), false, nullptr);
}

void DereferenceModel(void* body)
{
    ObjectHeader* header;
    bool last;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        header = FindLocked(body);
        last = DereferenceLocked(header, false, nullptr);
    }
    if (last) {
        FinishLastReference(header);
    }
}

std::vector<ObjectHeader*> AllObjectsLocked()
{
    std::vector<ObjectHeader*> all;
    for (size_t index = 0; index < ObjectShardCount; index++) {
        for (auto& entry : Shards()[index].objects) {
            all.push_back(entry.second);
        }
    }
    std::sort(all.begin(), all.end(), [](ObjectHeader* a, ObjectHeader* b) { return a->serial < b->serial; });
    return all;
}

std::string HeldReferences(const void* image, bool allImages, bool drop)
{
    std::string report;
    std::vector<ObjectHeader*> gone;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        for (ObjectHeader* header : AllObjectsLocked()) {
            std::vector<std::pair<const void*, long>> listed;
            long dropped = 0;
            {
                std::lock_guard<std::mutex> holders(header->holdersLock);
                for (auto held = header->heldBy.begin(); held != header->heldBy.end();) {
                    if (!allImages && held->first != image) {
                        ++held;
                        continue;
                    }
                    listed.push_back(*held);
                    if (!drop) {
                        ++held;
                        continue;
                    }
                    dropped += held->second;
                    held = header->heldBy.erase(held);
                }
            }
            for (auto& held : listed) {
                char count[80];
                snprintf(count, sizeof count, ": %ld reference%s not dropped, held by ", held.second,
                         held.second == 1 ? "" : "s");
                report += DescribeLocked(header) + count + ImageDisplayName(held.first) + "\n";
            }
            if (dropped > 0 && ReleaseLocked(header, dropped)) {
                gone.push_back(header);
            }
        }
    }
    for (ObjectHeader* header : gone) {
        FinishLastReference(header);
    }
    return report;
}

bool IsLive(const void* body, ObjectKind kind)
{
    ObjectShard& shard = ShardOf(body);
    std::shared_lock<std::shared_mutex> hold(shard.lock);
    ObjectHeader* header = FindInShard(shard, body);
    return header != nullptr && header->kind == kind;
}

const void* ImageContaining(const void* address)
{
    auto where = reinterpret_cast<uintptr_t>(address);
    ImageCacheSlot& cached = ImageCacheSlotOf(where);
    if (cached.address == where && cached.version == ImagesVersion.load(std::memory_order_acquire)) {
        return cached.image;
    }
    std::shared_lock<std::shared_mutex> hold(ImagesLock());
    if (g_table == nullptr) {
        return nullptr;
    }
    const void* image = nullptr;
    for (auto& entry : g_table->images) {
        if (where >= entry.second.start && where < entry.second.end) {
            image = entry.first;
            break;
        }
    }
    cached = ImageCacheSlot{ImagesVersion.load(std::memory_order_relaxed), where, image};
    return image;
}

void RegisterDriverImage(const void* imageBase, const std::string& displayName)
{
    uintptr_t start = 0;
    uintptr_t end = 0;
    KmLdrRangeAt(reinterpret_cast<uintptr_t>(imageBase), &start, &end);
    std::lock_guard<std::mutex> hold(ModelLock());
    std::unique_lock<std::shared_mutex> images(ImagesLock());
    Table().images[imageBase] = ImageRange{start, end, displayName};
    ImagesChanged();
}

void UnregisterDriverImage(const void* imageBase)
{
    std::lock_guard<std::mutex> hold(ModelLock());
    std::unique_lock<std::shared_mutex> images(ImagesLock());
    Table().images.erase(imageBase);
    ImagesChanged();
}

std::string ImageDisplayName(const void* imageBase)
{
    if (imageBase == nullptr) {
        return "the test or the model";
    }
    std::shared_lock<std::shared_mutex> hold(ImagesLock());
    auto& images = Table().images;
    auto found = images.find(imageBase);
    return found == images.end() ? "an unloaded driver" : found->second.name;
}

void Boot()
{
    std::lock_guard<std::mutex> hold(ModelLock());
    {
        for (size_t index = 0; index < ObjectShardCount; index++) {
            std::unique_lock<std::shared_mutex> objects(Shards()[index].lock);
            Shards()[index].objects.clear();
        }
        std::unique_lock<std::shared_mutex> images(ImagesLock());
        delete g_table;
        g_table = new ObjectTable;
        ImagesChanged();
    }
    BootNamespaceLocked();
    ResetHandleTablesLocked();
}

void Shutdown()
{
    std::lock_guard<std::mutex> hold(ModelLock());
    ShutdownNamespaceLocked();
    ResetHandleTablesLocked();
    for (size_t index = 0; index < ObjectShardCount; index++) {
        ObjectShard& shard = Shards()[index];
        std::unordered_map<const void*, ObjectHeader*> left;
        {
            std::unique_lock<std::shared_mutex> objects(shard.lock);
            left.swap(shard.objects);
        }
        for (auto& entry : left) {
            if (entry.second->discard != nullptr) {
                entry.second->discard(entry.second);
            }
            delete entry.second;
        }
    }
    std::unique_lock<std::shared_mutex> images(ImagesLock());
    delete g_table;
    g_table = nullptr;
    ImagesChanged();
}

}  // namespace km::ob

using namespace km::ob;

// Takes a reference on an object for the caller. Unknown pointers (never an object, or already
// gone) bug-check.
extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    KmTrapPoint("ObfReferenceObject", Object);
    const void* holder = ImageContaining(__builtin_return_address(0));
    long count;
    if (ReferenceHandedOut(Object, holder, &count)) {
        return count;
    }
    // Not in the table: a process or thread record not yet used as an object, or no object.
    std::lock_guard<std::mutex> hold(ModelLock());
    ObjectHeader* header = FindLocked(Object);
    if (header == nullptr) {
        km::BugCheck(REFERENCE_BY_POINTER, (ULONG_PTR)Object, 0, 0, 0,
                     "ObfReferenceObject on a pointer that is not a live object");
    }
    ReferenceLocked(header, true, holder);
    return header->pointerCount.load();
}

// Drops a reference the caller holds; the last one destroys the object (a file object's last
// reference sends IRP_MJ_CLOSE first). Dereferencing a gone object, or more often than references
// were taken, bug-checks with REFERENCE_BY_POINTER.
extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    KmTrapPoint("ObfDereferenceObject", Object);
    const void* holder = ImageContaining(__builtin_return_address(0));
    long left;
    if (DereferenceHandedOut(Object, holder, &left)) {
        return left;
    }
    // The last reference, or one that is not there to drop.
    ObjectHeader* header;
    LONG_PTR remaining;
    bool last;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        header = FindLocked(Object);
        if (header == nullptr) {
            km::BugCheck(REFERENCE_BY_POINTER, (ULONG_PTR)Object, 0, 0, 0,
                         "ObfDereferenceObject on a pointer that is not a live object (dereferenced below "
                         "zero, or never an object)");
        }
        last = DereferenceLocked(header, true, holder);
        remaining = last ? 0 : header->pointerCount.load();
    }
    if (last) {
        FinishLastReference(header);
    }
    return remaining;
}
