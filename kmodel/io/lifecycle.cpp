// The I/O manager's life with the model: a clean start at boot, and at shutdown the teardown of
// every loaded driver and the report of what tests and drivers left behind.
#include <atomic>

#include "internal/io.h"
#include "internal/routines.h"
#include "io/file_systems.h"
#include "io/io_manager.h"

namespace km::io {

namespace {

std::atomic<bool> g_tearingDown{false};

std::mutex& LeakLock()
{
    static std::mutex lock;
    return lock;
}

std::string& DriverLeaks()
{
    static auto* leaks = new std::string;
    return *leaks;
}

std::string TakeDriverLeaks()
{
    std::lock_guard<std::mutex> hold(LeakLock());
    std::string leaks;
    leaks.swap(DriverLeaks());
    return leaks;
}

void AddSection(std::string* report, const char* title, const std::string& lines)
{
    if (!lines.empty()) {
        *report += std::string(title) + ":\n" + lines;
    }
}

}  // namespace

void AddDriverLeakLines(const std::string& lines)
{
    std::lock_guard<std::mutex> hold(LeakLock());
    DriverLeaks() += lines;
}

bool TearingDown() { return g_tearingDown.load(std::memory_order_acquire); }

void Boot()
{
    g_tearingDown.store(false, std::memory_order_release);
    ob::Boot();
    BootSecurity();
    ForgetModelDriver();
    BootFileSystemDatabase();
    ForgetDriverServiceUnloads();
    BootModelFileSystems();
    ResetIrps();
    km::ClearIoFaults();
    TakeDriverLeaks();
}

std::string Shutdown()
{
    std::string report;
    AddSection(&report, "handles left open", ob::HandleLeakReport());
    ob::CloseAllHandles();
    StopModelFileSystemWorker();
    // From here on a file whose last reference goes is freed without requests: its driver may be
    // gone already, as at system shutdown.
    g_tearingDown.store(true, std::memory_order_release);
    AddSection(&report, "left by the routine areas (MDLs, lookaside lists, timers, DPCs)",
               KmRoutinesShutdownReport());
    TearDownLoadedDrivers();
    AddSection(&report, "IRPs not freed", IrpLeakReport());
    AddSection(&report, "work items not freed", WorkItemLeakReport());
    ResetIrps();
    AddSection(&report, "object references not dropped", ob::HeldReferences(nullptr, true, true));
    AddSection(&report, "left behind by drivers", TakeDriverLeaks());
    ShutdownFileSystemDatabase();
    FreeAllVpbs();
    ForgetModelFileSystems();
    ob::Shutdown();
    ShutdownSecurity();
    ForgetModelDriver();
    km::ClearIoFaults();
    return report;
}

void ProcessExited(HANDLE processId)
{
    ob::CloseProcessHandles(processId);
    ForgetProcessToken(processId);
}

}  // namespace km::io

std::string km::TakeDriverLeakReport() { return km::io::TakeDriverLeaks(); }

void KmIoBoot() { km::io::Boot(); }

std::string KmIoShutdownReport() { return km::io::Shutdown(); }

void KmIoProcessExited(HANDLE processId) { km::io::ProcessExited(processId); }
