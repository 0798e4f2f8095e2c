// Cancellation: the cancel spin lock, and IoCancelIrp. A driver that holds an IRP pending sets a
// cancel routine with IoSetCancelRoutine (an exchange on Irp->CancelRoutine, inline as in wdm.h)
// and clears it before it completes the IRP. IoCancelIrp marks the IRP cancelled and, when it
// takes a routine out, calls it at DISPATCH_LEVEL holding the cancel spin lock, which the routine
// releases. The checks: the routine releases the lock and returns at the IRQL it was called at,
// and no IRP is completed with its routine still set (in IofCompleteRequest).
#include "internal/ps.h"
#include "internal/routines.h"
#include "internal/verifier.h"
#include "io/io_manager.h"

namespace {

// The system-wide cancel spin lock.
KSPIN_LOCK KmpCancelSpinLock;

bool KmpHoldsCancelSpinLock(km::Thread* thread)
{
    for (const KmHeldSpinLock& held : thread->SpinLocks) {
        if (held.Lock == &KmpCancelSpinLock) {
            return true;
        }
    }
    return false;
}

}  // namespace

// IRQL <= DISPATCH_LEVEL; raises to DISPATCH_LEVEL and answers the previous IRQL.
extern "C" void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&KmpCancelSpinLock); }

// DISPATCH_LEVEL, holding the cancel spin lock; lowers to Irql.
extern "C" void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&KmpCancelSpinLock, Irql); }

// IRQL <= DISPATCH_LEVEL. TRUE when a cancel routine was called.
extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    km::Thread* thread = KmCurrentThread();
    KIRQL irql = thread->Irql;
    if (irql > DISPATCH_LEVEL) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, DISPATCH_LEVEL, (ULONG_PTR)Irp, 0, "IoCancelIrp at IRQL %u", irql);
    }
    if (!km::io::IsAllocatedIrp(Irp)) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckUnknownIrp, (ULONG_PTR)Irp, 0, 0,
                   "IoCancelIrp on %p, which is not an allocated IRP", (void*)Irp);
    }
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(cancelIrql);
        return FALSE;
    }
    Irp->CancelIrql = cancelIrql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    routine(device, Irp);
    if (KmpHoldsCancelSpinLock(thread)) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckCancelLockHeld, (ULONG_PTR)routine, (ULONG_PTR)Irp, 0,
                   "cancel routine %p returned holding the cancel spin lock (IRP %p)",
                   reinterpret_cast<void*>(routine), (void*)Irp);
    }
    if (thread->Irql != irql) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, thread->Irql, irql, (ULONG_PTR)routine, (ULONG_PTR)Irp,
                   "cancel routine %p returned at IRQL %u, not %u", reinterpret_cast<void*>(routine), thread->Irql,
                   irql);
    }
    return TRUE;
}
