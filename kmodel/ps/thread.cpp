// Threads: model threads started by tests, OS threads adopted on their first call into the
// model, the ids and current-thread queries, and what happens when a thread ends.
#include <chrono>
#include <cstdio>
#include <thread>

#include "internal/ke.h"
#include "internal/model.h"
#include "internal/ps.h"
#include "internal/verifier.h"

namespace {

// The model thread of this OS thread, valid only for the boot it was made in. Read by nearly every
// kernel routine: trivially destructible and initial-exec (the model is loaded with the program),
// so that a read is one load relative to the thread pointer.
struct KmpThreadSlot {
    km::Thread* Thread;
    uint64_t Generation;
};

thread_local KmpThreadSlot KmpSlot __attribute__((tls_model("initial-exec"))) = {nullptr, 0};

// Ends an adopted OS thread's model thread as any thread ends, when the OS thread exits during the
// same boot. Armed when the thread is adopted, which registers the destructor.
struct KmpAdoptedThreadEnd {
    bool Armed = false;
    ~KmpAdoptedThreadEnd();
};

thread_local KmpAdoptedThreadEnd KmpAdoptedEnd;

KmpAdoptedThreadEnd::~KmpAdoptedThreadEnd()
{
    km::Thread* thread = KmpSlot.Thread;
    if (Armed && thread != nullptr && KmIsBooted() && KmpSlot.Generation == KmGeneration() && thread->Adopted) {
        KmEndThread(thread);
    }
}

// Ps lock held: a new thread record in `process`, at PASSIVE_LEVEL, holding nothing.
km::Thread* KmpNewThreadLocked(KmPsState& ps, km::Process* process, bool adopted)
{
    auto thread = std::make_unique<km::Thread>();
    thread->Header.Type = ThreadObject;
    thread->Header.Size = (UCHAR)(sizeof(DISPATCHER_HEADER) / sizeof(LONG));
    thread->Header.SignalState = 0;
    InitializeListHead(&thread->Header.WaitListHead);
    thread->UniqueThreadId = (HANDLE)ps.NextClientId;
    ps.NextClientId += KmClientIdStep;
    thread->Process = process;
    thread->Irql = PASSIVE_LEVEL;
    thread->FastMutexesHeld = 0;
    thread->CriticalRegionDepth = 0;
    thread->ResourcesHeld = 0;
    thread->GuardTop = nullptr;
    thread->PageableTop = nullptr;
    thread->RaisedInPageable = nullptr;
    thread->RaisedPageableAt = nullptr;
    thread->DelayRequested = 0;
    InitializeListHead(&thread->MutantListHead);
    thread->Adopted = adopted;
    thread->Announced = false;
    thread->Joined = false;
    thread->Detached = false;
    thread->TerminateJump = nullptr;
    ps.Records.insert(static_cast<_KTHREAD*>(thread.get()));
    ps.Threads.push_back(std::move(thread));
    return ps.Threads.back().get();
}

// Dispatcher lock held: how many mutexes the thread owns.
size_t KmpOwnedMutexCountLocked(km::Thread* thread)
{
    size_t count = 0;
    for (LIST_ENTRY* entry = thread->MutantListHead.Flink; entry != &thread->MutantListHead; entry = entry->Flink) {
        ++count;
    }
    return count;
}

// What the shutting-down thread still holds, one line per kind; empty when nothing.
std::string KmpHeldByThreadReport(km::Thread* thread)
{
    char line[160];
    std::string report;
    ULONG id = KmIdNumber(thread->UniqueThreadId);
    if (thread->Irql != PASSIVE_LEVEL) {
        snprintf(line, sizeof(line), "thread %u is at IRQL %u\n", id, thread->Irql);
        report += line;
    }
    if (!thread->SpinLocks.empty()) {
        snprintf(line, sizeof(line), "thread %u holds %zu spin lock(s)\n", id, thread->SpinLocks.size());
        report += line;
    }
    if (thread->FastMutexesHeld != 0) {
        snprintf(line, sizeof(line), "thread %u holds %u fast mutex(es)\n", id, thread->FastMutexesHeld);
        report += line;
    }
    size_t mutexes;
    {
        std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
        mutexes = KmpOwnedMutexCountLocked(thread);
    }
    if (mutexes != 0) {
        snprintf(line, sizeof(line), "thread %u owns %zu mutex(es)\n", id, mutexes);
        report += line;
    }
    if (thread->ResourcesHeld != 0) {
        snprintf(line, sizeof(line), "thread %u holds %u executive resource acquisition(s)\n", id,
                 thread->ResourcesHeld);
        report += line;
    }
    if (thread->CriticalRegionDepth != 0) {
        snprintf(line, sizeof(line), "thread %u is inside %d critical region(s)\n", id, (int)thread->CriticalRegionDepth);
        report += line;
    }
    if (thread->GuardTop != nullptr) {
        snprintf(line, sizeof(line), "thread %u is inside an exception guard\n", id);
        report += line;
    }
    return report;
}

}  // namespace

km::Thread* KmCurrentThread()
{
    uint64_t generation = KmGeneration();
    if (KmpSlot.Thread != nullptr && KmpSlot.Generation == generation) {
        return KmpSlot.Thread;
    }
    if (!KmIsBooted()) {
        KmModelMisuse("a kernel routine was called while the model is not running (call km::Boot first)");
    }
    KmPsState& ps = KmPs();
    std::lock_guard<std::mutex> guard(ps.Lock);
    KmpSlot.Thread = KmpNewThreadLocked(ps, ps.System, true);
    KmpSlot.Generation = generation;
    KmpAdoptedEnd.Armed = true;
    return KmpSlot.Thread;
}

// What the thread still holds is reported before its IRQL, which holding it explains.
void KmEndThread(km::Thread* thread)
{
    ULONG id = KmIdNumber(thread->UniqueThreadId);
    if (!thread->SpinLocks.empty()) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckThreadEndSpinLock, (ULONG_PTR)thread->SpinLocks[0].Lock,
                   id, 0, "thread %u ended holding %zu spin lock(s)", id, thread->SpinLocks.size());
    }
    if (thread->FastMutexesHeld != 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckThreadEndFastMutex, thread->FastMutexesHeld, id, 0,
                   "thread %u ended holding %u fast mutex(es)", id, thread->FastMutexesHeld);
    }
    if (thread->ResourcesHeld != 0) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckThreadEndResource, thread->ResourcesHeld, id, 0,
                   "thread %u ended holding %u executive resource acquisition(s)", id, thread->ResourcesHeld);
    }
    if (thread->CriticalRegionDepth != 0) {
        KmBugCheck(APC_INDEX_MISMATCH, 0, (ULONG_PTR)thread->CriticalRegionDepth, id, 0,
                   "thread %u ended inside %d critical region(s)", id, (int)thread->CriticalRegionDepth);
    }
    if (thread->Irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckThreadEndIrql, thread->Irql, id, 0,
                   "thread %u ended at IRQL %u instead of PASSIVE_LEVEL", id, thread->Irql);
    }
    if (thread->Announced) {
        KmPsNotifyThread(thread->Process->UniqueProcessId, thread->UniqueThreadId, false);
    }
    {
        std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
        KmAbandonMutexesLocked(thread);
        KmSignalObjectLocked(&thread->Header);
    }
    if (thread->Detached) {
        KmPsState& ps = KmPs();
        std::lock_guard<std::mutex> guard(ps.Lock);
        --ps.DetachedRunning;
        ps.DetachedEnded.push_back(thread);
    }
}

km::Thread* km::StartThread(Process* process, std::function<void()> body)
{
    return KmStartThread(process, std::move(body), true);
}

// The thread notify routines run on the creating thread before the new thread starts.
km::Thread* KmStartThread(km::Process* process, std::function<void()> body, bool announce, bool detached)
{
    if (!KmIsBooted()) {
        KmModelMisuse("km::StartThread while the model is not running");
    }
    if (process == nullptr) {
        process = km::SystemProcess();
    }
    {
        std::lock_guard<std::mutex> guard(KmGetDispatcher().Lock);
        if (process->Header.SignalState != 0) {
            KmModelMisuse("km::StartThread in process %u, which has exited", KmIdNumber(process->UniqueProcessId));
        }
    }
    uint64_t generation = KmGeneration();
    km::Thread* thread;
    {
        KmPsState& ps = KmPs();
        std::lock_guard<std::mutex> guard(ps.Lock);
        thread = KmpNewThreadLocked(ps, process, false);
        thread->Announced = announce;
        thread->Detached = detached;
        ps.DetachedRunning += detached ? 1 : 0;
    }
    if (announce) {
        KmPsNotifyThread(process->UniqueProcessId, thread->UniqueThreadId, true);
    }
    thread->Body = std::move(body);
    thread->OsThread = std::thread([thread, generation] {
        KmpSlot.Thread = thread;
        KmpSlot.Generation = generation;
        thread->Body();
        KmEndThread(thread);
    });
    return thread;
}

void km::JoinThread(Thread* thread)
{
    if (thread == nullptr || !thread->OsThread.joinable()) {
        KmModelMisuse("km::JoinThread on a thread that is not running or was joined already");
    }
    if (thread->OsThread.get_id() == std::this_thread::get_id()) {
        KmModelMisuse("km::JoinThread by thread %u on itself", KmIdNumber(thread->UniqueThreadId));
    }
    thread->OsThread.join();
    thread->Joined = true;
    thread->Body = nullptr;
}

HANDLE km::ThreadId(const Thread* thread) { return thread->UniqueThreadId; }

void km::RunInProcess(Process* process, const std::function<void()>& body) { JoinThread(StartThread(process, body)); }

void km::WaitSystemThreadsEnded()
{
    KmPsState& ps = KmPs();
    std::vector<km::Thread*> ended;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(ps.Lock);
            if (ps.DetachedRunning == 0) {
                ended.swap(ps.DetachedEnded);
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Each has signalled its end; its OS thread is at most returning from its last call.
    for (km::Thread* thread : ended) {
        thread->OsThread.join();
        thread->Joined = true;
    }
}

std::string KmPsShutdownReport()
{
    KmPsState& ps = KmPs();
    std::vector<km::Thread*> unjoined;
    std::vector<km::Thread*> detachedEnded;
    std::vector<km::Process*> running;
    {
        std::lock_guard<std::mutex> guard(ps.Lock);
        std::lock_guard<std::mutex> dispatcherGuard(KmGetDispatcher().Lock);
        for (auto& thread : ps.Threads) {
            if (!thread->Adopted && thread->OsThread.joinable()) {
                // A system thread that has ended is joined silently; nobody else could.
                bool ended = thread->Detached && thread->Header.SignalState != 0;
                (ended ? detachedEnded : unjoined).push_back(thread.get());
            }
        }
        for (auto& process : ps.Processes) {
            if (process.get() != ps.System && process->Header.SignalState == 0) {
                running.push_back(process.get());
            }
        }
    }
    char line[200];
    std::string report;
    for (km::Thread* thread : detachedEnded) {
        thread->OsThread.join();
        thread->Joined = true;
    }
    for (km::Thread* thread : unjoined) {
        ULONG id = KmIdNumber(thread->UniqueThreadId);
        const char* kind = thread->Detached ? "system thread" : "model thread";
        const char* what = thread->Detached ? "had not ended" : "was never joined";
        fprintf(stderr, "km::Shutdown: waiting for %s %u, which %s\n", kind, id, what);
        thread->OsThread.join();
        thread->Joined = true;
        snprintf(line, sizeof(line), "%s %u %s\n", kind, id, what);
        report += line;
    }
    for (km::Process* process : running) {
        snprintf(line, sizeof(line), "process %u (%s) never exited\n", KmIdNumber(process->UniqueProcessId),
                 process->ImageName.c_str());
        report += line;
    }
    report += KmpHeldByThreadReport(KmCurrentThread());
    return report;
}

void KmPsReset()
{
    KmPsState& ps = KmPs();
    std::lock_guard<std::mutex> guard(ps.Lock);
    ps.Threads.clear();
    ps.DetachedRunning = 0;
    ps.DetachedEnded.clear();
    ps.Processes.clear();
    ps.Records.clear();
    ps.System = nullptr;
    PsInitialSystemProcess = nullptr;
}

extern "C" HANDLE PsGetCurrentThreadId(void) { return KmCurrentThread()->UniqueThreadId; }

extern "C" PETHREAD PsGetCurrentThread(void) { return KmCurrentThread(); }

extern "C" PKTHREAD KeGetCurrentThread(void) { return KmCurrentThread(); }

extern "C" HANDLE PsGetThreadId(PETHREAD Thread) { return Thread->UniqueThreadId; }
