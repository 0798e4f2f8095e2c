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
        }
    }
}

void RatioReporter::PrintRatio(const char* label, const std::string& measured, const std::string& baseline) const
{
    auto m = nanoseconds_.find(measured);
    auto b = nanoseconds_.find(baseline);
    if (m == nanoseconds_.end() || b == nanoseconds_.end() || b->second <= 0) {
        std::printf("%s: not measured\n", label);
        return;
    }
    std::printf("%s: %.2fx\n", label, m->second / b->second);
}
