// Helpers shared by the kernel model's tests.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "kmodel/model.h"

// A relative kernel time-out of `ms` milliseconds of model time.
inline LARGE_INTEGER RelativeMs(int64_t ms)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ms * 10000;
    return timeout;
}

// Model time in milliseconds since boot.
inline int64_t ModelMs() { return km::Now100ns() / 10000; }

// Real-time spin until `done` holds; false after `limit` (a guard against hangs, not a timing
// assertion).
template <typename Condition>
bool WaitUntil(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}
