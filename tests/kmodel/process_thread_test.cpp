// Processes and threads: ids, the System process, user processes, model threads and adopted OS
// threads.
#include <set>

#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr ULONG_PTR SystemProcessId = 4;

class ProcessThreadTest : public KernelTest {};

ULONG_PTR IdValue(HANDLE id) { return (ULONG_PTR)id; }

TEST_F(ProcessThreadTest, TestThreadIsASystemThread)
{
    EXPECT_EQ(IdValue(PsGetCurrentProcessId()), SystemProcessId);
    EXPECT_EQ(PsGetCurrentProcessId(), km::ProcessId(km::SystemProcess()));
    EXPECT_EQ(PsGetProcessId(PsGetCurrentProcess()), PsGetCurrentProcessId());
    EXPECT_EQ(PsGetCurrentThread(), KeGetCurrentThread());
    EXPECT_EQ(PsGetThreadId(PsGetCurrentThread()), PsGetCurrentThreadId());
    ULONG_PTR threadId = IdValue(PsGetCurrentThreadId());
    EXPECT_NE(threadId, 0u);
    EXPECT_NE(threadId, SystemProcessId);
    EXPECT_EQ(threadId % 4, 0u);
}

TEST_F(ProcessThreadTest, ThreadsRunInTheirProcessWithDistinctIds)
{
    km::Process* process = km::CreateProcess("controller.exe");
    HANDLE processId = km::ProcessId(process);
    EXPECT_EQ(IdValue(processId) % 4, 0u);
    EXPECT_NE(IdValue(processId), SystemProcessId);

    HANDLE seenProcess = nullptr;
    HANDLE seenThread = nullptr;
    PEPROCESS seenRecord = nullptr;
    KIRQL seenIrql = HIGH_LEVEL;
    km::RunInProcess(process, [&] {
        seenProcess = PsGetCurrentProcessId();
        seenThread = PsGetCurrentThreadId();
        seenRecord = PsGetCurrentProcess();
        seenIrql = KeGetCurrentIrql();
    });
    EXPECT_EQ(seenProcess, processId);
    EXPECT_EQ(PsGetProcessId(seenRecord), processId);
    EXPECT_EQ(seenIrql, PASSIVE_LEVEL);

    std::set<ULONG_PTR> ids{IdValue(processId), IdValue(seenThread), IdValue(PsGetCurrentThreadId()),
                            SystemProcessId};
    km::Thread* second = km::StartThread(process, [] {});
    ids.insert(IdValue(km::ThreadId(second)));
    km::JoinThread(second);
    EXPECT_EQ(ids.size(), 5u) << "process and thread ids come from one sequence";
    for (ULONG_PTR id : ids) {
        EXPECT_EQ(id % 4, 0u);
    }
    km::ExitProcess(process);
}

TEST_F(ProcessThreadTest, ProcessObjectIsSignalledWhenItExits)
{
    km::Process* process = km::CreateProcess("app.exe");
    PEPROCESS record = nullptr;
    km::RunInProcess(process, [&] { record = PsGetCurrentProcess(); });
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(record, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    km::ExitProcess(process);
    EXPECT_EQ(KeWaitForSingleObject(record, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
}

TEST_F(ProcessThreadTest, OsThreadIsAdoptedIntoTheSystemProcess)
{
    HANDLE processId = nullptr;
    HANDLE threadId = nullptr;
    KIRQL irql = HIGH_LEVEL;
    std::thread osThread([&] {
        processId = PsGetCurrentProcessId();
        threadId = PsGetCurrentThreadId();
        irql = KeGetCurrentIrql();
    });
    osThread.join();
    EXPECT_EQ(IdValue(processId), SystemProcessId);
    EXPECT_NE(threadId, PsGetCurrentThreadId());
    EXPECT_EQ(irql, PASSIVE_LEVEL);
}

TEST(ProcessLifetimeTest, ShutdownReportsWhatTheTestLeftBehind)
{
    km::Boot();
    km::CreateProcess("forgotten.exe");
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    std::string report = km::Shutdown();
    EXPECT_NE(report.find("(forgotten.exe) never exited"), std::string::npos) << report;
    EXPECT_NE(report.find("is at IRQL 1"), std::string::npos) << report;

    // A new boot starts with a fresh System process and adopts the caller afresh.
    km::Boot();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(IdValue(PsGetCurrentProcessId()), SystemProcessId);
    EXPECT_EQ(km::Shutdown(), "");
}

}  // namespace
