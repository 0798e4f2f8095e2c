// Services by handle: event objects (ZwCreateEvent, ZwSetEvent, ZwClearEvent), waits
// (ZwWaitForSingleObject) on the dispatcher objects a handle can name (events, processes and
// threads), and ZwDuplicateObject. A handle is resolved as kernel mode resolves it; the wait
// itself is KeWaitForSingleObject's.
#include "internal/ke.h"
#include "internal/verifier.h"
#include "object_manager.h"

using namespace km::ob;

namespace {

// Zw services run at PASSIVE_LEVEL only.
void KmpCheckPassive(const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, PASSIVE_LEVEL, 0, "%s at IRQL %u",
                   routine, irql);
    }
}

// Last reference of an event made by ZwCreateEvent: its body goes.
void KmpFreeEvent(ObjectHeader* header) { delete static_cast<KEVENT*>(header->body); }

void KmpDropReference(ObjectHeader* header, const void* holder)
{
    bool last;
    {
        std::lock_guard<std::mutex> hold(ModelLock());
        last = DereferenceLocked(header, true, holder);
    }
    if (last) {
        FinishLastReference(header);
    }
}

// Resolves a kernel-mode handle to an object whose kind `accepts` allows, with a reference held by
// `holder`: STATUS_INVALID_HANDLE for a handle not open, STATUS_OBJECT_TYPE_MISMATCH for another kind.
template <typename Accepts>
NTSTATUS KmpReferenceKind(HANDLE handle, const void* holder, Accepts accepts, ObjectHeader** header)
{
    NTSTATUS status = ReferenceByHandle(handle, KernelMode, holder, header, nullptr);
    if (NT_SUCCESS(status) && !accepts((*header)->kind)) {
        KmpDropReference(*header, holder);
        status = STATUS_OBJECT_TYPE_MISMATCH;
    }
    return status;
}

bool KmpIsEvent(ObjectKind kind) { return kind == ObjectKind::Event; }

bool KmpIsWaitable(ObjectKind kind)
{
    return kind == ObjectKind::Event || kind == ObjectKind::Process || kind == ObjectKind::Thread;
}

}  // namespace

// PASSIVE_LEVEL. An unnamed event with one handle (a kernel handle with OBJ_KERNEL_HANDLE); the
// model makes no named events (STATUS_NOT_SUPPORTED for a name).
extern "C" NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                        BOOLEAN InitialState)
{
    KmpCheckPassive("ZwCreateEvent");
    if (EventHandle == nullptr || (EventType != NotificationEvent && EventType != SynchronizationEvent)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectAttributes != nullptr && ObjectAttributes->ObjectName != nullptr &&
        ObjectAttributes->ObjectName->Length != 0) {
        return STATUS_NOT_SUPPORTED;
    }
    const void* holder = ImageContaining(__builtin_return_address(0));
    auto* event = new KEVENT;
    KeInitializeEvent(event, EventType, InitialState);
    ObjectHeader* header = Create(ObjectKind::Event, event, KmpFreeEvent);
    bool kernelHandle = ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    *EventHandle = InsertHandle(header, DesiredAccess, kernelHandle, holder);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. PreviousState, when given, receives the state before.
extern "C" NTSTATUS NTAPI ZwSetEvent(HANDLE EventHandle, PLONG PreviousState)
{
    KmpCheckPassive("ZwSetEvent");
    const void* holder = ImageContaining(__builtin_return_address(0));
    ObjectHeader* header;
    NTSTATUS status = KmpReferenceKind(EventHandle, holder, KmpIsEvent, &header);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG previous = KeSetEvent(static_cast<PRKEVENT>(header->body), IO_NO_INCREMENT, FALSE);
    if (PreviousState != nullptr) {
        *PreviousState = previous;
    }
    KmpDropReference(header, holder);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI ZwClearEvent(HANDLE EventHandle)
{
    KmpCheckPassive("ZwClearEvent");
    const void* holder = ImageContaining(__builtin_return_address(0));
    ObjectHeader* header;
    NTSTATUS status = KmpReferenceKind(EventHandle, holder, KmpIsEvent, &header);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeClearEvent(static_cast<PRKEVENT>(header->body));
    KmpDropReference(header, holder);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Waits on the handle's event, process or thread, holding a reference on it for the
// wait: STATUS_SUCCESS, STATUS_TIMEOUT, or the handle's error.
extern "C" NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    KmpCheckPassive("ZwWaitForSingleObject");
    const void* holder = ImageContaining(__builtin_return_address(0));
    ObjectHeader* header;
    NTSTATUS status = KmpReferenceKind(Handle, holder, KmpIsWaitable, &header);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = KeWaitForSingleObject(header->body, Executive, KernelMode, Alertable, Timeout);
    KmpDropReference(header, holder);
    return status;
}

// PASSIVE_LEVEL. Both process handles are NtCurrentProcess() (STATUS_NOT_SUPPORTED otherwise: the
// model duplicates within one process's table, or into the kernel's with OBJ_KERNEL_HANDLE). The
// new handle has the source's access with DUPLICATE_SAME_ACCESS, DesiredAccess otherwise;
// DUPLICATE_CLOSE_SOURCE closes the source once the new handle is in.
extern "C" NTSTATUS NTAPI ZwDuplicateObject(HANDLE SourceProcessHandle, HANDLE SourceHandle,
                                            HANDLE TargetProcessHandle, PHANDLE TargetHandle,
                                            ACCESS_MASK DesiredAccess, ULONG HandleAttributes, ULONG Options)
{
    KmpCheckPassive("ZwDuplicateObject");
    if (SourceProcessHandle != NtCurrentProcess() || TargetProcessHandle != NtCurrentProcess()) {
        return STATUS_NOT_SUPPORTED;
    }
    if (TargetHandle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const void* holder = ImageContaining(__builtin_return_address(0));
    ObjectHeader* header;
    ACCESS_MASK granted;
    NTSTATUS status = ReferenceByHandle(SourceHandle, KernelMode, nullptr, &header, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        // The new handle takes over a model reference in place of the one handed out here.
        std::lock_guard<std::mutex> hold(ModelLock());
        ReferenceLocked(header, false, nullptr);
        DereferenceLocked(header, true, nullptr);
    }
    ACCESS_MASK access = (Options & DUPLICATE_SAME_ACCESS) != 0 ? granted : DesiredAccess;
    bool kernelHandle = (Options & DUPLICATE_SAME_ATTRIBUTES) != 0 ? IsKernelHandle(SourceHandle)
                                                                   : (HandleAttributes & OBJ_KERNEL_HANDLE) != 0;
    *TargetHandle = InsertHandle(header, access, kernelHandle, holder);
    if ((Options & DUPLICATE_CLOSE_SOURCE) != 0) {
        CloseHandle(SourceHandle, KernelMode);
    }
    return STATUS_SUCCESS;
}
