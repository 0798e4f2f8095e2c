// Processes and threads: found by id (live ones only, each with a reference), from a thread or an
// IRP, and a process's image name through a handle; PsCreateSystemThread's thread of the System
// process and its handle, the thread object waited on until the thread ends, and
// PsTerminateSystemThread. Process and thread notify routines: called on the right thread and in
// the right process (the ids, the order and the IRQL a module sees are checked through the host in
// tests/host); bounded registration, injectable failures, and removal that waits for a call still
// inside the routine. Image-load notify routines: told of each driver image the loader maps, as
// Windows tells them of a system image, until removed; removal of one not registered is refused.
#include <atomic>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "../io/io_test_util.h"
#include "kmodel/fs_model.h"

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
    bool ranPastTerminate = false;
};

void NTAPI WaitThenTerminate(PVOID context)
{
    auto* state = static_cast<ThreadContext*>(context);
    EXPECT_EQ(PsGetCurrentProcessId(), HANDLE(4)) << "the System process";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
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
    EXPECT_EQ(client.UniqueProcess, HANDLE(4));
    EXPECT_FALSE(context.ranPastTerminate);
    ObDereferenceObject(thread);
    EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER) << "not a system thread";
}

// {a process notification (else a thread one), the parent's id or the thread's process id,
// create, the current process, the current thread}.
using Notification = std::tuple<bool, HANDLE, bool, HANDLE, HANDLE>;

std::mutex LogLock;
std::vector<Notification> Log;

void Record(bool process, HANDLE first, BOOLEAN create)
{
    std::lock_guard<std::mutex> hold(LogLock);
    Log.emplace_back(process, first, create != FALSE, PsGetCurrentProcessId(), PsGetCurrentThreadId());
}

void NTAPI OnProcess(HANDLE parent, HANDLE, BOOLEAN create) { Record(true, parent, create); }
void NTAPI OnThread(HANDLE process, HANDLE, BOOLEAN create) { Record(false, process, create); }

std::vector<Notification> Take()
{
    std::lock_guard<std::mutex> hold(LogLock);
    return std::exchange(Log, {});
}

// Distinct routines, to fill the 64 slots.
template <int N>
void NTAPI Filler(HANDLE, HANDLE, BOOLEAN)
{
}

template <int... N>
std::vector<PCREATE_THREAD_NOTIFY_ROUTINE> Fillers(std::integer_sequence<int, N...>)
{
    return {Filler<N>...};
}

// Creation is told on the creating thread, before a new thread runs; exit on the ending thread,
// a process's in the process itself. A process routine is refused twice, a thread routine may
// repeat, and an injected failure refuses the chosen registration.
TEST_F(PsTest, CreationIsToldOnTheCreatorAndExitOnTheEndingThreadOrProcessToEachRegistration)
{
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, TRUE), STATUS_INVALID_PARAMETER) << "nothing to remove";
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, FALSE), STATUS_INVALID_PARAMETER);
    km::FailNotifyRegistration(km::NotifyKind::Thread, 2, STATUS_ACCESS_DENIED);
    ASSERT_EQ(PsSetCreateThreadNotifyRoutine(OnThread), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateThreadNotifyRoutine(OnThread), STATUS_ACCESS_DENIED) << "the second call fails";
    km::Process* process = km::CreateProcess("app.exe");
    HANDLE processId = km::ProcessId(process);
    km::Thread* thread = km::StartThread(process, [&] {
        std::lock_guard<std::mutex> hold(LogLock);
        EXPECT_EQ(Log.size(), 2u) << "creation is told before the new thread runs";
    });
    km::JoinThread(thread);
    HANDLE threadId = km::ThreadId(thread);
    km::ExitProcess(process);

    std::vector<Notification> seen = Take();
    ASSERT_EQ(seen.size(), 4u) << "the model's own threads are not announced";
    const HANDLE self = PsGetCurrentThreadId();
    const HANDLE system = PsGetCurrentProcessId();
    std::get<4>(seen[3]) = nullptr;  // a process's exit is told on whichever thread ends it
    const std::vector<Notification> expected{{true, system, true, system, self},
                                             {false, processId, true, system, self},
                                             {false, processId, false, processId, threadId},
                                             {true, system, false, processId, nullptr}};
    EXPECT_EQ(seen, expected);

    ASSERT_EQ(PsSetCreateThreadNotifyRoutine(OnThread), STATUS_SUCCESS) << "thread routines may repeat";
    km::RunInProcess(km::SystemProcess(), [] {});
    EXPECT_EQ(Take().size(), 4u) << "a routine registered twice is called twice";
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(PsRemoveCreateThreadNotifyRoutine(OnThread), STATUS_SUCCESS);
    EXPECT_EQ(PsRemoveCreateThreadNotifyRoutine(OnThread), STATUS_SUCCESS);
    EXPECT_EQ(PsRemoveCreateThreadNotifyRoutine(OnThread), STATUS_PROCEDURE_NOT_FOUND);
    km::ExitProcess(km::CreateProcess("quiet.exe"));
    EXPECT_TRUE(Take().empty()) << "a removed routine hears nothing";
}

TEST_F(PsTest, SixtyFourRoutinesOfAKindAndNoMore)
{
    std::vector<PCREATE_THREAD_NOTIFY_ROUTINE> routines = Fillers(std::make_integer_sequence<int, 65>{});
    auto asProcess = [&](size_t i) { return reinterpret_cast<PCREATE_PROCESS_NOTIFY_ROUTINE>(routines[i]); };
    for (size_t i = 0; i < 64; ++i) {
        ASSERT_EQ(PsSetCreateThreadNotifyRoutine(routines[i]), STATUS_SUCCESS) << i;
        ASSERT_EQ(PsSetCreateProcessNotifyRoutine(asProcess(i), FALSE), STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(PsSetCreateThreadNotifyRoutine(routines[64]), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(asProcess(64), FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Thread), 64u);

    EXPECT_EQ(PsRemoveCreateThreadNotifyRoutine(routines[10]), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateThreadNotifyRoutine(routines[64]), STATUS_SUCCESS) << "a freed slot is used again";
    for (size_t i = 0; i < 64; ++i) {
        PsRemoveCreateThreadNotifyRoutine(routines[i == 10 ? 64 : i]);
        PsSetCreateProcessNotifyRoutine(asProcess(i), TRUE);
    }
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Thread), 0u);
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Process), 0u);
}

// Held inside the routine until released.
KEVENT g_inside;
KEVENT g_release;

void NTAPI HoldingRoutine(HANDLE, HANDLE, BOOLEAN create)
{
    if (create) {
        KeSetEvent(&g_inside, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, nullptr);
    }
}

TEST_F(PsTest, RemovalWaitsUntilACallInsideTheRoutineHasReturned)
{
    KeInitializeEvent(&g_inside, NotificationEvent, FALSE);
    KeInitializeEvent(&g_release, NotificationEvent, FALSE);
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(HoldingRoutine, FALSE), STATUS_SUCCESS);
    km::Process* created = nullptr;
    km::Thread* creator = km::StartThread(nullptr, [&] { created = km::CreateProcess("held.exe"); });
    KeWaitForSingleObject(&g_inside, Executive, KernelMode, FALSE, nullptr);

    std::atomic<bool> removed{false};
    km::Thread* remover = km::StartThread(nullptr, [&] {
        EXPECT_EQ(PsSetCreateProcessNotifyRoutine(HoldingRoutine, TRUE), STATUS_SUCCESS);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load()) << "the routine is still running";
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Process), 0u) << "but no new call enters it";
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    km::JoinThread(remover);
    km::JoinThread(creator);
    EXPECT_TRUE(removed.load());
    km::ExitProcess(created);
}

struct ImageLoad {
    std::u16string name;
    HANDLE processId;
    IMAGE_INFO info;
};
std::vector<ImageLoad> g_loads;

void NTAPI RecordImageLoad(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo)
{
    g_loads.push_back({FromCounted(*FullImageName), ProcessId, *ImageInfo});
}

TEST_F(PsTest, EachDriverImageIsReportedAsASystemImageUntilTheRoutineIsRemoved)
{
    g_loads.clear();
    ASSERT_EQ(PsSetLoadImageNotifyRoutine(RecordImageLoad), STATUS_SUCCESS);
    km::DriverLoadResult loaded = km::LoadDriver(km::ImagePath("iotest.so"));
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    ASSERT_EQ(g_loads.size(), 1u);
    const ImageLoad& load = g_loads[0];
    EXPECT_EQ(load.name, u"\\SystemRoot\\System32\\drivers\\iotest.sys");
    EXPECT_EQ(load.processId, nullptr);
    EXPECT_EQ(load.info.SystemModeImage, 1u);
    EXPECT_EQ(load.info.ImageAddressingMode, static_cast<ULONG>(IMAGE_ADDRESSING_MODE_32BIT));
    EXPECT_EQ(load.info.ImageBase, loaded.driver->DriverStart);
    EXPECT_EQ(load.info.ImageSize, loaded.driver->DriverSize);
    ASSERT_EQ(km::UnloadDriver(loaded.driver), STATUS_SUCCESS);

    EXPECT_EQ(PsRemoveLoadImageNotifyRoutine(RecordImageLoad), STATUS_SUCCESS);
    EXPECT_EQ(PsRemoveLoadImageNotifyRoutine(RecordImageLoad), STATUS_PROCEDURE_NOT_FOUND);
    loaded = km::LoadDriver(km::ImagePath("iotest.so"));
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    EXPECT_EQ(g_loads.size(), 1u) << "a removed routine is not called";
    ASSERT_EQ(km::UnloadDriver(loaded.driver), STATUS_SUCCESS);
}

}  // namespace
