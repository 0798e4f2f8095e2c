// Finding processes and threads: by id, from a thread or an IRP, and a process's image name by
// handle. Every pointer handed out with a reference is one the caller drops with
// ObDereferenceObject; the model reports any it keeps at unload like any other reference.
#include <cstring>

#include "internal/ke.h"
#include "internal/ps.h"
#include "internal/verifier.h"
#include "ob/object_manager.h"

namespace {

// Highest IRQL the lookups may be called at.
constexpr KIRQL KmpLookupIrqlLimit = APC_LEVEL;

void KmpCheckIrql(const char* routine, KIRQL limit)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql > limit) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, limit, 0, "%s at IRQL %u", routine,
                   irql);
    }
}

// Hands out a reference on a process or thread record held by `holder`.
void KmpReferenceRecord(void* record, const void* holder)
{
    std::lock_guard<std::mutex> hold(km::ob::ModelLock());
    km::ob::ReferenceLocked(km::ob::FindLocked(record), true, holder);
}

// The live (not yet signalled) record whose id is `id`, or null. `processes` chooses the list.
void* KmpFindLive(HANDLE id, bool processes)
{
    KmPsState& ps = KmPs();
    std::lock_guard<std::mutex> guard(ps.Lock);
    std::lock_guard<std::mutex> dispatcherGuard(KmGetDispatcher().Lock);
    if (processes) {
        for (auto& process : ps.Processes) {
            if (process->UniqueProcessId == id && process->Header.SignalState == 0) {
                return static_cast<_KPROCESS*>(process.get());
            }
        }
        return nullptr;
    }
    for (auto& thread : ps.Threads) {
        if (thread->UniqueThreadId == id && thread->Header.SignalState == 0) {
            return static_cast<_KTHREAD*>(thread.get());
        }
    }
    return nullptr;
}

}  // namespace

namespace {

// Both look-ups: the live process or thread with this id, referenced for the image that called
// (`caller`: the look-up's return address). IRQL <= APC_LEVEL.
NTSTATUS KmpLookup(const char* routine, HANDLE id, bool process, void* caller, void** found)
{
    KmpCheckIrql(routine, KmpLookupIrqlLimit);
    void* record = KmpFindLive(id, process);
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KmpReferenceRecord(record, km::ob::ImageContaining(caller));
    *found = record;
    return STATUS_SUCCESS;
}

}  // namespace

// IRQL <= APC_LEVEL. A process that has exited is not found.
extern "C" NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process)
{
    return KmpLookup("PsLookupProcessByProcessId", ProcessId, true, __builtin_return_address(0),
                     reinterpret_cast<void**>(Process));
}

// IRQL <= APC_LEVEL. A thread that has ended is not found.
extern "C" NTSTATUS NTAPI PsLookupThreadByThreadId(HANDLE ThreadId, PETHREAD* Thread)
{
    return KmpLookup("PsLookupThreadByThreadId", ThreadId, false, __builtin_return_address(0),
                     reinterpret_cast<void**>(Thread));
}

// Any IRQL; no reference is taken.
extern "C" PEPROCESS NTAPI IoThreadToProcess(PETHREAD Thread) { return Thread->Process; }

extern "C" HANDLE NTAPI PsGetThreadProcessId(PETHREAD Thread) { return Thread->Process->UniqueProcessId; }

extern "C" BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread)
{
    return Thread->Process == km::SystemProcess() ? TRUE : FALSE;
}

// Any IRQL up to DISPATCH_LEVEL; the process of the IRP's thread, without a reference.
extern "C" PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp)
{
    PETHREAD thread = Irp->Tail.Overlay.Thread;
    return thread != nullptr ? thread->Process : nullptr;
}

// PASSIVE_LEVEL. The handle is NtCurrentProcess() or a handle to a process object.
extern "C" NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                                    PVOID ProcessInformation, ULONG ProcessInformationLength,
                                                    PULONG ReturnLength)
{
    KmpCheckIrql("ZwQueryInformationProcess", PASSIVE_LEVEL);
    if (ProcessInformationClass != ProcessImageFileName) {
        return STATUS_INVALID_INFO_CLASS;
    }
    km::Process* process = nullptr;
    if (ProcessHandle == NtCurrentProcess()) {
        process = static_cast<km::Process*>(KmCurrentThread()->Process);
    } else {
        km::ob::ObjectHeader* header = nullptr;
        NTSTATUS status = km::ob::ReferenceByHandle(ProcessHandle, KernelMode, nullptr, &header, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        bool isProcess = header->kind == km::ob::ObjectKind::Process;
        process = static_cast<km::Process*>(static_cast<_KPROCESS*>(header->body));
        bool last;
        {
            // Records live until shutdown: the reference need not be kept while the name is copied.
            std::lock_guard<std::mutex> hold(km::ob::ModelLock());
            last = km::ob::DereferenceLocked(header, true, nullptr);
        }
        if (last) {
            km::ob::FinishLastReference(header);
        }
        if (!isProcess) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
    }
    std::u16string name;
    if (process != km::SystemProcess()) {
        name.assign(process->ImageName.begin(), process->ImageName.end());
    }
    ULONG nameBytes = (ULONG)(name.size() * sizeof(WCHAR));
    ULONG needed = (ULONG)sizeof(UNICODE_STRING) + nameBytes + (ULONG)sizeof(WCHAR);
    if (ReturnLength != nullptr) {
        *ReturnLength = needed;
    }
    if (ProcessInformationLength < needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* result = static_cast<PUNICODE_STRING>(ProcessInformation);
    auto* text = reinterpret_cast<PWCH>(result + 1);
    memcpy(text, name.data(), nameBytes);
    text[name.size()] = 0;
    result->Length = (USHORT)nameBytes;
    result->MaximumLength = (USHORT)(nameBytes + sizeof(WCHAR));
    result->Buffer = text;
    return STATUS_SUCCESS;
}
