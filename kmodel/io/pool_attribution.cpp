// Pool blocks attributed to the driver image whose code allocated them: the pool keeps each
// block's allocation return address, and the image whose mapping holds it owns the block. A
// driver routine that ends in a tail call to the allocator is attributed to its own caller.
#include <cstdio>

#include "internal/ex.h"
#include "io/io_manager.h"

namespace km::io {

namespace {

std::string TagText(ULONG tag)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        char c = static_cast<char>((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

}  // namespace

std::string ReleasePoolOfImage(const void* image, bool report)
{
    std::vector<std::pair<uintptr_t, const void*>> blocks;
    {
        KmPoolState& pool = KmPool();
        std::lock_guard<std::mutex> hold(pool.Lock);
        blocks.assign(pool.Callers.begin(), pool.Callers.end());
    }
    std::string lines;
    for (auto& block : blocks) {
        if (ob::ImageContaining(block.second) != image) {
            continue;
        }
        if (report) {
            km::PoolBlockInfo info{};
            km::QueryPoolBlock(reinterpret_cast<void*>(block.first), &info);
            char line[120];
            snprintf(line, sizeof line, "pool block %p '%s' of %zu bytes not freed\n",
                     reinterpret_cast<void*>(block.first), TagText(info.tag).c_str(), info.size);
            lines += line;
        }
        ExFreePoolWithTag(reinterpret_cast<void*>(block.first), 0);
    }
    return lines;
}

}  // namespace km::io
