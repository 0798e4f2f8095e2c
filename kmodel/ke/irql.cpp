// IRQL. Each model thread stands for a processor of its own: its IRQL is kept in its thread
// record and only the thread itself changes it.
#include "internal/mm.h"
#include "internal/ps.h"
#include "internal/verifier.h"

extern "C" KIRQL KeGetCurrentIrql(void) { return KmCurrentThread()->Irql; }

// Raises to NewIrql; raising to a level below the current one is a bug check.
extern "C" void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    km::Thread* thread = KmCurrentThread();
    if (NewIrql < thread->Irql || NewIrql > HIGH_LEVEL) {
        KmBugCheck(IRQL_NOT_GREATER_OR_EQUAL, thread->Irql, NewIrql, 0, 0,
                   "KeRaiseIrql to IRQL %u from the higher IRQL %u", NewIrql, thread->Irql);
    }
    KIRQL from = thread->Irql;
    *OldIrql = from;
    thread->Irql = NewIrql;
    KmPageableIrqlRaised(thread, from, NewIrql);
}

// Lowers to NewIrql; lowering to a higher level, or below DISPATCH_LEVEL with a spin lock held,
// or below APC_LEVEL with a fast mutex held, is a bug check.
extern "C" void KeLowerIrql(KIRQL NewIrql)
{
    km::Thread* thread = KmCurrentThread();
    if (NewIrql > thread->Irql) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, thread->Irql, NewIrql, 0, 0,
                   "KeLowerIrql to IRQL %u from the lower IRQL %u", NewIrql, thread->Irql);
    }
    if (NewIrql < DISPATCH_LEVEL && !thread->SpinLocks.empty()) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckIrqlLoweredHoldingSpinLock,
                   (ULONG_PTR)thread->SpinLocks.back().Lock, NewIrql, 0,
                   "IRQL lowered to %u while holding %zu spin lock(s)", NewIrql, thread->SpinLocks.size());
    }
    if (NewIrql < APC_LEVEL && thread->FastMutexesHeld != 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckIrqlLoweredHoldingFastMutex, thread->FastMutexesHeld,
                   NewIrql, 0, "IRQL lowered to %u while holding %u fast mutex(es)", NewIrql,
                   thread->FastMutexesHeld);
    }
    KIRQL from = thread->Irql;
    thread->Irql = NewIrql;
    KmPageableIrqlLowered(thread, from, NewIrql);
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void)
{
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    return oldIrql;
}
