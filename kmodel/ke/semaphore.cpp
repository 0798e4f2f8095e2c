// Semaphores: the signal state is the count; a satisfied wait takes one (wait.cpp), a release adds
// its adjustment up to the limit.
#include "internal/ke.h"
#include "internal/verifier.h"

// IRQL <= DISPATCH_LEVEL (any IRQL for a semaphore in non-paged memory, as here).
extern "C" void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    Semaphore->Header.Lock = 0;
    Semaphore->Header.Type = SemaphoreObject;
    Semaphore->Header.Size = (UCHAR)(sizeof(KSEMAPHORE) / sizeof(LONG));
    Semaphore->Header.SignalState = Count;
    InitializeListHead(&Semaphore->Header.WaitListHead);
    Semaphore->Limit = Limit;
}

// IRQL <= DISPATCH_LEVEL. Answers the previous count; raises STATUS_SEMAPHORE_LIMIT_EXCEEDED (the
// count unchanged) when the new count would pass the limit.
extern "C" LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql > DISPATCH_LEVEL) {
        KmBugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, DISPATCH_LEVEL, 0, 0, "KeReleaseSemaphore at IRQL %u", irql);
    }
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
        previous = Semaphore->Header.SignalState;
        bool exceeds = Adjustment < 0 || previous > Semaphore->Limit - Adjustment;
        if (!exceeds) {
            Semaphore->Header.SignalState = previous + Adjustment;
            KmGetDispatcher().Changed.notify_all();
        }
        if (!exceeds) {
            return previous;
        }
    }
    ExRaiseStatus(STATUS_SEMAPHORE_LIMIT_EXCEEDED);
}

extern "C" LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
    return Semaphore->Header.SignalState;
}
