// The configuration manager as its own parts and the driver loader see it: the tree of keys under
// "\REGISTRY" with their values, name lookup, and the key objects that handles refer to.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ntmodel/ntifs.h"

namespace km::cm {

struct Value {
    std::u16string name;  // as first set
    ULONG type;
    std::vector<UCHAR> data;
};

// One key. A key is volatile (gone at the next restart) or not; a non-volatile key never lies
// under a volatile one. A deleted key is out of the tree; handles still open on it see
// STATUS_KEY_DELETED.
struct KeyNode {
    std::u16string name;  // its own component, as created
    std::u16string path;  // the full path as created, for reports
    bool isVolatile = false;
    bool hiveRoot = false;  // a key the system made (\REGISTRY\MACHINE\SYSTEM...): never deleted
    bool deleted = false;
    KeyNode* parent = nullptr;
    std::map<std::u16string, std::shared_ptr<KeyNode>> subkeys;  // by upcased name
    std::vector<Value> values;                                   // in the order first set
};

// What a key handle refers to (the body of a key object).
struct KeyObject {
    std::shared_ptr<KeyNode> node;
};

// Guards the whole tree. Never held while a driver routine runs or the thread waits.
std::mutex& HiveLock();

// How a name is resolved: the key it names, or the parent of the key it would name and the new
// key's component (for creation). `root` is the key of RootDirectory, or null for an absolute
// name. Hive lock held.
struct Resolution {
    NTSTATUS status;
    std::shared_ptr<KeyNode> key;     // the key named, when it exists
    std::shared_ptr<KeyNode> parent;  // its parent (null for \REGISTRY)
    std::u16string lastComponent;
};
Resolution ResolveLocked(const std::shared_ptr<KeyNode>& root, const std::u16string& name);
// Creates `component` under `parent` (hive lock held).
std::shared_ptr<KeyNode> CreateSubkeyLocked(const std::shared_ptr<KeyNode>& parent, const std::u16string& component,
                                            bool isVolatile);
// The value of that name (case-insensitive), or null. Hive lock held.
Value* FindValueLocked(KeyNode& key, const std::u16string& name);
std::u16string Upcased(const std::u16string& text);

}  // namespace km::cm
