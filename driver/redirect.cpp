// The redirect device: requests of one device of the host go to a handler that a kernel-mode
// client registers (SetRedirectDevice, SetRedirectHandler), while the module is linked. Both
// fields are guarded by GateLock, together with LinkState, so one hold sees a consistent set.
#include "driver/driver.h"

namespace {

PDEVICE_OBJECT RedirectPointerToDevice(uint64_t value)
{
    return reinterpret_cast<PDEVICE_OBJECT>(static_cast<ULONG_PTR>(value));
}

// RedirectDevice is written under GateLock, interlocked, so that HostServeRedirect can rule out
// every other device without the lock.
void RedirectSetDevice(PDEVICE_OBJECT Device)
{
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&HostGlobals.RedirectDevice), Device);
}

// A plain atomic load (acquire), which does not race the plain reads made under GateLock.
PDEVICE_OBJECT RedirectDeviceNow()
{
    return __atomic_load_n(&HostGlobals.RedirectDevice, __ATOMIC_ACQUIRE);
}

}  // namespace

BOOLEAN HostServeRedirect(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS* Status)
{
    // Any other device is told without GateLock: RedirectDevice is stored interlocked, and a
    // request that misses a redirect being set is one that came before it.
    if (RedirectDeviceNow() != DeviceObject) {
        return FALSE;
    }
    GateLockAcquire();
    if (DeviceObject != HostGlobals.RedirectDevice) {
        GateLockRelease();
        return FALSE;
    }
    NTSTATUS refusal;
    PDRIVER_DISPATCH handler = HostGlobals.RedirectHandler;
    if (HostGlobals.Started == 0) {
        refusal = STATUS_INVALID_DEVICE_STATE;
    } else if (handler == nullptr || HostGlobals.ModuleHost.LinkState != LinkStateLinked) {
        refusal = STATUS_NO_MEDIA_IN_DEVICE;
    } else {
        EnterGate(&DispatchGate);
        GateLockRelease();
        // The handler owns the IRP.
        *Status = handler(DeviceObject, Irp);
        LeaveGate(&DispatchGate);
        return TRUE;
    }
    // Completing runs the sender's completion routines: never under GateLock.
    GateLockRelease();
    *Status = HostCompleteRequest(Irp, refusal);
    return TRUE;
}

void HostForgetRedirectDevice(PDEVICE_OBJECT DeviceObject)
{
    GateLockAcquire();
    if (HostGlobals.RedirectDevice == DeviceObject) {
        RedirectSetDevice(nullptr);
    }
    GateLockRelease();
}

void HostForgetRedirectImage(ULONG_PTR ImageStart, SIZE_T ImageSize)
{
    GateLockAcquire();
    auto handler = reinterpret_cast<ULONG_PTR>(HostGlobals.RedirectHandler);
    if (handler >= ImageStart && handler - ImageStart < ImageSize) {
        // The handler goes too: a later SetRedirectDevice must not route to it.
        RedirectSetDevice(nullptr);
        HostGlobals.RedirectHandler = nullptr;
    }
    GateLockRelease();
}

NTSTATUS SetRedirectDevice(ControlRequest* Request, ControlReply* Reply)
{
    PDEVICE_OBJECT device = RedirectPointerToDevice(reinterpret_cast<const PointerRequest*>(Request)->Pointer);
    GateLockAcquire();
    RedirectSetDevice(device);
    GateLockRelease();
    Reply->Status = STATUS_SUCCESS;
    Reply->ReplySize = sizeof(ControlReply);
    return STATUS_SUCCESS;
}

NTSTATUS GetRedirectDevice(ControlRequest* Request, ControlReply* Reply)
{
    UNREFERENCED_PARAMETER(Request);
    GateLockAcquire();
    PDEVICE_OBJECT device = HostGlobals.RedirectDevice;
    GateLockRelease();
    auto* reply = reinterpret_cast<PointerReply*>(Reply);
    reply->Pointer = reinterpret_cast<ULONG_PTR>(device);
    reply->Header.Status = STATUS_SUCCESS;
    reply->Header.ReplySize = GET_REDIRECT_DEVICE_REPLY_BYTES;
    return STATUS_SUCCESS;
}

NTSTATUS SetRedirectHandler(ControlRequest* Request, ControlReply* Reply)
{
    auto handler = reinterpret_cast<PDRIVER_DISPATCH>(
        static_cast<ULONG_PTR>(reinterpret_cast<const PointerRequest*>(Request)->Pointer));
    GateLockAcquire();
    PDRIVER_DISPATCH previous = HostGlobals.RedirectHandler;
    HostGlobals.RedirectHandler = handler;
    GateLockRelease();
    // The previous handler goes to offset 8, outside the reply size: a caller that receives only
    // ReplySize bytes never sees it.
    auto* reply = reinterpret_cast<PointerReply*>(Reply);
    reply->Pointer = reinterpret_cast<ULONG_PTR>(previous);
    reply->Header.Status = STATUS_SUCCESS;
    reply->Header.ReplySize = sizeof(ControlReply);
    return STATUS_SUCCESS;
}
