// Calls out of the kernel into driver callbacks that are not dispatch routines: process and
// thread notify routines and file-system change routines. As for a dispatch routine, the
// verifier looks at the thread when the callback returns: it must hold no spin lock it did not
// hold on entry, and be back at the IRQL it was called at.
#include "internal/ps.h"
#include "internal/verifier.h"

KmCalloutMark KmCalloutEnter()
{
    km::Thread* thread = KmCurrentThread();
    return KmCalloutMark{thread->Irql, thread->SpinLocks.size()};
}

void KmCalloutReturned(const KmCalloutMark& mark, const char* what, const void* routine)
{
    km::Thread* thread = KmCurrentThread();
    if (thread->SpinLocks.size() > mark.SpinLocks) {
        PKSPIN_LOCK held = thread->SpinLocks.back().Lock;
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckCalloutSpinLock, (ULONG_PTR)routine, (ULONG_PTR)held,
                   thread->SpinLocks.size() - mark.SpinLocks, "the %s %p returned holding spin lock %p", what, routine,
                   (void*)held);
    }
    if (thread->Irql != mark.Irql) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckCalloutIrql, (ULONG_PTR)routine, mark.Irql, thread->Irql,
                   "the %s %p was called at IRQL %u and returned at IRQL %u", what, routine, mark.Irql, thread->Irql);
    }
}
