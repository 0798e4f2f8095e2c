// The diagnostic event log that failure points report to. Its sink (an enabled flag and a file
// name) is never configured in this driver; each report goes to the kernel debugger's output.
#pragma once

#include "base/platform.h"

// Event codes.
constexpr ULONG EventModuleLinkFailure = 8003;       // a request about the module link refused
constexpr ULONG EventCommandFailure = 8005;          // a command or reply block unusable
constexpr ULONG EventModuleLifecycleFailure = 8007;  // a step of the module's unload failed
constexpr ULONG EventLockMisuse = 8009;              // a lock released by a thread that holds none
// Source code passed by every report of this driver.
constexpr ULONG EventSourceHost = 9842;

extern "C" {

// The sink: reports are written only while EventLogEnabled is non-zero and EventLogFileName is
// set. Neither is ever set.
extern UCHAR EventLogEnabled;
extern PUNICODE_STRING EventLogFileName;

// Reports an event: its code, the reporting source file's code, the line, and one value formatted
// by the printf-style format. STATUS_INVALID_DEVICE_STATE while the sink is not configured (always,
// in this driver); STATUS_INVALID_PARAMETER for a null format. Callers ignore the result. Every
// report is also printed to the kernel debugger (DbgPrintEx, DPFLTR_IHVDRIVER_ID, error level) as
// "filterhost: event <code> line <line>: <value>". Allocates nothing, so it may be called at any IRQL.
NTSTATUS ReportEvent(ULONG eventCode, ULONG sourceCode, ULONG line, BOOLEAN alreadyDeferred,
                     _In_opt_ PCSTR format, ...);

}  // extern "C"
