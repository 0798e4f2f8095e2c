// The model clock: model time is real elapsed time scaled by the clock rate. Waits, delays, the
// performance counter, interrupt time and system time all read it, so a sped-up clock shortens
// every time-out alike while threads still really race.
#include <cmath>

#include "internal/ke.h"
#include "internal/verifier.h"

namespace {

// 100 ns units from 1601-01-01 (system time) to 1970-01-01 (the C library's epoch).
constexpr int64_t KmpSystemTimeOfUnixEpoch = 116444736000000000LL;
constexpr int64_t KmpNanosecondsPer100ns = 100;
// Longest single real-time sleep a waiter takes before it looks at the clock again.
constexpr std::chrono::nanoseconds KmpLongestRealSleep = std::chrono::hours(1);

struct KmpClock {
    std::mutex Lock;
    std::chrono::steady_clock::time_point BaseReal = std::chrono::steady_clock::now();
    int64_t BaseModel = 0;  // model time at BaseReal
    double Rate = 1.0;
    int64_t SystemTimeAtBoot = 0;
};

KmpClock& KmpGetClock()
{
    static KmpClock* clock = new KmpClock;
    return *clock;
}

// Clock lock held: model time at the real instant `real`.
int64_t KmpModelTimeAt(const KmpClock& clock, std::chrono::steady_clock::time_point real)
{
    double elapsedNs = (double)std::chrono::duration_cast<std::chrono::nanoseconds>(real - clock.BaseReal).count();
    return clock.BaseModel + (int64_t)(elapsedNs * clock.Rate / KmpNanosecondsPer100ns);
}

void KmpCheckRate(double rate)
{
    if (!(rate > 0.0) || !std::isfinite(rate)) {
        KmModelMisuse("clock rate %g: the rate must be a positive number", rate);
    }
}

}  // namespace

void KmClockBoot(double rate)
{
    KmpCheckRate(rate);
    KmpClock& clock = KmpGetClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    clock.BaseReal = std::chrono::steady_clock::now();
    clock.BaseModel = 0;
    clock.Rate = rate;
    int64_t unixNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    clock.SystemTimeAtBoot = KmpSystemTimeOfUnixEpoch + unixNs / KmpNanosecondsPer100ns;
}

int64_t KmClockNow()
{
    KmpClock& clock = KmpGetClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    return KmpModelTimeAt(clock, std::chrono::steady_clock::now());
}

int64_t KmClockSystemTimeAtBoot()
{
    KmpClock& clock = KmpGetClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    return clock.SystemTimeAtBoot;
}

std::chrono::nanoseconds KmClockRealDuration(int64_t modelDelta)
{
    KmpClock& clock = KmpGetClock();
    double rate;
    {
        std::lock_guard<std::mutex> guard(clock.Lock);
        rate = clock.Rate;
    }
    double realNs = (double)modelDelta * KmpNanosecondsPer100ns / rate;
    if (realNs >= (double)KmpLongestRealSleep.count()) {
        return KmpLongestRealSleep;
    }
    return std::chrono::nanoseconds(realNs < 1.0 ? 1 : (int64_t)realNs);
}

void KmClockSetRateLocked(double rate)
{
    KmpCheckRate(rate);
    KmpClock& clock = KmpGetClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    auto now = std::chrono::steady_clock::now();
    clock.BaseModel = KmpModelTimeAt(clock, now);
    clock.BaseReal = now;
    clock.Rate = rate;
}

// Waiters recompute their real-time sleeps when the rate changes.
void km::SetClockRate(double rate)
{
    KmDispatcher& dispatcher = KmGetDispatcher();
    std::lock_guard<std::mutex> guard(dispatcher.Lock);
    KmClockSetRateLocked(rate);
    dispatcher.Changed.notify_all();
}

double km::ClockRate()
{
    KmpClock& clock = KmpGetClock();
    std::lock_guard<std::mutex> guard(clock.Lock);
    return clock.Rate;
}

int64_t km::Now100ns() { return KmClockNow(); }

// The counter counts model time in units of 1 / PerformanceFrequency seconds (100 ns).
extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    static_assert(km::PerformanceFrequency * KmpNanosecondsPer100ns == 1'000'000'000, "counter ticks are 100 ns");
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = km::PerformanceFrequency;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = KmClockNow();
    return counter;
}

extern "C" void KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = KmClockSystemTimeAtBoot() + KmClockNow();
}

extern "C" ULONGLONG KeQueryInterruptTime(void) { return (ULONGLONG)KmClockNow(); }
