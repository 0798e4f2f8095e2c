// Pageable code. Driver Verifier pages a driver's pageable code out at every raise to
// DISPATCH_LEVEL, so a pageable routine whose code runs at DISPATCH_LEVEL faults. The model keeps
// the PAGED_CODE scopes of each thread and reports the fault as the kernel does for an execute
// access to pageable driver code at a raised IRQL. A pageable routine may call a routine that
// raises and lowers again before it returns (its own code never runs raised); it may not raise
// itself, or call an acquire that returns still raised, and go on running.
#include <unwind.h>

#include <cstdint>

#include "internal/mm.h"
#include "internal/verifier.h"

namespace {

// Parameter 3 of DRIVER_IRQL_NOT_LESS_OR_EQUAL for an instruction fetch.
constexpr ULONG_PTR KmpExecuteAccess = 8;

struct KmpFrameSearch {
    uintptr_t Marker;    // address of the pageable routine's scope, a local of its frame
    const void* Inner;   // the instruction address of the last frame visited at or below it
    const void* Found;
};

// The unwinder gives each frame with the stack pointer it had at its call under way (the lowest
// address of its frame) and the return address of that call. The frame that holds the scope is
// the last one, moving outward, whose stack pointer is not above the scope.
_Unwind_Reason_Code KmpVisitFrame(struct _Unwind_Context* context, void* argument)
{
    auto* search = static_cast<KmpFrameSearch*>(argument);
    if (_Unwind_GetCFA(context) > search->Marker) {
        search->Found = search->Inner;
        return _URC_END_OF_STACK;
    }
    search->Inner = reinterpret_cast<const void*>(_Unwind_GetIP(context));
    return _URC_NO_REASON;
}

// Where the routine that holds `frame` stands now: the return address of its call that is under
// way. Null when the stack cannot be walked that far.
const void* KmpWherePageableStands(const KM_PAGEABLE_FRAME* frame)
{
    KmpFrameSearch search{reinterpret_cast<uintptr_t>(frame), nullptr, nullptr};
    _Unwind_Backtrace(KmpVisitFrame, &search);
    return search.Found;
}

}  // namespace

extern "C" void KmPageableEnter(KM_PAGEABLE_FRAME* Frame, const char* Routine)
{
    km::Thread* thread = KmCurrentThread();
    Frame->Routine = Routine;
    Frame->Previous = thread->PageableTop;
    if (thread->Irql > APC_LEVEL) {
        const void* code = __builtin_return_address(0);
        KmBugCheck(DRIVER_IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)code, thread->Irql, KmpExecuteAccess, (ULONG_PTR)code,
                   "pageable routine %s entered at IRQL %u", Routine, thread->Irql);
    }
    thread->PageableTop = Frame;
}

extern "C" void KmPageableLeave(KM_PAGEABLE_FRAME* Frame)
{
    km::Thread* thread = KmCurrentThread();
    if (thread->Irql >= DISPATCH_LEVEL) {
        const void* code = __builtin_return_address(0);
        KmBugCheck(DRIVER_IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)code, thread->Irql, KmpExecuteAccess, (ULONG_PTR)code,
                   "pageable routine %s returns at IRQL %u", Frame->Routine, thread->Irql);
    }
    if (thread->PageableTop != Frame) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckGuardOrder, (ULONG_PTR)Frame,
                   (ULONG_PTR)thread->PageableTop, 0, "pageable routine %s left while %s is the innermost one",
                   Frame->Routine, thread->PageableTop != nullptr ? thread->PageableTop->Routine : "none");
    }
    thread->PageableTop = Frame->Previous;
}

void KmPageableIrqlRaised(km::Thread* thread, KIRQL from, KIRQL to)
{
    if (from >= DISPATCH_LEVEL || to < DISPATCH_LEVEL || thread->PageableTop == nullptr) {
        return;
    }
    thread->RaisedInPageable = thread->PageableTop;
    thread->RaisedPageableAt = KmpWherePageableStands(thread->PageableTop);
}

// The innermost pageable routine ran at DISPATCH_LEVEL if it now stands at another call than at
// the raise: its code went on between the two.
void KmPageableIrqlLowered(km::Thread* thread, KIRQL from, KIRQL to)
{
    if (from < DISPATCH_LEVEL || to >= DISPATCH_LEVEL || thread->RaisedInPageable == nullptr) {
        return;
    }
    KM_PAGEABLE_FRAME* frame = thread->RaisedInPageable;
    const void* raisedAt = thread->RaisedPageableAt;
    thread->RaisedInPageable = nullptr;
    thread->RaisedPageableAt = nullptr;
    if (frame != thread->PageableTop || raisedAt == nullptr) {
        return;
    }
    const void* now = KmpWherePageableStands(frame);
    if (now != nullptr && now != raisedAt) {
        KmBugCheck(DRIVER_IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)now, from, KmpExecuteAccess, (ULONG_PTR)now,
                   "pageable routine %s ran at IRQL %u: its code went on after a raise to DISPATCH_LEVEL (a spin "
                   "lock taken in pageable code)",
                   frame->Routine, from);
    }
}
