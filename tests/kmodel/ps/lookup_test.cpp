// Finding processes and threads: by id (live ones only, each with a reference), from a thread or
// an IRP, and a process's image name through a handle.
#include "../model_test_util.h"

namespace {

using PsLookupTest = KernelTest;

const HANDLE UnusedId = (HANDLE)(ULONG_PTR)0x7FFFFFF0;

TEST_F(PsLookupTest, IdsOfLiveProcessesAndThreadsAreFoundWithAReference)
{
    km::Process* process = km::CreateProcess("controller.exe");
    HANDLE endedThread = nullptr;
    km::RunInProcess(process, [&] { endedThread = PsGetCurrentThreadId(); });
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
    km::ExitProcess(process);
    PEPROCESS exited = nullptr;
    EXPECT_EQ(PsLookupProcessByProcessId(km::ProcessId(process), &exited), STATUS_INVALID_PARAMETER);
}

// A thread and an IRP lead to their process; the image name is queried through the current-process
// handle or a handle opened by pointer, and only a process handle has one.
TEST_F(PsLookupTest, ThreadsAndIrpsLeadToTheirProcessWhoseImageNameAHandleGives)
{
    km::Process* process = km::CreateProcess("controller.exe");
    PEPROCESS seen = nullptr;
    HANDLE seenId = nullptr;
    BOOLEAN system = TRUE;
    PEPROCESS requestor = nullptr;
    alignas(UNICODE_STRING) UCHAR buffer[128];
    auto* name = reinterpret_cast<PUNICODE_STRING>(buffer);
    ULONG needed = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    km::RunInProcess(process, [&] {
        PETHREAD self = PsGetCurrentThread();
        seen = IoThreadToProcess(self);
        seenId = PsGetThreadProcessId(self);
        system = PsIsSystemThread(self);
        PIRP irp = IoAllocateIrp(1, FALSE);
        irp->Tail.Overlay.Thread = self;
        requestor = IoGetRequestorProcess(irp);
        irp->Tail.Overlay.Thread = nullptr;
        EXPECT_EQ(IoGetRequestorProcess(irp), nullptr);
        IoFreeIrp(irp);
        status = ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, buffer, sizeof(buffer), &needed);
    });
    EXPECT_EQ(PsGetProcessId(seen), km::ProcessId(process));
    EXPECT_EQ(seenId, km::ProcessId(process));
    EXPECT_EQ(requestor, seen);
    EXPECT_FALSE(system);
    EXPECT_TRUE(PsIsSystemThread(PsGetCurrentThread()));
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name->Buffer, name->Length / 2), u"controller.exe");

    EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileName, buffer, sizeof(UNICODE_STRING), &needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, sizeof(UNICODE_STRING) + sizeof(u"")) << "System's name is empty";
    EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessBasicInformation, buffer, sizeof(buffer), &needed),
              STATUS_INVALID_INFO_CLASS);
    HANDLE handle = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, buffer, sizeof(buffer), &needed), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name->Buffer, name->Length / 2), u"controller.exe");
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    EXPECT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, *PsThreadType, KernelMode, &handle),
              STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(ObOpenObjectByPointer(PsGetCurrentThread(), OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, buffer, sizeof(buffer), &needed),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    km::ExitProcess(process);
}

}  // namespace
