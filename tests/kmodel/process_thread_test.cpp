// Processes and threads: ids, the System process, user processes, model threads and adopted OS
// threads.
#include <set>

#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr ULONG_PTR SystemProcessId = 4;

class ProcessThreadTest : public KernelTest {};

ULONG_PTR IdValue(HANDLE id) { return (ULONG_PTR)id; }

// The test's own thread belongs to the System process (id 4); every process and thread id comes
// from one sequence of multiples of 4.
TEST_F(ProcessThreadTest, ThreadsRunInTheirProcessWithDistinctIds)
{
    EXPECT_EQ(IdValue(PsGetCurrentProcessId()), SystemProcessId);
    EXPECT_EQ(PsGetProcessId(PsGetCurrentProcess()), PsGetCurrentProcessId());
    EXPECT_EQ(PsGetCurrentThread(), KeGetCurrentThread());
    EXPECT_EQ(PsGetThreadId(PsGetCurrentThread()), PsGetCurrentThreadId());

    km::Process* process = km::CreateProcess("controller.exe");
    HANDLE processId = km::ProcessId(process);
    HANDLE seenProcess = nullptr;
    HANDLE seenThread = nullptr;
    PEPROCESS seenRecord = nullptr;
    km::RunInProcess(process, [&] {
        seenProcess = PsGetCurrentProcessId();
        seenThread = PsGetCurrentThreadId();
        seenRecord = PsGetCurrentProcess();
    });
    EXPECT_EQ(seenProcess, processId);
    EXPECT_EQ(PsGetProcessId(seenRecord), processId);

    std::set<ULONG_PTR> ids{IdValue(processId), IdValue(seenThread), IdValue(PsGetCurrentThreadId()),
                            SystemProcessId};
    km::Thread* second = km::StartThread(process, [] {});
    ids.insert(IdValue(km::ThreadId(second)));
    km::JoinThread(second);
    EXPECT_EQ(ids.size(), 5u);
    for (ULONG_PTR id : ids) {
        EXPECT_EQ(id % 4, 0u);
    }
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(seenRecord, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    km::ExitProcess(process);
    EXPECT_EQ(KeWaitForSingleObject(seenRecord, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS)
        << "the process object is signalled at exit";
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

// The exit notification stands for the process's last thread: a thread of it still running is a
// test's mistake, not a process exit.
TEST_F(ProcessThreadTest, ExitingAProcessWhoseThreadStillRunsIsMisuse)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    km::Process* process = km::CreateProcess("busy.exe");
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    km::Thread* thread =
        km::StartThread(process, [&] { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_DEATH(km::ExitProcess(process), "ExitProcess on process [0-9]+ while its thread [0-9]+ still runs");
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    km::JoinThread(thread);
    km::ExitProcess(process);
}

}  // namespace
