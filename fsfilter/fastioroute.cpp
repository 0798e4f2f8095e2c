// The fast I/O forwarding decision: module member through the DispatchGate while linked, else the
// lower driver's member, else nothing.
#include "fsfilter/fastioroute.h"

#include "driver/hostglobals.h"
#include "driver/passdown.h"
#include "fsfilter/attachmanager.h"
#include "host/callgate.h"

namespace {

// The routine pointer stored at a byte offset of a fast I/O table.
PVOID FastIoMemberAt(const FAST_IO_DISPATCH* Table, ULONG MemberOffset)
{
    PVOID member = nullptr;
    RtlCopyMemory(&member, reinterpret_cast<const UCHAR*>(Table) + MemberOffset, sizeof(member));
    return member;
}

}  // namespace

BOOLEAN FsFilterIsHostFilterDevice(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject != nullptr && FsFilterIsAcceptedType(DeviceObject->DeviceType) &&
           DeviceObject->DriverObject == HostGlobals.DriverObject;
}

PVOID FastIoEnterModuleMember(PDEVICE_OBJECT Lower, ULONG MemberOffset, BOOLEAN* Linked)
{
    PVOID member = nullptr;
    GateLockAcquire();
    BOOLEAN linked = HostGlobals.LinkState == LinkStateLinked;
    PFAST_IO_DISPATCH moduleFastIo = HostGlobals.ModuleFastIo;
    if (linked && Lower != nullptr && moduleFastIo != nullptr) {
        member = FastIoMemberAt(moduleFastIo, MemberOffset);
        if (member != nullptr) {
            EnterGate(&DispatchGate);
        }
    }
    GateLockRelease();
    if (Linked != nullptr) {
        *Linked = linked;
    }
    return member;
}

PVOID FastIoLowerMember(PDEVICE_OBJECT Lower, ULONG MemberOffset)
{
    if (Lower == nullptr) {
        return nullptr;
    }
    const FAST_IO_DISPATCH* lowerFastIo = Lower->DriverObject->FastIoDispatch;
    if (lowerFastIo == nullptr || lowerFastIo->SizeOfFastIoDispatch <= MemberOffset) {
        return nullptr;
    }
    return FastIoMemberAt(lowerFastIo, MemberOffset);
}

BOOLEAN FastIoRouteFind(PDEVICE_OBJECT DeviceObject, ULONG MemberOffset, FastIoTarget* Target)
{
    Target->Routine = nullptr;
    Target->Device = nullptr;
    Target->InDispatchGate = FALSE;
    if (!FsFilterIsHostFilterDevice(DeviceObject)) {
        return FALSE;
    }
    // The lower device is looked up before GateLock is taken.
    PDEVICE_OBJECT lower = LowerDeviceOf(DeviceObject);
    PVOID member = FastIoEnterModuleMember(lower, MemberOffset, nullptr);
    if (member != nullptr) {
        Target->Routine = member;
        Target->Device = DeviceObject;
        Target->InDispatchGate = TRUE;
        return TRUE;
    }
    member = FastIoLowerMember(lower, MemberOffset);
    if (member == nullptr) {
        return FALSE;
    }
    Target->Routine = member;
    Target->Device = lower;
    return TRUE;
}

void FastIoRouteDone(const FastIoTarget* Target)
{
    if (Target->InDispatchGate) {
        LeaveGate(&DispatchGate);
    }
}
