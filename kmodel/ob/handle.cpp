// Handle tables, one per process; ObReferenceObjectByHandle, NtClose and ZwClose.
#include <cstdio>

#include "../io/io_manager.h"
#include "internal/verifier.h"
#include "kmodel/model.h"
#include "object_manager.h"

namespace km::ob {

namespace {

constexpr uint64_t KernelHandleBits = 0xFFFFFFFF80000000ull;
constexpr uint64_t HandleIncrement = 4;

struct HandleEntry {
    ObjectHeader* object;
    ACCESS_MASK granted;
    const void* holder;
};

struct HandleTable {
    std::map<uint64_t, HandleEntry> entries;
    uint64_t nextIndex = 1;
};

// By process id. Guarded by ModelLock.
std::map<HANDLE, HandleTable>& Tables()
{
    static std::map<HANDLE, HandleTable> tables;
    return tables;
}

HandleTable* TableFor(HANDLE handle, KPROCESSOR_MODE mode, HANDLE* processId)
{
    if (IsKernelHandle(handle)) {
        if (mode == UserMode) {
            return nullptr;
        }
        *processId = SystemProcessId();
    } else {
        *processId = CurrentProcessId();
    }
    auto found = Tables().find(*processId);
    return found == Tables().end() ? nullptr : &found->second;
}

// Drops one handle of `header`, outside ModelLock: the last handle's routine, then the handle's
// reference.
void ReleaseHandle(ObjectHeader* header)
{
    bool lastHandle;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        lastHandle = --header->handleCount == 0;
    }
    if (lastHandle && header->lastHandle != nullptr) {
        header->lastHandle(header);
    }
    bool last;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        last = DereferenceLocked(header, false, nullptr);
    }
    if (last) {
        FinishLastReference(header);
    }
}

std::string HandleLine(HANDLE processId, uint64_t handle, const HandleEntry& entry)
{
    char line[160];
    snprintf(line, sizeof line, "handle 0x%llx of process %llu not closed: ", static_cast<unsigned long long>(handle),
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(processId)));
    return line + DescribeLocked(entry.object) + ", opened by " + ImageDisplayName(entry.holder) + "\n";
}

}  // namespace

HANDLE SystemProcessId() { return km::ProcessId(km::SystemProcess()); }

HANDLE CurrentProcessId() { return PsGetCurrentProcessId(); }

bool IsKernelHandle(HANDLE handle)
{
    return (reinterpret_cast<uint64_t>(handle) & KernelHandleBits) == KernelHandleBits;
}

std::string DescribeLocked(const ObjectHeader* header)
{
    char text[64];
    if (!header->name.empty()) {
        // Deleted objects keep the name they had, for reports.
        return std::string(KindName(header->kind)) + " " + Printable(header->name);
    }
    if (header->kind == ObjectKind::File) {
        auto* file = static_cast<const FILE_OBJECT*>(header->body);
        ObjectHeader* device = FindLocked(file->DeviceObject);
        snprintf(text, sizeof text, "file %p on ", header->body);
        return text + (device != nullptr ? DescribeLocked(device) : std::string("a gone device"));
    }
    if (header->kind == ObjectKind::Thread) {
        snprintf(text, sizeof text, "thread %llu",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(PsGetThreadId(static_cast<PETHREAD>(header->body)))));
        return text;
    }
    if (header->kind == ObjectKind::Process) {
        snprintf(text, sizeof text, "process %llu",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(PsGetProcessId(static_cast<PEPROCESS>(header->body)))));
        return text;
    }
    snprintf(text, sizeof text, "unnamed %s %p", KindName(header->kind), header->body);
    return text;
}

HANDLE InsertHandle(ObjectHeader* header, ACCESS_MASK granted, bool kernelHandle, const void* holder)
{
    std::lock_guard<std::mutex> hold(ModelLock());
    HANDLE processId = kernelHandle ? SystemProcessId() : CurrentProcessId();
    HandleTable& table = Tables()[processId];
    uint64_t value = table.nextIndex++ * HandleIncrement;
    if (kernelHandle) {
        value |= KernelHandleBits;
    }
    table.entries[value] = HandleEntry{header, granted, holder};
    header->handleCount++;
    return reinterpret_cast<HANDLE>(value);
}

NTSTATUS ReferenceByHandle(HANDLE handle, KPROCESSOR_MODE mode, const void* holder, ObjectHeader** header,
                           ACCESS_MASK* granted)
{
    std::lock_guard<std::mutex> hold(ModelLock());
    HANDLE processId;
    HandleTable* table = TableFor(handle, mode, &processId);
    if (table == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    auto found = table->entries.find(reinterpret_cast<uint64_t>(handle));
    if (found == table->entries.end()) {
        return STATUS_INVALID_HANDLE;
    }
    ReferenceLocked(found->second.object, true, holder);
    *header = found->second.object;
    if (granted != nullptr) {
        *granted = found->second.granted;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode)
{
    ObjectHeader* header;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        HANDLE processId;
        HandleTable* table = TableFor(handle, mode, &processId);
        auto found = table != nullptr ? table->entries.find(reinterpret_cast<uint64_t>(handle))
                                      : std::map<uint64_t, HandleEntry>::iterator();
        if (table == nullptr || found == table->entries.end()) {
            if (mode == KernelMode) {
                km::BugCheck(INVALID_KERNEL_HANDLE, (ULONG_PTR)handle, 0, 0, 0,
                             "a kernel-mode caller closed a handle that is not open");
            }
            return STATUS_INVALID_HANDLE;
        }
        header = found->second.object;
        table->entries.erase(found);
    }
    ReleaseHandle(header);
    return STATUS_SUCCESS;
}

void CloseProcessHandles(HANDLE processId)
{
    std::vector<ObjectHeader*> objects;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        auto found = Tables().find(processId);
        if (found == Tables().end()) {
            return;
        }
        for (auto& entry : found->second.entries) {
            objects.push_back(entry.second.object);
        }
        Tables().erase(found);
    }
    for (ObjectHeader* header : objects) {
        ReleaseHandle(header);
    }
}

void CloseAllHandles()
{
    std::vector<HANDLE> processes;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        for (auto& table : Tables()) {
            processes.push_back(table.first);
        }
    }
    for (HANDLE processId : processes) {
        CloseProcessHandles(processId);
    }
}

std::string HandleLeakReport()
{
    std::lock_guard<std::mutex> hold(ModelLock());
    std::string report;
    for (auto& table : Tables()) {
        for (auto& entry : table.second.entries) {
            report += HandleLine(table.first, entry.first, entry.second);
        }
    }
    return report;
}

std::string HandlesHeldByImage(const void* image, bool close)
{
    std::string report;
    std::vector<ObjectHeader*> closing;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        for (auto& table : Tables()) {
            for (auto entry = table.second.entries.begin(); entry != table.second.entries.end();) {
                if (entry->second.holder != image) {
                    ++entry;
                    continue;
                }
                report += HandleLine(table.first, entry->first, entry->second);
                if (close) {
                    closing.push_back(entry->second.object);
                    entry = table.second.entries.erase(entry);
                } else {
                    ++entry;
                }
            }
        }
    }
    for (ObjectHeader* header : closing) {
        ReleaseHandle(header);
    }
    return report;
}

void ResetHandleTablesLocked() { Tables().clear(); }

}  // namespace km::ob

using namespace km::ob;

// Resolves a handle to its object with a reference for the caller. A UserMode caller cannot use
// kernel handles and needs the access it asks for; ObjectType, when given, must match.
extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, PVOID ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                    PVOID HandleInformation)
{
    UNREFERENCED_PARAMETER(HandleInformation);
    const void* holder = ImageContaining(__builtin_return_address(0));
    ObjectHeader* header;
    ACCESS_MASK granted;
    NTSTATUS status = ReferenceByHandle(Handle, AccessMode, holder, &header, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ObjectType != nullptr && ObjectType != km::io::ObjectTypeOf(header->kind)) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
    } else if (AccessMode == UserMode && (DesiredAccess & ~granted) != 0) {
        status = STATUS_ACCESS_DENIED;
    }
    if (!NT_SUCCESS(status)) {
        bool last;
        {
            std::lock_guard<std::mutex> hold(ModelLock());
            last = DereferenceLocked(header, true, holder);
        }
        if (last) {
            FinishLastReference(header);
        }
        return status;
    }
    *Object = header->body;
    return STATUS_SUCCESS;
}

// Looks a full name up in the name space and hands out a reference on its object. ObjectType,
// when given, must match; STATUS_ACCESS_DENIED from user mode (the model grants no access by
// name there); the name space's statuses for a name that names nothing.
extern "C" NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING ObjectName, ULONG Attributes,
                                                  PVOID PassedAccessState, ACCESS_MASK DesiredAccess,
                                                  POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                  PVOID ParseContext, PVOID* Object)
{
    UNREFERENCED_PARAMETER(Attributes);
    UNREFERENCED_PARAMETER(PassedAccessState);
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ParseContext);
    if (ObjectName == nullptr || Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (AccessMode == UserMode) {
        return STATUS_ACCESS_DENIED;
    }
    const void* holder = ImageContaining(__builtin_return_address(0));
    std::lock_guard<std::mutex> hold(ModelLock());
    LookupResult found = LookupLocked(ToString(ObjectName));
    if (!NT_SUCCESS(found.status)) {
        return found.status;
    }
    if (!found.remaining.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (ObjectType != nullptr && static_cast<PVOID>(ObjectType) != km::io::ObjectTypeOf(found.object->kind)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ReferenceLocked(found.object, true, holder);
    *Object = found.object->body;
    return STATUS_SUCCESS;
}

// Any object the caller holds; the handle takes its own reference. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID PassedAccessState,
                                                ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode, PHANDLE Handle)
{
    UNREFERENCED_PARAMETER(PassedAccessState);
    UNREFERENCED_PARAMETER(AccessMode);
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, 0, 0,
                   "ObOpenObjectByPointer at IRQL %u", irql);
    }
    const void* holder = ImageContaining(__builtin_return_address(0));
    ObjectHeader* header;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        header = FindLocked(Object);
        if (header == nullptr) {
            km::BugCheck(REFERENCE_BY_POINTER, (ULONG_PTR)Object, 0, 0, 0,
                         "ObOpenObjectByPointer on a pointer that is not a live object");
        }
        if (ObjectType != nullptr && ObjectType != km::io::ObjectTypeOf(header->kind)) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        ReferenceLocked(header, false, nullptr);
    }
    *Handle = InsertHandle(header, DesiredAccess, (HandleAttributes & OBJ_KERNEL_HANDLE) != 0, holder);
    return STATUS_SUCCESS;
}

// Closes a handle of the calling thread's previous mode.
extern "C" NTSTATUS NTAPI NtClose(HANDLE Handle) { return CloseHandle(Handle, ExGetPreviousMode()); }

// Closes a handle from kernel mode.
extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) { return CloseHandle(Handle, KernelMode); }
