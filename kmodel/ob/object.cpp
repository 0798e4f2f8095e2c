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
    std::unordered_map<const void*, ObjectHeader*> objects;
    uint64_t nextSerial = 1;
    std::map<const void*, ImageRange> images;  // by image base
};

ObjectTable* g_table = nullptr;

// Besides ModelLock, which every change takes, the object map and the image ranges each have a
// reader/writer lock of their own: a change holds it exclusive, and the checks made on every
// IRP (is this a live device, which image called) read under it shared, without ModelLock.
std::shared_mutex& ObjectsLock()
{
    static std::shared_mutex lock;
    return lock;
}

std::shared_mutex& ImagesLock()
{
    static std::shared_mutex lock;
    return lock;
}

// Changes with every change of the image ranges (under ImagesLock held exclusive).
std::atomic<uint64_t> ImagesVersion{1};

// A thread's recent answers of ImageContaining, by the address asked about, valid while
// ImagesVersion is unchanged. Direct-mapped: calls come from a handful of places.
constexpr size_t ImageCacheSlots = 16;
struct ImageCacheSlot {
    uint64_t version;
    uintptr_t address;
    const void* image;
};
thread_local ImageCacheSlot ImageCache[ImageCacheSlots] __attribute__((tls_model("initial-exec")));

ImageCacheSlot& ImageCacheSlotOf(uintptr_t address) { return ImageCache[(address ^ (address >> 6)) % ImageCacheSlots]; }

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
    std::unique_lock<std::shared_mutex> objects(ObjectsLock());
    Table().objects[body] = header;
    return header;
}

ObjectHeader* FindLocked(const void* body)
{
    auto& objects = Table().objects;
    auto found = objects.find(body);
    if (found != objects.end()) {
        return found->second;
    }
    bool isProcess = false;
    if (body == nullptr || !KmPsIsRecord(body, &isProcess)) {
        return nullptr;
    }
    auto* header = new ObjectHeader;
    header->kind = isProcess ? ObjectKind::Process : ObjectKind::Thread;
    header->body = const_cast<void*>(body);
    header->pointerCount = 1;
    header->serial = Table().nextSerial++;
    std::unique_lock<std::shared_mutex> writing(ObjectsLock());
    objects[body] = header;
    return header;
}

// The entry of `holder` in the header's list, or where it would go.
std::vector<std::pair<const void*, long>>::iterator HolderEntry(ObjectHeader* header, const void* holder)
{
    return std::lower_bound(header->heldBy.begin(), header->heldBy.end(), holder,
                            [](const std::pair<const void*, long>& entry, const void* key) { return entry.first < key; });
}

void ReferenceLocked(ObjectHeader* header, bool handedOut, const void* holder)
{
    header->pointerCount++;
    if (handedOut) {
        auto entry = HolderEntry(header, holder);
        if (entry == header->heldBy.end() || entry->first != holder) {
            entry = header->heldBy.insert(entry, {holder, 0});
        }
        entry->second++;
    }
}

bool DereferenceLocked(ObjectHeader* header, bool handedOut, const void* fromHolder)
{
    if (handedOut) {
        // Prefer the caller's own references; a reference may also be handed from one image to
        // another, so any holder's will do. With none handed out, the caller drops a reference
        // it never took.
        auto own = HolderEntry(header, fromHolder);
        if (own == header->heldBy.end() || own->first != fromHolder) {
            own = header->heldBy.begin();
        }
        if (own == header->heldBy.end()) {
            char reason[200];
            snprintf(reason, sizeof reason,
                     "ObfDereferenceObject on %s object %p drops a reference nobody took (the "
                     "remaining %ld belong to the object's own life)",
                     KindName(header->kind), header->body, header->pointerCount);
            km::BugCheck(REFERENCE_BY_POINTER, (ULONG_PTR)header->body, (ULONG_PTR)header->pointerCount, 0, 0,
                         reason);
        }
        if (--own->second == 0) {
            header->heldBy.erase(own);
        }
    }
    if (--header->pointerCount > 0) {
        return false;
    }
    std::unique_lock<std::shared_mutex> objects(ObjectsLock());
    Table().objects.erase(header->body);
    return true;
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
    for (auto& entry : Table().objects) {
        all.push_back(entry.second);
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
            for (auto held = header->heldBy.begin(); held != header->heldBy.end();) {
                if (!allImages && held->first != image) {
                    ++held;
                    continue;
                }
                char count[80];
                snprintf(count, sizeof count, ": %ld reference%s not dropped, held by ", held->second,
                         held->second == 1 ? "" : "s");
                report += DescribeLocked(header) + count + ImageDisplayName(held->first) + "\n";
                if (!drop) {
                    ++held;
                    continue;
                }
                header->pointerCount -= held->second;
                held = header->heldBy.erase(held);
            }
            if (header->pointerCount == 0) {
                std::unique_lock<std::shared_mutex> objects(ObjectsLock());
                Table().objects.erase(header->body);
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
    std::shared_lock<std::shared_mutex> hold(ObjectsLock());
    if (g_table == nullptr) {
        return false;
    }
    auto found = g_table->objects.find(body);
    return found != g_table->objects.end() && found->second->kind == kind;
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
        std::unique_lock<std::shared_mutex> objects(ObjectsLock());
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
    if (g_table != nullptr) {
        for (auto& entry : g_table->objects) {
            if (entry.second->discard != nullptr) {
                entry.second->discard(entry.second);
            }
            delete entry.second;
        }
    }
    std::unique_lock<std::shared_mutex> objects(ObjectsLock());
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
    std::lock_guard<std::mutex> hold(ModelLock());
    ObjectHeader* header = FindLocked(Object);
    if (header == nullptr) {
        km::BugCheck(REFERENCE_BY_POINTER, (ULONG_PTR)Object, 0, 0, 0,
                     "ObfReferenceObject on a pointer that is not a live object");
    }
    ReferenceLocked(header, true, holder);
    return header->pointerCount;
}

// Drops a reference the caller holds; the last one destroys the object (a file object's last
// reference sends IRP_MJ_CLOSE first). Dereferencing a gone object, or more often than references
// were taken, bug-checks with REFERENCE_BY_POINTER.
extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    KmTrapPoint("ObfDereferenceObject", Object);
    const void* holder = ImageContaining(__builtin_return_address(0));
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
        remaining = last ? 0 : header->pointerCount;
    }
    if (last) {
        FinishLastReference(header);
    }
    return remaining;
}
