// The object name space: a root directory with \Device, \Driver, \FileSystem and \?? (and
// \DosDevices, a symbolic link to \??), insertion and lookup by exact counted name
// (case-insensitive, exact length), symbolic links followed wherever a name is looked up, and
// ObQueryNameString.
#include <cstdio>
#include <memory>

#include "kmodel/model.h"
#include "object_manager.h"

namespace km::ob {

namespace {

constexpr char16_t PathSeparator = u'\\';

struct Directory;
struct DirectoryEntry {
    std::unique_ptr<Directory> directory;
    ObjectHeader* object = nullptr;
    // A symbolic link: the name it stands for, and the image that created it (null: the model or
    // test code).
    bool isLink = false;
    std::u16string linkName;  // as created
    std::u16string linkTarget;
    const void* linkCreator = nullptr;
};
struct Directory {
    // By the upcased component, which keeps its exact length.
    std::map<std::u16string, DirectoryEntry> entries;
};

Directory* g_root = nullptr;

// As the object manager, a name that goes through more links than this is not found.
constexpr int MostLinksFollowed = 32;

std::u16string Upcased(const std::u16string& text)
{
    std::u16string upper(text);
    for (auto& c : upper) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return upper;
}

// One component of a path, with where it starts and ends in the path.
struct Component {
    std::u16string text;
    size_t end;
};

// Splits an absolute path into its components; false when the path is not absolute or has an
// empty component.
bool SplitPath(const std::u16string& path, std::vector<Component>* components)
{
    if (path.empty() || path[0] != PathSeparator) {
        return false;
    }
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find(PathSeparator, start);
        if (end == std::u16string::npos) {
            end = path.size();
        }
        if (end == start) {
            return path.size() == 1 && components->empty();  // "\" alone names the root
        }
        components->push_back(Component{path.substr(start, end - start), end});
        start = end + 1;
    }
    return true;
}

Directory* ParentOf(const std::vector<Component>& components)
{
    Directory* directory = g_root;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        auto found = directory->entries.find(Upcased(components[i].text));
        if (found == directory->entries.end() || !found->second.directory) {
            return nullptr;
        }
        directory = found->second.directory.get();
    }
    return directory;
}

}  // namespace

std::u16string ToString(const UNICODE_STRING* name)
{
    if (name == nullptr || name->Length == 0) {
        return std::u16string();
    }
    return std::u16string(name->Buffer, name->Length / sizeof(WCHAR));
}

std::string Printable(const std::u16string& name)
{
    std::string text;
    for (char16_t c : name) {
        if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char escaped[12];
            snprintf(escaped, sizeof escaped, "<U+%04X>", static_cast<unsigned>(c));
            text += escaped;
        }
    }
    return text;
}

namespace {

// Name-space lock held: a new entry for the last of `components` (not empty) in its parent
// directory, or why there can be none.
NTSTATUS NewEntryLocked(const std::vector<Component>& components, DirectoryEntry** entry)
{
    Directory* parent = ParentOf(components);
    if (parent == nullptr) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::u16string key = Upcased(components.back().text);
    if (parent->entries.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    *entry = &parent->entries[key];
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS InsertNameLocked(ObjectHeader* header, const std::u16string& fullName)
{
    std::vector<Component> components;
    if (!SplitPath(fullName, &components)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (components.empty()) {
        return STATUS_OBJECT_NAME_COLLISION;  // the root itself
    }
    DirectoryEntry* entry;
    NTSTATUS status = NewEntryLocked(components, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    entry->object = header;
    header->name = fullName;
    header->inNamespace = true;
    return STATUS_SUCCESS;
}

void RemoveNameLocked(ObjectHeader* header)
{
    if (!header->inNamespace) {
        return;
    }
    std::vector<Component> components;
    SplitPath(header->name, &components);
    Directory* parent = ParentOf(components);
    if (parent != nullptr) {
        parent->entries.erase(Upcased(components.back().text));
    }
    header->inNamespace = false;
}

LookupResult LookupLocked(const std::u16string& name)
{
    std::u16string path = name;
    for (int links = 0; links <= MostLinksFollowed; ++links) {
        std::vector<Component> components;
        if (!SplitPath(path, &components)) {
            return LookupResult{STATUS_OBJECT_NAME_INVALID, nullptr, {}};
        }
        Directory* directory = g_root;
        const DirectoryEntry* link = nullptr;
        size_t i = 0;
        for (; i < components.size() && link == nullptr; ++i) {
            bool last = i + 1 == components.size();
            auto found = directory->entries.find(Upcased(components[i].text));
            if (found == directory->entries.end()) {
                return LookupResult{last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND, nullptr, {}};
            }
            if (found->second.object != nullptr) {
                return LookupResult{STATUS_SUCCESS, found->second.object, path.substr(components[i].end)};
            }
            if (found->second.isLink) {
                link = &found->second;
                break;
            }
            directory = found->second.directory.get();
        }
        if (link == nullptr) {
            // The path names a directory, which the model does not open.
            return LookupResult{STATUS_OBJECT_TYPE_MISMATCH, nullptr, {}};
        }
        path = link->linkTarget + path.substr(components[i].end);
    }
    return LookupResult{STATUS_OBJECT_NAME_NOT_FOUND, nullptr, {}};
}

namespace {

// The name with the links among its directories followed (the last component is kept as it
// stands), so that a name made or removed through \DosDevices lands in \??.
std::u16string FollowDirectoryLinks(const std::u16string& name)
{
    std::u16string path = name;
    for (int links = 0; links < MostLinksFollowed; ++links) {
        std::vector<Component> components;
        if (!SplitPath(path, &components)) {
            return path;
        }
        Directory* directory = g_root;
        for (size_t i = 0; i + 1 < components.size(); ++i) {
            auto found = directory->entries.find(Upcased(components[i].text));
            if (found == directory->entries.end()) {
                return path;
            }
            if (found->second.isLink) {
                path = found->second.linkTarget + path.substr(components[i].end);
                directory = nullptr;
                break;
            }
            if (!found->second.directory) {
                return path;
            }
            directory = found->second.directory.get();
        }
        if (directory != nullptr) {
            return path;
        }
    }
    return path;
}

}  // namespace

NTSTATUS InsertLinkLocked(const std::u16string& linkName, const std::u16string& target, const void* creator)
{
    std::vector<Component> components;
    if (!SplitPath(FollowDirectoryLinks(linkName), &components) || components.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    DirectoryEntry* entry;
    NTSTATUS status = NewEntryLocked(components, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    entry->isLink = true;
    entry->linkName = linkName;
    entry->linkTarget = target;
    entry->linkCreator = creator;
    return STATUS_SUCCESS;
}

NTSTATUS RemoveLinkLocked(const std::u16string& linkName)
{
    std::vector<Component> components;
    if (!SplitPath(FollowDirectoryLinks(linkName), &components) || components.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Directory* parent = ParentOf(components);
    if (parent == nullptr) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    auto found = parent->entries.find(Upcased(components.back().text));
    if (found == parent->entries.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!found->second.isLink) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    parent->entries.erase(found);
    return STATUS_SUCCESS;
}

namespace {

// Lines for the links `image` created below `directory`; removed when `remove`.
void CollectLinksOf(Directory* directory, const void* image, bool remove, std::string* lines)
{
    for (auto entry = directory->entries.begin(); entry != directory->entries.end();) {
        if (entry->second.directory) {
            CollectLinksOf(entry->second.directory.get(), image, remove, lines);
        }
        if (entry->second.isLink && entry->second.linkCreator == image) {
            *lines += "symbolic link " + Printable(entry->second.linkName) + " -> " +
                      Printable(entry->second.linkTarget) + " not deleted\n";
            if (remove) {
                entry = directory->entries.erase(entry);
                continue;
            }
        }
        ++entry;
    }
}

}  // namespace

std::string LinksCreatedByImageLocked(const void* image, bool remove)
{
    std::string lines;
    if (g_root != nullptr) {
        CollectLinksOf(g_root, image, remove, &lines);
    }
    return lines;
}

void BootNamespaceLocked()
{
    delete g_root;
    g_root = new Directory;
    for (const char16_t* name : {u"DEVICE", u"DRIVER", u"FILESYSTEM", u"??"}) {
        g_root->entries[name].directory = std::make_unique<Directory>();
    }
    InsertLinkLocked(u"\\DosDevices", u"\\??", nullptr);
}

void ShutdownNamespaceLocked()
{
    delete g_root;
    g_root = nullptr;
}

}  // namespace km::ob

using namespace km::ob;

// The object's full name, as OBJECT_NAME_INFORMATION followed by the characters and a U+0000.
// Length below the fixed part: STATUS_INFO_LENGTH_MISMATCH; room for the fixed part but not the
// name: STATUS_BUFFER_OVERFLOW. Both report the size needed in ReturnLength and write nothing.
// An unnamed object answers an empty name.
extern "C" NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                                            PULONG ReturnLength)
{
    std::u16string name;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        ObjectHeader* header = FindLocked(Object);
        if (header == nullptr) {
            km::BugCheck(REFERENCE_BY_POINTER, (ULONG_PTR)Object, 0, 0, 0,
                         "ObQueryNameString on a pointer that is not a live object");
        }
        if (header->inNamespace) {
            name = header->name;
        } else if (header->kind == ObjectKind::File) {
            // A file is named by its device and the path below it.
            auto* file = static_cast<PFILE_OBJECT>(Object);
            ObjectHeader* device = FindLocked(file->DeviceObject);
            if (device != nullptr && device->inNamespace) {
                name = device->name + ToString(&file->FileName);
            }
        }
    }
    ULONG needed = sizeof(OBJECT_NAME_INFORMATION);
    if (!name.empty()) {
        needed += static_cast<ULONG>((name.size() + 1) * sizeof(WCHAR));
    }
    if (ReturnLength != nullptr) {
        *ReturnLength = needed;
    }
    if (Length < sizeof(OBJECT_NAME_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Length < needed) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (name.empty()) {
        ObjectNameInfo->Name.Length = 0;
        ObjectNameInfo->Name.MaximumLength = 0;
        ObjectNameInfo->Name.Buffer = nullptr;
        return STATUS_SUCCESS;
    }
    auto* characters = reinterpret_cast<PWCH>(ObjectNameInfo + 1);
    memcpy(characters, name.data(), name.size() * sizeof(WCHAR));
    characters[name.size()] = 0;
    ObjectNameInfo->Name.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    ObjectNameInfo->Name.MaximumLength = static_cast<USHORT>((name.size() + 1) * sizeof(WCHAR));
    ObjectNameInfo->Name.Buffer = characters;
    return STATUS_SUCCESS;
}
