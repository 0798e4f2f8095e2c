// Freed pool in quarantine, as special pool keeps freed pages unusable for a while: a freed block
// is filled with FreedPoolFill and held back from the allocator in a bounded first-in first-out
// queue. A read after the free sees the fill; a write after it is found when the block leaves
// the queue (pushed out by later frees) or at the next check of the whole queue (km::CheckFreedPool,
// and every shutdown), and stops the system naming the block, its tag and who freed it.
//
// Under AddressSanitizer the model frees at once and leaves freed memory to ASan's own
// quarantine, which reports any access to it at the access itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "internal/ex.h"
#include "internal/verifier.h"
#include "ob/object_manager.h"

#if defined(__SANITIZE_ADDRESS__)
#define KMP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KMP_ASAN 1
#endif
#endif

namespace {

struct KmpFreedBlock {
    unsigned char* Start;
    size_t Size;
    ULONG Tag;
    const void* Freer;  // return address of the free call
};

struct KmpQuarantine {
    std::mutex Lock;
    std::deque<KmpFreedBlock> Blocks;
    size_t Bytes = 0;
};

KmpQuarantine& KmpQueue()
{
    static KmpQuarantine* queue = new KmpQuarantine;
    return *queue;
}

// Checks that nothing wrote to the block since its free, then gives it back to the allocator.
void KmpRelease(const KmpFreedBlock& block)
{
    for (size_t offset = 0; offset < block.Size; ++offset) {
        if (block.Start[offset] != km::FreedPoolFill) {
            const void* image = km::ob::ImageContaining(block.Freer);
            std::string freer;
            if (image != nullptr) {
                std::lock_guard<std::mutex> hold(km::ob::ModelLock());
                freer = km::ob::ImageDisplayName(image);
            } else {
                char where[96];
                snprintf(where, sizeof where, "code at %p (an unloaded driver, the test or the model)", block.Freer);
                freer = where;
            }
            char tag[5] = {};
            memcpy(tag, &block.Tag, 4);
            KmBugCheck(DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL, (ULONG_PTR)(block.Start + offset), 1, 0,
                       (ULONG_PTR)block.Start,
                       "pool block %p ('%s', %zu bytes, freed by %s) was written after its free: byte %zu is 0x%02X",
                       (void*)block.Start, tag, block.Size, freer.c_str(), offset, block.Start[offset]);
        }
    }
    free(block.Start);
}

}  // namespace

void KmPoolQuarantine(void* start, size_t size, ULONG tag, const void* freer)
{
#ifdef KMP_ASAN
    (void)size;
    (void)tag;
    (void)freer;
    free(start);
#else
    // Bounds of the queue: the oldest block leaves once either is exceeded.
    constexpr size_t KmpQuarantineBlockLimit = 4096;
    constexpr size_t KmpQuarantineByteLimit = 16 << 20;
    memset(start, km::FreedPoolFill, size);
    std::deque<KmpFreedBlock> leaving;
    {
        KmpQuarantine& queue = KmpQueue();
        std::lock_guard<std::mutex> hold(queue.Lock);
        queue.Blocks.push_back(KmpFreedBlock{static_cast<unsigned char*>(start), size, tag, freer});
        queue.Bytes += size;
        while (queue.Blocks.size() > KmpQuarantineBlockLimit || queue.Bytes > KmpQuarantineByteLimit) {
            leaving.push_back(queue.Blocks.front());
            queue.Bytes -= queue.Blocks.front().Size;
            queue.Blocks.pop_front();
        }
    }
    for (const KmpFreedBlock& block : leaving) {
        KmpRelease(block);
    }
#endif
}

void KmPoolQuarantineDrain()
{
    std::deque<KmpFreedBlock> leaving;
    {
        KmpQuarantine& queue = KmpQueue();
        std::lock_guard<std::mutex> hold(queue.Lock);
        leaving.swap(queue.Blocks);
        queue.Bytes = 0;
    }
    for (const KmpFreedBlock& block : leaving) {
        KmpRelease(block);
    }
}

bool km::PoolQuarantineActive()
{
#ifdef KMP_ASAN
    return false;
#else
    return true;
#endif
}

void km::CheckFreedPool() { KmPoolQuarantineDrain(); }
