// Fault injection for the I/O manager: the nth call of IoCreateDevice, the attach routines or
// IoAllocateIrp fails, and the count - 1 calls after it; and a test's action run right after the
// next successful attach.
#include <array>
#include <atomic>

#include "io/io_manager.h"

namespace km::io {

namespace {

struct FaultRule {
    uint64_t callsBeforeFailing = 0;  // calls that still succeed
    uint64_t failures = 0;            // calls that then fail
    NTSTATUS status = STATUS_SUCCESS;
};

constexpr size_t FaultPointCount = 3;

std::mutex& FaultLock()
{
    static std::mutex lock;
    return lock;
}

std::array<FaultRule, FaultPointCount>& Rules()
{
    static std::array<FaultRule, FaultPointCount> rules;
    return rules;
}

// Whether any rule still has failures to give, so that the calls of a run without faults (every
// IRP allocation among them) pass without FaultLock. Written under FaultLock.
std::atomic<bool> AnyRuleArmed{false};

void NoteRulesLocked()
{
    bool armed = false;
    for (const FaultRule& rule : Rules()) {
        armed = armed || rule.failures != 0;
    }
    AnyRuleArmed.store(armed, std::memory_order_release);
}

void SetRule(FaultPoint point, uint64_t nth, NTSTATUS status, uint64_t count)
{
    std::lock_guard<std::mutex> hold(FaultLock());
    FaultRule& rule = Rules()[static_cast<size_t>(point)];
    rule.callsBeforeFailing = nth > 0 ? nth - 1 : 0;
    rule.failures = count;
    rule.status = status;
    NoteRulesLocked();
}

AttachHook& PendingAttachHook()
{
    static AttachHook hook;
    return hook;
}

}  // namespace

AttachHook TakeAttachHook()
{
    std::lock_guard<std::mutex> hold(FaultLock());
    AttachHook hook;
    hook.swap(PendingAttachHook());
    return hook;
}

NTSTATUS TakeInjectedFailure(FaultPoint point)
{
    if (!AnyRuleArmed.load(std::memory_order_acquire)) {
        return STATUS_SUCCESS;
    }
    std::lock_guard<std::mutex> hold(FaultLock());
    FaultRule& rule = Rules()[static_cast<size_t>(point)];
    if (rule.failures == 0) {
        return STATUS_SUCCESS;
    }
    if (rule.callsBeforeFailing > 0) {
        rule.callsBeforeFailing--;
        return STATUS_SUCCESS;
    }
    rule.failures--;
    if (rule.failures == 0) {
        NoteRulesLocked();
    }
    return rule.status;
}

}  // namespace km::io

using namespace km::io;

void km::FailIoCreateDevice(uint64_t nth, NTSTATUS status, uint64_t count)
{
    SetRule(FaultPoint::CreateDevice, nth, status, count);
}

void km::FailIoAttachDevice(uint64_t nth, NTSTATUS status, uint64_t count)
{
    SetRule(FaultPoint::AttachDevice, nth, status, count);
}

void km::FailIoAllocateIrp(uint64_t nth, uint64_t count)
{
    SetRule(FaultPoint::AllocateIrp, nth, STATUS_INSUFFICIENT_RESOURCES, count);
}

void km::AfterNextIoAttach(AttachHook hook)
{
    std::lock_guard<std::mutex> hold(FaultLock());
    PendingAttachHook() = std::move(hook);
}

void km::ClearIoFaults()
{
    std::lock_guard<std::mutex> hold(FaultLock());
    Rules().fill(FaultRule{});
    NoteRulesLocked();
    PendingAttachHook() = nullptr;
}
