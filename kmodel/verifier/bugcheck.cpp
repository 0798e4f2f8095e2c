// Bug checks: the model's stop screen. A bug check prints the stop code, its four parameters and
// a readable reason to stderr and aborts the process, so that tests can expect the death.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "internal/verifier.h"
#include "kmodel/model.h"

namespace {

struct KmpBugCheckName {
    ULONG Code;
    const char* Name;
};

const KmpBugCheckName KmpBugCheckNames[] = {
    {IRQL_NOT_GREATER_OR_EQUAL, "IRQL_NOT_GREATER_OR_EQUAL"},
    {IRQL_NOT_LESS_OR_EQUAL, "IRQL_NOT_LESS_OR_EQUAL"},
    {INVALID_PROCESS_ATTACH_ATTEMPT, "INVALID_PROCESS_ATTACH_ATTEMPT"},
    {MUTEX_LEVEL_NUMBER_VIOLATION, "MUTEX_LEVEL_NUMBER_VIOLATION"},
    {SPIN_LOCK_ALREADY_OWNED, "SPIN_LOCK_ALREADY_OWNED"},
    {SPIN_LOCK_NOT_OWNED, "SPIN_LOCK_NOT_OWNED"},
    {THREAD_NOT_MUTEX_OWNER, "THREAD_NOT_MUTEX_OWNER"},
    {REFERENCE_BY_POINTER, "REFERENCE_BY_POINTER"},
    {BAD_POOL_HEADER, "BAD_POOL_HEADER"},
    {KMODE_EXCEPTION_NOT_HANDLED, "KMODE_EXCEPTION_NOT_HANDLED"},
    {NO_MORE_IRP_STACK_LOCATIONS, "NO_MORE_IRP_STACK_LOCATIONS"},
    {MULTIPLE_IRP_COMPLETE_REQUESTS, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
    {IRQL_GT_ZERO_AT_SYSTEM_SERVICE, "IRQL_GT_ZERO_AT_SYSTEM_SERVICE"},
    {SYSTEM_THREAD_EXCEPTION_NOT_HANDLED, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED"},
    {ATTEMPTED_SWITCH_FROM_DPC, "ATTEMPTED_SWITCH_FROM_DPC"},
    {BAD_POOL_CALLER, "BAD_POOL_CALLER"},
    {DRIVER_VERIFIER_DETECTED_VIOLATION, "DRIVER_VERIFIER_DETECTED_VIOLATION"},
    {DRIVER_VERIFIER_IOMANAGER_VIOLATION, "DRIVER_VERIFIER_IOMANAGER_VIOLATION"},
    {DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS, "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS"},
    {DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
     "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS"},
    {DRIVER_IRQL_NOT_LESS_OR_EQUAL, "DRIVER_IRQL_NOT_LESS_OR_EQUAL"},
    {DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL, "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL"},
    {RESOURCE_NOT_OWNED, "RESOURCE_NOT_OWNED"},
    {APC_INDEX_MISMATCH, "APC_INDEX_MISMATCH"},
    {WORKER_THREAD_RETURNED_AT_BAD_IRQL, "WORKER_THREAD_RETURNED_AT_BAD_IRQL"},
    {INVALID_KERNEL_HANDLE, "INVALID_KERNEL_HANDLE"},
    {0x139, "KERNEL_SECURITY_CHECK_FAILURE"},
};

const char* KmpNameOf(ULONG code)
{
    for (const KmpBugCheckName& entry : KmpBugCheckNames) {
        if (entry.Code == code) {
            return entry.Name;
        }
    }
    return "UNKNOWN_BUGCHECK";
}

// Serialises stop screens: the first thread to bug-check prints and aborts; any other waits.
std::mutex& KmpStopLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

}  // namespace

[[noreturn]] void km::BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                               const std::string& reason)
{
    KmpStopLock().lock();
    fprintf(stderr, "*** STOP 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX) %s\n", code, (unsigned long long)p1,
            (unsigned long long)p2, (unsigned long long)p3, (unsigned long long)p4, KmpNameOf(code));
    fprintf(stderr, "*** %s\n", reason.c_str());
    fflush(stderr);
    abort();
}

void KmBugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const char* format, ...)
{
    char reason[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(reason, sizeof(reason), format, arguments);
    va_end(arguments);
    km::BugCheck(code, p1, p2, p3, p4, reason);
}

// Kernel code stops the system: the model names the code and says it was asked to.
extern "C" void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    KmBugCheck(BugCheckCode, P1, P2, P3, P4, "KeBugCheckEx called by kernel code");
}

extern "C" void KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }
