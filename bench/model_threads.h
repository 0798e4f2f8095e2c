// The scaling benchmarks' run: a number of model threads of the System process, each doing its
// own share of work at once, timed in wall time from the moment all are ready until the last has
// finished.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "kmodel/model.h"

// Thread counts of the scaling tables.
constexpr int ScalingThreadCounts[] = {1, 2, 4};
constexpr int ScalingThreadsMax = 4;

// Runs body(index) for index 0..count-1, each on its own model thread; answers the seconds the
// run took. *failed is set when any body answered false.
template <typename Body>
double RunOnModelThreads(int count, Body body, bool* failed)
{
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> anyFailed{false};
    std::vector<km::Thread*> threads;
    for (int index = 0; index < count; index++) {
        threads.push_back(km::StartThread(km::SystemProcess(), [&, index] {
            ready += 1;
            while (!go) {
                std::this_thread::yield();
            }
            if (!body(index)) {
                anyFailed = true;
            }
        }));
    }
    while (ready < count) {
        std::this_thread::yield();
    }
    auto start = std::chrono::steady_clock::now();
    go = true;
    for (km::Thread* thread : threads) {
        km::JoinThread(thread);
    }
    *failed = anyFailed;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
