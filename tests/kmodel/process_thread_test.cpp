// Processes and threads: adopted OS threads, and a process's exit while its thread runs. Distinct
// ids and the process object signalled at exit are what the host's notify forwarding and module
// loaders rely on (tests/host).
#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

constexpr ULONG_PTR SystemProcessId = 4;

class ProcessThreadTest : public KernelTest {};

ULONG_PTR IdValue(HANDLE id) { return (ULONG_PTR)id; }

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
