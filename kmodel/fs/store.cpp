// The in-memory file store of the model's file systems: what a disk, a CD or a share holds, by
// upcased path, with the create dispositions, reads, writes and the attribute queries.
#include <algorithm>
#include <cstring>

#include "fs/model_fs.h"

namespace km::fs {

namespace {

constexpr ULONG ClusterSize = 4096;
constexpr char16_t Separator = u'\\';

LARGE_INTEGER SystemTimeNow()
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now;
}

std::unique_ptr<FileNode> NewNode()
{
    auto node = std::make_unique<FileNode>();
    node->creationTime = SystemTimeNow();
    node->lastWriteTime = node->creationTime;
    return node;
}

LONGLONG AllocationOf(size_t size) { return static_cast<LONGLONG>((size + ClusterSize - 1) / ClusterSize * ClusterSize); }

}  // namespace

Medium::Medium()
{
    root.directory = true;
    root.attributes = FILE_ATTRIBUTE_DIRECTORY;
    root.creationTime = SystemTimeNow();
    root.lastWriteTime = root.creationTime;
}

std::u16string Upcased(const std::u16string& text)
{
    std::u16string upper(text);
    for (auto& c : upper) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return upper;
}

CreateOutcome CreateInMedium(Medium* medium, const std::u16string& path, ULONG disposition)
{
    if (path.size() == 1 && path[0] == Separator) {
        bool openOnly = disposition == FILE_OPEN || disposition == FILE_OPEN_IF;
        return openOnly ? CreateOutcome{STATUS_SUCCESS, &medium->root, FILE_OPENED}
                        : CreateOutcome{STATUS_ACCESS_DENIED, nullptr, 0};
    }
    if (path.empty() || path[0] != Separator || path.back() == Separator) {
        return CreateOutcome{STATUS_OBJECT_NAME_INVALID, nullptr, 0};
    }
    std::u16string key = Upcased(path);
    std::lock_guard<std::mutex> hold(medium->lock);
    auto found = medium->files.find(key);
    FileNode* existing = found == medium->files.end() ? nullptr : found->second.get();
    auto create = [&](ULONG_PTR information) {
        auto& slot = medium->files[key];
        slot = NewNode();
        return CreateOutcome{STATUS_SUCCESS, slot.get(), information};
    };
    auto truncate = [&](ULONG_PTR information) {
        existing->data.clear();
        existing->lastWriteTime = SystemTimeNow();
        return CreateOutcome{STATUS_SUCCESS, existing, information};
    };
    switch (disposition) {
    case FILE_SUPERSEDE:
        return existing != nullptr ? truncate(FILE_SUPERSEDED) : create(FILE_CREATED);
    case FILE_OPEN:
        return existing != nullptr ? CreateOutcome{STATUS_SUCCESS, existing, FILE_OPENED}
                                   : CreateOutcome{STATUS_OBJECT_NAME_NOT_FOUND, nullptr, FILE_DOES_NOT_EXIST};
    case FILE_CREATE:
        return existing != nullptr ? CreateOutcome{STATUS_OBJECT_NAME_COLLISION, nullptr, FILE_EXISTS}
                                   : create(FILE_CREATED);
    case FILE_OPEN_IF:
        return existing != nullptr ? CreateOutcome{STATUS_SUCCESS, existing, FILE_OPENED} : create(FILE_CREATED);
    case FILE_OVERWRITE:
        return existing != nullptr ? truncate(FILE_OVERWRITTEN)
                                   : CreateOutcome{STATUS_OBJECT_NAME_NOT_FOUND, nullptr, FILE_DOES_NOT_EXIST};
    case FILE_OVERWRITE_IF:
        return existing != nullptr ? truncate(FILE_OVERWRITTEN) : create(FILE_CREATED);
    default:
        return CreateOutcome{STATUS_INVALID_PARAMETER, nullptr, 0};
    }
}

FileNode* FindInMedium(Medium* medium, const std::u16string& path)
{
    if (path.size() == 1 && path[0] == Separator) {
        return &medium->root;
    }
    std::lock_guard<std::mutex> hold(medium->lock);
    auto found = medium->files.find(Upcased(path));
    return found == medium->files.end() ? nullptr : found->second.get();
}

NTSTATUS ReadNode(Medium* medium, FileNode* node, LONGLONG offset, void* buffer, ULONG length, ULONG_PTR* done)
{
    *done = 0;
    if (node->directory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::lock_guard<std::mutex> hold(medium->lock);
    if (offset < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (static_cast<size_t>(offset) >= node->data.size()) {
        return length == 0 ? STATUS_SUCCESS : STATUS_END_OF_FILE;
    }
    size_t count = std::min<size_t>(length, node->data.size() - static_cast<size_t>(offset));
    memcpy(buffer, node->data.data() + offset, count);
    *done = count;
    return STATUS_SUCCESS;
}

NTSTATUS WriteNode(Medium* medium, FileNode* node, LONGLONG offset, const void* buffer, ULONG length,
                   ULONG_PTR* done)
{
    *done = 0;
    if (node->directory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::lock_guard<std::mutex> hold(medium->lock);
    size_t start = offset < 0 ? node->data.size() : static_cast<size_t>(offset);
    if (node->data.size() < start + length) {
        node->data.resize(start + length);
    }
    if (length > 0) {
        memcpy(node->data.data() + start, buffer, length);
    }
    node->lastWriteTime = SystemTimeNow();
    *done = length;
    return STATUS_SUCCESS;
}

void QueryBasic(Medium* medium, FileNode* node, FILE_BASIC_INFORMATION* info)
{
    std::lock_guard<std::mutex> hold(medium->lock);
    memset(info, 0, sizeof *info);
    info->CreationTime = node->creationTime;
    info->LastAccessTime = node->lastWriteTime;
    info->LastWriteTime = node->lastWriteTime;
    info->ChangeTime = node->lastWriteTime;
    info->FileAttributes = node->attributes;
}

void QueryStandard(Medium* medium, FileNode* node, FILE_STANDARD_INFORMATION* info)
{
    std::lock_guard<std::mutex> hold(medium->lock);
    memset(info, 0, sizeof *info);
    info->AllocationSize.QuadPart = AllocationOf(node->data.size());
    info->EndOfFile.QuadPart = static_cast<LONGLONG>(node->data.size());
    info->NumberOfLinks = 1;
    info->Directory = node->directory ? TRUE : FALSE;
}

void QueryNetworkOpen(Medium* medium, FileNode* node, FILE_NETWORK_OPEN_INFORMATION* info)
{
    std::lock_guard<std::mutex> hold(medium->lock);
    memset(info, 0, sizeof *info);
    info->CreationTime = node->creationTime;
    info->LastAccessTime = node->lastWriteTime;
    info->LastWriteTime = node->lastWriteTime;
    info->ChangeTime = node->lastWriteTime;
    info->AllocationSize.QuadPart = AllocationOf(node->data.size());
    info->EndOfFile.QuadPart = static_cast<LONGLONG>(node->data.size());
    info->FileAttributes = node->attributes;
}

}  // namespace km::fs
