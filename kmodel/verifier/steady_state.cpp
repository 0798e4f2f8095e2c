// The steady-state check: what driver images hold (pool blocks they allocated, references they
// took, handles they opened, devices of their driver objects), taken twice and compared.
#include "kmodel/steady_state.h"

#include <cstdio>
#include <unordered_map>
#include <utility>
#include <vector>

#include "internal/ex.h"
#include "io/io_manager.h"
#include "ob/object_manager.h"

namespace {

std::string KmpTagText(ULONG tag)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        char c = static_cast<char>((tag >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

// Everything driver images hold, one key per item (image and item) with its count.
std::map<std::string, long> KmpHoldings()
{
    using namespace km::ob;
    std::map<std::string, long> held;
    struct Block {
        const void* site;
        uintptr_t start;
        km::PoolBlockInfo info;
    };
    std::vector<Block> blocks;
    {
        KmPoolState& pool = KmPool();
        std::lock_guard<std::mutex> hold(pool.Lock);
        blocks.reserve(pool.Callers.size());
        for (auto& block : pool.Callers) {
            auto info = pool.Blocks.find(block.first);
            if (info != pool.Blocks.end()) {
                blocks.push_back(Block{block.second, block.first, info->second});
            }
        }
    }
    // Allocation sites are few: each is looked up once.
    std::unordered_map<const void*, const void*> imageOfSite;
    std::vector<std::pair<const void*, std::string>> items;  // image, item
    for (const Block& block : blocks) {
        auto known = imageOfSite.find(block.site);
        if (known == imageOfSite.end()) {
            known = imageOfSite.emplace(block.site, ImageContaining(block.site)).first;
        }
        if (known->second != nullptr) {
            char line[96];
            snprintf(line, sizeof line, "pool block %p '%s' of %zu bytes", reinterpret_cast<void*>(block.start),
                     KmpTagText(block.info.tag).c_str(), block.info.size);
            items.emplace_back(known->second, line);
        }
    }
    std::vector<std::pair<const void*, std::string>> devices;  // driver entry, device
    std::vector<const void*> images;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        for (ObjectHeader* header : AllObjectsLocked()) {
            std::lock_guard<std::mutex> holders(header->holdersLock);
            for (auto& holder : header->heldBy) {
                if (holder.first != nullptr && holder.second > 0) {
                    held[ImageDisplayName(holder.first) + ": reference to " + DescribeLocked(header)] +=
                        holder.second;
                }
            }
            if (header->kind == ObjectKind::Device) {
                auto* device = static_cast<PDEVICE_OBJECT>(header->body);
                if (device->DriverObject != nullptr) {
                    devices.emplace_back(reinterpret_cast<const void*>(device->DriverObject->DriverInit),
                                         "device " + DescribeLocked(header));
                }
            }
            if (header->kind == ObjectKind::Driver) {
                images.push_back(reinterpret_cast<const void*>(static_cast<PDRIVER_OBJECT>(header->body)->DriverInit));
            }
        }
    }
    for (auto& device : devices) {
        const void* image = ImageContaining(device.first);
        if (image != nullptr) {
            items.emplace_back(image, device.second);
        }
    }
    for (const void* entry : images) {
        const void* image = ImageContaining(entry);
        if (image == nullptr) {
            continue;
        }
        std::string lines = HandlesHeldByImage(image, false);
        for (size_t start = 0; start < lines.size();) {
            size_t end = lines.find('\n', start);
            end = end == std::string::npos ? lines.size() : end;
            items.emplace_back(image, lines.substr(start, end - start));
            start = end + 1;
        }
    }
    std::lock_guard<std::mutex> hold(ModelLock());
    for (auto& item : items) {
        held[ImageDisplayName(item.first) + ": " + item.second] += 1;
    }
    return held;
}

}  // namespace

km::SteadyState::SteadyState() : begin_(KmpHoldings()) {}

std::string km::SteadyState::End() const
{
    std::string report;
    for (auto& now : KmpHoldings()) {
        auto before = begin_.find(now.first);
        long gained = now.second - (before == begin_.end() ? 0 : before->second);
        if (gained > 0) {
            report += now.first + " (+" + std::to_string(gained) + ")\n";
        }
    }
    return report;
}
