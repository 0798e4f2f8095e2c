// The sample filter module: a small, complete module to copy from. Loaded by the host (LoadModule)
// or by anyone who starts its service, it
//   - creates its own device "\Device\<service name>", where it answers the host's unload notice
//     and its own controls (sample.h);
//   - opens the host's control device and links itself: Connect, RegisterEntryPoints,
//     RegisterNotifyForwarders, SetLink 1;
//   - counts, per volume, the IRPs and fast I/O calls the host forwards, and passes each down to
//     the file system below the host's filter device;
//   - can make a volume read-only: write IRPs are completed with STATUS_MEDIA_WRITE_PROTECTED and
//     fast I/O writes are declined (the I/O manager then sends the write as an IRP, refused too);
//   - answers the unload notice by unlinking (SetLink 0) and withdrawing its entry points, after
//     which the host unloads it; DriverUnload deletes its device and prints to the kernel debugger
//     what it was forwarded in all and when its last forwarded call left it, the moment from which
//     the host's unload could go ahead.
//
// Volume table. The host offers every volume filter device through AttachNotify and takes it back
// through DetachNotify; the module keeps one slot per device it takes, in a fixed table guarded by
// VolumesLock (a spin lock: fast I/O may arrive above PASSIVE_LEVEL). A slot's counters are
// updated with interlocked operations after the lock is dropped; the table is static, so a slot
// freed meanwhile is at worst counted once more, never freed memory.
//
// Locks: VolumesLock is innermost and never held across a call out (to the host, a lower driver or
// the object manager). No lock is held while the module sends a command to the host.
#include <ntifs.h>

#include "filterhost/module.h"
#include "sample.h"

// Which build this is: a second build of the same source (SAMPLE_BUILD=2) lets a test swap one
// loaded module for another and see which one answers.
#ifndef SAMPLE_BUILD
#define SAMPLE_BUILD 1
#endif

// The service name of the host driver whose control device the module opens.
#ifndef SAMPLE_HOST_SERVICE
#define SAMPLE_HOST_SERVICE "filterhost"
#endif

// A faulty build for tests of the host's unload: non-zero keeps the first create IRP forwarded to
// the module inside it for this many milliseconds, longer than the host waits for a call to leave.
#ifndef SAMPLE_HOLD_FIRST_CREATE_MS
#define SAMPLE_HOLD_FIRST_CREATE_MS 0
#endif

namespace {

// "\Device\" and the service name: at most this many characters.
constexpr USHORT SampleDeviceNameCharacters = 8 + 64;
// A storage device's name as ObQueryNameString returns it, with its header.
constexpr ULONG SampleNameQueryBytes = sizeof(OBJECT_NAME_INFORMATION) + 2 * 128;
// Largest reply of a host command the module sends (Connect's).
constexpr ULONG SampleReplyBytes = CONNECT_REPLY_BYTES;

struct SampleVolume {
    PDEVICE_OBJECT FilterDevice;  // the host's filter device; null when the slot is free
    WCHAR StorageName[SAMPLE_VOLUME_NAME_CHARACTERS];
    USHORT StorageNameBytes;
    volatile LONG ReadOnly;
    volatile LONG Requests;
    volatile LONG FastIo;
    volatile LONG RefusedWrites;
    volatile LONG DeclinedFastIo;
};

struct SampleGlobals {
    PDEVICE_OBJECT Device;     // \Device\<service name>
    HANDLE HostHandle;         // kernel handle of the host's control device
    volatile LONG Registered;  // entry points registered with the host and not yet withdrawn
    volatile LONG ProcessNotifications;
    volatile LONG ThreadNotifications;
    // Every forwarded call, whether its volume has a slot or not, for the report at unload.
    volatile LONG ForwardedRequests;
    volatile LONG ForwardedFastIo;
    volatile LONG RefusedWrites;    // write IRPs completed with STATUS_MEDIA_WRITE_PROTECTED
    volatile LONG DeclinedFastIo;   // fast I/O writes declined
    volatile LONG HeldCreate;       // the faulty build has held its create
    volatile LONGLONG LastCallLeft; // interrupt time (100 ns) as the last forwarded call returned
    KSPIN_LOCK VolumesLock;
    SampleVolume Volumes[SAMPLE_MAX_VOLUMES];
    WCHAR DeviceNameBuffer[SampleDeviceNameCharacters];
    FAST_IO_DISPATCH FastIo;  // registered with the host; members left null are not called
};

SampleGlobals Sample;

// Reads a counter or flag that other threads change with interlocked operations, as one of them.
LONG SampleRead(const volatile LONG* Value)
{
    return InterlockedCompareExchange(const_cast<volatile LONG*>(Value), 0, 0);
}

// ---- Names ----------------------------------------------------------------------------------

// Appends an ASCII text to a counted string; FALSE when it does not fit.
BOOLEAN SampleAppendAscii(PUNICODE_STRING Name, const char* Text)
{
    for (; *Text != 0; Text += 1) {
        if (Name->Length + sizeof(WCHAR) > Name->MaximumLength) {
            return FALSE;
        }
        Name->Buffer[Name->Length / sizeof(WCHAR)] = static_cast<WCHAR>(*Text);
        Name->Length += sizeof(WCHAR);
    }
    return TRUE;
}

// Builds "\Device\<service name>" from the registry path the module was started with; the
// service name is the path's last component. FALSE when it is empty or too long.
BOOLEAN SampleBuildDeviceName(PCUNICODE_STRING RegistryPath, PUNICODE_STRING Name)
{
    Name->Buffer = Sample.DeviceNameBuffer;
    Name->Length = 0;
    Name->MaximumLength = sizeof(Sample.DeviceNameBuffer);
    USHORT characters = RegistryPath->Length / sizeof(WCHAR);
    USHORT first = characters;
    while (first > 0 && RegistryPath->Buffer[first - 1] != static_cast<WCHAR>('\\')) {
        first -= 1;
    }
    if (first == characters || !SampleAppendAscii(Name, "\\Device\\")) {
        return FALSE;
    }
    for (USHORT index = first; index < characters; index += 1) {
        if (Name->Length + sizeof(WCHAR) > Name->MaximumLength) {
            return FALSE;
        }
        Name->Buffer[Name->Length / sizeof(WCHAR)] = RegistryPath->Buffer[index];
        Name->Length += sizeof(WCHAR);
    }
    return TRUE;
}

// ---- Talking to the host --------------------------------------------------------------------

// Opens the host's control device with a kernel handle. Its name is composed by the protocol's
// rule from the host's service name. PASSIVE_LEVEL.
NTSTATUS SampleOpenHost()
{
    const char hostService[] = SAMPLE_HOST_SERVICE;
    WCHAR service[sizeof(hostService)];
    for (ULONG index = 0; index < sizeof(hostService); index += 1) {
        service[index] = static_cast<WCHAR>(hostService[index]);
    }
    WCHAR nameBuffer[HOST_CONTROL_DEVICE_NAME_CHARACTERS];
    uint32_t characters = HostComposeControlDeviceName<WCHAR>(service, sizeof(hostService) - 1, nameBuffer,
                                                              HOST_CONTROL_DEVICE_NAME_CHARACTERS);
    if (characters == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    UNICODE_STRING name;
    name.Buffer = nameBuffer;
    name.Length = static_cast<USHORT>(characters * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    return ZwCreateFile(&Sample.HostHandle, GENERIC_READ | GENERIC_WRITE, &attributes, &ioStatus, nullptr, 0,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

// Sends one command block to the host and answers its outcome: the request's status when no
// reply came back, else the reply's Status. The reply is copied to Reply when given. PASSIVE_LEVEL.
NTSTATUS SampleSendCommand(const void* Block, ULONG BlockBytes, ULONG ReplyBytes, void* Reply)
{
    UCHAR reply[SampleReplyBytes];
    RtlZeroMemory(reply, sizeof(reply));
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwDeviceIoControlFile(Sample.HostHandle, nullptr, nullptr, nullptr, &ioStatus,
                                            IOCTL_HOST_COMMAND, const_cast<void*>(Block), BlockBytes, reply,
                                            ReplyBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Reply != nullptr) {
        RtlCopyMemory(Reply, reply, ReplyBytes);
    }
    return reinterpret_cast<const ControlReply*>(reply)->Status;
}

// A command with no fields beyond the head.
NTSTATUS SampleSendSimple(ULONG Command, ULONG Argument)
{
    ControlRequest request;
    RtlZeroMemory(&request, sizeof(request));
    request.Command = Command;
    request.Argument = Argument;
    return SampleSendCommand(&request, sizeof(request), HEADER_ONLY_REPLY_BYTES, nullptr);
}

MODULE_IRP_DISPATCH SampleIrpDispatch;
MODULE_ATTACH_NOTIFY SampleAttachNotify;
MODULE_DETACH_NOTIFY SampleDetachNotify;
MODULE_PROCESS_NOTIFY SampleProcessNotify;
MODULE_THREAD_NOTIFY SampleThreadNotify;

// Connects, registers the entry points and the notify forwarders, and switches forwarding on.
// PASSIVE_LEVEL. On failure after the registration the entry points are withdrawn again.
NTSTATUS SampleLink()
{
    ConnectReply connect;
    ControlRequest request;
    RtlZeroMemory(&request, sizeof(request));
    request.Command = HostCommandConnect;
    NTSTATUS status = SampleSendCommand(&request, sizeof(request), sizeof(connect), &connect);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (connect.InterfaceVersion != HOST_INTERFACE_VERSION) {
        return STATUS_REVISION_MISMATCH;
    }

    RegisterEntryPointsRequest entryPoints;
    RtlZeroMemory(&entryPoints, sizeof(entryPoints));
    entryPoints.Header.Command = HostCommandRegisterEntryPoints;
    entryPoints.AttachNotify = reinterpret_cast<ULONG_PTR>(SampleAttachNotify);
    entryPoints.DetachNotify = reinterpret_cast<ULONG_PTR>(SampleDetachNotify);
    entryPoints.IrpDispatch = reinterpret_cast<ULONG_PTR>(SampleIrpDispatch);
    entryPoints.FastIo = reinterpret_cast<ULONG_PTR>(&Sample.FastIo);
    status = SampleSendCommand(&entryPoints, sizeof(entryPoints), HEADER_ONLY_REPLY_BYTES, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    InterlockedExchange(&Sample.Registered, TRUE);

    RegisterNotifyForwardersRequest forwarders;
    RtlZeroMemory(&forwarders, sizeof(forwarders));
    forwarders.Header.Command = HostCommandRegisterNotifyForwarders;
    forwarders.ProcessNotifyForwarder = reinterpret_cast<ULONG_PTR>(SampleProcessNotify);
    forwarders.ThreadNotifyForwarder = reinterpret_cast<ULONG_PTR>(SampleThreadNotify);
    status = SampleSendCommand(&forwarders, sizeof(forwarders), HEADER_ONLY_REPLY_BYTES, nullptr);
    if (NT_SUCCESS(status)) {
        status = SampleSendSimple(HostCommandSetLink, HOST_LINK_ON);
    }
    if (!NT_SUCCESS(status) && InterlockedExchange(&Sample.Registered, FALSE)) {
        (void)SampleSendSimple(HostCommandWithdrawEntryPoints, 0);
    }
    return status;
}

// Stops forwarding and withdraws the entry points: after it the host calls none of them again.
// PASSIVE_LEVEL. The first failure is the result.
NTSTATUS SampleUnlink()
{
    NTSTATUS status = SampleSendSimple(HostCommandSetLink, HOST_LINK_OFF);
    if (NT_SUCCESS(status) && InterlockedExchange(&Sample.Registered, FALSE)) {
        status = SampleSendSimple(HostCommandWithdrawEntryPoints, 0);
    }
    return status;
}

// ---- The volume table -----------------------------------------------------------------------

// The slot of a host filter device the module has taken; null when it has not. IRQL <= DISPATCH_LEVEL.
SampleVolume* SampleFindVolume(PDEVICE_OBJECT FilterDevice)
{
    SampleVolume* found = nullptr;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Sample.VolumesLock);
    for (ULONG index = 0; index < SAMPLE_MAX_VOLUMES; index += 1) {
        if (Sample.Volumes[index].FilterDevice == FilterDevice) {
            found = &Sample.Volumes[index];
            break;
        }
    }
    KeReleaseSpinLock(&Sample.VolumesLock, oldIrql);
    return found;
}

// The host offers a volume filter device: take it when a slot is free, remembering the storage
// device's name so that a user can name the volume. PASSIVE_LEVEL.
BOOLEAN NTAPI SampleAttachNotify(PDEVICE_OBJECT FilterDevice, PDEVICE_OBJECT VolumeDevice,
                                 PDEVICE_OBJECT StorageDevice)
{
    UNREFERENCED_PARAMETER(VolumeDevice);
    // The name first: ObQueryNameString may not run under a spin lock.
    ULONG nameInfoBuffer[SampleNameQueryBytes / sizeof(ULONG)];
    POBJECT_NAME_INFORMATION nameInfo = reinterpret_cast<POBJECT_NAME_INFORMATION>(nameInfoBuffer);
    ULONG returned = 0;
    USHORT nameBytes = 0;
    if (StorageDevice != nullptr &&
        NT_SUCCESS(ObQueryNameString(StorageDevice, nameInfo, sizeof(nameInfoBuffer), &returned))) {
        nameBytes = nameInfo->Name.Length;
        if (nameBytes > SAMPLE_VOLUME_NAME_CHARACTERS * sizeof(WCHAR)) {
            nameBytes = SAMPLE_VOLUME_NAME_CHARACTERS * sizeof(WCHAR);
        }
    }

    BOOLEAN taken = FALSE;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Sample.VolumesLock);
    for (ULONG index = 0; index < SAMPLE_MAX_VOLUMES && !taken; index += 1) {
        SampleVolume* volume = &Sample.Volumes[index];
        if (volume->FilterDevice == nullptr) {
            RtlZeroMemory(volume, sizeof(*volume));
            volume->FilterDevice = FilterDevice;
            if (nameBytes != 0) {
                RtlCopyMemory(volume->StorageName, nameInfo->Name.Buffer, nameBytes);
            }
            volume->StorageNameBytes = nameBytes;
            taken = TRUE;
        }
    }
    KeReleaseSpinLock(&Sample.VolumesLock, oldIrql);
    return taken;
}

// The host takes a filter device back (the module withdraws, or the volume goes away): free its
// slot. The module always lets go. PASSIVE_LEVEL.
BOOLEAN NTAPI SampleDetachNotify(PDEVICE_OBJECT FilterDevice)
{
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Sample.VolumesLock);
    for (ULONG index = 0; index < SAMPLE_MAX_VOLUMES; index += 1) {
        if (Sample.Volumes[index].FilterDevice == FilterDevice) {
            Sample.Volumes[index].FilterDevice = nullptr;
        }
    }
    KeReleaseSpinLock(&Sample.VolumesLock, oldIrql);
    return TRUE;
}

// ---- Forwarded I/O --------------------------------------------------------------------------

// Notes that a forwarded call is about to return to the host. Any IRQL.
void SampleCallLeaves()
{
    InterlockedExchange64(&Sample.LastCallLeft, static_cast<LONGLONG>(KeQueryInterruptTime()));
}

// Every IRP of a host filter device while linked: count it, refuse a write to a read-only volume,
// pass the rest down. The module owns the IRP. IRQL <= APC_LEVEL.
NTSTATUS NTAPI SampleIrpDispatch(PDEVICE_OBJECT FilterDevice, PIRP Irp)
{
    NTSTATUS status;
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    InterlockedIncrement(&Sample.ForwardedRequests);
    if (SAMPLE_HOLD_FIRST_CREATE_MS != 0 && major == IRP_MJ_CREATE &&
        InterlockedExchange(&Sample.HeldCreate, TRUE) == FALSE) {
        LARGE_INTEGER hold;
        hold.QuadPart = -10000LL * SAMPLE_HOLD_FIRST_CREATE_MS;
        (void)KeDelayExecutionThread(KernelMode, FALSE, &hold);
    }
    SampleVolume* volume = SampleFindVolume(FilterDevice);
    if (volume != nullptr) {
        InterlockedIncrement(&volume->Requests);
        if (major == IRP_MJ_WRITE && SampleRead(&volume->ReadOnly)) {
            InterlockedIncrement(&volume->RefusedWrites);
            InterlockedIncrement(&Sample.RefusedWrites);
            Irp->IoStatus.Status = STATUS_MEDIA_WRITE_PROTECTED;
            Irp->IoStatus.Information = 0;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            SampleCallLeaves();
            return STATUS_MEDIA_WRITE_PROTECTED;
        }
    }
    status = ModulePassDown(FilterDevice, Irp);
    SampleCallLeaves();
    return status;
}

// Counts a fast I/O call; FALSE when it is a write to a read-only volume and must be declined.
BOOLEAN SampleCountFastIo(PDEVICE_OBJECT FilterDevice, BOOLEAN Write)
{
    InterlockedIncrement(&Sample.ForwardedFastIo);
    SampleVolume* volume = SampleFindVolume(FilterDevice);
    if (volume == nullptr) {
        return TRUE;
    }
    InterlockedIncrement(&volume->FastIo);
    if (Write && SampleRead(&volume->ReadOnly)) {
        InterlockedIncrement(&volume->DeclinedFastIo);
        InterlockedIncrement(&Sample.DeclinedFastIo);
        SampleCallLeaves();
        return FALSE;
    }
    return TRUE;
}

// The fast I/O table of the driver below the filter device and that device (referenced; the
// caller dereferences it); null when there is none.
PFAST_IO_DISPATCH SampleLowerFastIo(PDEVICE_OBJECT FilterDevice, PDEVICE_OBJECT* Lower)
{
    *Lower = IoGetLowerDeviceObject(FilterDevice);
    return *Lower != nullptr ? (*Lower)->DriverObject->FastIoDispatch : nullptr;
}

// Calls the lower driver's member when its table has it, else answers FALSE (not handled: the
// I/O manager sends an IRP instead).
#define SAMPLE_CALL_LOWER(Member, ...)                                                                      \
    do {                                                                                                   \
        PDEVICE_OBJECT lower = nullptr;                                                                    \
        PFAST_IO_DISPATCH table = SampleLowerFastIo(DeviceObject, &lower);                                 \
        BOOLEAN handled = FALSE;                                                                           \
        if (table != nullptr && table->SizeOfFastIoDispatch > FIELD_OFFSET(FAST_IO_DISPATCH, Member) &&    \
            table->Member != nullptr) {                                                                    \
            handled = table->Member(__VA_ARGS__, lower);                                                   \
        }                                                                                                  \
        if (lower != nullptr) {                                                                            \
            ObDereferenceObject(lower);                                                                    \
        }                                                                                                  \
        SampleCallLeaves();                                                                                \
        return handled;                                                                                    \
    } while (0)

BOOLEAN NTAPI SampleFastIoCheckIfPossible(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                                          BOOLEAN Wait, ULONG LockKey, BOOLEAN CheckForReadOperation,
                                          PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    if (!SampleCountFastIo(DeviceObject, !CheckForReadOperation)) {
        return FALSE;
    }
    SAMPLE_CALL_LOWER(FastIoCheckIfPossible, FileObject, FileOffset, Length, Wait, LockKey, CheckForReadOperation,
                      IoStatus);
}

BOOLEAN NTAPI SampleFastIoRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                               ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    SampleCountFastIo(DeviceObject, FALSE);
    SAMPLE_CALL_LOWER(FastIoRead, FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus);
}

BOOLEAN NTAPI SampleFastIoWrite(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                                ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    if (!SampleCountFastIo(DeviceObject, TRUE)) {
        return FALSE;
    }
    SAMPLE_CALL_LOWER(FastIoWrite, FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus);
}

BOOLEAN NTAPI SampleFastIoQueryBasicInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_BASIC_INFORMATION Buffer,
                                         PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    SampleCountFastIo(DeviceObject, FALSE);
    SAMPLE_CALL_LOWER(FastIoQueryBasicInfo, FileObject, Wait, Buffer, IoStatus);
}

BOOLEAN NTAPI SampleFastIoQueryStandardInfo(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                            PFILE_STANDARD_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus,
                                            PDEVICE_OBJECT DeviceObject)
{
    SampleCountFastIo(DeviceObject, FALSE);
    SAMPLE_CALL_LOWER(FastIoQueryStandardInfo, FileObject, Wait, Buffer, IoStatus);
}

// Process and thread notifications the host forwards while linked. PASSIVE_LEVEL.
void NTAPI SampleProcessNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create)
{
    UNREFERENCED_PARAMETER(ParentId);
    UNREFERENCED_PARAMETER(ProcessId);
    UNREFERENCED_PARAMETER(Create);
    InterlockedIncrement(&Sample.ProcessNotifications);
    SampleCallLeaves();
}

void NTAPI SampleThreadNotify(HANDLE ProcessId, HANDLE ThreadId, BOOLEAN Create)
{
    UNREFERENCED_PARAMETER(ProcessId);
    UNREFERENCED_PARAMETER(ThreadId);
    UNREFERENCED_PARAMETER(Create);
    InterlockedIncrement(&Sample.ThreadNotifications);
    SampleCallLeaves();
}

// ---- The module's own device ----------------------------------------------------------------

// IOCTL_SAMPLE_SET_READ_ONLY: finds the volume by its storage device's name (case-insensitive).
NTSTATUS SampleSetReadOnly(PIRP Irp, ULONG InputBytes)
{
    if (Irp->RequestorMode != KernelMode) {
        LUID loadDriver = {SE_LOAD_DRIVER_PRIVILEGE, 0};
        if (!SeSinglePrivilegeCheck(loadDriver, Irp->RequestorMode)) {
            return STATUS_PRIVILEGE_NOT_HELD;
        }
    }
    const SampleReadOnlyRequest* request = static_cast<const SampleReadOnlyRequest*>(Irp->AssociatedIrp.SystemBuffer);
    if (InputBytes < sizeof(SampleReadOnlyRequest) || request->StorageNameBytes == 0 ||
        request->StorageNameBytes > sizeof(request->StorageName) || request->StorageNameBytes % sizeof(WCHAR) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING wanted;
    wanted.Buffer = const_cast<WCHAR*>(reinterpret_cast<const WCHAR*>(request->StorageName));
    wanted.Length = static_cast<USHORT>(request->StorageNameBytes);
    wanted.MaximumLength = wanted.Length;
    LONG readOnly = request->ReadOnly != 0 ? TRUE : FALSE;

    // Names are compared outside the spin lock (RtlEqualUnicodeString is pageable); a slot is
    // then set only if it still holds the same device.
    NTSTATUS status = STATUS_NOT_FOUND;
    for (ULONG index = 0; index < SAMPLE_MAX_VOLUMES; index += 1) {
        SampleVolume* volume = &Sample.Volumes[index];
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Sample.VolumesLock);
        PDEVICE_OBJECT device = volume->FilterDevice;
        WCHAR name[SAMPLE_VOLUME_NAME_CHARACTERS];
        UNICODE_STRING held;
        held.Buffer = name;
        held.Length = volume->StorageNameBytes;
        held.MaximumLength = sizeof(name);
        RtlCopyMemory(name, volume->StorageName, held.Length);
        KeReleaseSpinLock(&Sample.VolumesLock, oldIrql);
        if (device == nullptr || !RtlEqualUnicodeString(&held, &wanted, TRUE)) {
            continue;
        }
        oldIrql = KeAcquireSpinLockRaiseToDpc(&Sample.VolumesLock);
        if (volume->FilterDevice == device) {
            InterlockedExchange(&volume->ReadOnly, readOnly);
            status = STATUS_SUCCESS;
        }
        KeReleaseSpinLock(&Sample.VolumesLock, oldIrql);
    }
    return status;
}

// IOCTL_SAMPLE_QUERY_STATUS: a snapshot of the counters. Information is set on success.
NTSTATUS SampleQueryStatus(PIRP Irp, ULONG OutputBytes)
{
    if (OutputBytes < sizeof(SampleStatusReply)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    SampleStatusReply* reply = static_cast<SampleStatusReply*>(Irp->AssociatedIrp.SystemBuffer);
    RtlZeroMemory(reply, sizeof(*reply));
    reply->Build = SAMPLE_BUILD;
    reply->Linked = static_cast<uint32_t>(SampleRead(&Sample.Registered));
    reply->ProcessNotifications = static_cast<uint32_t>(SampleRead(&Sample.ProcessNotifications));
    reply->ThreadNotifications = static_cast<uint32_t>(SampleRead(&Sample.ThreadNotifications));
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Sample.VolumesLock);
    for (ULONG index = 0; index < SAMPLE_MAX_VOLUMES; index += 1) {
        const SampleVolume* volume = &Sample.Volumes[index];
        if (volume->FilterDevice == nullptr) {
            continue;
        }
        SampleVolumeStatus* out = &reply->Volumes[reply->VolumeCount++];
        RtlCopyMemory(out->StorageName, volume->StorageName, volume->StorageNameBytes);
        out->StorageNameBytes = volume->StorageNameBytes;
        out->ReadOnly = static_cast<uint32_t>(SampleRead(&volume->ReadOnly));
        out->Requests = static_cast<uint32_t>(SampleRead(&volume->Requests));
        out->FastIo = static_cast<uint32_t>(SampleRead(&volume->FastIo));
        out->RefusedWrites = static_cast<uint32_t>(SampleRead(&volume->RefusedWrites));
        out->DeclinedFastIo = static_cast<uint32_t>(SampleRead(&volume->DeclinedFastIo));
    }
    KeReleaseSpinLock(&Sample.VolumesLock, oldIrql);
    Irp->IoStatus.Information = sizeof(*reply);
    return STATUS_SUCCESS;
}

// Every IRP of the module's own device: open and close succeed; device control carries the
// host's unload notice and the module's controls. Completes every IRP. PASSIVE_LEVEL.
NTSTATUS NTAPI SampleDeviceDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_MODULE_UNLOAD_NOTICE:
            // Only the host (kernel mode) may tell the module to let go; STATUS_SUCCESS lets it
            // unload the module at once, any failure keeps the module loaded.
            status = Irp->RequestorMode == KernelMode ? SampleUnlink() : STATUS_ACCESS_DENIED;
            break;
        case IOCTL_SAMPLE_SET_READ_ONLY:
            status = SampleSetReadOnly(Irp, stack->Parameters.DeviceIoControl.InputBufferLength);
            break;
        case IOCTL_SAMPLE_QUERY_STATUS:
            status = SampleQueryStatus(Irp, stack->Parameters.DeviceIoControl.OutputBufferLength);
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Unloading: withdraws the entry points if the module has not (a module must never leave the host
// pointing into its unloaded image), closes the host's handle and deletes the device. Prints what
// it was forwarded and when the last forwarded call left it (interrupt time, 100 ns; 0 when none
// came). PASSIVE_LEVEL.
void NTAPI SampleUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (InterlockedExchange(&Sample.Registered, FALSE)) {
        (void)SampleSendSimple(HostCommandWithdrawEntryPoints, 0);
    }
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL,
               "sample: build %u unloading: %ld requests (%ld refused), %ld fast I/O (%ld declined), last call left at "
               "%lld\n",
               static_cast<unsigned>(SAMPLE_BUILD), static_cast<long>(SampleRead(&Sample.ForwardedRequests)),
               static_cast<long>(SampleRead(&Sample.RefusedWrites)), static_cast<long>(SampleRead(&Sample.ForwardedFastIo)),
               static_cast<long>(SampleRead(&Sample.DeclinedFastIo)), static_cast<long long>(InterlockedCompareExchange64(&Sample.LastCallLeft, 0, 0)));
    ZwClose(Sample.HostHandle);
    Sample.HostHandle = nullptr;
    IoDeleteDevice(Sample.Device);
    Sample.Device = nullptr;
}

}  // namespace

// Creates the module's device, opens the host's control device and links. A failure unwinds what
// was done and fails the load with its status. PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    BOOLEAN deviceCreated = FALSE;
    BOOLEAN hostOpened = FALSE;
    NTSTATUS status = STATUS_SUCCESS;

    KeInitializeSpinLock(&Sample.VolumesLock);
    Sample.FastIo.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    Sample.FastIo.FastIoCheckIfPossible = SampleFastIoCheckIfPossible;
    Sample.FastIo.FastIoRead = SampleFastIoRead;
    Sample.FastIo.FastIoWrite = SampleFastIoWrite;
    Sample.FastIo.FastIoQueryBasicInfo = SampleFastIoQueryBasicInfo;
    Sample.FastIo.FastIoQueryStandardInfo = SampleFastIoQueryStandardInfo;

    UNICODE_STRING deviceName;
    if (!SampleBuildDeviceName(RegistryPath, &deviceName)) {
        status = STATUS_OBJECT_NAME_INVALID;
        goto exit;
    }
    status = IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                            &Sample.Device);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }
    deviceCreated = TRUE;
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major += 1) {
        DriverObject->MajorFunction[major] = SampleDeviceDispatch;
    }
    DriverObject->DriverUnload = SampleUnload;

    status = SampleOpenHost();
    if (!NT_SUCCESS(status)) {
        goto exit;
    }
    hostOpened = TRUE;
    status = SampleLink();
    if (!NT_SUCCESS(status)) {
        goto exit;
    }
    Sample.Device->Flags &= ~DO_DEVICE_INITIALIZING;

exit:
    if (!NT_SUCCESS(status)) {
        if (hostOpened) {
            ZwClose(Sample.HostHandle);
            Sample.HostHandle = nullptr;
        }
        if (deviceCreated) {
            IoDeleteDevice(Sample.Device);
            Sample.Device = nullptr;
        }
    }
    return status;
}
