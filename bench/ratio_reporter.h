// Benchmark output with ratios: the usual console table, and each run's CPU time per iteration
// (and items per second, for runs that count items) kept by name so that a program can print
// "measured / baseline" for runs of the same process.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override;
    // Prints "label: 1.23x", or "label: not measured" when either run is missing.
    void PrintRatio(const char* label, const std::string& measured, const std::string& baseline) const;
    // The same for items per second (SetItemsProcessed; with manual timing, per second of manual time).
    void PrintThroughputRatio(const char* label, const std::string& measured, const std::string& baseline) const;

private:
    std::map<std::string, double> nanoseconds_;
    std::map<std::string, double> itemsPerSecond_;
};
