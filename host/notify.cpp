// The host's process and thread notify routines: their one-time registration with the kernel,
// the forwarding to the module's notify forwarders through the NotifyGate, and the forwarders'
// registration.
#include "diag/eventlog.h"
#include "host/host.h"

namespace {

// Source line reported with a RegisterNotifyForwarders that comes before the notify routines are registered.
constexpr ULONG NotifyNotRegisteredLine = 1149;

// States of ProcessNotifyRegistration and ThreadNotifyRegistration. A caller claims a routine by
// moving it from unregistered to registering; only the claimant calls the kernel and settles it.
constexpr LONG NotifyRoutineUnregistered = 0;
constexpr LONG NotifyRoutineRegistering = 1;
constexpr LONG NotifyRoutineRegistered = 2;

enum NotifyRoutineKind { NotifyRoutineProcess, NotifyRoutineThread };

LONG NotifyReadRegistration(volatile LONG* registration)
{
    return InterlockedCompareExchange(registration, 0, 0);
}

// Registers one notify routine unless it is registered already or another caller is registering
// it. FALSE when the kernel refused it here; the claim is then given back, so the next Connect
// tries again. While the kernel is called, *Claim names the claimed state, so that an exception
// guard can give the claim back.
BOOLEAN NotifyRegisterOnce(NotifyRoutineKind Kind, volatile LONG* Registration, volatile LONG* volatile* Claim)
{
    if (InterlockedCompareExchange(Registration, NotifyRoutineRegistering, NotifyRoutineUnregistered) !=
        NotifyRoutineUnregistered) {
        return TRUE;
    }
    *Claim = Registration;
    NTSTATUS status = Kind == NotifyRoutineProcess ? PsSetCreateProcessNotifyRoutine(HostProcessNotify, FALSE)
                                                   : PsSetCreateThreadNotifyRoutine(HostThreadNotify);
    *Claim = nullptr;
    InterlockedExchange(Registration, NT_SUCCESS(status) ? NotifyRoutineRegistered : NotifyRoutineUnregistered);
    return NT_SUCCESS(status);
}

}  // namespace

BOOLEAN RegisterNotifyRoutines()
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return FALSE;
    }
    // The registration the kernel is being asked for, given back if it raises.
    volatile LONG* volatile claim = nullptr;
    HOST_TRY
    {
        // The thread routine is not tried when the process routine was refused here.
        if (ModuleHost.NotifyRoutinesRegistered == 0 &&
            NotifyRegisterOnce(NotifyRoutineProcess, &ModuleHost.ProcessNotifyRegistration, &claim) &&
            NotifyRegisterOnce(NotifyRoutineThread, &ModuleHost.ThreadNotifyRegistration, &claim) &&
            NotifyReadRegistration(&ModuleHost.ProcessNotifyRegistration) == NotifyRoutineRegistered &&
            NotifyReadRegistration(&ModuleHost.ThreadNotifyRegistration) == NotifyRoutineRegistered) {
            ModuleHost.NotifyRoutinesRegistered = 1;
        }
    }
    HOST_EXCEPT
    {
        // An exception counts as a registration that returned: the caller goes on.
        if (claim != nullptr) {
            InterlockedExchange(claim, NotifyRoutineUnregistered);
        }
    }
    HOST_END_TRY
    return TRUE;
}

void HostProcessNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create)
{
    GateLockAcquire();
    MODULE_PROCESS_NOTIFY* forwarder = ModuleHost.ProcessNotifyForwarder;
    BOOLEAN forward = ModuleHost.LinkState == LinkStateLinked && forwarder != nullptr;
    if (forward) {
        EnterGate(&NotifyGate);
    }
    GateLockRelease();
    if (forward) {
        forwarder(ParentId, ProcessId, Create);
        LeaveGate(&NotifyGate);
    }
    // The loader's exit asks the module to go, in every link state and after the forwarding.
    if (!Create) {
        (void)CheckLoaderExit(ProcessId);
    }
}

void HostThreadNotify(HANDLE ProcessId, HANDLE ThreadId, BOOLEAN Create)
{
    GateLockAcquire();
    MODULE_THREAD_NOTIFY* forwarder = ModuleHost.ThreadNotifyForwarder;
    BOOLEAN forward = ModuleHost.LinkState == LinkStateLinked && forwarder != nullptr;
    if (forward) {
        EnterGate(&NotifyGate);
    }
    GateLockRelease();
    if (forward) {
        forwarder(ProcessId, ThreadId, Create);
        LeaveGate(&NotifyGate);
    }
}

NTSTATUS LinkSetNotifyForwarders(MODULE_PROCESS_NOTIFY* ProcessForwarder, MODULE_THREAD_NOTIFY* ThreadForwarder)
{
    if (ModuleHost.NotifyRoutinesRegistered == 0) {
        (void)ReportEvent(EventModuleLinkFailure, EventSourceHost, NotifyNotRegisteredLine, FALSE, "0x%X",
                          STATUS_INVALID_DEVICE_STATE);
        return STATUS_INVALID_DEVICE_STATE;
    }
    GateLockAcquire();
    ModuleHost.ProcessNotifyForwarder = ProcessForwarder;
    ModuleHost.ThreadNotifyForwarder = ThreadForwarder;
    GateLockRelease();
    return STATUS_SUCCESS;
}
