// System threads: PsCreateSystemThread and PsTerminateSystemThread, and the thread objects their
// handles refer to. A system thread belongs to the System process, runs its start routine at
// PASSIVE_LEVEL and ends when the routine returns or calls PsTerminateSystemThread; its thread
// object (the thread record itself, an object like every thread) is signalled then, so KeWaitForSingleObject on it waits for
// the end. Nobody joins the OS thread: the model does at shutdown, and reports a system thread
// that has not ended by then.
#include <future>

#include "internal/ps.h"
#include "internal/verifier.h"
#include "ob/object_manager.h"

namespace {

// Runs the start routine; PsTerminateSystemThread comes back here.
void KmpRunSystemThread(PKSTART_ROUTINE routine, PVOID context)
{
    km::Thread* thread = KmCurrentThread();
    jmp_buf terminated;
    thread->TerminateJump = &terminated;
    if (setjmp(terminated) == 0) {
        routine(context);
    } else {
        thread->GuardTop = nullptr;  // guard frames the termination left are gone with their stack
    }
    thread->TerminateJump = nullptr;
}

ACCESS_MASK KmpMapThreadAccess(ACCESS_MASK desired)
{
    return (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0 ? THREAD_ALL_ACCESS : desired;
}

}  // namespace

// Starts a system thread (ProcessHandle must be null: the model starts no threads in other
// processes). PASSIVE_LEVEL. The thread notify routines hear of it on the calling thread; the
// handle exists before the start routine runs.
extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                               PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, 0, 0,
                   "PsCreateSystemThread at IRQL %u", irql);
    }
    if (ProcessHandle != nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const void* holder = km::ob::ImageContaining(__builtin_return_address(0));
    bool kernelHandle = ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    std::promise<void> handleReady;
    std::shared_future<void> started = handleReady.get_future().share();
    km::Thread* thread = KmStartThread(
        km::SystemProcess(),
        [started, StartRoutine, StartContext] {
            started.wait();
            KmpRunSystemThread(StartRoutine, StartContext);
        },
        true, true);
    km::ob::ObjectHeader* header;
    {
        std::lock_guard<std::mutex> hold(km::ob::ModelLock());
        header = km::ob::FindLocked(static_cast<_KTHREAD*>(thread));
        km::ob::ReferenceLocked(header, false, nullptr);
    }
    *ThreadHandle = km::ob::InsertHandle(header, KmpMapThreadAccess(DesiredAccess), kernelHandle, holder);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = km::ProcessId(km::SystemProcess());
        ClientId->UniqueThread = km::ThreadId(thread);
    }
    handleReady.set_value();
    return STATUS_SUCCESS;
}

// Ends the calling system thread with ExitStatus; does not return. Any other thread is refused.
extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    UNREFERENCED_PARAMETER(ExitStatus);
    km::Thread* thread = KmCurrentThread();
    if (thread->TerminateJump == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    longjmp(*thread->TerminateJump, 1);
}
