// Processes: the System process and the user processes tests create, with their ids.
#include "internal/io.h"
#include "internal/ke.h"
#include "internal/model.h"
#include "internal/ps.h"
#include "internal/verifier.h"

KmPsState& KmPs()
{
    static KmPsState* state = new KmPsState;
    return *state;
}

extern "C" {
PEPROCESS PsInitialSystemProcess = nullptr;
}

namespace {

// Ps lock held: a new process record; ids share one sequence with thread ids, as on Windows.
km::Process* KmpNewProcessLocked(KmPsState& ps, ULONG_PTR id, HANDLE parentId, const std::string& imageName)
{
    auto process = std::make_unique<km::Process>();
    process->Header.Type = ProcessObject;
    process->Header.Size = (UCHAR)(sizeof(DISPATCHER_HEADER) / sizeof(LONG));
    process->Header.SignalState = 0;
    InitializeListHead(&process->Header.WaitListHead);
    process->UniqueProcessId = (HANDLE)id;
    process->InheritedFromUniqueProcessId = parentId;
    process->ImageName = imageName;
    ps.Records.insert(static_cast<_KPROCESS*>(process.get()));
    ps.Processes.push_back(std::move(process));
    return ps.Processes.back().get();
}

}  // namespace

bool KmPsIsRecord(const void* record, bool* isProcess)
{
    KmPsState& ps = KmPs();
    std::lock_guard<std::mutex> guard(ps.Lock);
    if (ps.Records.count(record) == 0) {
        return false;
    }
    auto kind = static_cast<const DISPATCHER_HEADER*>(record)->Type;
    *isProcess = kind == ProcessObject;
    return true;
}

km::Process* km::SystemProcess()
{
    KmPsState& ps = KmPs();
    std::lock_guard<std::mutex> guard(ps.Lock);
    return ps.System;
}

// The process is created by the calling thread's process; the process notify routines run on
// the calling thread, as they run on the creating thread on Windows.
km::Process* km::CreateProcess(const std::string& imageName)
{
    if (!KmIsBooted()) {
        KmModelMisuse("km::CreateProcess while the model is not running");
    }
    HANDLE parentId = KmCurrentThread()->Process->UniqueProcessId;
    km::Process* process;
    {
        KmPsState& ps = KmPs();
        std::lock_guard<std::mutex> guard(ps.Lock);
        ULONG_PTR id = ps.NextClientId;
        ps.NextClientId += KmClientIdStep;
        process = KmpNewProcessLocked(ps, id, parentId, imageName);
    }
    KmPsNotifyProcess(parentId, process->UniqueProcessId, true);
    return process;
}

// The process's last thread (a thread of the model, not announced itself) runs the process
// notify routines and then the rundown of the handle table, as the last exiting thread does on
// Windows; then the process is signalled.
void km::ExitProcess(Process* process)
{
    if (process == nullptr || process == SystemProcess()) {
        KmModelMisuse("km::ExitProcess on %s", process == nullptr ? "a null process" : "the System process");
    }
    KmDispatcher& dispatcher = KmGetDispatcher();
    {
        KmPsState& ps = KmPs();
        std::lock_guard<std::mutex> psGuard(ps.Lock);
        std::lock_guard<std::mutex> guard(dispatcher.Lock);
        if (process->Header.SignalState != 0) {
            KmModelMisuse("km::ExitProcess on process %u, which has already exited",
                          KmIdNumber(process->UniqueProcessId));
        }
        // The exit notification stands for the last thread's exit: no other thread may still run.
        for (auto& thread : ps.Threads) {
            if (thread->Process == process && thread->Header.SignalState == 0) {
                KmModelMisuse("km::ExitProcess on process %u while its thread %u still runs",
                              KmIdNumber(process->UniqueProcessId), KmIdNumber(thread->UniqueThreadId));
            }
        }
    }
    km::Thread* last = KmStartThread(
        process,
        [process] {
            KmPsNotifyProcess(process->InheritedFromUniqueProcessId, process->UniqueProcessId, false);
            // Its handles are closed (cleanup and close requests go out).
            KmIoProcessExited(process->UniqueProcessId);
        },
        false);
    km::JoinThread(last);
    std::lock_guard<std::mutex> guard(dispatcher.Lock);
    KmSignalObjectLocked(&process->Header);
}

HANDLE km::ProcessId(const Process* process) { return process->UniqueProcessId; }

void KmPsBoot()
{
    KmPsState& ps = KmPs();
    {
        std::lock_guard<std::mutex> guard(ps.Lock);
        ps.NextClientId = KmSystemProcessId + KmClientIdStep;
        ps.System = KmpNewProcessLocked(ps, KmSystemProcessId, nullptr, "System");
        PsInitialSystemProcess = ps.System;
    }
    KmPsNotifyReset();
    KmCurrentThread();
}

extern "C" HANDLE PsGetCurrentProcessId(void) { return KmCurrentThread()->Process->UniqueProcessId; }

extern "C" PEPROCESS PsGetCurrentProcess(void) { return KmCurrentThread()->Process; }

extern "C" HANDLE PsGetProcessId(PEPROCESS Process) { return Process->UniqueProcessId; }
