// The object name space: a root directory with \Device, \Driver and \FileSystem, insertion and
// lookup by exact counted name (case-insensitive, exact length), and ObQueryNameString.
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
};
struct Directory {
    // By the upcased component, which keeps its exact length.
    std::map<std::u16string, DirectoryEntry> entries;
};

Directory* g_root = nullptr;

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

NTSTATUS InsertNameLocked(ObjectHeader* header, const std::u16string& fullName)
{
    std::vector<Component> components;
    if (!SplitPath(fullName, &components)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (components.empty()) {
        return STATUS_OBJECT_NAME_COLLISION;  // the root itself
    }
    Directory* parent = ParentOf(components);
    if (parent == nullptr) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::u16string key = Upcased(components.back().text);
    if (parent->entries.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    parent->entries[key].object = header;
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

LookupResult LookupLocked(const std::u16string& path)
{
    std::vector<Component> components;
    if (!SplitPath(path, &components)) {
        return LookupResult{STATUS_OBJECT_NAME_INVALID, nullptr, {}};
    }
    Directory* directory = g_root;
    for (size_t i = 0; i < components.size(); ++i) {
        bool last = i + 1 == components.size();
        auto found = directory->entries.find(Upcased(components[i].text));
        if (found == directory->entries.end()) {
            return LookupResult{last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND, nullptr, {}};
        }
        if (found->second.object != nullptr) {
            return LookupResult{STATUS_SUCCESS, found->second.object, path.substr(components[i].end)};
        }
        directory = found->second.directory.get();
    }
    // The path names a directory, which the model does not open.
    return LookupResult{STATUS_OBJECT_TYPE_MISMATCH, nullptr, {}};
}

void BootNamespaceLocked()
{
    delete g_root;
    g_root = new Directory;
    for (const char16_t* name : {u"DEVICE", u"DRIVER", u"FILESYSTEM"}) {
        g_root->entries[name].directory = std::make_unique<Directory>();
    }
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
