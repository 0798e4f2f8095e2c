// The kernel model's own interface, for tests, benchmarks and hostsim: booting and shutting the
// model down, its clock, pool accounting and fault injection, the kernel's export table, model
// processes and threads, and driver images. Kernel code never includes this header.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ntmodel/ntifs.h"

namespace km {

// ---- Life of the model ----------------------------------------------------------------------

struct BootOptions {
    // Model time runs this many times faster than real time: waits, delays and the performance
    // counter all scale together, so a 9-second time-out costs 9 ms at 1000.
    double clockRate = 1.0;
};

// Starts a fresh model: empty pool, the full export table, a System process. The calling OS
// thread becomes a thread of the System process at PASSIVE_LEVEL.
void Boot(const BootOptions& options = {});

// Ends the model and answers what was left behind (leaked pool by tag, and later objects,
// handles and IRPs). An empty string means nothing leaked.
std::string Shutdown();

bool IsBooted();

// Shuts the model down and boots it again, as a reboot: the registry's non-volatile keys and
// values persist (volatile keys are gone), everything else starts afresh. Answers Shutdown's
// report of what the first boot left behind.
std::string Restart(const BootOptions& options = {});

// ---- Clock ----------------------------------------------------------------------------------

void SetClockRate(double rate);
double ClockRate();
// Model time since boot, in 100 ns units.
int64_t Now100ns();
// Model time the calling thread has asked to sleep through KeDelayExecutionThread since it
// started, in 100 ns units: what a test checks to count delays without timing them.
int64_t DelayRequested100ns();
// Frequency reported by KeQueryPerformanceCounter (counts per model second).
constexpr int64_t PerformanceFrequency = 10'000'000;

// ---- Pool -----------------------------------------------------------------------------------

struct PoolBlockInfo {
    POOL_TYPE type;  // as asked for
    bool paged;
    ULONG tag;
    size_t size;
};

struct PoolStats {
    size_t outstandingBlocks;
    size_t outstandingBytes;
    uint64_t allocations;  // successful allocations since boot
    uint64_t frees;
    uint64_t failedAllocations;  // refused by fault injection
};

PoolStats GetPoolStats();
// Blocks still allocated with this tag.
size_t OutstandingBlocks(ULONG tag);
// Describes the block that starts at `address`; false when no block starts there.
bool QueryPoolBlock(const void* address, PoolBlockInfo* info);
// One line per tag with outstanding blocks ("'Amem' 2 blocks 112 bytes"); empty when none.
std::string PoolLeakReport();

// Fault injection. Each rule refuses matching allocations (the allocator returns null) until it
// is cleared; the Nth rule counts allocation attempts from the moment it is set (1 = the next).
void FailNthAllocation(uint64_t n);
void FailAllocationsWithTag(ULONG tag);
void FailAllocationsOfType(bool paged);
// Refuses every allocation whose call returns to `caller` (a call site, as AllocationTrace
// names it).
void FailAllocationsFrom(const void* caller);
void ClearPoolFaults();
// Starts (afresh) a trace of the return address of each allocation attempt, refused ones
// included, until the next boot: what a test uses to find the call sites a piece of work reaches.
void TraceAllocationCallers();
std::vector<const void*> AllocationTrace();

// Freed pool is filled with FreedPoolFill and kept in a bounded quarantine before its memory is
// reused, so that a read after the free sees the fill and a write after it is a bug check
// (DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL, P1 the written byte, P2 1, P4 the block) when the
// block leaves the quarantine or at CheckFreedPool, which every Shutdown makes. Not active under
// AddressSanitizer, whose own quarantine reports the access itself.
constexpr unsigned char FreedPoolFill = 0xDF;
bool PoolQuarantineActive();
// Checks every block in the quarantine now and empties it.
void CheckFreedPool();

// Tag from its four characters as they read in a pool dump: PoolTag("Amem") == 0x6D656D41.
constexpr ULONG PoolTag(const char (&text)[5])
{
    return (ULONG)(uint8_t)text[0] | (ULONG)(uint8_t)text[1] << 8 | (ULONG)(uint8_t)text[2] << 16 |
           (ULONG)(uint8_t)text[3] << 24;
}

// ---- Export table ---------------------------------------------------------------------------

// MmGetSystemRoutineAddress answers null for a removed name, as on an older kernel.
void RemoveExport(const char* name);
void RestoreExports();
// Every name in the table, sorted: what the model provides kernel code (README.md lists them).
std::vector<std::string> ExportNames();

// ---- Processes and threads ------------------------------------------------------------------

struct Process;
struct Thread;

Process* SystemProcess();
// A user process created by the calling thread's process; it lives until ExitProcess. The process
// notify routines run on the calling thread (ParentId: the calling thread's process).
Process* CreateProcess(const std::string& imageName);
// Ends the process: on a thread of the process standing for its last thread, the process notify
// routines run (PsGetCurrentProcessId answers the exiting process there), then its handles are
// closed; then the process is signalled. Every thread the test started in it must have ended
// (a misuse bug check otherwise). Device-control requests sent from a thread of the process
// (RunInProcess with NtDeviceIoControlFile on a handle of OpenFile(..., kernel = false)) arrive
// with that process current and the requestor mode UserMode.
void ExitProcess(Process* process);
HANDLE ProcessId(const Process* process);

// Starts a model thread in `process` running `body` at PASSIVE_LEVEL; JoinThread waits for it and
// releases it. A thread that ends owning a mutex abandons it. The thread notify routines run on
// the calling thread before the new thread starts, and on the new thread when it ends.
Thread* StartThread(Process* process, std::function<void()> body);
void JoinThread(Thread* thread);
HANDLE ThreadId(const Thread* thread);
// Waits until every system thread started with PsCreateSystemThread has ended (a driver's
// worker that nobody else can wait for).
void WaitSystemThreadsEnded();
// Runs `body` on a new thread of `process` and waits for it.
void RunInProcess(Process* process, const std::function<void()>& body);

// ---- Driver images --------------------------------------------------------------------------

struct Image;

// Loads a kernel image (a shared object) afresh: its data starts from the image's initial values.
// Null on failure, with the reason in *error when given.
Image* LoadImage(const std::string& path, std::string* error = nullptr);
void* ImageSymbol(Image* image, const char* name);
// Unloads the image; bug-checks if the image's code could not be unmapped. The range the image
// occupied stays reserved and inaccessible for the life of the process: a later call into its
// code, or access to its data, is the bug check DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS
// (0xCE) naming the image, with the address (P1), 0 for a read or call and 1 for a write (P2) and
// the faulting instruction (P3). Under the sanitizers this holds as long as they let the model
// handle SIGSEGV first (ASan's allow_user_segv_handler, on by default).
void UnloadImage(Image* image);
// The address range [*start, *end) the loaded image's segments occupy.
void ImageRange(const Image* image, uintptr_t* start, uintptr_t* end);
// Directory that holds the built images (set by the build; overridable with KM_IMAGE_DIR).
std::string ImageDirectory();

// ---- Kernel debugger output -----------------------------------------------------------------

// One line a driver printed with DbgPrint, DbgPrintEx or vDbgPrintEx.
struct DebuggerLine {
    int64_t time100ns;  // model time of the print
    ULONG component;    // DPFLTR_*_ID
    ULONG level;        // DPFLTR_*_LEVEL
    std::string text;   // as formatted, without a trailing newline
};
// Everything printed since boot, oldest first; the model keeps the first DebuggerLineLimit lines.
std::vector<DebuggerLine> DebuggerOutput();
constexpr size_t DebuggerLineLimit = 65536;
// Also write each line to stderr as it is printed (off at start, so that test output stays quiet).
void SetDebuggerEcho(bool echo);

// ---- Bug checks -----------------------------------------------------------------------------

// Raises a bug check with a readable reason: printed with the code and parameters, then abort.
[[noreturn]] void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                           const std::string& reason);

}  // namespace km
