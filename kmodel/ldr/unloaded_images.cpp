// Calls into unloaded images. As on Windows, the range an unloaded driver image occupied is never
// handed out again while the system runs: after the image is unmapped its range is mapped again as
// an inaccessible reservation, and a fault inside it (a call into the gone code, or a read or write
// of its data) is the bug check Windows raises for it, naming the image and the caller. Faults
// anywhere else go to the handler that was there before (the sanitizers', or the default).
//
// The reservation follows the unmapping at once; a mapping another thread makes in between may
// take part of the range, which then is not caught. The table is written under a lock and read by
// the fault handler without one: entries are complete before the count that publishes them.
#include <dlfcn.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal/ldr.h"
#include "ntmodel/ntifs.h"

namespace {

constexpr size_t KmpUnloadedCapacity = 4096;
constexpr size_t KmpNameLength = 96;
// Page-fault error code bit of a write access (x86-64).
constexpr greg_t KmpFaultWasWrite = 0x2;
// Parameter 2 of DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.
constexpr ULONG_PTR KmpReadAccess = 0;
constexpr ULONG_PTR KmpWriteAccess = 1;

struct KmpUnloadedRange {
    uintptr_t Start;
    uintptr_t End;
    char Name[KmpNameLength];
};

KmpUnloadedRange KmpUnloaded[KmpUnloadedCapacity];
std::atomic<size_t> KmpUnloadedCount{0};
struct sigaction KmpPreviousAction;

std::mutex& KmpTableLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

const KmpUnloadedRange* KmpRangeContaining(uintptr_t address)
{
    size_t count = KmpUnloadedCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        if (address >= KmpUnloaded[i].Start && address < KmpUnloaded[i].End) {
            return &KmpUnloaded[i];
        }
    }
    return nullptr;
}

// Maps the range inaccessible, page by page where something else already took a part of it.
void KmpReserve(uintptr_t start, uintptr_t end)
{
    constexpr int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE;
    void* at = mmap(reinterpret_cast<void*>(start), end - start, PROT_NONE, flags, -1, 0);
    if (at == reinterpret_cast<void*>(start)) {
        return;
    }
    if (at != MAP_FAILED) {
        munmap(at, end - start);  // a kernel without MAP_FIXED_NOREPLACE took it as a hint
    }
    uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (uintptr_t address = start; address < end; address += page) {
        at = mmap(reinterpret_cast<void*>(address), page, PROT_NONE, flags, -1, 0);
        if (at != MAP_FAILED && at != reinterpret_cast<void*>(address)) {
            munmap(at, page);
        }
    }
}

void KmpPassOn(int signal, siginfo_t* info, void* context)
{
    if ((KmpPreviousAction.sa_flags & SA_SIGINFO) != 0) {
        KmpPreviousAction.sa_sigaction(signal, info, context);
        return;
    }
    if (KmpPreviousAction.sa_handler == SIG_DFL || KmpPreviousAction.sa_handler == SIG_IGN) {
        // The fault repeats once this handler returns, and ends the process the default way.
        struct sigaction fallback{};
        fallback.sa_handler = SIG_DFL;
        sigaction(signal, &fallback, nullptr);
        return;
    }
    KmpPreviousAction.sa_handler(signal);
}

void KmpOnFault(int signal, siginfo_t* info, void* context)
{
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    const KmpUnloadedRange* range = KmpRangeContaining(address);
    if (range == nullptr) {
        KmpPassOn(signal, info, context);
        return;
    }
    const mcontext_t& machine = static_cast<ucontext_t*>(context)->uc_mcontext;
    auto pc = static_cast<uintptr_t>(machine.gregs[REG_RIP]);
    bool call = pc == address;
    bool write = (machine.gregs[REG_ERR] & KmpFaultWasWrite) != 0;
    // A call left its return address on the stack: that names the caller.
    uintptr_t from = call ? *reinterpret_cast<const uintptr_t*>(machine.gregs[REG_RSP]) : pc;
    Dl_info caller{};
    dladdr(reinterpret_cast<void*>(from), &caller);
    const char* callerImage = caller.dli_fname != nullptr ? strrchr(caller.dli_fname, '/') : nullptr;
    // The model's stop screen, written without allocating: this runs in the fault's signal handler.
    char screen[512];
    int length = snprintf(screen, sizeof screen,
                          "*** STOP 0x%08X (0x%lX, 0x%lX, 0x%lX, 0x0) DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS\n"
                          "*** %s unloaded image %s at offset 0x%lx, from %p (%s%s%s)\n",
                          static_cast<unsigned>(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS),
                          static_cast<unsigned long>(address),
                          static_cast<unsigned long>(write ? KmpWriteAccess : KmpReadAccess),
                          static_cast<unsigned long>(pc), call ? "call into" : write ? "write to" : "read of",
                          range->Name, static_cast<unsigned long>(address - range->Start), reinterpret_cast<void*>(from),
                          callerImage != nullptr ? callerImage + 1 : "?", caller.dli_sname != nullptr ? "!" : "",
                          caller.dli_sname != nullptr ? caller.dli_sname : "");
    if (length > 0 && ::write(STDERR_FILENO, screen, std::min<size_t>(static_cast<size_t>(length), sizeof screen - 1)) < 0) {
        // Nothing more to do: the stop follows either way.
    }
    abort();
}

void KmpInstallFaultHandler()
{
    struct sigaction action{};
    action.sa_sigaction = KmpOnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &KmpPreviousAction);
}

}  // namespace

void KmLdrReserveUnloadedRange(uintptr_t start, uintptr_t end, const std::string& name)
{
    KmpReserve(start, end);
    std::lock_guard<std::mutex> hold(KmpTableLock());
    size_t count = KmpUnloadedCount.load(std::memory_order_relaxed);
    if (count == 0) {
        KmpInstallFaultHandler();
    }
    if (count == KmpUnloadedCapacity) {
        return;  // still reserved, no longer named
    }
    KmpUnloadedRange& entry = KmpUnloaded[count];
    entry.Start = start;
    entry.End = end;
    snprintf(entry.Name, sizeof entry.Name, "%s", name.c_str());
    KmpUnloadedCount.store(count + 1, std::memory_order_release);
}
