// Process and thread records of the model, shared by the executive areas that keep per-thread
// state (IRQL, held spin locks and fast mutexes, owned mutexes, guard frames).
#pragma once

#include <functional>
#include <memory>
#include <unordered_set>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kmodel/model.h"
#include "ntmodel/seh.h"

// How a held spin lock was acquired; it must be released the same way.
enum class KmSpinLockMode : UCHAR { Plain, Queued };

// One spin lock the thread holds, with the IRQL to return to when it is released.
struct KmHeldSpinLock {
    PKSPIN_LOCK Lock;
    KIRQL OldIrql;
    KmSpinLockMode Mode;
};

// A process. The header is signalled once the process has exited.
struct _KPROCESS {
    DISPATCHER_HEADER Header;
    HANDLE UniqueProcessId;
    // The process that created this one (its ParentId in the notify routines).
    HANDLE InheritedFromUniqueProcessId;
    std::string ImageName;
};

// A thread. The header is signalled once the thread has ended.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    HANDLE UniqueThreadId;
    _KPROCESS* Process;

    // Touched only by the thread itself.
    KIRQL Irql;
    std::vector<KmHeldSpinLock> SpinLocks;
    ULONG FastMutexesHeld;
    // KeEnterCriticalRegion depth, and executive resource acquisitions not yet released.
    LONG CriticalRegionDepth;
    ULONG ResourcesHeld;
    KM_GUARD_FRAME* GuardTop;
    // Innermost pageable routine (PAGED_CODE scope) running on the thread; null when none.
    KM_PAGEABLE_FRAME* PageableTop;
    // Set while the thread is at DISPATCH_LEVEL or above after a raise made with a pageable
    // routine running: that routine, and where its code stood at the raise.
    KM_PAGEABLE_FRAME* RaisedInPageable;
    const void* RaisedPageableAt;
    // Model time asked for by KeDelayExecutionThread so far, in 100 ns units.
    int64_t DelayRequested;

    // Mutexes the thread owns, linked through KMUTANT.MutantListEntry; under the dispatcher lock.
    LIST_ENTRY MutantListHead;

    // The model's bookkeeping: an adopted OS thread, or one km::StartThread runs.
    bool Adopted;
    // Its creation was told to the thread notify routines, so its exit is told too.
    bool Announced;
    bool Joined;
    // A system thread of PsCreateSystemThread: nobody joins it; the model does once it has ended.
    bool Detached;
    // Where PsTerminateSystemThread leaves the start routine (touched only by the thread itself).
    jmp_buf* TerminateJump;
    std::thread OsThread;
    std::function<void()> Body;
};

namespace km {
struct Process : _KPROCESS {};
struct Thread : _KTHREAD {};
}  // namespace km

// Id of the System process, as on Windows; other ids are handed out in steps of four.
constexpr ULONG_PTR KmSystemProcessId = 4;
constexpr ULONG_PTR KmClientIdStep = 4;

// Every process and thread record of the running model; records live until shutdown so that
// stale pointers held by kernel code stay readable.
struct KmPsState {
    std::mutex Lock;
    std::vector<std::unique_ptr<km::Process>> Processes;
    std::vector<std::unique_ptr<km::Thread>> Threads;
    km::Process* System = nullptr;
    // Every record above, for telling a process or thread pointer from any other.
    std::unordered_set<const void*> Records;
    ULONG_PTR NextClientId = KmSystemProcessId + KmClientIdStep;
    // System threads still running, and those that have ended but whose OS thread nobody has
    // joined yet: waiting for the system threads neither scans every thread the run ever made
    // nor leaves ended OS threads behind.
    size_t DetachedRunning = 0;
    std::vector<km::Thread*> DetachedEnded;
};
KmPsState& KmPs();
// Whether `record` is a process or thread record of the running model (its kind in *isProcess).
// Takes the Ps lock, so it may be called with the object manager's lock held, never the reverse.
bool KmPsIsRecord(const void* record, bool* isProcess);

// The model thread of the calling OS thread, adopting it into the System process on its first
// call. Bug-checks when the model is not booted.
km::Thread* KmCurrentThread();

// Ends a thread: verifies it leaves nothing held, tells the thread notify routines (announced
// threads), abandons the mutexes it owns, signals it.
void KmEndThread(km::Thread* thread);
// km::StartThread, telling the thread notify routines of the new thread when `announce` is set.
// The model's own helper threads (a process's last thread at exit) are not announced. A
// `detached` thread is nobody's to join: the model joins it at shutdown.
km::Thread* KmStartThread(km::Process* process, std::function<void()> body, bool announce, bool detached = false);

// Process and thread notify routines (ps/notify.cpp). Each call runs the registered routines on
// the calling thread at PASSIVE_LEVEL, in registration slot order.
void KmPsNotifyProcess(HANDLE parentId, HANDLE processId, bool create);
void KmPsNotifyThread(HANDLE processId, HANDLE threadId, bool create);
// The loader mapped a driver image named `fullName` (an NT path): the image-load notify routines
// run on the calling thread.
void KmPsNotifySystemImageLoad(const std::u16string& fullName, void* imageBase, size_t imageSize);
// A fresh set of registrations (boot).
void KmPsNotifyReset();
// Lines for the notify routines that code of `image` left registered; they are removed.
std::string KmPsReleaseNotifyRoutinesOfImage(const void* image);

// Boot and shutdown of processes and threads (called by km::Boot and km::Shutdown).
void KmPsBoot();
std::string KmPsShutdownReport();
void KmPsReset();

inline ULONG KmIdNumber(HANDLE id) { return (ULONG)(ULONG_PTR)id; }
