// Benchmark output with ratios: the usual console table, and each run's CPU time per iteration
// (and items per second, for runs that count items, and user counters) kept by name so that a program can print
// "measured / baseline" for runs of the same process. With --benchmark_repetitions, the median of
// the repetitions is kept.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override;
    // Prints "label: 1.23x", or "label: not measured" when either run is missing; with a target,
    // " (target <= 1.30x)" or " (target >= 1.70x)" follows.
    void PrintRatio(const char* label, const std::string& measured, const std::string& baseline,
                    const char* target = nullptr) const;
    // The same for items per second (SetItemsProcessed; with manual timing, per second of manual time).
    void PrintThroughputRatio(const char* label, const std::string& measured, const std::string& baseline,
                              const char* target = nullptr) const;
    // Items per second of a run, 0 when not measured.
    double ItemsPerSecond(const std::string& name) const;
    // A user counter of a run, 0 when not measured.
    double Counter(const std::string& name, const std::string& counter) const;

private:
    struct Value {
        double value = 0;
        bool median = false;  // from the median of repetitions, which single runs do not replace
    };
    static void Keep(std::map<std::string, Value>* values, const std::string& name, double value, bool median);
    static void PrintQuotient(const std::map<std::string, Value>& values, const char* label,
                              const std::string& measured, const std::string& baseline, const char* target);

    std::map<std::string, Value> nanoseconds_;
    std::map<std::string, Value> itemsPerSecond_;
    std::map<std::string, Value> counters_;  // by run name + "." + counter name
};
