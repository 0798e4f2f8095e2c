// The two call gates and GateLock.
#include "host/callgate.h"

#include "driver/hostglobals.h"

const CallGate DispatchGate = {&HostGlobals.DispatchInFlight, &HostGlobals.DispatchDrained};
const CallGate NotifyGate = {&HostGlobals.NotifyInFlight, &HostGlobals.NotifyDrained};

namespace {

LONG CallGateReadCount(const CallGate* gate)
{
    return InterlockedCompareExchange(gate->InFlight, 0, 0);
}

}  // namespace

void GateLockAcquire()
{
    KIRQL previousIrql = KeAcquireSpinLockRaiseToDpc(&HostGlobals.GateLock.lock);
    HostGlobals.GateLock.savedIrql = previousIrql;
}

void GateLockRelease()
{
    KeReleaseSpinLock(&HostGlobals.GateLock.lock, HostGlobals.GateLock.savedIrql);
}

void EnterGate(const CallGate* gate)
{
    InterlockedExchangeAdd(gate->InFlight, 1);
    if (CallGateReadCount(gate) == 1) {
        KeClearEvent(gate->Drained);
    }
}

void LeaveGate(const CallGate* gate)
{
    GateLockAcquire();
    if (CallGateReadCount(gate) != 0) {
        InterlockedExchangeAdd(gate->InFlight, -1);
        if (CallGateReadCount(gate) == 0) {
            KeSetEvent(gate->Drained, IO_NO_INCREMENT, FALSE);
        }
    }
    GateLockRelease();
}
