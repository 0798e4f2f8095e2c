#include "ratio_reporter.h"

#include <cstdio>

// The measuring thread's CPU time is used, which other work on a busy machine disturbs less than
// real time.
void RatioReporter::ReportRuns(const std::vector<Run>& runs)
{
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        if ((run.run_type != Run::RT_Iteration && !median) || run.error_occurred) {
            continue;
        }
        std::string name = run.run_name.function_name;
        if (!run.run_name.args.empty()) {
            name += "/" + run.run_name.args;
        }
        Keep(&nanoseconds_, name, run.GetAdjustedCPUTime(), median);
        for (const auto& counter : run.counters) {
            if (counter.first == "items_per_second") {
                Keep(&itemsPerSecond_, name, counter.second.value, median);
            } else {
                Keep(&counters_, name + "." + counter.first, counter.second.value, median);
            }
        }
    }
}

void RatioReporter::Keep(std::map<std::string, Value>* values, const std::string& name, double value, bool median)
{
    Value& kept = (*values)[name];
    if (median || !kept.median) {
        kept.value = value;
        kept.median = median;
    }
}

void RatioReporter::PrintQuotient(const std::map<std::string, Value>& values, const char* label,
                                  const std::string& measured, const std::string& baseline, const char* target)
{
    auto m = values.find(measured);
    auto b = values.find(baseline);
    if (m == values.end() || b == values.end() || b->second.value <= 0) {
        std::printf("%s: not measured\n", label);
        return;
    }
    std::printf("%s: %.2fx%s%s%s\n", label, m->second.value / b->second.value, target != nullptr ? " (target " : "",
                target != nullptr ? target : "", target != nullptr ? ")" : "");
}

void RatioReporter::PrintRatio(const char* label, const std::string& measured, const std::string& baseline,
                               const char* target) const
{
    PrintQuotient(nanoseconds_, label, measured, baseline, target);
}

void RatioReporter::PrintThroughputRatio(const char* label, const std::string& measured, const std::string& baseline,
                                         const char* target) const
{
    PrintQuotient(itemsPerSecond_, label, measured, baseline, target);
}

double RatioReporter::ItemsPerSecond(const std::string& name) const
{
    auto found = itemsPerSecond_.find(name);
    return found == itemsPerSecond_.end() ? 0 : found->second.value;
}

double RatioReporter::Counter(const std::string& name, const std::string& counter) const
{
    auto found = counters_.find(name + "." + counter);
    return found == counters_.end() ? 0 : found->second.value;
}
