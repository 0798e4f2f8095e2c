// The kernel's export table: every routine the model offers kernel code, by name, for
// MmGetSystemRoutineAddress. Tests remove names to stand for an older kernel that lacks them.
// A routine added to the model's NT headers is added here too.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "internal/mm.h"
#include "internal/ps.h"
#include "internal/verifier.h"

namespace {

struct KmpExport {
    const char* Name;
    void* Routine;
};

#define KMP_EXPORT(routine) {#routine, reinterpret_cast<void*>(&routine)}

const KmpExport KmpKernelExports[] = {
    // Ke
    KMP_EXPORT(KeGetCurrentIrql),
    KMP_EXPORT(KeRaiseIrql),
    KMP_EXPORT(KeLowerIrql),
    KMP_EXPORT(KeRaiseIrqlToDpcLevel),
    KMP_EXPORT(KeInitializeSpinLock),
    KMP_EXPORT(KeAcquireSpinLockRaiseToDpc),
    KMP_EXPORT(KeReleaseSpinLock),
    KMP_EXPORT(KeAcquireSpinLockAtDpcLevel),
    KMP_EXPORT(KeReleaseSpinLockFromDpcLevel),
    KMP_EXPORT(KeAcquireInStackQueuedSpinLock),
    KMP_EXPORT(KeReleaseInStackQueuedSpinLock),
    KMP_EXPORT(KeInitializeEvent),
    KMP_EXPORT(KeSetEvent),
    KMP_EXPORT(KeResetEvent),
    KMP_EXPORT(KeClearEvent),
    KMP_EXPORT(KeReadStateEvent),
    KMP_EXPORT(KeInitializeMutex),
    KMP_EXPORT(KeReleaseMutex),
    KMP_EXPORT(KeReadStateMutex),
    KMP_EXPORT(KeWaitForSingleObject),
    KMP_EXPORT(KeDelayExecutionThread),
    KMP_EXPORT(KeWaitForMultipleObjects),
    KMP_EXPORT(KeInitializeSemaphore),
    KMP_EXPORT(KeReleaseSemaphore),
    KMP_EXPORT(KeReadStateSemaphore),
    KMP_EXPORT(KeInitializeTimer),
    KMP_EXPORT(KeInitializeTimerEx),
    KMP_EXPORT(KeSetTimer),
    KMP_EXPORT(KeSetTimerEx),
    KMP_EXPORT(KeCancelTimer),
    KMP_EXPORT(KeReadStateTimer),
    KMP_EXPORT(KeInitializeDpc),
    KMP_EXPORT(KeInsertQueueDpc),
    KMP_EXPORT(KeRemoveQueueDpc),
    KMP_EXPORT(KeQueryPerformanceCounter),
    KMP_EXPORT(KeQuerySystemTime),
    KMP_EXPORT(KeQueryInterruptTime),
    KMP_EXPORT(KeGetCurrentThread),
    KMP_EXPORT(KeBugCheckEx),
    KMP_EXPORT(KeBugCheck),
    // Ex
    KMP_EXPORT(ExAllocatePool),
    KMP_EXPORT(ExAllocatePoolWithTag),
    KMP_EXPORT(ExAllocatePoolWithQuotaTag),
    KMP_EXPORT(ExAllocatePoolWithTagPriority),
    KMP_EXPORT(ExFreePoolWithTag),
    KMP_EXPORT(ExFreePool),
    KMP_EXPORT(ExInitializeFastMutex),
    KMP_EXPORT(ExAcquireFastMutex),
    KMP_EXPORT(ExReleaseFastMutex),
    KMP_EXPORT(ExTryToAcquireFastMutex),
    KMP_EXPORT(ExInitializeResourceLite),
    KMP_EXPORT(ExDeleteResourceLite),
    KMP_EXPORT(ExAcquireResourceSharedLite),
    KMP_EXPORT(ExAcquireResourceExclusiveLite),
    KMP_EXPORT(ExReleaseResourceLite),
    KMP_EXPORT(ExIsResourceAcquiredExclusiveLite),
    KMP_EXPORT(ExIsResourceAcquiredSharedLite),
    KMP_EXPORT(KeEnterCriticalRegion),
    KMP_EXPORT(KeLeaveCriticalRegion),
    KMP_EXPORT(ExRaiseStatus),
    KMP_EXPORT(ExpInterlockedPopEntrySList),
    KMP_EXPORT(ExpInterlockedPushEntrySList),
    KMP_EXPORT(ExpInterlockedFlushSList),
    KMP_EXPORT(ExInitializeNPagedLookasideList),
    KMP_EXPORT(ExDeleteNPagedLookasideList),
    KMP_EXPORT(ExInitializePagedLookasideList),
    KMP_EXPORT(ExDeletePagedLookasideList),
    KMP_EXPORT(ExInitializeLookasideListEx),
    KMP_EXPORT(ExDeleteLookasideListEx),
    KMP_EXPORT(DbgPrint),
    KMP_EXPORT(DbgPrintEx),
    KMP_EXPORT(vDbgPrintEx),
    // Rtl
    KMP_EXPORT(RtlInitUnicodeString),
    KMP_EXPORT(RtlCopyUnicodeString),
    KMP_EXPORT(RtlAppendUnicodeStringToString),
    KMP_EXPORT(RtlAppendUnicodeToString),
    KMP_EXPORT(RtlCompareUnicodeString),
    KMP_EXPORT(RtlEqualUnicodeString),
    KMP_EXPORT(RtlPrefixUnicodeString),
    KMP_EXPORT(RtlUpcaseUnicodeChar),
    KMP_EXPORT(RtlInitAnsiString),
    KMP_EXPORT(RtlAnsiStringToUnicodeString),
    KMP_EXPORT(RtlUnicodeStringToAnsiString),
    KMP_EXPORT(RtlFreeUnicodeString),
    KMP_EXPORT(RtlFreeAnsiString),
    KMP_EXPORT(RtlUnicodeStringToInteger),
    KMP_EXPORT(RtlQueryRegistryValues),
    KMP_EXPORT(RtlUpcaseUnicodeString),
    KMP_EXPORT(RtlDuplicateUnicodeString),
    // Mm
    KMP_EXPORT(MmIsNonPagedSystemAddressValid),
    KMP_EXPORT(MmGetSystemRoutineAddress),
    KMP_EXPORT(MmProbeAndLockPages),
    KMP_EXPORT(MmUnlockPages),
    KMP_EXPORT(MmMapLockedPagesSpecifyCache),
    KMP_EXPORT(MmUnmapLockedPages),
    KMP_EXPORT(MmBuildMdlForNonPagedPool),
    // Ps
    KMP_EXPORT(PsGetCurrentThreadId),
    KMP_EXPORT(PsGetCurrentProcessId),
    KMP_EXPORT(PsGetCurrentThread),
    KMP_EXPORT(PsGetCurrentProcess),
    KMP_EXPORT(PsGetProcessId),
    KMP_EXPORT(PsGetThreadId),
    KMP_EXPORT(PsSetCreateProcessNotifyRoutine),
    KMP_EXPORT(PsSetCreateThreadNotifyRoutine),
    KMP_EXPORT(PsRemoveCreateThreadNotifyRoutine),
    KMP_EXPORT(PsSetLoadImageNotifyRoutine),
    KMP_EXPORT(PsRemoveLoadImageNotifyRoutine),
    KMP_EXPORT(PsCreateSystemThread),
    KMP_EXPORT(PsTerminateSystemThread),
    KMP_EXPORT(PsLookupProcessByProcessId),
    KMP_EXPORT(PsLookupThreadByThreadId),
    KMP_EXPORT(IoThreadToProcess),
    KMP_EXPORT(PsGetThreadProcessId),
    KMP_EXPORT(PsIsSystemThread),
    KMP_EXPORT(ZwQueryInformationProcess),
    KMP_EXPORT(IoGetRequestorProcess),
    // Io
    KMP_EXPORT(IoGetCurrentProcess),
    KMP_EXPORT(IoCreateDevice),
    KMP_EXPORT(IoCreateSymbolicLink),
    KMP_EXPORT(IoDeleteSymbolicLink),
    KMP_EXPORT(IoDeleteDevice),
    KMP_EXPORT(IoAttachDeviceToDeviceStack),
    KMP_EXPORT(IoAttachDeviceToDeviceStackSafe),
    KMP_EXPORT(IoDetachDevice),
    KMP_EXPORT(IoGetAttachedDevice),
    KMP_EXPORT(IoGetAttachedDeviceReference),
    KMP_EXPORT(IoGetDeviceAttachmentBaseRef),
    KMP_EXPORT(IoGetLowerDeviceObject),
    KMP_EXPORT(IoGetRelatedDeviceObject),
    KMP_EXPORT(IoEnumerateDeviceObjectList),
    KMP_EXPORT(IoGetDiskDeviceObject),
    KMP_EXPORT(IoRegisterFileSystem),
    KMP_EXPORT(IoUnregisterFileSystem),
    KMP_EXPORT(IoRegisterFsRegistrationChange),
    KMP_EXPORT(IoUnregisterFsRegistrationChange),
    KMP_EXPORT(IoAllocateIrp),
    KMP_EXPORT(IoAllocateWorkItem),
    KMP_EXPORT(IoQueueWorkItem),
    KMP_EXPORT(IoFreeWorkItem),
    KMP_EXPORT(IoFreeIrp),
    KMP_EXPORT(IoBuildDeviceIoControlRequest),
    KMP_EXPORT(IofCallDriver),
    KMP_EXPORT(IofCompleteRequest),
    KMP_EXPORT(IoBuildSynchronousFsdRequest),
    KMP_EXPORT(IoBuildAsynchronousFsdRequest),
    KMP_EXPORT(IoReuseIrp),
    KMP_EXPORT(IoCancelIrp),
    KMP_EXPORT(IoAcquireCancelSpinLock),
    KMP_EXPORT(IoReleaseCancelSpinLock),
    KMP_EXPORT(IoAllocateMdl),
    KMP_EXPORT(IoFreeMdl),
    // Ob, Se and the file services
    KMP_EXPORT(ObReferenceObjectByHandle),
    KMP_EXPORT(ObfReferenceObject),
    KMP_EXPORT(ObfDereferenceObject),
    KMP_EXPORT(ObQueryNameString),
    KMP_EXPORT(ObOpenObjectByPointer),
    KMP_EXPORT(ObReferenceObjectByName),
    KMP_EXPORT(SeSinglePrivilegeCheck),
    KMP_EXPORT(RtlAdjustPrivilege),
    KMP_EXPORT(ExGetPreviousMode),
    KMP_EXPORT(ZwCreateFile),
    KMP_EXPORT(ZwOpenFile),
    KMP_EXPORT(ZwDeviceIoControlFile),
    KMP_EXPORT(ZwClose),
    KMP_EXPORT(ZwCreateEvent),
    KMP_EXPORT(ZwSetEvent),
    KMP_EXPORT(ZwClearEvent),
    KMP_EXPORT(ZwWaitForSingleObject),
    KMP_EXPORT(ZwDuplicateObject),
    KMP_EXPORT(ZwReadFile),
    KMP_EXPORT(ZwWriteFile),
    KMP_EXPORT(ZwQueryInformationFile),
    KMP_EXPORT(NtReadFile),
    KMP_EXPORT(NtWriteFile),
    KMP_EXPORT(NtQueryInformationFile),
    KMP_EXPORT(NtCreateFile),
    KMP_EXPORT(NtDeviceIoControlFile),
    KMP_EXPORT(NtClose),
    // Cm and the driver services
    KMP_EXPORT(ZwCreateKey),
    KMP_EXPORT(ZwOpenKey),
    KMP_EXPORT(ZwSetValueKey),
    KMP_EXPORT(ZwQueryValueKey),
    KMP_EXPORT(ZwDeleteKey),
    KMP_EXPORT(ZwLoadDriver),
    KMP_EXPORT(ZwUnloadDriver),
    KMP_EXPORT(NtLoadDriver),
    KMP_EXPORT(NtUnloadDriver),
    // Data: the address of the variable, as for a routine
    KMP_EXPORT(IoFileObjectType),
    KMP_EXPORT(IoDeviceObjectType),
    KMP_EXPORT(PsThreadType),
    KMP_EXPORT(PsProcessType),
    KMP_EXPORT(ExEventObjectType),
    KMP_EXPORT(PsInitialSystemProcess),
    KMP_EXPORT(NtBuildNumber),
};

#undef KMP_EXPORT

// Names removed from the table until the next boot or RestoreExports.
struct KmpExportState {
    std::mutex Lock;
    std::set<std::string> Removed;
};

KmpExportState& KmpExports()
{
    static KmpExportState* state = new KmpExportState;
    return *state;
}

// The routine exported under `name`, or null.
void* KmpFindExport(const std::string& name)
{
    for (const KmpExport& entry : KmpKernelExports) {
        if (name == entry.Name) {
            return entry.Routine;
        }
    }
    return nullptr;
}

}  // namespace

void KmExportsReset() { km::RestoreExports(); }

void km::RemoveExport(const char* name)
{
    KmpExportState& state = KmpExports();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Removed.insert(name);
}

std::vector<std::string> km::ExportNames()
{
    std::vector<std::string> names;
    for (const KmpExport& entry : KmpKernelExports) {
        names.emplace_back(entry.Name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void km::RestoreExports()
{
    KmpExportState& state = KmpExports();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Removed.clear();
}

// Looks the name up (case-sensitive, as Windows does); null when the table lacks it. PASSIVE_LEVEL.
extern "C" PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, 0, 0,
                   "MmGetSystemRoutineAddress at IRQL %u", irql);
    }
    std::string name;
    for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i) {
        WCHAR c = SystemRoutineName->Buffer[i];
        if (c == 0 || c > 0x7F) {
            return nullptr;
        }
        name += (char)c;
    }
    KmpExportState& state = KmpExports();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.Removed.count(name) != 0) {
        return nullptr;
    }
    return KmpFindExport(name);
}
