// The registry's tree of keys: the system's own keys at boot, name resolution, volatility across a
// restart, and the tests' direct reads and writes.
//
// Life of a key:
//
//   (absent) --ZwCreateKey--> live --ZwDeleteKey--> deleted (out of the tree; open handles
//                               |                    answer STATUS_KEY_DELETED until closed)
//                               +--restart, if volatile--> (absent)
//
// A volatile key's subkeys are volatile too (ZwCreateKey refuses a non-volatile one), so a restart
// drops whole subtrees. The tree lives across km::Restart and is rebuilt by any other boot; the
// hive lock guards all of it.
#include "cm/hive.h"

#include "internal/cm.h"
#include "internal/verifier.h"
#include "kmodel/cm_model.h"

namespace km::cm {

namespace {

constexpr char16_t Separator = u'\\';
const char16_t RootName[] = u"REGISTRY";

struct Hive {
    std::shared_ptr<KeyNode> root;
    bool keepForNextBoot = false;
};

Hive& TheHive()
{
    static auto* hive = new Hive;
    return *hive;
}

// Splits a name at its separators; false when a component is empty.
bool SplitName(const std::u16string& name, size_t start, std::vector<std::u16string>* components)
{
    while (start < name.size()) {
        size_t end = name.find(Separator, start);
        if (end == std::u16string::npos) {
            end = name.size();
        }
        if (end == start) {
            return false;
        }
        components->push_back(name.substr(start, end - start));
        start = end + 1;
    }
    return name.empty() || name.back() != Separator;
}

// Adds the system's own keys that `root` lacks: all of them at a fresh boot, the volatile ones
// (HARDWARE) again at a restart.
void AddSystemKeys(const std::shared_ptr<KeyNode>& root)
{
    struct SystemKey {
        const char16_t* parentPath;  // below \REGISTRY
        const char16_t* name;
        bool isVolatile;
    };
    const SystemKey keys[] = {
        {u"", u"MACHINE", false},
        {u"", u"USER", false},
        {u"MACHINE", u"SYSTEM", false},
        {u"MACHINE", u"SOFTWARE", false},
        {u"MACHINE", u"HARDWARE", true},
        {u"MACHINE\\SYSTEM", u"CurrentControlSet", false},
        {u"MACHINE\\SYSTEM\\CurrentControlSet", u"Services", false},
        {u"MACHINE\\SYSTEM\\CurrentControlSet", u"Control", false},
    };
    for (const SystemKey& key : keys) {
        std::shared_ptr<KeyNode> parent = ResolveLocked(root, key.parentPath).key;
        if (parent->subkeys.count(Upcased(key.name)) == 0) {
            CreateSubkeyLocked(parent, key.name, key.isVolatile)->hiveRoot = true;
        }
    }
}

// Drops every volatile key below `key`.
void DropVolatileKeys(KeyNode& key)
{
    for (auto subkey = key.subkeys.begin(); subkey != key.subkeys.end();) {
        if (subkey->second->isVolatile) {
            subkey->second->deleted = true;
            subkey = key.subkeys.erase(subkey);
            continue;
        }
        DropVolatileKeys(*subkey->second);
        ++subkey;
    }
}

}  // namespace

std::mutex& HiveLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::u16string Upcased(const std::u16string& text)
{
    std::u16string upper(text);
    for (auto& c : upper) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return upper;
}

Resolution ResolveLocked(const std::shared_ptr<KeyNode>& root, const std::u16string& name)
{
    Resolution result{STATUS_SUCCESS, nullptr, nullptr, u""};
    std::vector<std::u16string> components;
    std::shared_ptr<KeyNode> key = root;
    if (root == nullptr) {
        // An absolute name: "\REGISTRY" and the path below it.
        if (name.empty() || name[0] != Separator) {
            result.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
            return result;
        }
        if (!SplitName(name, 1, &components) || components.empty()) {
            result.status = STATUS_OBJECT_NAME_INVALID;
            return result;
        }
        if (Upcased(components[0]) != RootName) {
            // No other object directory of the name space holds keys.
            result.status = components.size() == 1 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            return result;
        }
        components.erase(components.begin());
        key = TheHive().root;
        if (key == nullptr) {
            result.status = STATUS_OBJECT_NAME_NOT_FOUND;  // the model has not booted yet
            return result;
        }
    } else if (!name.empty() && name[0] == Separator) {
        result.status = STATUS_OBJECT_PATH_SYNTAX_BAD;  // a root directory takes a relative name
        return result;
    } else if (!SplitName(name, 0, &components)) {
        result.status = STATUS_OBJECT_NAME_INVALID;
        return result;
    }
    if (key->deleted) {
        result.status = STATUS_KEY_DELETED;
        return result;
    }
    if (components.empty()) {
        result.key = key;
        return result;
    }
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        auto found = key->subkeys.find(Upcased(components[i]));
        if (found == key->subkeys.end()) {
            result.status = STATUS_OBJECT_NAME_NOT_FOUND;
            return result;
        }
        key = found->second;
    }
    result.parent = key;
    result.lastComponent = components.back();
    auto found = key->subkeys.find(Upcased(components.back()));
    if (found == key->subkeys.end()) {
        result.status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
        result.key = found->second;
    }
    return result;
}

std::shared_ptr<KeyNode> CreateSubkeyLocked(const std::shared_ptr<KeyNode>& parent, const std::u16string& component,
                                            bool isVolatile)
{
    auto key = std::make_shared<KeyNode>();
    key->name = component;
    key->path = parent->path + Separator + component;
    key->isVolatile = isVolatile;
    key->parent = parent.get();
    parent->subkeys[Upcased(component)] = key;
    return key;
}

Value* FindValueLocked(KeyNode& key, const std::u16string& name)
{
    std::u16string wanted = Upcased(name);
    for (Value& value : key.values) {
        if (Upcased(value.name) == wanted) {
            return &value;
        }
    }
    return nullptr;
}

}  // namespace km::cm

using namespace km::cm;

void KmCmBoot()
{
    std::lock_guard<std::mutex> hold(HiveLock());
    Hive& hive = TheHive();
    if (hive.keepForNextBoot && hive.root != nullptr) {
        DropVolatileKeys(*hive.root);
    } else {
        hive.root = std::make_shared<KeyNode>();
        hive.root->name = RootName;
        hive.root->path = u"\\REGISTRY";
        hive.root->hiveRoot = true;
    }
    AddSystemKeys(hive.root);
    hive.keepForNextBoot = false;
}

void KmCmKeepForNextBoot()
{
    std::lock_guard<std::mutex> hold(HiveLock());
    TheHive().keepForNextBoot = true;
}

km::RegistryKeyState km::QueryRegistryKey(const std::u16string& path)
{
    std::lock_guard<std::mutex> hold(HiveLock());
    Resolution found = ResolveLocked(nullptr, path);
    if (found.key == nullptr) {
        return RegistryKeyState::Absent;
    }
    return found.key->isVolatile ? RegistryKeyState::Volatile : RegistryKeyState::NonVolatile;
}

std::optional<km::RegistryValue> km::ReadRegistryValue(const std::u16string& keyPath, const std::u16string& valueName)
{
    std::lock_guard<std::mutex> hold(HiveLock());
    Resolution found = ResolveLocked(nullptr, keyPath);
    Value* value = found.key != nullptr ? FindValueLocked(*found.key, valueName) : nullptr;
    if (value == nullptr) {
        return std::nullopt;
    }
    return RegistryValue{value->type, std::vector<uint8_t>(value->data.begin(), value->data.end())};
}

void km::WriteRegistryValue(const std::u16string& keyPath, const std::u16string& valueName, ULONG type,
                            const std::vector<uint8_t>& data, bool isVolatile)
{
    std::lock_guard<std::mutex> hold(HiveLock());
    std::vector<std::u16string> components;
    if (keyPath.empty() || !SplitName(keyPath, 1, &components) || components.empty() ||
        Upcased(components[0]) != RootName) {
        KmModelMisuse("km::WriteRegistryValue: %s is no key path", std::string(keyPath.begin(), keyPath.end()).c_str());
    }
    std::shared_ptr<KeyNode> key = TheHive().root;
    for (size_t i = 1; i < components.size(); ++i) {
        auto found = key->subkeys.find(Upcased(components[i]));
        if (found != key->subkeys.end()) {
            key = found->second;
            continue;
        }
        if (key->isVolatile && !isVolatile) {
            KmModelMisuse("km::WriteRegistryValue: a non-volatile key under volatile %s",
                          std::string(key->path.begin(), key->path.end()).c_str());
        }
        key = CreateSubkeyLocked(key, components[i], isVolatile);
    }
    Value* value = FindValueLocked(*key, valueName);
    if (value == nullptr) {
        key->values.push_back(Value{valueName, type, {}});
        value = &key->values.back();
    }
    value->type = type;
    value->data.assign(data.begin(), data.end());
}
