#include "ratio_reporter.h"

#include <cstdio>

// The measuring thread's CPU time is used, which other work on a busy machine disturbs less than
// real time.
void RatioReporter::ReportRuns(const std::vector<Run>& runs)
{
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) {
                name += "/" + run.run_name.args;
            }
            nanoseconds_[name] = run.GetAdjustedCPUTime();
            auto items = run.counters.find("items_per_second");
            if (items != run.counters.end()) {
                itemsPerSecond_[name] = items->second.value;
            }
        }
    }
}

namespace {

void PrintQuotient(const std::map<std::string, double>& values, const char* label, const std::string& measured,
                   const std::string& baseline)
{
    auto m = values.find(measured);
    auto b = values.find(baseline);
    if (m == values.end() || b == values.end() || b->second <= 0) {
        std::printf("%s: not measured\n", label);
        return;
    }
    std::printf("%s: %.2fx\n", label, m->second / b->second);
}

}  // namespace

void RatioReporter::PrintRatio(const char* label, const std::string& measured, const std::string& baseline) const
{
    PrintQuotient(nanoseconds_, label, measured, baseline);
}

void RatioReporter::PrintThroughputRatio(const char* label, const std::string& measured,
                                         const std::string& baseline) const
{
    PrintQuotient(itemsPerSecond_, label, measured, baseline);
}
