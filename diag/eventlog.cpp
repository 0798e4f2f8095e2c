// ReportEvent and the settings of its sink.
#include "diag/eventlog.h"

UCHAR EventLogEnabled = 0;
PUNICODE_STRING EventLogFileName = nullptr;

NTSTATUS ReportEvent(ULONG eventCode, ULONG sourceCode, ULONG line, BOOLEAN alreadyDeferred, PCSTR format, ...)
{
    UNREFERENCED_PARAMETER(eventCode);
    UNREFERENCED_PARAMETER(sourceCode);
    UNREFERENCED_PARAMETER(line);
    UNREFERENCED_PARAMETER(alreadyDeferred);
    if (EventLogEnabled == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (EventLogFileName == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // Writing reports to a file is not part of this driver: no path configures the sink.
    return STATUS_NOT_SUPPORTED;
}
