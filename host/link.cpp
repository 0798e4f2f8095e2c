// Commands 12 (Connect) and 15 (SetLink): the transitions of LinkState that the module makes.
#include "host/link.h"

#include "driver/hostglobals.h"
#include "host/callgate.h"
#include "host/notify.h"

NTSTATUS Connect(ControlRequest* Request, ControlReply* Reply)
{
    UNREFERENCED_PARAMETER(Request);
    if (!RegisterNotifyRoutines()) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    // A Connect during an unload must not let a later SetLink link the module that is going away.
    GateLockAcquire();
    if (HostGlobals.LinkState != LinkStateUnloading) {
        HostGlobals.LinkState = LinkStateUnlinked;
    }
    GateLockRelease();

    // Bytes 12 to 15 and 28 to 31 are not written: they keep what the request had there.
    auto* reply = reinterpret_cast<ConnectReply*>(Reply);
    reply->Header.Status = STATUS_SUCCESS;
    reply->Header.ReplySize = sizeof(ConnectReply);
    reply->InterfaceVersion = HOST_INTERFACE_VERSION;
    reply->DriverObject = reinterpret_cast<ULONG_PTR>(HostGlobals.DriverObject);
    reply->Constant = HOST_CONNECT_CONSTANT;
    return STATUS_SUCCESS;
}

NTSTATUS SetLink(ControlRequest* Request, ControlReply* Reply)
{
    ULONG linkSwitch = Request->Argument;
    NTSTATUS outcome = STATUS_SUCCESS;
    if (linkSwitch == HOST_LINK_ON || linkSwitch == HOST_LINK_OFF) {
        GateLockAcquire();
        if (linkSwitch == HOST_LINK_ON && HostGlobals.LinkState == LinkStateUnlinked) {
            HostGlobals.LinkState = LinkStateLinked;
        } else if (linkSwitch == HOST_LINK_OFF && HostGlobals.LinkState == LinkStateLinked) {
            HostGlobals.LinkState = LinkStateUnlinked;
        }
        GateLockRelease();
    } else {
        outcome = STATUS_INVALID_PARAMETER;
    }
    Reply->Status = outcome;
    Reply->ReplySize = sizeof(ControlReply);
    return STATUS_SUCCESS;
}
