// RtlQueryRegistryValues over the model's registry: a table of values read from one key (or its
// subkeys), each stored straight into the caller's variable (RTL_QUERY_REGISTRY_DIRECT) or handed
// to a query routine, with defaults for missing values and RTL_QUERY_REGISTRY_REQUIRED.
// The values an entry needs are copied under the hive lock; the query routines and the caller's
// variables are reached only after it is released.
#include <cstring>
#include <optional>

#include "cm/hive.h"
#include "internal/ke.h"
#include "internal/verifier.h"

namespace km::cm {

namespace {

constexpr ULONG StringPoolTag = 0x71527452;  // "RtRq"

// The keys RelativeTo names, below which Path lies.
const char16_t* RelativeRoot(ULONG relativeTo)
{
    switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE:
        return u"";
    case RTL_REGISTRY_SERVICES:
        return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
    case RTL_REGISTRY_CONTROL:
        return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\";
    case RTL_REGISTRY_WINDOWS_NT:
        return u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\";
    case RTL_REGISTRY_DEVICEMAP:
        return u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\";
    default:
        return nullptr;
    }
}

bool IsString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// One value as an entry sees it: its name, type and data (copied out of the hive).
struct FoundValue {
    std::u16string name;
    ULONG type;
    std::vector<UCHAR> data;
};

// Hive lock taken here: the values of the key `path` names, or the status of its look-up.
NTSTATUS ReadKey(const std::u16string& path, std::vector<FoundValue>* values)
{
    std::lock_guard<std::mutex> hold(HiveLock());
    Resolution found = ResolveLocked(nullptr, path);
    if (!NT_SUCCESS(found.status)) {
        return found.status;
    }
    if (found.key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    values->clear();
    for (const Value& value : found.key->values) {
        values->push_back(FoundValue{value.name, value.type, value.data});
    }
    return STATUS_SUCCESS;
}

// Stores a value into the variable of a RTL_QUERY_REGISTRY_DIRECT entry. A string goes into the
// UNICODE_STRING EntryContext points to (a buffer from paged pool when it has none; Length
// without the terminator); other data of up to a ULONG into the ULONG there; longer data into the
// buffer whose size is the negated LONG at its start.
NTSTATUS StoreDirect(PVOID entryContext, ULONG type, const void* data, ULONG length)
{
    if (IsString(type)) {
        auto* string = static_cast<PUNICODE_STRING>(entryContext);
        ULONG terminated = length;
        if (terminated < sizeof(WCHAR) || static_cast<const WCHAR*>(data)[terminated / sizeof(WCHAR) - 1] != 0) {
            terminated += sizeof(WCHAR);
        }
        if (terminated > 0xFFFF) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (string->Buffer == nullptr) {
            string->Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, terminated, StringPoolTag));
            if (string->Buffer == nullptr) {
                return STATUS_NO_MEMORY;
            }
            string->MaximumLength = static_cast<USHORT>(terminated);
        } else if (terminated > string->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(string->Buffer, data, length);
        string->Buffer[terminated / sizeof(WCHAR) - 1] = 0;
        string->Length = static_cast<USHORT>(terminated - sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        memcpy(entryContext, data, length);
        return STATUS_SUCCESS;
    }
    LONG room = *static_cast<LONG*>(entryContext);
    if (room >= 0 || static_cast<ULONG>(-room) < length) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(entryContext, data, length);
    return STATUS_SUCCESS;
}

// Gives one value to the entry: stored directly or passed to its query routine.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type, const void* data,
                 ULONG length, PVOID context)
{
    if ((entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) {
        return StoreDirect(entry.EntryContext, type, data, length);
    }
    std::u16string terminatedName = name;
    KmCalloutMark mark = KmCalloutEnter();
    NTSTATUS status = entry.QueryRoutine(reinterpret_cast<PWSTR>(terminatedName.data()), type,
                                         const_cast<void*>(data), length, context, entry.EntryContext);
    KmCalloutReturned(mark, "registry query routine", reinterpret_cast<const void*>(entry.QueryRoutine));
    return status;
}

// An entry with a value name: the value, else its default, else (REQUIRED)
// STATUS_OBJECT_NAME_NOT_FOUND, else nothing.
NTSTATUS QueryNamed(const RTL_QUERY_REGISTRY_TABLE& entry, const std::vector<FoundValue>& values, PVOID context)
{
    std::u16string name(reinterpret_cast<const char16_t*>(entry.Name));
    std::u16string upper = Upcased(name);
    for (const FoundValue& value : values) {
        if (Upcased(value.name) == upper) {
            return Deliver(entry, value.name, value.type, value.data.data(), static_cast<ULONG>(value.data.size()),
                           context);
        }
    }
    if ((entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (entry.DefaultType == REG_NONE) {
        return STATUS_SUCCESS;
    }
    ULONG length = entry.DefaultLength;
    if (length == 0 && IsString(entry.DefaultType) && entry.DefaultData != nullptr) {
        const auto* text = static_cast<const char16_t*>(entry.DefaultData);
        length = static_cast<ULONG>((std::char_traits<char16_t>::length(text) + 1) * sizeof(WCHAR));
    }
    return Deliver(entry, name, entry.DefaultType, entry.DefaultData, length, context);
}

}  // namespace

}  // namespace km::cm

using namespace km::cm;

// PASSIVE_LEVEL. Answers the first failure: the key's look-up (STATUS_OBJECT_NAME_NOT_FOUND when it
// does not exist, unless RTL_REGISTRY_OPTIONAL makes that a success), a required value missing
// (STATUS_OBJECT_NAME_NOT_FOUND), a direct variable too small (STATUS_BUFFER_TOO_SMALL), or a query
// routine's failing status; the entries before it have been served.
extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment)
{
    UNREFERENCED_PARAMETER(Environment);
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, 0, 0,
                   "RtlQueryRegistryValues at IRQL %u", irql);
    }
    const char16_t* root = RelativeRoot(RelativeTo & ~RTL_REGISTRY_OPTIONAL);
    if (root == nullptr || Path == nullptr || QueryTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string top = std::u16string(root) + reinterpret_cast<const char16_t*>(Path);
    std::u16string current = top;
    std::vector<FoundValue> values;
    NTSTATUS status = ReadKey(current, &values);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL) != 0) {
        return STATUS_SUCCESS;  // an optional key that does not exist: nothing to query
    }
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         NT_SUCCESS(status) && (entry->QueryRoutine != nullptr || entry->Name != nullptr); ++entry) {
        if ((entry->Flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) != 0) {
            current = top;
            if ((entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0 && entry->Name != nullptr) {
                current += u"\\" + std::u16string(reinterpret_cast<const char16_t*>(entry->Name));
            }
            status = ReadKey(current, &values);
            if (!NT_SUCCESS(status) || entry->QueryRoutine == nullptr) {
                continue;
            }
        }
        bool direct = (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        if (direct && (entry->Name == nullptr || entry->EntryContext == nullptr)) {
            status = STATUS_INVALID_PARAMETER;
        } else if (entry->Name != nullptr && (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) == 0) {
            status = QueryNamed(*entry, values, Context);
        } else if ((entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) != 0) {
            status = Deliver(*entry, u"", REG_NONE, nullptr, 0, Context);
        } else if (values.empty() && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            // No name: every value of the key, in the order they were first set.
            for (size_t i = 0; i < values.size() && NT_SUCCESS(status); ++i) {
                status = Deliver(*entry, values[i].name, values[i].type, values[i].data.data(),
                                 static_cast<ULONG>(values[i].data.size()), Context);
            }
        }
    }
    return status;
}
