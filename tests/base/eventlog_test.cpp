// ReportEvent with the sink as this driver leaves it: not configured.
#include "base_test.h"

using DiagEventLog = HostImageTest;

TEST_F(DiagEventLog, ReportsEndAtTheUnconfiguredSinkAtAnyIrqlWithoutAllocating)
{
    uint64_t allocations = km::GetPoolStats().allocations;
    for (KIRQL irql : {KIRQL{PASSIVE_LEVEL}, KIRQL{DISPATCH_LEVEL}, KIRQL{HIGH_LEVEL}}) {
        RaisedIrql raised(irql);
        EXPECT_EQ(host.ReportEvent(EventModuleLinkFailure, EventSourceHost, 1149, FALSE, "0x%X", 0xC0000184),
                  STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(host.ReportEvent(EventModuleLifecycleFailure, EventSourceHost, 521, FALSE, "%ld", 1),
                  STATUS_INVALID_DEVICE_STATE);
        // The configuration is checked before the format.
        EXPECT_EQ(host.ReportEvent(EventCommandFailure, EventSourceHost, 232, FALSE, nullptr),
                  STATUS_INVALID_DEVICE_STATE);
    }
    EXPECT_EQ(km::GetPoolStats().allocations, allocations);
}
