// ReportEvent and the settings of its sink. Besides the sink (never configured in this driver),
// every report goes to the kernel debugger's output as one line, "filterhost: event 8007 line
// 558: 1", so that a report is seen in DebugView or WinDbg (and in the model's captured output).
#include "diag/eventlog.h"

UCHAR EventLogEnabled = 0;
PUNICODE_STRING EventLogFileName = nullptr;

namespace {

// Room for the debugger line's format: the prefix with both numbers, the caller's format, the
// newline and the terminator.
constexpr ULONG EventDebuggerFormatBytes = 160;
constexpr char EventDebuggerPrefix[] = "filterhost: event ";
constexpr char EventDebuggerLine[] = " line ";
constexpr char EventDebuggerSeparator[] = ": ";

// Appends a text at *used; FALSE (and nothing appended) when it would not leave room for the
// newline and the terminator.
BOOLEAN EventAppendText(char* buffer, ULONG* used, PCSTR text)
{
    ULONG length = 0;
    while (text[length] != 0) {
        length += 1;
    }
    if (*used + length + 2 > EventDebuggerFormatBytes) {
        return FALSE;
    }
    for (ULONG index = 0; index < length; index += 1) {
        buffer[*used + index] = text[index];
    }
    *used += length;
    return TRUE;
}

// Appends a number in decimal; it always fits behind the short prefix.
void EventAppendNumber(char* buffer, ULONG* used, ULONG value)
{
    char digits[10];
    ULONG count = 0;
    do {
        digits[count] = static_cast<char>('0' + value % 10);
        count += 1;
        value /= 10;
    } while (value != 0);
    while (count > 0) {
        count -= 1;
        buffer[*used] = digits[count];
        *used += 1;
    }
}

// Sends the report to the debugger: a fixed format around the caller's own, which formats the
// one value. The line is composed in a local buffer: nothing is allocated and no lock is taken,
// so this may run at any IRQL. A missing or overlong format leaves the value out.
void EventSendToDebugger(ULONG eventCode, ULONG line, PCSTR format, va_list arguments)
{
    char composed[EventDebuggerFormatBytes];
    ULONG used = 0;
    (void)EventAppendText(composed, &used, EventDebuggerPrefix);
    EventAppendNumber(composed, &used, eventCode);
    (void)EventAppendText(composed, &used, EventDebuggerLine);
    EventAppendNumber(composed, &used, line);
    ULONG plain = used;
    if (format == nullptr || !EventAppendText(composed, &used, EventDebuggerSeparator) ||
        !EventAppendText(composed, &used, format)) {
        used = plain;
    }
    composed[used] = '\n';
    composed[used + 1] = 0;
    (void)vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, composed, arguments);
}

}  // namespace

NTSTATUS ReportEvent(ULONG eventCode, ULONG sourceCode, ULONG line, BOOLEAN alreadyDeferred, PCSTR format, ...)
{
    UNREFERENCED_PARAMETER(sourceCode);
    UNREFERENCED_PARAMETER(alreadyDeferred);
    NTSTATUS status;
    if (EventLogEnabled == 0) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (EventLogFileName == nullptr) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (format == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        // Writing reports to a file is not part of this driver: no path configures the sink.
        status = STATUS_NOT_SUPPORTED;
    }
    va_list arguments;
    va_start(arguments, format);
    EventSendToDebugger(eventCode, line, format, arguments);
    va_end(arguments);
    return status;
}
