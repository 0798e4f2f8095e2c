// Shared pieces of the support-library tests: a fixture that starts the library in a fresh host
// image, and small helpers for IRQL and model threads.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "support/kernel_test.h"

// A fresh host image whose support library has been started with BaseInit.
class BaseLibraryTest : public HostImageTest {
protected:
    void SetUp() override
    {
        HostImageTest::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_EQ(host.BaseInit(), STATUS_SUCCESS);
        }
    }
};

// Raises the calling thread's IRQL for the life of the object.
class RaisedIrql {
public:
    explicit RaisedIrql(KIRQL level) { KeRaiseIrql(level, &previous_); }
    ~RaisedIrql() { KeLowerIrql(previous_); }
    RaisedIrql(const RaisedIrql&) = delete;
    RaisedIrql& operator=(const RaisedIrql&) = delete;

private:
    KIRQL previous_ = PASSIVE_LEVEL;
};

// A model thread of the System process that is joined when the object goes away.
class ModelThread {
public:
    explicit ModelThread(std::function<void()> body) : thread_(km::StartThread(km::SystemProcess(), std::move(body))) {}
    ~ModelThread() { Join(); }
    ModelThread(const ModelThread&) = delete;
    ModelThread& operator=(const ModelThread&) = delete;

    void Join()
    {
        if (thread_ != nullptr) {
            km::JoinThread(thread_);
            thread_ = nullptr;
        }
    }
    HANDLE Id() const { return km::ThreadId(thread_); }

private:
    km::Thread* thread_;
};

// Spins until the flag is set; the flag is set by another thread's progress, never by a timer.
inline void AwaitFlag(const std::atomic<bool>& flag)
{
    while (!flag.load(std::memory_order_acquire)) {
        std::this_thread::yield();
    }
}

// Entries on a doubly linked list.
inline size_t ListLength(const LIST_ENTRY& head)
{
    size_t count = 0;
    for (const LIST_ENTRY* link = head.Flink; link != &head; link = link->Flink) {
        ++count;
    }
    return count;
}

// Pool tags of the library, as they read in a pool dump.
constexpr ULONG TagAmem = km::PoolTag("Amem");
constexpr ULONG TagHshT = km::PoolTag("HshT");
constexpr ULONG TagABPL = km::PoolTag("ABPL");
// A tag for the tests' own blocks.
constexpr ULONG TagTest = km::PoolTag("Test");
