// Call gates: every call the host forwards into the filter module is counted in while it is inside
// the module, so that an unload can wait until the module is idle. A gate is an in-flight count
// and a notification event that is clear while the count is above 0. Both gates live in
// HostGlobals and share GateLock.
#pragma once

#include "base/platform.h"

struct CallGate {
    volatile LONG* InFlight;
    PKEVENT Drained;
};

extern "C" {

// IRPs and fast I/O forwarded to the module.
extern const CallGate DispatchGate;
// Process and thread notifications forwarded to the module.
extern const CallGate NotifyGate;

// Takes GateLock in its plain form and returns at DISPATCH_LEVEL; the previous IRQL is kept in the
// lock holder until GateLockRelease. GateLock is innermost: no call out, wait or other lock while
// it is held.
_IRQL_requires_max_(DISPATCH_LEVEL)
_IRQL_raises_(DISPATCH_LEVEL)
void GateLockAcquire();

// Releases GateLock and returns to the IRQL saved by GateLockAcquire.
_IRQL_requires_(DISPATCH_LEVEL)
void GateLockRelease();

// Counts one call into the gate; the first call in clears its drained event. Caller holds GateLock,
// in the same hold in which it tested that the call may be forwarded.
_IRQL_requires_(DISPATCH_LEVEL)
void EnterGate(const CallGate* gate);

// Counts one call out of the gate once the forwarded call has returned; the last call out sets the
// drained event. A count of 0 stays 0. Caller holds no lock; takes GateLock itself.
_IRQL_requires_max_(DISPATCH_LEVEL)
void LeaveGate(const CallGate* gate);

}  // extern "C"
