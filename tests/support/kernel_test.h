// Test fixtures. KernelTest boots a fresh model for each test and fails the test when anything is
// left behind (pool, and later objects, handles and IRPs). HostImageTest also loads a fresh host
// image and resolves the kernel-side routines the tests call into `host`.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "kmodel/model.h"
#include "support/host_imports.h"

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Model time runs 1000 times faster than real time unless a test asks otherwise.
    virtual km::BootOptions Options() const;
};

class HostImageTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    km::Image* image = nullptr;
    HostImports host{};
};

// A thread of the System process, joined when the object goes away.
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
