// The filter module's life cycle on the host's side: loading the module from a service key the
// host writes itself, unloading it once no call is inside it, the unload a module or the loader's
// exit asks for (run on a system thread of its own), and the loader record.
//
// What the host knows of the module (ModuleServiceName, under ModuleLifecycleMutex):
//
//   no module known --LoadModule past its checks--> module named (key written, ZwLoadDriver tried)
//         ^                                              |   a further LoadModule renames it
//         +---------- a completed UnloadModule ----------+
//
// An unload runs under ModuleLifecycleMutex from start to end. It starts only from LinkState
// unlinked and holds the link in unloading meanwhile, so nothing can link the module again:
//
//   unlinked --UnloadModule--> unloading --NotifyGate drained, DispatchGate drained--> ZwUnloadDriver
//       ^                          |                                                      |
//       +---- time-out: module ----+------ done: entry points and forwarders cleared ------+
//             stays, key stays            (same GateLock hold that returns to unlinked)
//
// No call enters the module while the link is unloading: IRPs, fast I/O and notifications need
// the link linked, and the attach and detach notifications (host/link.cpp) and the driver core's
// override and redirect handlers are not called while it is unloading. Every call that did enter
// is counted by a gate, so the two drains cover them all. A completed unload hands the image's
// range to the ImageGone hook while the link is still unloading, so that overrides and redirect
// handlers with code in the gone image are removed before any call could reach them.
//
// The loader record (LoaderProcessId, LoaderRecorded, under LoaderLock) names the process whose
// LoadModule last succeeded; its exit runs RequestUnload once and empties the record.
//
// A requested unload: RequestUnload opens the module's device ("\Device\<service name>"), starts
// a system thread on UnloadWorker and replies STATUS_PENDING. The worker sends UnloadNotice,
// closes the handle (so that no close reaches the module's device once its image is gone) and,
// when the module accepted the notice, runs the unload. The thread's start block and its thread object
// reference are given back by whichever of the creator and the worker is last done with them, so
// nothing stays behind per requested unload.
#include "diag/eventlog.h"
#include "host/host.h"

namespace {

// Bytes of every path buffer: the service key's path and the module device's name.
constexpr USHORT ServicePathBytes = 520;
// Bytes of a ThreadStartBlock.
constexpr SIZE_T ThreadStartBlockBytes = 48;
// Longest wait for one gate to drain: 9 seconds in relative 100-nanosecond units.
constexpr LONGLONG GateDrainTimeout100ns = -90000000LL;

// The service-key values the host writes.
constexpr ULONG ServiceStartDemand = 3;      // SERVICE_DEMAND_START
constexpr ULONG ServiceTypeKernel = 1;       // SERVICE_KERNEL_DRIVER
constexpr ULONG ServiceErrorNormal = 1;      // SERVICE_ERROR_NORMAL

// Access, share and options of the module device's handle.
constexpr ACCESS_MASK ModuleDeviceAccess = 0x12019F;  // FILE_GENERIC_READ | FILE_GENERIC_WRITE
constexpr ULONG ModuleDeviceAttributes = OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE;
constexpr ULONG ModuleDeviceShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG ModuleDeviceOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
constexpr ACCESS_MASK ThreadAllAccess = 0x1FFFFF;
// Status mask of error severity.
constexpr ULONG ErrorSeverityMask = 0xC0000000u;

// Source lines reported with the life cycle's failures.
constexpr ULONG NotifyDrainTimeoutLine = 521;
constexpr ULONG DispatchDrainTimeoutLine = 558;
constexpr ULONG UnloadNoPathLine = 579;
constexpr ULONG ModuleDeviceOpenLine = 708;
constexpr ULONG WorkerStartLine = 731;
constexpr ULONG UnloadNoticeRefusedLine = 829;
constexpr ULONG ModuleHandleCloseLine = 842;

// What a system thread runs.
typedef NTSTATUS THREAD_ROUTINE(PVOID Context);

// Handed to a system thread by StartSystemThread; non-paged, zeroed before use. ThreadObject is
// the hand-over point between the creator and the thread (see ThreadTrampoline).
struct ThreadStartBlock {
    THREAD_ROUTINE* Routine;
    PVOID Context;
    KEVENT Started;  // notification; set by the new thread as its first act
    PVOID volatile ThreadObject;
};
static_assert(sizeof(ThreadStartBlock) == ThreadStartBlockBytes, "thread start block layout");

// Values of ThreadObject besides a referenced thread object: the creator could not reference the
// thread, or the thread's routine has returned.
PVOID const ThreadNotReferenced = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(1));
PVOID const ThreadRoutineEnded = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(2));

// The driver objects' directory; the module's is named after its service.
const WCHAR DriverObjectPrefix[] = HOST_TEXT("\\Driver\\");
const WCHAR ServiceKeyPrefix[] = HOST_TEXT("\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\");

void InitPath(UNICODE_STRING* Path, PWCH Buffer)
{
    Path->Buffer = Buffer;
    Path->Length = 0;
    Path->MaximumLength = ServicePathBytes;
}

// ServiceKeyPath: the services prefix and ModuleServiceName, in a ServicePathBytes buffer.
void BuildServiceKeyPath(UNICODE_STRING* Path, PWCH Buffer)
{
    InitPath(Path, Buffer);
    (void)RtlAppendUnicodeToString(Path, ServiceKeyPrefix);
    (void)RtlAppendUnicodeStringToString(Path, &ModuleHost.ModuleServiceName);
}

PWCH AllocatePathBuffer()
{
    return static_cast<PWCH>(ExAllocatePool(PagedPool, ServicePathBytes));
}

// Sets one value of an open key; the result of ZwSetValueKey.
NTSTATUS SetKeyValue(HANDLE Key, PCWSTR Name, ULONG Type, PVOID Data, ULONG Bytes)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return ZwSetValueKey(Key, &name, 0, Type, Data, Bytes);
}

// Opens the key for deletion and deletes it; the handle is closed either way. The open's failure
// or the deletion's result.
NTSTATUS DeleteKeyAt(UNICODE_STRING* Path)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, Path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, DELETE, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwDeleteKey(key);
    // A deleted key's handle still counts until it is closed.
    (void)ZwClose(key);
    return status;
}

// Resident: GateLock raises to DISPATCH_LEVEL.
HOST_RESIDENT
LONG GateCount(const CallGate* gate)
{
    GateLockAcquire();
    LONG count = InterlockedCompareExchange(gate->InFlight, 0, 0);
    GateLockRelease();
    return count;
}

// Waits up to the drain time-out for the gate's calls to leave; the count still inside.
HOST_PAGED
LONG DrainGate(const CallGate* gate)
{
    PAGED_CODE();
    if (GateCount(gate) <= 0) {
        return 0;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = GateDrainTimeout100ns;
    (void)KeWaitForSingleObject(gate->Drained, Executive, KernelMode, FALSE, &timeout);
    return GateCount(gate);
}

// WriteServiceKey: the module's volatile service key with its five values. The result of the
// "ErrorControl" write, or the key's creation failure.
HOST_PAGED
NTSTATUS WriteServiceKey(const WCHAR* ImagePath, ULONG ImagePathBytes)
{
    PAGED_CODE();
    WCHAR buffer[ServicePathBytes / sizeof(WCHAR)];
    UNICODE_STRING path;
    BuildServiceKeyPath(&path, buffer);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_VOLATILE, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    ULONG bytes = ImagePathBytes < ServicePathBytes ? ImagePathBytes : ServicePathBytes;
    RtlCopyMemory(buffer, ImagePath, bytes);
    (void)SetKeyValue(key, HOST_TEXT("ImagePath"), REG_EXPAND_SZ, buffer, bytes);

    // The name and one U+0000; the data runs to the first U+0000.
    ULONG nameBytes = ModuleHost.ModuleServiceName.Length;
    RtlCopyMemory(buffer, ModuleHost.ModuleServiceName.Buffer, nameBytes);
    buffer[nameBytes / sizeof(WCHAR)] = 0;
    ULONG characters = 0;
    while (buffer[characters] != 0) {
        characters += 1;
    }
    (void)SetKeyValue(key, HOST_TEXT("DisplayName"), REG_SZ, buffer, (characters + 1) * sizeof(WCHAR));

    ULONG start = ServiceStartDemand;
    ULONG type = ServiceTypeKernel;
    ULONG errorControl = ServiceErrorNormal;
    (void)SetKeyValue(key, HOST_TEXT("Start"), REG_DWORD, &start, sizeof(ULONG));
    (void)SetKeyValue(key, HOST_TEXT("Type"), REG_DWORD, &type, sizeof(ULONG));
    status = SetKeyValue(key, HOST_TEXT("ErrorControl"), REG_DWORD, &errorControl, sizeof(ULONG));
    (void)ZwClose(key);
    return status;
}

// DeleteServiceKey: the key's "Enum" and "Security" subkeys (failures ignored), then the key
// itself, whose result is returned. STATUS_NO_MEMORY without pool for the path.
HOST_PAGED
NTSTATUS DeleteServiceKey()
{
    PAGED_CODE();
    PWCH buffer = AllocatePathBuffer();
    if (buffer == nullptr) {
        return STATUS_NO_MEMORY;
    }
    UNICODE_STRING path;
    BuildServiceKeyPath(&path, buffer);
    USHORT keyLength = path.Length;
    (void)RtlAppendUnicodeToString(&path, HOST_TEXT("\\Enum"));
    (void)DeleteKeyAt(&path);
    path.Length = keyLength;
    (void)RtlAppendUnicodeToString(&path, HOST_TEXT("\\Security"));
    (void)DeleteKeyAt(&path);
    path.Length = keyLength;
    NTSTATUS status = DeleteKeyAt(&path);
    ExFreePoolWithTag(buffer, 0);
    return status;
}

// ThreadTrampoline: the start routine of every thread StartSystemThread starts. Sets the started
// event, runs the routine and ends the thread with its result. Afterwards it hands the block over:
// if the creator has stored the thread object (or failed to reference it), the creator is done and
// the thread gives the reference and the block back; otherwise the creator finds
// ThreadRoutineEnded and does so itself.
void NTAPI ThreadTrampoline(PVOID Context)
{
    auto* block = static_cast<ThreadStartBlock*>(Context);
    if (block == nullptr) {
        (void)PsTerminateSystemThread(STATUS_INVALID_PARAMETER);
        return;
    }
    (void)KeSetEvent(&block->Started, IO_NO_INCREMENT, FALSE);
    NTSTATUS status = block->Routine(block->Context);
    PVOID stored = InterlockedExchangePointer(const_cast<PVOID volatile*>(&block->ThreadObject), ThreadRoutineEnded);
    if (stored != nullptr) {
        if (stored != ThreadNotReferenced) {
            // The kernel keeps its own reference until the thread has ended.
            ObDereferenceObject(stored);
        }
        ExFreePoolWithTag(block, 0);
    }
    (void)PsTerminateSystemThread(status);
}

// StartSystemThread: a system thread on Routine(Context) through ThreadTrampoline, once it runs.
// STATUS_INVALID_PARAMETER for a null block or routine; PsCreateSystemThread's failure (the
// block stays the caller's); otherwise the result of referencing the thread object. Once the
// thread runs (the block's Started event set), the block belongs to the thread, whatever the
// result.
HOST_PAGED
NTSTATUS StartSystemThread(ThreadStartBlock* Block, THREAD_ROUTINE* Routine, PVOID Context)
{
    PAGED_CODE();
    if (Block == nullptr || Routine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Block->Routine = Routine;
    Block->Context = Context;
    KeInitializeEvent(&Block->Started, NotificationEvent, FALSE);

    // A kernel handle, so that the sending process cannot touch it before it is closed here.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE thread = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&thread, 0, &attributes, nullptr, nullptr, ThreadTrampoline, Block);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    (void)KeWaitForSingleObject(&Block->Started, Executive, KernelMode, FALSE, nullptr);

    PVOID threadObject = nullptr;
    status = ObReferenceObjectByHandle(thread, ThreadAllAccess, nullptr, KernelMode, &threadObject, nullptr);
    (void)ZwClose(thread);
    PVOID handedOver = NT_SUCCESS(status) ? threadObject : ThreadNotReferenced;
    PVOID previous = InterlockedCompareExchangePointer(const_cast<PVOID volatile*>(&Block->ThreadObject),
                                                       handedOver, nullptr);
    if (previous == ThreadRoutineEnded) {
        // The thread is past its routine and left the block to us.
        if (NT_SUCCESS(status)) {
            ObDereferenceObject(threadObject);
        }
        ExFreePoolWithTag(Block, 0);
    }
    return status;
}

// UnloadWorker: on its system thread, sends UnloadNotice on the module's device handle, closes the
// handle and, when the module accepted the notice, runs the unload. Always STATUS_SUCCESS.
HOST_PAGED
NTSTATUS UnloadWorker(PVOID ModuleHandle)
{
    PAGED_CODE();
    HANDLE handle = static_cast<HANDLE>(ModuleHandle);
    UnloadNoticeInput input = {UNLOAD_NOTICE_INPUT_VALUES};
    UCHAR output[UNLOAD_NOTICE_OUTPUT_BYTES];
    RtlZeroMemory(output, sizeof(output));
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &ioStatus, IOCTL_MODULE_UNLOAD_NOTICE,
                                            &input, sizeof(input), output, sizeof(output));
    // The handle goes before the unload: a close that reached the module's device after its
    // image had gone would call into unloaded code.
    NTSTATUS closed = ZwClose(handle);
    if ((static_cast<ULONG>(closed) & ErrorSeverityMask) == ErrorSeverityMask) {
        (void)ReportEvent(EventModuleLifecycleFailure, EventSourceHost, ModuleHandleCloseLine, FALSE, "0x%08X",
                          closed);
    }
    if (status == STATUS_SUCCESS) {
        // Nobody hears the outcome; it shows in ModuleServiceName and the unload's own events.
        (void)ModuleUnload();
    } else {
        (void)ReportEvent(EventModuleLifecycleFailure, EventSourceHost, UnloadNoticeRefusedLine, FALSE, "0x%08X",
                          status);
    }
    return STATUS_SUCCESS;
}

// Records ProcessId as the loader, or forgets the loader (Recorded FALSE). Resident: LoaderLock
// raises to DISPATCH_LEVEL.
HOST_RESIDENT
void RecordLoader(HANDLE ProcessId, BOOLEAN Recorded)
{
    KLOCK_QUEUE_HANDLE queue;
    ASpinLock_Acquire(&ModuleHost.LoaderLock, &queue);
    ModuleHost.LoaderProcessId = ProcessId;
    ModuleHost.LoaderRecorded = Recorded ? 1 : 0;
    ASpinLock_Release(&ModuleHost.LoaderLock, &queue);
}

// True when ProcessId is the recorded loader. Resident: LoaderLock raises to DISPATCH_LEVEL.
HOST_RESIDENT
BOOLEAN IsLoader(HANDLE ProcessId)
{
    KLOCK_QUEUE_HANDLE queue;
    ASpinLock_Acquire(&ModuleHost.LoaderLock, &queue);
    BOOLEAN isLoader = ModuleHost.LoaderRecorded != 0 && ModuleHost.LoaderProcessId == ProcessId;
    ASpinLock_Release(&ModuleHost.LoaderLock, &queue);
    return isLoader;
}

// Moves an unlinked module to LinkStateUnloading; FALSE, with nothing changed, in any other link
// state. Resident: GateLock raises to DISPATCH_LEVEL.
HOST_RESIDENT
BOOLEAN BeginUnloading()
{
    GateLockAcquire();
    BOOLEAN unlinked = ModuleHost.LinkState == LinkStateUnlinked;
    if (unlinked) {
        LinkSetState(LinkStateUnloading);
    }
    GateLockRelease();
    return unlinked;
}

// Ends an unload: back to unlinked (if still unloading), and when the image has gone, its entry
// points and forwarders go in the same hold. Resident: GateLock raises to DISPATCH_LEVEL.
HOST_RESIDENT
void EndUnloading(BOOLEAN imageGone)
{
    GateLockAcquire();
    if (imageGone) {
        // Nothing may call into the image once the link is back to unlinked: its entry points
        // and forwarders go in the same hold.
        ModuleHost.ModuleIrpDispatch = nullptr;
        ModuleHost.ModuleFastIo = nullptr;
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ModuleHost.AttachNotify), nullptr);
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ModuleHost.DetachNotify), nullptr);
        ModuleHost.ProcessNotifyForwarder = nullptr;
        ModuleHost.ThreadNotifyForwarder = nullptr;
    }
    if (ModuleHost.LinkState == LinkStateUnloading) {
        LinkSetState(LinkStateUnlinked);
    }
    GateLockRelease();
}

// The image range of the module's driver object, "\Driver\<service name>", in *Start and *Size;
// both 0 when there is no such driver object. Path is a ServicePathBytes buffer. PASSIVE_LEVEL.
HOST_PAGED
void FindModuleImage(PWCH Path, ULONG_PTR* Start, SIZE_T* Size)
{
    PAGED_CODE();
    *Start = 0;
    *Size = 0;
    UNICODE_STRING name;
    InitPath(&name, Path);
    (void)RtlAppendUnicodeToString(&name, DriverObjectPrefix);
    (void)RtlAppendUnicodeStringToString(&name, &ModuleHost.ModuleServiceName);
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType,
                                              KernelMode, nullptr, &object);
    if (NT_SUCCESS(status)) {
        auto* driver = static_cast<PDRIVER_OBJECT>(object);
        *Start = reinterpret_cast<ULONG_PTR>(driver->DriverStart);
        *Size = driver->DriverSize;
        ObDereferenceObject(object);
    }
}

// Marks the loader record's lock as gone, under the lock. Resident: the lock raises to
// DISPATCH_LEVEL, where pageable code must not run.
HOST_RESIDENT
void RetireLoaderLock()
{
    ASpinLock_Acquire(&ModuleHost.LoaderLock, nullptr);
    ModuleHost.LoaderLockReady = 0;
    ASpinLock_Release(&ModuleHost.LoaderLock, nullptr);
}

}  // namespace

HOST_INIT
NTSTATUS StartModuleHost(MODULE_IMAGE_GONE* ImageGone)
{
    PAGED_CODE();
    ModuleHost.ImageGone = ImageGone;
    ModuleHost.ModuleServiceName.Length = 0;
    ModuleHost.ModuleServiceName.MaximumLength = ModuleServiceNameBytes;
    ModuleHost.ModuleServiceName.Buffer = ModuleHost.ModuleServiceNameStorage;

    // The module link: GateLock, then the drained events of the two gates.
    if (!ASpinLock_Init(&ModuleHost.GateLock)) {
        return STATUS_UNSUCCESSFUL;
    }
    KeInitializeEvent(&ModuleHost.NotifyDrained, NotificationEvent, FALSE);
    KeInitializeEvent(&ModuleHost.DispatchDrained, NotificationEvent, FALSE);
    KeInitializeEvent(&ModuleHost.DeviceNotifyDrained, NotificationEvent, FALSE);

    // The module's life cycle and its loader record.
    NTSTATUS status = AMutex_Init(&ModuleHost.ModuleLifecycleMutex);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ModuleHost.LoaderProcessId = reinterpret_cast<HANDLE>(NoLoaderProcess);
    ModuleHost.LoaderRecorded = 0;
    if (!ASpinLock_Init(&ModuleHost.LoaderLock)) {
        return STATUS_UNSUCCESSFUL;
    }
    ModuleHost.LoaderLockReady = 1;
    return STATUS_SUCCESS;
}

HOST_PAGED
void StopModuleHost()
{
    PAGED_CODE();
    // GateLock and the drained events need no teardown.
    if (ModuleHost.LoaderLockReady != 0) {
        RetireLoaderLock();
    }
    AMutex_Free(&ModuleHost.ModuleLifecycleMutex);
}

HOST_PAGED
NTSTATUS ModuleLoad(const WCHAR* ImagePath, ULONG ImagePathBytes, const WCHAR* ServiceName, USHORT ServiceNameBytes)
{
    PAGED_CODE();
    // An unbounded wait; its result is not needed (it cannot time out below DISPATCH_LEVEL).
    (void)AMutex_Wait(&ModuleHost.ModuleLifecycleMutex, UnboundedWaitMs);
    NTSTATUS status;
    PWCH buffer = nullptr;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        status = STATUS_INVALID_DEVICE_STATE;
        goto exit;
    }
    if (ServiceNameBytes > ModuleHost.ModuleServiceName.MaximumLength ||
        ServiceNameBytes <= ModuleServiceNameMinimumBytes - 1) {
        status = STATUS_INVALID_BUFFER_SIZE;
        goto exit;
    }
    // The terminating U+0000 is copied but not counted; the previous name is replaced.
    RtlCopyMemory(ModuleHost.ModuleServiceName.Buffer, ServiceName, ServiceNameBytes);
    ModuleHost.ModuleServiceName.Length = static_cast<USHORT>(ServiceNameBytes - sizeof(WCHAR));

    // The load is tried even when the key could not be written.
    (void)WriteServiceKey(ImagePath, ImagePathBytes);

    buffer = AllocatePathBuffer();
    if (buffer == nullptr) {
        status = STATUS_NO_MEMORY;
        goto exit;
    }
    {
        UNICODE_STRING path;
        BuildServiceKeyPath(&path, buffer);
        status = ZwLoadDriver(&path);
    }
    if (status == STATUS_IMAGE_ALREADY_LOADED) {
        status = STATUS_SUCCESS;
    }
    ExFreePoolWithTag(buffer, 0);

exit:
    AMutex_Release(&ModuleHost.ModuleLifecycleMutex);
    if (NT_SUCCESS(status)) {
        RecordLoader(PsGetCurrentProcessId(), TRUE);
    }
    return status;
}

HOST_PAGED
NTSTATUS ModuleUnload()
{
    PAGED_CODE();
    (void)AMutex_Wait(&ModuleHost.ModuleLifecycleMutex, UnboundedWaitMs);
    if (!BeginUnloading()) {
        AMutex_Release(&ModuleHost.ModuleLifecycleMutex);
        return STATUS_INVALID_DEVICE_STATE;
    }

    NTSTATUS status;
    BOOLEAN imageGone = FALSE;
    ULONG_PTR imageStart = 0;
    SIZE_T imageSize = 0;
    PWCH buffer = nullptr;
    LONG remaining = DrainGate(&NotifyGate);
    if (remaining > 0) {
        (void)ReportEvent(EventModuleLifecycleFailure, EventSourceHost, NotifyDrainTimeoutLine, FALSE, "%ld",
                          remaining);
        status = STATUS_IO_TIMEOUT;
        goto exit;
    }
    // The attach and detach notifications count as notifications: the same event line.
    remaining = DrainGate(&DeviceNotifyGate);
    if (remaining > 0) {
        (void)ReportEvent(EventModuleLifecycleFailure, EventSourceHost, NotifyDrainTimeoutLine, FALSE, "%ld",
                          remaining);
        status = STATUS_IO_TIMEOUT;
        goto exit;
    }
    remaining = DrainGate(&DispatchGate);
    if (remaining > 0) {
        (void)ReportEvent(EventModuleLifecycleFailure, EventSourceHost, DispatchDrainTimeoutLine, FALSE, "%ld",
                          remaining);
        status = STATUS_IO_TIMEOUT;
        goto exit;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        status = STATUS_UNSUCCESSFUL;
        goto exit;
    }
    buffer = AllocatePathBuffer();
    if (buffer == nullptr) {
        (void)ReportEvent(EventModuleLifecycleFailure, EventSourceHost, UnloadNoPathLine, FALSE, "0x%X",
                          STATUS_NO_MEMORY);
        status = STATUS_NO_MEMORY;
        goto exit;
    }
    // The image's range, while its driver object still exists: once the unload has completed,
    // what was registered with code there goes.
    FindModuleImage(buffer, &imageStart, &imageSize);
    {
        UNICODE_STRING path;
        BuildServiceKeyPath(&path, buffer);
        status = ZwUnloadDriver(&path);
    }
    ExFreePoolWithTag(buffer, 0);
    if (NT_SUCCESS(status)) {
        imageGone = TRUE;
        // Still unloading: no override or redirect call can start before this has run.
        if (ModuleHost.ImageGone != nullptr && imageSize != 0) {
            ModuleHost.ImageGone(imageStart, imageSize);
        }
        status = DeleteServiceKey();
        if (status == STATUS_SUCCESS) {
            ModuleHost.ModuleServiceName.Length = 0;
        }
    }

exit:
    EndUnloading(imageGone);
    AMutex_Release(&ModuleHost.ModuleLifecycleMutex);
    return status;
}

HOST_PAGED
NTSTATUS ModuleRequestUnload(NTSTATUS* Outcome)
{
    PAGED_CODE();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        *Outcome = STATUS_INVALID_DEVICE_STATE;
        return STATUS_SUCCESS;
    }
    PWCH buffer = AllocatePathBuffer();
    if (buffer == nullptr) {
        return STATUS_NO_MEMORY;
    }
    // The module's device: "\Device\<service name>" (filterhost/module.h). Read without
    // ModuleLifecycleMutex: a concurrent load may rename it, and the open then fails or finds the
    // new module, which is asked the same.
    UNICODE_STRING name;
    InitPath(&name, buffer);
    (void)RtlAppendUnicodeToString(&name, MODULE_DEVICE_PREFIX);
    (void)RtlAppendUnicodeStringToString(&name, &ModuleHost.ModuleServiceName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, ModuleDeviceAttributes, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwOpenFile(&handle, ModuleDeviceAccess, &attributes, &ioStatus, ModuleDeviceShare,
                                 ModuleDeviceOptions);
    ExFreePoolWithTag(buffer, 0);
    if (!NT_SUCCESS(status)) {
        (void)ReportEvent(EventModuleLifecycleFailure, EventSourceHost, ModuleDeviceOpenLine, FALSE, "0x%X", status);
        *Outcome = status;
        return STATUS_SUCCESS;
    }

    auto* block = static_cast<ThreadStartBlock*>(ExAllocatePool(NonPagedPool, sizeof(ThreadStartBlock)));
    if (block == nullptr) {
        (void)ZwClose(handle);
        *Outcome = STATUS_NO_MEMORY;
        return STATUS_SUCCESS;
    }
    RtlZeroMemory(block, sizeof(ThreadStartBlock));
    status = StartSystemThread(block, UnloadWorker, handle);
    if ((static_cast<ULONG>(status) & ErrorSeverityMask) == ErrorSeverityMask) {
        (void)ReportEvent(EventModuleLifecycleFailure, EventSourceHost, WorkerStartLine, FALSE, "0x%X", status);
        // Once the thread runs, the handle and the block are the worker's.
        if (KeReadStateEvent(&block->Started) == 0) {
            (void)ZwClose(handle);
            ExFreePoolWithTag(block, 0);
        }
        *Outcome = status;
        return STATUS_SUCCESS;
    }
    *Outcome = STATUS_PENDING;
    return STATUS_SUCCESS;
}

HOST_PAGED
NTSTATUS CheckLoaderExit(HANDLE ProcessId)
{
    PAGED_CODE();
    if (!IsLoader(ProcessId)) {
        return STATUS_SUCCESS;
    }
    NTSTATUS outcome = STATUS_SUCCESS;
    NTSTATUS status = ModuleRequestUnload(&outcome);
    RecordLoader(reinterpret_cast<HANDLE>(NoLoaderProcess), FALSE);
    return NT_SUCCESS(status) ? outcome : status;
}
