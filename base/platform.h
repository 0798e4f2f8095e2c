// The one platform header of all kernel-side code. On Windows it is the DDK's <ntifs.h>; on Linux
// it is the kernel model, which declares the same routines under the same names. Everything the
// two builds spell differently is settled here and nowhere else.
#pragma once

#if defined(_WIN32)

// mingw-w64's <ntifs.h> declares these two intrinsics a second time in C++ unless told that
// <intrin.h> already has them.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// Without POOL_TAGGING, mingw-w64's <wdm.h> turns ExAllocatePoolWithTag and
// ExAllocatePoolWithQuotaTag into their untagged forms, and every tag would be lost.
#define POOL_TAGGING 1
#include <ntifs.h>

// The kernel exports the driver object type, which mingw-w64's headers do not declare.
extern "C" __declspec(dllimport) POBJECT_TYPE* IoDriverObjectType;

#define HOST_WINDOWS 1
// Wide literals: WCHAR is wchar_t, 16 bits.
#define HOST_TEXT(text) L##text

#else

#include "ntmodel/ntifs.h"
#include "ntmodel/seh.h"

// Status codes the DDK has and the model does not declare (yet).
#ifndef STATUS_MEMORY_NOT_ALLOCATED
#define STATUS_MEMORY_NOT_ALLOCATED ((NTSTATUS)0xC00000A0L)
#endif
#ifndef STATUS_NOT_SAME_DEVICE
#define STATUS_NOT_SAME_DEVICE ((NTSTATUS)0xC00000D4L)
#endif
#ifndef STATUS_INVALID_PARAMETER_1
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#endif

#define HOST_WINDOWS 0
// Wide literals: WCHAR is char16_t in the model, 16 bits as on Windows.
#define HOST_TEXT(text) u##text

#endif

// ---- Exception guards -------------------------------------------------------------------------
// HOST_TRY { body } HOST_EXCEPT { handler } HOST_END_TRY
// The body must not leave the region by return, break or goto. Locals that the body changes and
// the handler reads must be volatile.
//
// On Windows the guard is structured exception handling: clang (-fms-extensions) compiles it into
// unwind data whose handler is the kernel's __C_specific_handler, and an exception raised anywhere
// below the body (ExRaiseStatus in a module's routine) lands in the handler with
// HOST_EXCEPTION_CODE() the raised status. tools/check-seh shows, over the built image, that every
// routine holding a guard has that handler. The model keeps the same behaviour with its own frames.
#if defined(_WIN32)
#if !defined(__clang__)
#error "The exception guards need clang's __try/__except; build with the windows preset"
#endif
#define HOST_TRY __try
#define HOST_EXCEPT __except (EXCEPTION_EXECUTE_HANDLER)
#define HOST_END_TRY
#define HOST_EXCEPTION_CODE() ((NTSTATUS)GetExceptionCode())
#else
#define HOST_TRY                                      \
    {                                                 \
        KM_GUARD_FRAME HostGuardFrame;                \
        KmGuardPush(&HostGuardFrame);                 \
        if (setjmp(HostGuardFrame.Jump) == 0) {
#define HOST_EXCEPT                                   \
    KmGuardPop(&HostGuardFrame);                      \
    }                                                 \
    else                                              \
    {
#define HOST_END_TRY \
    }                \
    }
#define HOST_EXCEPTION_CODE() (HostGuardFrame.Status)
#endif

// ---- Pageable code ----------------------------------------------------------------------------
// HOST_PAGED marks a routine that may be paged out (it goes first in the declaration, or right
// after extern "C"); PAGED_CODE() goes at its top. On Windows the routine lands in the PAGE section
// and PAGED_CODE() is the DDK's. In the model PAGED_CODE() opens a scope that lasts to the end of
// the routine: entering it above APC_LEVEL, and the routine's code running at DISPATCH_LEVEL (it
// takes a spin lock and goes on, or returns raised), are bug checks, as the faults Driver
// Verifier provokes by paging pageable code out at every raise to DISPATCH_LEVEL.
// HOST_INIT marks start-up code that runs once, from DriverEntry, and never after it returns: on
// Windows it lands in the INIT section, which the kernel discards once DriverEntry has returned.
// It is pageable as well (PAGED_CODE() at its top); in the model it is ordinary pageable code.
#if defined(_WIN32)
#define HOST_PAGED __attribute__((section("PAGE")))
#define HOST_INIT __attribute__((section("INIT")))
#else
#define HOST_INIT
#define HOST_PAGED
#undef PAGED_CODE
#define PAGED_CODE() KM_PAGEABLE_SCOPE HostPageableScope(__func__)
#endif
#ifndef PAGED_CODE
#define PAGED_CODE() ((void)0)
#endif
// ---- Contract violations the code survives --------------------------------------------------
// HOST_VERIFIER_STOP(code, p1, p2, p3, p4) goes where a caller broke a contract and the code
// ignores the call (after reporting it): the model stops there with the bug check `code`, as
// Driver Verifier does for the same misuse of the kernel's own objects; on Windows the report is
// all and the call returns.
#if defined(_WIN32)
#define HOST_VERIFIER_STOP(code, p1, p2, p3, p4) ((void)0)
#else
#define HOST_VERIFIER_STOP(code, p1, p2, p3, p4) \
    KeBugCheckEx((code), (ULONG_PTR)(p1), (ULONG_PTR)(p2), (ULONG_PTR)(p3), (ULONG_PTR)(p4))
#endif

// HOST_RESIDENT marks a resident routine that pageable code calls for work at DISPATCH_LEVEL (a
// spin-lock hold): it stays a call of its own, never inlined into its pageable caller.
#define HOST_RESIDENT __attribute__((noinline))

// ---- Annotations ------------------------------------------------------------------------------
// SAL and IRQL annotations document contracts; neither compiler checks them, so any the headers
// lack are defined empty.
#ifndef _In_
#define _In_
#endif
#ifndef _In_opt_
#define _In_opt_
#endif
#ifndef _Out_
#define _Out_
#endif
#ifndef _Out_opt_
#define _Out_opt_
#endif
#ifndef _Inout_
#define _Inout_
#endif
#ifndef _Inout_opt_
#define _Inout_opt_
#endif
#ifndef _Outptr_
#define _Outptr_
#endif
#ifndef _Must_inspect_result_
#define _Must_inspect_result_
#endif
#ifndef _Use_decl_annotations_
#define _Use_decl_annotations_
#endif
#ifndef _In_reads_bytes_
#define _In_reads_bytes_(size)
#endif
#ifndef _Out_writes_bytes_
#define _Out_writes_bytes_(size)
#endif
#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(irql)
#endif
#ifndef _IRQL_requires_
#define _IRQL_requires_(irql)
#endif
#ifndef _IRQL_raises_
#define _IRQL_raises_(irql)
#endif
#ifndef _IRQL_saves_
#define _IRQL_saves_
#endif
#ifndef _IRQL_restores_
#define _IRQL_restores_
#endif
#ifndef _Requires_lock_held_
#define _Requires_lock_held_(lock)
#endif
#ifndef _Acquires_lock_
#define _Acquires_lock_(lock)
#endif
#ifndef _Releases_lock_
#define _Releases_lock_(lock)
#endif
#ifndef _Function_class_
#define _Function_class_(name)
#endif
#ifndef _Dispatch_type_
#define _Dispatch_type_(type)
#endif
