// Structured exception handling as the model gives it to kernel code: a guard frame per guarded
// region, kept on a per-thread stack; ExRaiseStatus unwinds to the innermost frame with longjmp.
// Kernel code uses it only through the guard macros of its platform header.
#pragma once

#include <csetjmp>

#include "nttypes.h"

struct KM_PAGEABLE_FRAME;

struct KM_GUARD_FRAME {
    jmp_buf Jump;
    KM_GUARD_FRAME* Previous;
    NTSTATUS Status;
    // The thread's innermost pageable routine when the guard was entered: a raise leaves the
    // pageable routines inside the guard without running their scope ends.
    KM_PAGEABLE_FRAME* PageableTop;
};

extern "C" {
// Makes `frame` the innermost guard of the calling thread.
void KmGuardPush(KM_GUARD_FRAME* frame);
// Removes `frame`, which must be the innermost guard (verifier check).
void KmGuardPop(KM_GUARD_FRAME* frame);
}
