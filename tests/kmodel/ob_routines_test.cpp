// Object services by handle: events made, set and cleared by handle, and waits by handle on an
// event, a thread or a process, with the statuses a handle of the wrong kind or a closed one gets.
#include "io/io_test_util.h"

namespace {

using ObjectServicesTest = KernelTest;

// A synchronization event made by handle: a wait takes its signal, a set reports the state before,
// a clear takes it back, and a closed handle is refused. A notification event made unsignalled and
// set through a duplicate is the routines module's (tests/host). A thread's handle is signalled as
// the thread ends, a running process's is not, and neither is an event.
TEST_F(ObjectServicesTest, EventsThreadsAndProcessesByHandle)
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
