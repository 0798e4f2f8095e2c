// Per-device dispatch overrides: a handler registered for one device object receives every
// request of that device before any other routing. Entries live in HostGlobals.OverrideTable,
// keyed by the device object's address, newest first for one key; OverrideLock is held shared
// around every handler call and exclusive while AddOverride and RemoveOverride change the table.
// A handler call is also counted in the DispatchGate (GateLock taken inside OverrideLock, never
// held across the call), and none starts while the filter module is being unloaded; a completed
// unload removes the overrides whose handlers lay in its image (HostRemoveImageOverrides).
#include "driver/driver.h"

namespace {

// Status of a request whose device has an override that cannot be called now: its shared hold of
// OverrideLock was refused (no memory for the hold, or a writer active at DISPATCH_LEVEL).
constexpr NTSTATUS OverrideHoldRefusedStatus = STATUS_INSUFFICIENT_RESOURCES;

// Status of a request whose override handler cannot be called because the filter module is being
// unloaded: the handler may lie in the going image.
constexpr NTSTATUS OverrideUnloadingStatus = STATUS_INVALID_DEVICE_STATE;

// An image's range for OverrideInImage.
struct ImageRange {
    ULONG_PTR Start;
    SIZE_T Size;
};

// True when the entry's handler lies in the range. Runs under the table's spin lock.
BOOLEAN OverrideInImage(PVOID Payload, PVOID Context)
{
    auto handler = reinterpret_cast<ULONG_PTR>(static_cast<OverrideEntry*>(Payload)->OverrideHandler);
    const auto* range = static_cast<const ImageRange*>(Context);
    return handler >= range->Start && handler - range->Start < range->Size;
}

// Counts an override call into the DispatchGate, so that a module unload waits for it; FALSE, and
// nothing counted, while the module is being unloaded. Takes GateLock inside OverrideLock's hold.
BOOLEAN OverrideEnterGate()
{
    GateLockAcquire();
    BOOLEAN entered = HostGlobals.ModuleHost.LinkState != LinkStateUnloading;
    if (entered) {
        EnterGate(&DispatchGate);
    }
    GateLockRelease();
    return entered;
}

ULONGLONG OverrideKeyOf(PDEVICE_OBJECT DeviceObject)
{
    return reinterpret_cast<ULONG_PTR>(DeviceObject);
}

NTSTATUS OverrideReply(ControlReply* reply, NTSTATUS result)
{
    reply->Status = result;
    reply->ReplySize = sizeof(ControlReply);
    return result;
}

}  // namespace

HOST_INIT
NTSTATUS HostCreateOverrideTable()
{
    PAGED_CODE();
    HostGlobals.OverrideTable = nullptr;
    RtlZeroMemory(&HostGlobals.OverrideLock, sizeof(HostGlobals.OverrideLock));
    HostGlobals.OverrideReady = 0;

    NTSTATUS status = ASimpleResource_Init(&HostGlobals.OverrideLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = AHashTable_Create(&HostGlobals.OverrideTable, OverrideTableBuckets, sizeof(OverrideEntry));
    if (!NT_SUCCESS(status)) {
        ASimpleResource_Destroy(&HostGlobals.OverrideLock);
        RtlZeroMemory(&HostGlobals.OverrideLock, sizeof(HostGlobals.OverrideLock));
        return status;
    }
    HostGlobals.OverrideReady = 1;
    return STATUS_SUCCESS;
}

HOST_PAGED
void HostDestroyOverrideTable()
{
    PAGED_CODE();
    if (HostGlobals.OverrideReady == 0) {
        return;
    }
    // Nothing can hold the lock during start-up; the exclusive hold keeps the teardown in the
    // same shape as every other change of the table.
    BOOLEAN held = ASimpleResource_AcquireExclusive(&HostGlobals.OverrideLock);
    HostGlobals.OverrideReady = 0;
    AHashTable_Destroy(HostGlobals.OverrideTable);
    if (held) {
        ASimpleResource_ReleaseExclusive(&HostGlobals.OverrideLock);
    }
    ASimpleResource_Destroy(&HostGlobals.OverrideLock);
    HostGlobals.OverrideTable = nullptr;
    RtlZeroMemory(&HostGlobals.OverrideLock, sizeof(HostGlobals.OverrideLock));
    HostGlobals.OverrideReady = 0;
}

BOOLEAN HostServeOverride(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS* Status)
{
    if (HostGlobals.OverrideReady == 0) {
        return FALSE;
    }
    // No override at all (the usual case): no lookup and no lock.
    AHashTable* table = HostGlobals.OverrideTable;
    if (AHashTable_IsEmpty(table)) {
        return FALSE;
    }
    PVOID entry = AHashTable_Lookup(table, OverrideKeyOf(DeviceObject));
    if (entry == nullptr) {
        return FALSE;
    }
    AHashTable_Release(table, entry);

    if (!ASimpleResource_AcquireShared(&HostGlobals.OverrideLock)) {
        // The override exists but cannot be called safely; refuse rather than bypass it.
        *Status = HostCompleteRequest(Irp, OverrideHoldRefusedStatus);
        return TRUE;
    }
    entry = AHashTable_Lookup(table, OverrideKeyOf(DeviceObject));
    if (entry == nullptr) {
        // Removed since the first look: route the request as if it never had an override.
        ASimpleResource_ReleaseShared(&HostGlobals.OverrideLock);
        return FALSE;
    }
    PDRIVER_DISPATCH handler = static_cast<OverrideEntry*>(entry)->OverrideHandler;
    AHashTable_Release(table, entry);

    if (handler == nullptr) {
        *Status = HostCompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE);
    } else if (!OverrideEnterGate()) {
        *Status = HostCompleteRequest(Irp, OverrideUnloadingStatus);
    } else {
        // OverrideLock stays shared across the call so that commands 26 and 27 wait for it; the
        // DispatchGate counts it for a module unload. The handler owns the IRP.
        *Status = handler(DeviceObject, Irp);
        LeaveGate(&DispatchGate);
    }
    ASimpleResource_ReleaseShared(&HostGlobals.OverrideLock);
    return TRUE;
}

void HostRemoveDeviceOverrides(PDEVICE_OBJECT DeviceObject)
{
    if (HostGlobals.OverrideReady == 0) {
        return;
    }
    // Without OverrideLock: the caller may be inside an override handler on this thread, holding
    // it shared. Each step is atomic under the table's lock, as a concurrent RemoveOverride's are.
    AHashTable* table = HostGlobals.OverrideTable;
    for (PVOID entry = AHashTable_Lookup(table, OverrideKeyOf(DeviceObject)); entry != nullptr;
         entry = AHashTable_Lookup(table, OverrideKeyOf(DeviceObject))) {
        AHashTable_Remove(table, entry);
        AHashTable_Release(table, entry);
    }
}

HOST_PAGED
void HostRemoveImageOverrides(ULONG_PTR ImageStart, SIZE_T ImageSize)
{
    PAGED_CODE();
    if (HostGlobals.OverrideReady == 0) {
        return;
    }
    // Exclusive, as every other change of the table; no handler of the image runs (the unload
    // drained them and refuses new ones), so no holder of the lock waits for the image.
    BOOLEAN held = ASimpleResource_AcquireExclusive(&HostGlobals.OverrideLock);
    ImageRange range = {ImageStart, ImageSize};
    (void)AHashTable_RemoveMatching(HostGlobals.OverrideTable, OverrideInImage, &range);
    if (held) {
        ASimpleResource_ReleaseExclusive(&HostGlobals.OverrideLock);
    }
}

HOST_PAGED
NTSTATUS AddOverride(ControlRequest* Request, ControlReply* Reply)
{
    PAGED_CODE();
    const auto* request = reinterpret_cast<const AddOverrideRequest*>(Request);
    ULONGLONG key = request->Key;
    auto handler = reinterpret_cast<PDRIVER_DISPATCH>(static_cast<ULONG_PTR>(request->Handler));
    auto context = static_cast<ULONG_PTR>(request->Context);

    if (HostGlobals.OverrideReady == 0) {
        return OverrideReply(Reply, STATUS_UNSUCCESSFUL);
    }
    if (!ASimpleResource_AcquireExclusive(&HostGlobals.OverrideLock)) {
        return OverrideReply(Reply, STATUS_UNSUCCESSFUL);
    }
    NTSTATUS result;
    if (key == 0) {
        result = STATUS_INVALID_PARAMETER_1;
    } else {
        auto* entry = static_cast<OverrideEntry*>(AHashTable_AllocEntry(HostGlobals.OverrideTable));
        if (entry == nullptr) {
            result = STATUS_MEMORY_NOT_ALLOCATED;
        } else {
            entry->OverrideHandler = handler;
            entry->OverrideContext = context;
            if (AHashTable_Insert(HostGlobals.OverrideTable, key, entry)) {
                result = STATUS_SUCCESS;
            } else {
                // The one key the table cannot hold (all 64 bits set): the entry goes back.
                AHashTable_Release(HostGlobals.OverrideTable, entry);
                result = STATUS_INVALID_PARAMETER_1;
            }
        }
    }
    ASimpleResource_ReleaseExclusive(&HostGlobals.OverrideLock);
    return OverrideReply(Reply, result);
}

HOST_PAGED
NTSTATUS RemoveOverride(ControlRequest* Request, ControlReply* Reply)
{
    PAGED_CODE();
    ULONGLONG key = reinterpret_cast<const PointerRequest*>(Request)->Pointer;

    if (HostGlobals.OverrideReady == 0) {
        return OverrideReply(Reply, STATUS_UNSUCCESSFUL);
    }
    if (!ASimpleResource_AcquireExclusive(&HostGlobals.OverrideLock)) {
        return OverrideReply(Reply, STATUS_UNSUCCESSFUL);
    }
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    PVOID entry = AHashTable_Lookup(HostGlobals.OverrideTable, key);
    if (entry != nullptr) {
        // Unlinked now, even while a dispatch still holds the reference of its first look (taken
        // without OverrideLock); the block goes with the last reference, whoever drops it.
        AHashTable_Remove(HostGlobals.OverrideTable, entry);
        AHashTable_Release(HostGlobals.OverrideTable, entry);
        result = STATUS_SUCCESS;
    }
    ASimpleResource_ReleaseExclusive(&HostGlobals.OverrideLock);
    return OverrideReply(Reply, result);
}
