// Processes and threads: found by id (live ones only, each with a reference), from a thread or an
// IRP, and a process's image name through a handle; PsCreateSystemThread's thread of the System
// process and its handle, the thread object waited on until the thread ends, and
// PsTerminateSystemThread.
#include "../io/io_test_util.h"

namespace {

using PsTest = KernelTest;

const HANDLE UnusedId = (HANDLE)(ULONG_PTR)0x7FFFFFF0;

// Ids of live processes and threads are found, each with a reference; a thread and an IRP lead to
// their process; the image name is queried through the current-process handle or a handle opened
// by pointer, and only a process handle has one.
TEST_F(PsTest, IdsThreadsAndIrpsLeadToLiveProcessesWhoseImageNameAHandleGives)
{
    km::Process* process = km::CreateProcess("controller.exe");
    HANDLE endedThread = nullptr;
    alignas(UNICODE_STRING) UCHAR buffer[128];
    auto* name = reinterpret_cast<PUNICODE_STRING>(buffer);
    ULONG needed = 0;
    km::RunInProcess(process, [&] {
        PETHREAD self = PsGetCurrentThread();
        endedThread = PsGetCurrentThreadId();
        EXPECT_EQ(PsGetProcessId(IoThreadToProcess(self)), km::ProcessId(process));
        EXPECT_EQ(PsGetThreadProcessId(self), km::ProcessId(process));
        EXPECT_FALSE(PsIsSystemThread(self));
        PIRP irp = IoAllocateIrp(1, FALSE);
        irp->Tail.Overlay.Thread = self;
        EXPECT_EQ(IoGetRequestorProcess(irp), IoThreadToProcess(self));
        irp->Tail.Overlay.Thread = nullptr;
        EXPECT_EQ(IoGetRequestorProcess(irp), nullptr);
        IoFreeIrp(irp);
        ASSERT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, buffer, sizeof(buffer), &needed),
                  STATUS_SUCCESS);
        EXPECT_EQ(FromCounted(*name), u"controller.exe");
    });
    EXPECT_TRUE(PsIsSystemThread(PsGetCurrentThread()));
    const struct {
        const char* what;
        bool process;
        HANDLE id;
        NTSTATUS status;
    } cases[] = {
        {"running process", true, km::ProcessId(process), STATUS_SUCCESS},
        {"System", true, PsGetCurrentProcessId(), STATUS_SUCCESS},
        {"unused process id", true, UnusedId, STATUS_INVALID_PARAMETER},
        {"thread id as a process id", true, PsGetCurrentThreadId(), STATUS_INVALID_PARAMETER},
        {"running thread", false, PsGetCurrentThreadId(), STATUS_SUCCESS},
        {"ended thread", false, endedThread, STATUS_INVALID_PARAMETER},
        {"unused thread id", false, UnusedId, STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PVOID found = nullptr;
        NTSTATUS status = c.process ? PsLookupProcessByProcessId(c.id, reinterpret_cast<PEPROCESS*>(&found))
                                    : PsLookupThreadByThreadId(c.id, reinterpret_cast<PETHREAD*>(&found));
        EXPECT_EQ(status, c.status);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(c.process ? PsGetProcessId(static_cast<PEPROCESS>(found)) : PsGetThreadId(static_cast<PETHREAD>(found)),
                      c.id);
            ObfDereferenceObject(found);  // the leak check fails the test without this
        }
    }

    EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, buffer, sizeof(UNICODE_STRING), &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, sizeof(UNICODE_STRING) + sizeof(u"")) << "System's name is empty";
    EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessBasicInformation, buffer, sizeof(buffer), &needed),
              STATUS_INVALID_INFO_CLASS);
    HANDLE handle = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, buffer, sizeof(buffer), &needed), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(*name), u"controller.exe");
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    EXPECT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsThreadType, KernelMode, &handle),
              STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(ObOpenObjectByPointer(PsGetCurrentThread(), OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, buffer, sizeof(buffer), &needed),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    km::ExitProcess(process);
    PEPROCESS exited = nullptr;
    EXPECT_EQ(PsLookupProcessByProcessId(km::ProcessId(process), &exited), STATUS_INVALID_PARAMETER);
}

struct ThreadContext {
    KEVENT go;
    HANDLE process = nullptr;
    KIRQL irql = HIGH_LEVEL;
    bool ranPastTerminate = false;
};

void NTAPI WaitThenTerminate(PVOID context)
{
    auto* state = static_cast<ThreadContext*>(context);
    state->process = PsGetCurrentProcessId();
    state->irql = KeGetCurrentIrql();
    KeWaitForSingleObject(&state->go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
    state->ranPastTerminate = true;
}

TEST_F(PsTest, AThreadOfTheSystemProcessWhoseObjectIsSignalledWhenItEndsAndWhoseHandleIsChecked)
{
    ThreadContext context;
    KeInitializeEvent(&context.go, NotificationEvent, FALSE);
    PETHREAD thread = nullptr;
    CLIENT_ID client{};
    // Created from a user process's thread without attributes: the handle is that process's.
    km::RunAsUser([&] {
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, &client, WaitThenTerminate, &context),
                  STATUS_SUCCESS);
        EXPECT_FALSE(reinterpret_cast<uintptr_t>(handle) & 0x80000000u) << "not a kernel handle";
        PVOID object;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr),
                  STATUS_OBJECT_TYPE_MISMATCH);
        ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                            reinterpret_cast<PVOID*>(&thread), nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    });
    EXPECT_EQ(PsGetThreadId(thread), client.UniqueThread);
    LARGE_INTEGER now{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &now), STATUS_TIMEOUT);
    KeSetEvent(&context.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(context.process, client.UniqueProcess);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(context.process), 4u) << "the System process";
    EXPECT_EQ(context.irql, PASSIVE_LEVEL);
    EXPECT_FALSE(context.ranPastTerminate);
    ObDereferenceObject(thread);
    EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER) << "not a system thread";
}

}  // namespace
