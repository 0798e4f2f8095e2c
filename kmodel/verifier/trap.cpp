// Traps: a test arms one on a model routine; the routine reports each call at its entry and the
// first trap whose nth matching call this is fires: it parks the thread until released, or raises.
#include "kmodel/trap.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "internal/ps.h"
#include "internal/trap.h"
#include "internal/verifier.h"

std::atomic<int> KmArmedTraps{0};

struct km::Trap::State {
    TrapRule Rule;
    uint64_t Seen = 0;
    bool Armed = true;
    bool Fired = false;
    bool Released = false;
    Thread* FiringThread = nullptr;
};

namespace {

struct KmpTraps {
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<std::shared_ptr<km::Trap::State>> Armed;
};

KmpTraps& KmpTrapState()
{
    static KmpTraps* traps = new KmpTraps;
    return *traps;
}

// A trap's condition may run code that reports calls; those are not matched again.
thread_local bool KmpInsideTrap = false;

bool KmpNameMatches(const std::string& pattern, const char* routine)
{
    if (!pattern.empty() && pattern.back() == '*') {
        return strncmp(routine, pattern.c_str(), pattern.size() - 1) == 0;
    }
    return pattern == routine;
}

bool KmpMatches(const km::TrapRule& rule, const km::TrapCall& call)
{
    return KmpNameMatches(rule.routine, call.routine) && (rule.object == nullptr || rule.object == call.object) &&
           (rule.tag == 0 || rule.tag == call.tag) && (rule.thread == nullptr || rule.thread == call.thread) &&
           (!rule.when || rule.when(call));
}

// Traps lock held: takes the trap out of the armed list.
void KmpDisarmLocked(KmpTraps& traps, const std::shared_ptr<km::Trap::State>& state)
{
    if (!state->Armed) {
        return;
    }
    state->Armed = false;
    for (auto at = traps.Armed.begin(); at != traps.Armed.end(); ++at) {
        if (*at == state) {
            traps.Armed.erase(at);
            break;
        }
    }
    KmArmedTraps.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

void KmTrapPointSlow(const char* routine, const void* object, ULONG tag)
{
    if (KmpInsideTrap) {
        return;
    }
    km::TrapCall call{routine, object, tag, KmCurrentThread()};
    KmpTraps& traps = KmpTrapState();
    NTSTATUS raise = STATUS_SUCCESS;
    {
        std::unique_lock<std::mutex> hold(traps.Lock);
        std::shared_ptr<km::Trap::State> fired;
        KmpInsideTrap = true;
        for (const auto& state : traps.Armed) {
            if (KmpMatches(state->Rule, call) && ++state->Seen == state->Rule.nth) {
                fired = state;
                break;
            }
        }
        KmpInsideTrap = false;
        if (fired == nullptr) {
            return;
        }
        KmpDisarmLocked(traps, fired);
        fired->Fired = true;
        fired->FiringThread = call.thread;
        traps.Changed.notify_all();
        if (fired->Rule.action == km::TrapAction::Raise) {
            raise = fired->Rule.raiseStatus;
        } else {
            traps.Changed.wait(hold, [&] { return fired->Released; });
        }
    }
    // Nothing of the model is held here: the raise unwinds the routine from its entry.
    if (raise != STATUS_SUCCESS) {
        ExRaiseStatus(raise);
    }
}

km::Trap::Trap(TrapRule rule) : state_(std::make_shared<State>())
{
    if (rule.routine.empty() || rule.nth == 0) {
        KmModelMisuse("a trap needs a routine and an nth call of at least 1");
    }
    state_->Rule = std::move(rule);
    KmpTraps& traps = KmpTrapState();
    std::lock_guard<std::mutex> hold(traps.Lock);
    traps.Armed.push_back(state_);
    KmArmedTraps.fetch_add(1, std::memory_order_relaxed);
}

km::Trap::~Trap()
{
    KmpTraps& traps = KmpTrapState();
    std::lock_guard<std::mutex> hold(traps.Lock);
    KmpDisarmLocked(traps, state_);
    state_->Released = true;
    traps.Changed.notify_all();
}

bool km::Trap::WaitFired(std::chrono::milliseconds limit) const
{
    KmpTraps& traps = KmpTrapState();
    std::unique_lock<std::mutex> hold(traps.Lock);
    return traps.Changed.wait_for(hold, limit, [&] { return state_->Fired; });
}

bool km::Trap::Fired() const
{
    KmpTraps& traps = KmpTrapState();
    std::lock_guard<std::mutex> hold(traps.Lock);
    return state_->Fired;
}

km::Thread* km::Trap::FiringThread() const
{
    KmpTraps& traps = KmpTrapState();
    std::lock_guard<std::mutex> hold(traps.Lock);
    return state_->FiringThread;
}

void km::Trap::Release()
{
    KmpTraps& traps = KmpTrapState();
    std::lock_guard<std::mutex> hold(traps.Lock);
    state_->Released = true;
    traps.Changed.notify_all();
}

km::Thread* km::CurrentThread() { return KmCurrentThread(); }
