// System threads: PsCreateSystemThread's thread of the System process and its handle, the thread
// object waited on until the thread ends, and PsTerminateSystemThread.
#include "kmodel/io_model.h"
#include "support/kernel_test.h"

namespace {

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

void NTAPI ReturnAtOnce(PVOID) {}

using SystemThreadTest = KernelTest;

TEST_F(SystemThreadTest, AThreadOfTheSystemProcessWhoseObjectIsSignalledWhenItEndsAndWhoseHandleIsChecked)
{
    ThreadContext context;
    KeInitializeEvent(&context.go, NotificationEvent, FALSE);
    PETHREAD thread = nullptr;
    CLIENT_ID client{};
    NTSTATUS wrongType = 0;
    // Created from a user process's thread without attributes: the handle is that process's.
    km::RunAsUser([&] {
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, &client, WaitThenTerminate, &context),
                  STATUS_SUCCESS);
        EXPECT_FALSE(reinterpret_cast<uintptr_t>(handle) & 0x80000000u) << "not a kernel handle";
        PVOID object;
        wrongType = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
        ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                            reinterpret_cast<PVOID*>(&thread), nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    });
    EXPECT_EQ(wrongType, STATUS_OBJECT_TYPE_MISMATCH);
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

    // A kernel handle to a thread is not usable from user mode.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ReturnAtOnce, nullptr),
              STATUS_SUCCESS);
    km::RunAsUser([&] {
        PVOID object;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, UserMode, &object, nullptr),
                  STATUS_INVALID_HANDLE);
    });
    PVOID returning;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &returning, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(returning, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS)
        << "a start routine that returns ends its thread";
    ObDereferenceObject(returning);
    ZwClose(handle);
}

}  // namespace
