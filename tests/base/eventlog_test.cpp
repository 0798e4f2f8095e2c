// ReportEvent with the sink as this driver leaves it: not configured.
#include "base_test.h"

using DiagEventLog = HostImageTest;

TEST_F(DiagEventLog, EveryReportOfTheDriverEndsAtTheUnconfiguredSinkAtAnyIrql)
{
    struct Report {
        ULONG event;
        ULONG line;
        const char* format;
        ULONG value;
    } reports[] = {
        {EventCommandFailure, 232, "0x%X", 0xC000000D},
        {EventModuleLinkFailure, 1149, "0x%X", 0xC0000184},
        {EventModuleLifecycleFailure, 521, "%ld", 1},
        {EventModuleLifecycleFailure, 558, "%ld", 2},
        {EventModuleLifecycleFailure, 579, "0x%X", 0xC0000017},
        {EventModuleLifecycleFailure, 829, "0x%08X", 0xC0000001},
        {EventModuleLifecycleFailure, 842, "0x%08X", 0xC0000008},
    };
    km::PoolStats before = km::GetPoolStats();
    for (KIRQL irql : {KIRQL{PASSIVE_LEVEL}, KIRQL{DISPATCH_LEVEL}, KIRQL{HIGH_LEVEL}}) {
        RaisedIrql raised(irql);
        for (const Report& report : reports) {
            EXPECT_EQ(host.ReportEvent(report.event, EventSourceHost, report.line, FALSE, report.format, report.value),
                      STATUS_INVALID_DEVICE_STATE)
                << report.event << " line " << report.line << " at IRQL " << int(irql);
        }
        // The configuration is checked before the format.
        EXPECT_EQ(host.ReportEvent(EventCommandFailure, EventSourceHost, 232, FALSE, nullptr),
                  STATUS_INVALID_DEVICE_STATE);
    }
    km::PoolStats after = km::GetPoolStats();
    EXPECT_EQ(after.allocations, before.allocations) << "a report allocates nothing";
}
