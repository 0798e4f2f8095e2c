// Process and thread notify routines: called on the right thread, in the right process, at
// PASSIVE_LEVEL, with the real ids; bounded registration, injectable failures, and removal that
// waits for a call still inside the routine.
#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "support/kernel_test.h"
#include "kmodel/fs_model.h"

namespace {

struct Notification {
    HANDLE first;   // parent id, or process id
    HANDLE second;  // process id, or thread id
    bool create;
    HANDLE currentProcess;
    HANDLE currentThread;
    KIRQL irql;
};

struct NotificationLog {
    std::mutex lock;
    std::vector<Notification> entries;
};

NotificationLog& ProcessLog()
{
    static NotificationLog log;
    return log;
}

NotificationLog& ThreadLog()
{
    static NotificationLog log;
    return log;
}

void Record(NotificationLog& log, HANDLE first, HANDLE second, BOOLEAN create)
{
    std::lock_guard<std::mutex> hold(log.lock);
    log.entries.push_back(
        Notification{first, second, create != FALSE, PsGetCurrentProcessId(), PsGetCurrentThreadId(), KeGetCurrentIrql()});
}

void NTAPI OnProcess(HANDLE parent, HANDLE process, BOOLEAN create) { Record(ProcessLog(), parent, process, create); }
void NTAPI OnThread(HANDLE process, HANDLE thread, BOOLEAN create) { Record(ThreadLog(), process, thread, create); }

std::vector<Notification> Take(NotificationLog& log)
{
    std::lock_guard<std::mutex> hold(log.lock);
    return std::exchange(log.entries, {});
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

class NotifyTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        Take(ProcessLog());
        Take(ThreadLog());
    }
};

TEST_F(NotifyTest, ProcessCreationIsToldOnTheCreatorAndExitInTheExitingProcess)
{
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, FALSE), STATUS_SUCCESS);
    HANDLE creator = PsGetCurrentThreadId();
    km::Process* process = km::CreateProcess("app.exe");
    HANDLE id = km::ProcessId(process);
    km::ExitProcess(process);

    std::vector<Notification> seen = Take(ProcessLog());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, PsGetCurrentProcessId()) << "the parent is the creating process";
    EXPECT_EQ(seen[0].second, id);
    EXPECT_TRUE(seen[0].create);
    EXPECT_EQ(seen[0].currentThread, creator);
    EXPECT_EQ(seen[1].first, PsGetCurrentProcessId());
    EXPECT_EQ(seen[1].second, id);
    EXPECT_FALSE(seen[1].create);
    EXPECT_EQ(seen[1].currentProcess, id) << "exit is told on the process's last thread";
    for (const Notification& notification : seen) {
        EXPECT_EQ(notification.irql, PASSIVE_LEVEL);
    }
    EXPECT_TRUE(Take(ThreadLog()).empty());

    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, TRUE), STATUS_SUCCESS);
    km::ExitProcess(km::CreateProcess("quiet.exe"));
    EXPECT_TRUE(Take(ProcessLog()).empty()) << "a removed routine hears nothing";
}

TEST_F(NotifyTest, ThreadCreationIsToldOnTheCreatorBeforeTheThreadRunsAndExitOnTheThread)
{
    ASSERT_EQ(PsSetCreateThreadNotifyRoutine(OnThread), STATUS_SUCCESS);
    km::Process* process = km::CreateProcess("app.exe");
    HANDLE processId = km::ProcessId(process);
    std::atomic<size_t> toldBeforeRunning{0};
    km::Thread* thread = km::StartThread(process, [&] {
        std::lock_guard<std::mutex> hold(ThreadLog().lock);
        toldBeforeRunning = ThreadLog().entries.size();
    });
    km::JoinThread(thread);
    HANDLE threadId = km::ThreadId(thread);

    std::vector<Notification> seen = Take(ThreadLog());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(toldBeforeRunning.load(), 1u);
    EXPECT_EQ(seen[0].first, processId);
    EXPECT_EQ(seen[0].second, threadId);
    EXPECT_TRUE(seen[0].create);
    EXPECT_EQ(seen[0].currentThread, PsGetCurrentThreadId()) << "told on the creating thread";
    EXPECT_EQ(seen[0].currentProcess, PsGetCurrentProcessId());
    EXPECT_EQ(seen[1].second, threadId);
    EXPECT_FALSE(seen[1].create);
    EXPECT_EQ(seen[1].currentThread, threadId) << "told on the ending thread";
    EXPECT_EQ(seen[1].currentProcess, processId);
    EXPECT_EQ(seen[1].irql, PASSIVE_LEVEL);

    km::ExitProcess(process);
    EXPECT_TRUE(Take(ThreadLog()).empty()) << "the model's own threads are not announced";
    EXPECT_EQ(PsRemoveCreateThreadNotifyRoutine(OnThread), STATUS_SUCCESS);
    EXPECT_EQ(PsRemoveCreateThreadNotifyRoutine(OnThread), STATUS_PROCEDURE_NOT_FOUND);
}

TEST_F(NotifyTest, SixtyFourRoutinesOfAKindAndNoMore)
{
    std::vector<PCREATE_THREAD_NOTIFY_ROUTINE> routines = Fillers(std::make_integer_sequence<int, 65>{});
    for (size_t i = 0; i < 64; ++i) {
        ASSERT_EQ(PsSetCreateThreadNotifyRoutine(routines[i]), STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(PsSetCreateThreadNotifyRoutine(routines[64]), STATUS_INSUFFICIENT_RESOURCES);
    for (size_t i = 0; i < 64; ++i) {
        ASSERT_EQ(PsSetCreateProcessNotifyRoutine(reinterpret_cast<PCREATE_PROCESS_NOTIFY_ROUTINE>(routines[i]), FALSE),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(reinterpret_cast<PCREATE_PROCESS_NOTIFY_ROUTINE>(routines[64]), FALSE),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Thread), 64u);

    EXPECT_EQ(PsRemoveCreateThreadNotifyRoutine(routines[10]), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateThreadNotifyRoutine(routines[64]), STATUS_SUCCESS) << "a freed slot is used again";
    for (size_t i = 0; i < 64; ++i) {
        PsRemoveCreateThreadNotifyRoutine(routines[i == 10 ? 64 : i]);
        PsSetCreateProcessNotifyRoutine(reinterpret_cast<PCREATE_PROCESS_NOTIFY_ROUTINE>(routines[i]), TRUE);
    }
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Thread), 0u);
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Process), 0u);
}

TEST_F(NotifyTest, ProcessRoutinesAreRefusedTwiceAndInjectedFailuresRefuseTheChosenRegistration)
{
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, TRUE), STATUS_INVALID_PARAMETER) << "nothing to remove";
    km::FailNotifyRegistration(km::NotifyKind::Process, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, FALSE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Process), 0u);
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(OnProcess, FALSE), STATUS_INVALID_PARAMETER);

    km::FailNotifyRegistration(km::NotifyKind::Thread, 2, STATUS_ACCESS_DENIED);
    ASSERT_EQ(PsSetCreateThreadNotifyRoutine(OnThread), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateThreadNotifyRoutine(OnThread), STATUS_ACCESS_DENIED) << "the second call fails";
    ASSERT_EQ(PsSetCreateThreadNotifyRoutine(OnThread), STATUS_SUCCESS) << "thread routines may repeat";
    km::RunInProcess(km::SystemProcess(), [] {});
    EXPECT_EQ(Take(ThreadLog()).size(), 4u) << "a routine registered twice is called twice";
    PsSetCreateProcessNotifyRoutine(OnProcess, TRUE);
    PsRemoveCreateThreadNotifyRoutine(OnThread);
    PsRemoveCreateThreadNotifyRoutine(OnThread);
}

// Held inside the routine until released.
struct Gate {
    KEVENT inside;
    KEVENT release;
};
Gate* g_gate = nullptr;

void NTAPI HoldingRoutine(HANDLE, HANDLE, BOOLEAN create)
{
    if (create) {
        KeSetEvent(&g_gate->inside, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&g_gate->release, Executive, KernelMode, FALSE, nullptr);
    }
}

TEST_F(NotifyTest, RemovalWaitsUntilACallInsideTheRoutineHasReturned)
{
    Gate gate;
    KeInitializeEvent(&gate.inside, NotificationEvent, FALSE);
    KeInitializeEvent(&gate.release, NotificationEvent, FALSE);
    g_gate = &gate;
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(HoldingRoutine, FALSE), STATUS_SUCCESS);
    km::Process* created = nullptr;
    km::Thread* creator = km::StartThread(nullptr, [&] { created = km::CreateProcess("held.exe"); });
    KeWaitForSingleObject(&gate.inside, Executive, KernelMode, FALSE, nullptr);

    std::atomic<bool> removed{false};
    km::Thread* remover = km::StartThread(nullptr, [&] {
        EXPECT_EQ(PsSetCreateProcessNotifyRoutine(HoldingRoutine, TRUE), STATUS_SUCCESS);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load()) << "the routine is still running";
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Process), 0u) << "but no new call enters it";
    KeSetEvent(&gate.release, IO_NO_INCREMENT, FALSE);
    km::JoinThread(remover);
    km::JoinThread(creator);
    EXPECT_TRUE(removed.load());
    km::ExitProcess(created);
    g_gate = nullptr;
}

}  // namespace
