// Dispatcher objects across real threads: spin locks and fast mutexes excluding each other's
// holders and the IRQL each acquisition saves and each release restores, mutex abandonment,
// semaphores and waits on several objects, timers and DPCs, and the model clock. Object services
// by handle: events made, set and cleared by handle, and waits by handle on an event, a thread or
// a process, with the statuses a handle of the wrong kind or a closed one gets; handles duplicated.
//
// A mutex's recursion and time-outs, and polls at DISPATCH_LEVEL, are the base library's mutex
// holder's (tests/base); a thread object signalled at its end is the system thread test's
// (ps/process_test); notification events are the host's drain events (tests/host) and
// synchronization events the model's own device locks, which pended mounts wait on
// (fs/file_system_test). Relative time-outs and delays in model time, and the performance counter,
// are what the host's mutex holder, stopwatch and mount retries measure (tests/base,
// tests/fsfilter).
#include "io/io_test_util.h"
#include "kmodel/trap.h"

namespace {

constexpr int IncrementsPerThread = 20000;

using DispatcherTest = KernelTest;

// Two threads count under the lock: only the lock protects the counter, and each acquisition
// must find the IRQL it saved (from the acquisition, the queue handle or the fast mutex) and the
// IRQL the lock holds at. Spin locks are taken at APC_LEVEL, fast mutexes at PASSIVE_LEVEL.
TEST_F(DispatcherTest, LocksExcludeOtherThreadsAndRestoreTheIrql)
{
    enum Kind { Plain, Queued, Fast };
    for (Kind kind : {Plain, Queued, Fast}) {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        FAST_MUTEX fastMutex;
        ExInitializeFastMutex(&fastMutex);
        const KIRQL before = kind == Fast ? PASSIVE_LEVEL : APC_LEVEL;
        const KIRQL held = kind == Fast ? APC_LEVEL : DISPATCH_LEVEL;
        long counter = 0;  // deliberately not atomic
        auto body = [&] {
            KIRQL old;
            KeRaiseIrql(before, &old);
            for (int i = 0; i < IncrementsPerThread; ++i) {
                KLOCK_QUEUE_HANDLE handle;
                KIRQL saved = before;
                if (kind == Fast) {
                    ExAcquireFastMutex(&fastMutex);
                } else if (kind == Queued) {
                    KeAcquireInStackQueuedSpinLock(&lock, &handle);
                    saved = handle.OldIrql;
                } else {
                    saved = KeAcquireSpinLockRaiseToDpc(&lock);
                }
                counter = counter + (saved == before && KeGetCurrentIrql() == held ? 1 : 0);
                if (kind == Fast) {
                    ExReleaseFastMutex(&fastMutex);
                } else {
                    kind == Queued ? KeReleaseInStackQueuedSpinLock(&handle) : KeReleaseSpinLock(&lock, saved);
                }
            }
            KeLowerIrql(old);
        };
        {
            ModelThread first(body);
            ModelThread second(body);
        }
        EXPECT_EQ(counter, 2L * IncrementsPerThread) << kind;
        EXPECT_EQ(fastMutex.Count, FM_LOCK_BIT) << "a fast mutex ends free";
        EXPECT_EQ(fastMutex.Owner, nullptr);
    }
}

// An OS thread that calls the model is adopted into the System process at PASSIVE_LEVEL; a mutex
// owner that ends, model thread or adopted OS thread, abandons the mutex.
TEST_F(DispatcherTest, MutexOwnerThatEndsAbandonsItModelThreadOrAdoptedOsThread)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    km::RunInProcess(km::SystemProcess(), [&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_ABANDONED_WAIT_0);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS)
        << "the abandonment is reported once";
    KeReleaseMutex(&mutex, FALSE);

    const HANDLE testThread = PsGetCurrentThreadId();
    std::thread osThread([&] {
        EXPECT_EQ(PsGetCurrentProcessId(), HANDLE(4)) << "the System process";
        EXPECT_NE(PsGetCurrentThreadId(), testThread);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    });
    osThread.join();
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_ABANDONED_WAIT_0);
    KeReleaseMutex(&mutex, FALSE);
}

// A fast mutex owned by another thread refuses a try and makes an acquirer wait, counted as
// contention, until it is released; a free one is taken.
TEST_F(DispatcherTest, AnOwnedFastMutexRefusesTryAndBlocksAcquireUntilReleased)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    km::RunInProcess(km::SystemProcess(), [&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex)); });

    km::Trap waits(km::TrapRule{"KeWaitForSingleObject", &mutex.Event});
    ModelThread waiter([&] {
        ExAcquireFastMutex(&mutex);
        ExReleaseFastMutex(&mutex);
    });
    ASSERT_TRUE(waits.WaitFired());
    EXPECT_EQ(mutex.Contention, 1);
    ExReleaseFastMutex(&mutex);
    waits.Release();
    waiter.Join();

    km::RunInProcess(km::SystemProcess(), [&] {
        ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex));
        ExReleaseFastMutex(&mutex);
    });
}

// WaitAny answers the index of the object that satisfied it and takes only that one; WaitAll
// takes all at once or none.
TEST_F(DispatcherTest, WaitAnyTakesTheFirstSignalledObjectAndWaitAllTakesEveryOne)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    PVOID objects[] = {&event, &semaphore};
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_WAIT_0 + 1);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1) << "WaitAll takes nothing until all are signalled";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

struct DpcRuns {
    LONG runs = 0;
    KEVENT thirdRun;
};

void NTAPI CountRun(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* runs = static_cast<DpcRuns*>(context);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    if (++runs->runs == 3) {
        KeSetEvent(&runs->thirdRun, IO_NO_INCREMENT, FALSE);
    }
}

// A periodic timer queues its DPC, which runs at DISPATCH_LEVEL, until the timer is cancelled.
TEST_F(DispatcherTest, PeriodicTimerQueuesItsDpcUntilCancelled)
{
    DpcRuns runs;
    KeInitializeEvent(&runs.thirdRun, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, CountRun, &runs);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    // A period long enough (50 ms of wall time at the tests' clock rate) that the timer cannot
    // fire again between the wait and the state read below.
    constexpr LONG PeriodMs = 50'000;
    EXPECT_FALSE(KeSetTimerEx(&timer, RelativeMs(10), PeriodMs, &dpc));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer resets as its wait is satisfied";
    KeWaitForSingleObject(&runs.thirdRun, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    km::WaitSystemThreadsEnded();
}

// The model clock: an absolute time-out is a system time, and a change of the clock's rate keeps
// model time monotonic and wakes the waiters.
TEST_F(DispatcherTest, AbsoluteTimeoutsAndClockRateChanges)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    int64_t start = km::Now100ns();
    LARGE_INTEGER deadline;
    KeQuerySystemTime(&deadline);
    deadline.QuadPart += 2000 * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
    EXPECT_GE(km::Now100ns() - start, 2000 * 10000);

    km::SetClockRate(1.0);
    int64_t before = km::Now100ns();
    // 1000 s at rate 1 would outlast the test; the rate change below shortens it to a millisecond.
    ModelThread waiter([&] {
        LARGE_INTEGER timeout = RelativeMs(1000 * 1000);
        EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    });
    km::SetClockRate(1e6);
    int64_t after = km::Now100ns();
    EXPECT_GE(after, before);
    waiter.Join();
    km::SetClockRate(1.0);
    EXPECT_GE(km::Now100ns(), after);
}

// A synchronization event made by handle: a wait takes its signal, a set reports the state before,
// a clear takes it back, and a closed handle is refused. A notification event made unsignalled and
// set through a duplicate is the routines module's (tests/host). A thread's handle is signalled as
// the thread ends, a running process's is not, and neither is an event.
TEST_F(DispatcherTest, EventsThreadsAndProcessesByHandle)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE event;
    ASSERT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, SynchronizationEvent, TRUE), STATUS_SUCCESS);
    LARGE_INTEGER poll{};
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, &poll), STATUS_TIMEOUT);
    LONG previous = -1;
    EXPECT_EQ(ZwSetEvent(event, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(ZwSetEvent(event, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 1);
    EXPECT_EQ(ZwClearEvent(event), STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(event, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(ZwClose(event), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetEvent(event, nullptr), STATUS_INVALID_HANDLE) << "a closed handle";

    HANDLE thread;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(thread, FALSE, nullptr), STATUS_SUCCESS) << "a start routine that returns ends its thread";
    km::RunAsUser([&] {
        PVOID object;
        EXPECT_EQ(ObReferenceObjectByHandle(thread, 0, *PsThreadType, UserMode, &object, nullptr), STATUS_INVALID_HANDLE)
            << "a kernel handle is not usable from user mode";
    });
    EXPECT_EQ(ZwSetEvent(thread, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
    HANDLE process;
    ASSERT_EQ(ObOpenObjectByPointer(PsGetCurrentProcess(), OBJ_KERNEL_HANDLE, nullptr, PROCESS_ALL_ACCESS,
                                    *PsProcessType, KernelMode, &process),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwWaitForSingleObject(process, FALSE, &poll), STATUS_TIMEOUT) << "a running process";
    EXPECT_EQ(ZwClearEvent(process), STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(process);
    ZwClose(thread);
}

// A kernel handle to an event duplicated: the duplicate names the same event; the source is
// closed or kept, and the duplicate is a kernel handle as asked.
struct DuplicateCase {
    const char* name;
    ULONG options;
    ULONG attributes;
    bool sourceKept;
    bool kernelDuplicate;
};

constexpr DuplicateCase DuplicateCases[] = {
    {"ClosesTheSource", DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE, OBJ_KERNEL_HANDLE, false, true},
    {"KeepsTheSourceAndMakesAProcessHandle", DUPLICATE_SAME_ACCESS, 0, true, false},
    {"TakesTheSourcesAttributes", DUPLICATE_SAME_ATTRIBUTES, 0, true, true},
};

class DuplicateTest : public KernelTest, public ::testing::WithParamInterface<DuplicateCase> {};

TEST_P(DuplicateTest, NamesTheSameObject)
{
    const DuplicateCase& c = GetParam();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE source;
    ASSERT_EQ(ZwCreateEvent(&source, EVENT_ALL_ACCESS, &attributes, NotificationEvent, FALSE), STATUS_SUCCESS);
    HANDLE duplicate;
    ASSERT_EQ(ZwDuplicateObject(NtCurrentProcess(), source, NtCurrentProcess(), &duplicate, EVENT_MODIFY_STATE,
                                c.attributes, c.options),
              STATUS_SUCCESS);
    constexpr uintptr_t KernelHandleBits = 0xFFFFFFFF80000000ull;
    EXPECT_EQ((reinterpret_cast<uintptr_t>(duplicate) & KernelHandleBits) == KernelHandleBits, c.kernelDuplicate);
    EXPECT_EQ(ZwSetEvent(duplicate, nullptr), STATUS_SUCCESS);
    LARGE_INTEGER poll{};
    EXPECT_EQ(ZwWaitForSingleObject(source, FALSE, &poll), c.sourceKept ? STATUS_SUCCESS : STATUS_INVALID_HANDLE);
    if (c.sourceKept) {
        ZwClose(source);
    }
    EXPECT_EQ(ZwWaitForSingleObject(duplicate, FALSE, &poll), STATUS_SUCCESS) << "the event outlives its first handle";
    ZwClose(duplicate);
    EXPECT_EQ(ZwDuplicateObject(NtCurrentProcess(), duplicate, NtCurrentProcess(), &source, 0, 0,
                                DUPLICATE_SAME_ACCESS),
              STATUS_INVALID_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(, DuplicateTest, ::testing::ValuesIn(DuplicateCases), ByName());

}  // namespace
