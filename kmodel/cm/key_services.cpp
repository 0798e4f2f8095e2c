// The registry's system services: ZwCreateKey, ZwOpenKey, ZwSetValueKey, ZwQueryValueKey and
// ZwDeleteKey, with key objects and their handles (ZwClose closes them as any handle). All run
// at PASSIVE_LEVEL with previous mode KernelMode, so handles are not checked for access.
#include <cstring>

#include "cm/hive.h"
#include "internal/ke.h"
#include "internal/verifier.h"
#include "io/io_manager.h"

namespace km::cm {

namespace {

void RequirePassive(const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, 0, 0, "%s at IRQL %u", routine,
                   irql);
    }
}

void KeyLastReference(ob::ObjectHeader* header) { delete static_cast<KeyObject*>(header->body); }

// Generic rights mapped to the key rights they stand for.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if ((desired & (GENERIC_READ | GENERIC_EXECUTE)) != 0) {
        granted |= KEY_READ;
    }
    if ((desired & GENERIC_WRITE) != 0) {
        granted |= KEY_WRITE;
    }
    if ((desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0) {
        granted |= KEY_ALL_ACCESS;
    }
    return granted;
}

// A new key object for `key` and a handle to it for the calling process, or the System process
// when the attributes ask for a kernel handle.
HANDLE OpenKeyHandle(const std::shared_ptr<KeyNode>& key, ACCESS_MASK desiredAccess, ULONG attributes,
                     const void* holder)
{
    auto* object = new KeyObject{key};
    ob::ObjectHeader* header = ob::Create(ob::ObjectKind::Key, object, KeyLastReference);
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        header->name = key->path;  // for reports; keys are not in the object name space here
        header->discard = KeyLastReference;
    }
    return ob::InsertHandle(header, MapKeyAccess(desiredAccess), (attributes & OBJ_KERNEL_HANDLE) != 0, holder);
}

// A referenced key handle; release it with Release().
struct KeyReference {
    NTSTATUS status = STATUS_INVALID_HANDLE;
    ob::ObjectHeader* header = nullptr;
    std::shared_ptr<KeyNode> key;

    explicit KeyReference(HANDLE handle)
    {
        status = ob::ReferenceByHandle(handle, KernelMode, nullptr, &header, nullptr);
        if (!NT_SUCCESS(status)) {
            header = nullptr;
            return;
        }
        if (header->kind != ob::ObjectKind::Key) {
            status = STATUS_OBJECT_TYPE_MISMATCH;
            return;
        }
        key = static_cast<KeyObject*>(header->body)->node;
    }
    ~KeyReference()
    {
        if (header == nullptr) {
            return;
        }
        bool last;
        {
            std::lock_guard<std::mutex> hold(ob::ModelLock());
            last = ob::DereferenceLocked(header, true, nullptr);
        }
        if (last) {
            ob::FinishLastReference(header);
        }
    }
    KeyReference(const KeyReference&) = delete;
    KeyReference& operator=(const KeyReference&) = delete;
};

// Resolves the attributes' name (relative to their RootDirectory, if any) under the hive lock,
// which `hold` takes.
Resolution Resolve(POBJECT_ATTRIBUTES attributes, std::unique_lock<std::mutex>* hold)
{
    if (attributes == nullptr || attributes->ObjectName == nullptr) {
        return Resolution{STATUS_OBJECT_NAME_INVALID, nullptr, nullptr, u""};
    }
    std::shared_ptr<KeyNode> root;
    if (attributes->RootDirectory != nullptr) {
        KeyReference directory(attributes->RootDirectory);
        if (!NT_SUCCESS(directory.status)) {
            return Resolution{directory.status, nullptr, nullptr, u""};
        }
        root = directory.key;
    }
    std::u16string name = ob::ToString(attributes->ObjectName);
    *hold = std::unique_lock<std::mutex>(HiveLock());
    return ResolveLocked(root, name);
}

// The fixed part and the variable part (name or data) of a value's information.
struct ValueLayout {
    ULONG fixed;
    const void* payload;
    ULONG payloadLength;
};

}  // namespace

}  // namespace km::cm

using namespace km::cm;
namespace ob = km::ob;

// Opens the key, creating it (volatile with REG_OPTION_VOLATILE) when it does not exist; its
// parent must exist. *Disposition says which happened.
extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                      ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions,
                                      PULONG Disposition)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    RequirePassive("ZwCreateKey");
    const void* holder = ob::ImageContaining(__builtin_return_address(0));
    if ((CreateOptions & ~REG_LEGAL_OPTION) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((CreateOptions & ~REG_OPTION_VOLATILE) != 0) {
        return STATUS_NOT_IMPLEMENTED;  // the model has no symbolic links and no backup semantics
    }
    std::unique_lock<std::mutex> hold;
    Resolution found = Resolve(ObjectAttributes, &hold);
    std::shared_ptr<KeyNode> key = found.key;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (key == nullptr) {
        if (found.status != STATUS_OBJECT_NAME_NOT_FOUND || found.parent == nullptr) {
            return found.status;
        }
        bool isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
        if (found.parent->isVolatile && !isVolatile) {
            return STATUS_CHILD_MUST_BE_VOLATILE;
        }
        key = CreateSubkeyLocked(found.parent, found.lastComponent, isVolatile);
        disposition = REG_CREATED_NEW_KEY;
    }
    hold.unlock();
    *KeyHandle = OpenKeyHandle(key, DesiredAccess, ObjectAttributes->Attributes, holder);
    if (Disposition != nullptr) {
        *Disposition = disposition;
    }
    return STATUS_SUCCESS;
}

// Opens an existing key.
extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    RequirePassive("ZwOpenKey");
    const void* holder = ob::ImageContaining(__builtin_return_address(0));
    std::unique_lock<std::mutex> hold;
    Resolution found = Resolve(ObjectAttributes, &hold);
    if (found.key == nullptr) {
        return found.status;
    }
    hold.unlock();
    *KeyHandle = OpenKeyHandle(found.key, DesiredAccess, ObjectAttributes->Attributes, holder);
    return STATUS_SUCCESS;
}

// The value services' shared start: references the key of the handle, takes the hive lock and
// refuses a deleted key; then runs `use` on the key and the value's name (a null name is the
// default value's) with the lock held, and answers its status.
template <class Use>
NTSTATUS WithLiveKey(HANDLE keyHandle, PUNICODE_STRING valueName, Use use)
{
    KeyReference reference(keyHandle);
    if (!NT_SUCCESS(reference.status)) {
        return reference.status;
    }
    std::u16string name = valueName != nullptr ? ob::ToString(valueName) : std::u16string();
    std::lock_guard<std::mutex> hold(HiveLock());
    if (reference.key->deleted) {
        return STATUS_KEY_DELETED;
    }
    return use(*reference.key, name);
}

// Sets a value (creating it, or replacing its type and data). A null or empty name is the key's
// default value.
extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                        PVOID Data, ULONG DataSize)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    RequirePassive("ZwSetValueKey");
    if (Data == nullptr && DataSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return WithLiveKey(KeyHandle, ValueName, [&](KeyNode& key, const std::u16string& name) -> NTSTATUS {
        Value* value = FindValueLocked(key, name);
        if (value == nullptr) {
            key.values.push_back(Value{name, Type, {}});
            value = &key.values.back();
        }
        value->type = Type;
        const auto* bytes = static_cast<const UCHAR*>(Data);
        value->data.assign(bytes, bytes + DataSize);
        return STATUS_SUCCESS;
    });
}

// Answers a value's basic (name) or partial (data) information. *ResultLength is always the size
// the whole answer needs. A buffer shorter than the fixed part: STATUS_BUFFER_TOO_SMALL and
// nothing written; long enough for the fixed part only: STATUS_BUFFER_OVERFLOW with the fixed
// part written (a basic answer also gets as much of the name as fits).
extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    RequirePassive("ZwQueryValueKey");
    if (KeyValueInformationClass >= MaxKeyValueInfoClass || ResultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeyValueInformationClass != KeyValueBasicInformation &&
        KeyValueInformationClass != KeyValuePartialInformation) {
        return STATUS_NOT_IMPLEMENTED;  // the model answers the basic and the partial classes
    }
    return WithLiveKey(KeyHandle, ValueName, [&](KeyNode& key, const std::u16string& name) -> NTSTATUS {
        const Value* value = FindValueLocked(key, name);
        if (value == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        bool basic = KeyValueInformationClass == KeyValueBasicInformation;
        ValueLayout layout = basic ? ValueLayout{offsetof(KEY_VALUE_BASIC_INFORMATION, Name), value->name.data(),
                                                 static_cast<ULONG>(value->name.size() * sizeof(WCHAR))}
                                   : ValueLayout{offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data), value->data.data(),
                                                 static_cast<ULONG>(value->data.size())};
        *ResultLength = layout.fixed + layout.payloadLength;
        if (Length < layout.fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto* fixed = static_cast<ULONG*>(KeyValueInformation);
        fixed[0] = 0;  // TitleIndex
        fixed[1] = value->type;
        fixed[2] = layout.payloadLength;  // NameLength or DataLength
        ULONG room = Length - layout.fixed;
        ULONG copied = room >= layout.payloadLength ? layout.payloadLength : (basic ? room : 0);
        memcpy(static_cast<UCHAR*>(KeyValueInformation) + layout.fixed, layout.payload, copied);
        return room >= layout.payloadLength ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    });
}

// Deletes the key of the handle; a key with subkeys, and the system's own keys, cannot be deleted.
extern "C" NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle)
{
    RequirePassive("ZwDeleteKey");
    KeyReference reference(KeyHandle);
    if (!NT_SUCCESS(reference.status)) {
        return reference.status;
    }
    std::lock_guard<std::mutex> hold(HiveLock());
    KeyNode& key = *reference.key;
    if (key.deleted) {
        return STATUS_KEY_DELETED;
    }
    if (key.hiveRoot || !key.subkeys.empty()) {
        return STATUS_CANNOT_DELETE;
    }
    key.deleted = true;
    key.parent->subkeys.erase(Upcased(key.name));
    key.parent = nullptr;
    return STATUS_SUCCESS;
}
