// Exception guards and ExRaiseStatus. Each thread keeps a stack of guard frames (pushed by the
// guard macros of the platform header); a raised status unwinds to the innermost one.
#include <csetjmp>

#include "internal/ps.h"
#include "internal/verifier.h"

extern "C" void KmGuardPush(KM_GUARD_FRAME* frame)
{
    km::Thread* thread = KmCurrentThread();
    frame->Previous = thread->GuardTop;
    frame->Status = STATUS_SUCCESS;
    frame->PageableTop = thread->PageableTop;
    thread->GuardTop = frame;
}

// Removes the innermost frame; any other frame is a guard left out of order.
extern "C" void KmGuardPop(KM_GUARD_FRAME* frame)
{
    km::Thread* thread = KmCurrentThread();
    if (thread->GuardTop != frame) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckGuardOrder, (ULONG_PTR)frame,
                   (ULONG_PTR)thread->GuardTop, 0, "exception guard %p left while %p is the innermost guard",
                   (void*)frame, (void*)thread->GuardTop);
    }
    thread->GuardTop = frame->Previous;
}

// Lands in the innermost guard's handler with `Status`; with no guard the system stops.
extern "C" void ExRaiseStatus(NTSTATUS Status)
{
    km::Thread* thread = KmCurrentThread();
    KM_GUARD_FRAME* frame = thread->GuardTop;
    if (frame == nullptr) {
        KmBugCheck(KMODE_EXCEPTION_NOT_HANDLED, (ULONG)Status, 0, 0, 0,
                   "ExRaiseStatus(0x%08X) with no exception guard on thread %u", (ULONG)Status,
                   KmIdNumber(thread->UniqueThreadId));
    }
    thread->GuardTop = frame->Previous;
    thread->PageableTop = frame->PageableTop;
    frame->Status = Status;
    longjmp(frame->Jump, 1);
}
