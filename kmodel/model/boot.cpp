// Life of the model: boot gives every test a fresh kernel; shutdown says what was left behind
// and forgets everything.
#include <atomic>

#include "internal/ex.h"
#include "internal/cm.h"
#include "internal/io.h"
#include "internal/ke.h"
#include "internal/mm.h"
#include "internal/model.h"
#include "internal/ps.h"
#include "internal/verifier.h"

namespace {
std::atomic<bool> KmpBooted{false};
std::atomic<uint64_t> KmpGeneration{0};
}  // namespace

bool KmIsBooted() { return KmpBooted.load(std::memory_order_acquire); }

uint64_t KmGeneration() { return KmpGeneration.load(std::memory_order_acquire); }

bool km::IsBooted() { return KmIsBooted(); }

void km::Boot(const BootOptions& options)
{
    if (KmIsBooted()) {
        KmModelMisuse("km::Boot while the model is running (call km::Shutdown first)");
    }
    KmClockBoot(options.clockRate);
    KmPoolReset();
    KmLockOrderBoot();
    KmExportsReset();
    KmDebuggerBoot();
    KmpGeneration.fetch_add(1, std::memory_order_acq_rel);
    KmpBooted.store(true, std::memory_order_release);
    KmPsBoot();
    KmCmBoot();
    KmIoBoot();
}

std::string km::Restart(const BootOptions& options)
{
    std::string report = Shutdown();
    KmCmKeepForNextBoot();
    Boot(options);
    return report;
}

std::string km::Shutdown()
{
    if (!KmIsBooted()) {
        KmModelMisuse("km::Shutdown while the model is not running");
    }
    // The I/O manager first: it tears down the drivers still loaded, whose threads and pool are
    // then no leak.
    std::string report = KmIoShutdownReport();
    report += KmPsShutdownReport();
    report += KmExResourceShutdownReport();
    std::string pool = PoolLeakReport();
    if (!pool.empty()) {
        report += "pool left allocated:\n" + pool;
    }
    KmpBooted.store(false, std::memory_order_release);
    KmpGeneration.fetch_add(1, std::memory_order_acq_rel);
    KmPsReset();
    KmPoolReset();
    KmExportsReset();
    return report;
}
