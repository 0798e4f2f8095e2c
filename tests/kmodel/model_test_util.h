// Helpers shared by the kernel model's tests.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "kmodel/model.h"
#include "support/kernel_test.h"

// A relative kernel time-out of `ms` milliseconds of model time.
inline LARGE_INTEGER RelativeMs(int64_t ms)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ms * 10000;
    return timeout;
}

// Kernel tests that die: death tests re-execute the test binary, the safe way with threads.
class ModelDeathTest : public KernelTest {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        KernelTest::SetUp();
    }
};

// A misuse and the bug check it earns: `body` runs in a child process that must stop with a
// message matching `bugCheck`. `Context` is what the body works on (locks, a device).
template <typename Context>
struct Misuse {
    const char* name;
    void (*body)(Context&);
    const char* bugCheck;
    KIRQL irql = PASSIVE_LEVEL;  // the IRQL `body` is called at
};

template <typename Context>
void PrintTo(const Misuse<Context>& misuse, std::ostream* out)
{
    *out << misuse.name;
}

// Names a parameterised case by its `name` member.
struct ByName {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& info) const
    {
        return info.param.name;
    }
};
