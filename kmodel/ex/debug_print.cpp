// The kernel debugger's output: DbgPrint, DbgPrintEx and vDbgPrintEx. The model keeps every line
// with its model time, component and level for km::DebuggerOutput, and echoes it to stderr only
// when asked (km::SetDebuggerEcho). A print may come at any IRQL and from any thread.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "internal/ex.h"

#include "kmodel/model.h"
#include "ntmodel/ntifs.h"

namespace {

// Longest line kept; a longer one is cut, as the debugger's own buffer cuts it.
constexpr size_t KmpDebuggerLineBytes = 512;

struct KmpDebugger {
    std::mutex Lock;
    std::vector<km::DebuggerLine> Lines;
    std::atomic<bool> Echo{false};
};

KmpDebugger& KmpGetDebugger()
{
    static KmpDebugger* debugger = new KmpDebugger;
    return *debugger;
}

ULONG KmpPrint(ULONG component, ULONG level, PCSTR format, va_list arguments)
{
    if (format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    char text[KmpDebuggerLineBytes];
    int length = vsnprintf(text, sizeof(text), format, arguments);
    if (length < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string line(text, std::min(static_cast<size_t>(length), sizeof(text) - 1));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    KmpDebugger& debugger = KmpGetDebugger();
    if (debugger.Echo.load(std::memory_order_relaxed)) {
        fprintf(stderr, "%s\n", line.c_str());
    }
    std::lock_guard<std::mutex> guard(debugger.Lock);
    if (debugger.Lines.size() < km::DebuggerLineLimit) {
        debugger.Lines.push_back(km::DebuggerLine{km::IsBooted() ? km::Now100ns() : 0, component, level, std::move(line)});
    }
    return STATUS_SUCCESS;
}

}  // namespace

// Forgets the previous boot's lines.
void KmDebuggerBoot()
{
    KmpDebugger& debugger = KmpGetDebugger();
    std::lock_guard<std::mutex> guard(debugger.Lock);
    debugger.Lines.clear();
}

std::vector<km::DebuggerLine> km::DebuggerOutput()
{
    KmpDebugger& debugger = KmpGetDebugger();
    std::lock_guard<std::mutex> guard(debugger.Lock);
    return debugger.Lines;
}

void km::SetDebuggerEcho(bool echo) { KmpGetDebugger().Echo.store(echo, std::memory_order_relaxed); }

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    ULONG result = KmpPrint(DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL, Format, arguments);
    va_end(arguments);
    return result;
}

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    ULONG result = KmpPrint(ComponentId, Level, Format, arguments);
    va_end(arguments);
    return result;
}

extern "C" ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist)
{
    return KmpPrint(ComponentId, Level, Format, arglist);
}
