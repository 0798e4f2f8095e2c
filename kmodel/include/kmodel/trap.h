// Traps: how a test forces an interleaving or a fault from outside the driver. A trap watches the
// calls kernel code makes to one model routine and acts on one of them, at the routine's entry,
// before the routine does anything: it parks the calling thread there until the test releases it,
// or it makes the routine raise an exception (as ExRaiseStatus does), which lands in the caller's
// innermost exception guard. Kernel code never includes this header.
//
// The routines that report their calls, and the object each reports:
//   IofCallDriver                    the device called
//   IofCompleteRequest               the IRP
//   KeAcquireSpinLockRaiseToDpc, KeAcquireSpinLockAtDpcLevel, KeAcquireInStackQueuedSpinLock,
//   KeReleaseSpinLock, KeReleaseSpinLockFromDpcLevel, KeReleaseInStackQueuedSpinLock
//                                    the spin lock
//   ExAllocatePoolWithTag and the other allocators
//                                    none; the tag asked for
//   ExFreePoolWithTag (ExFreePool reports as it)
//                                    the block; the tag the block was allocated with
//   KeWaitForSingleObject, KeSetEvent, KeReleaseMutex, ExAcquireFastMutex, ExReleaseFastMutex
//                                    the dispatcher object or fast mutex
//   IoCreateDevice                   the driver object
//   IoDeleteDevice, IoDetachDevice, IoGetLowerDeviceObject, IoAttachDeviceToDeviceStackSafe
//                                    the device named first (the target of a detach or attach)
//   ObfReferenceObject, ObfDereferenceObject
//                                    the object
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kmodel/model.h"

namespace km {

// One reported call.
struct TrapCall {
    const char* routine;
    const void* object;  // as listed above; null when the routine reports none
    ULONG tag;           // pool routines: the tag; 0 otherwise
    Thread* thread;      // the calling thread
};

enum class TrapAction {
    Park,   // the thread waits at the routine's entry until Release (or the trap goes away)
    Raise,  // the routine raises `raiseStatus` at its entry
};

struct TrapRule {
    // The routine's name, or a prefix ending in '*' ("KeAcquire*" is every spin-lock acquire).
    std::string routine;
    const void* object = nullptr;  // only calls on this object; null: any
    ULONG tag = 0;                 // only calls with this tag; 0: any
    Thread* thread = nullptr;      // only calls by this thread; null: any thread
    // A further condition, run on the calling thread; it must not call the model.
    std::function<bool(const TrapCall&)> when;
    uint64_t nth = 1;  // the nth matching call from now on fires the trap (1 = the next one)
    TrapAction action = TrapAction::Park;
    NTSTATUS raiseStatus = STATUS_ACCESS_VIOLATION;
};

// An armed trap. It fires once; it is disarmed, and a thread parked at it let go, when the object
// goes away. A test releases a parked thread before it joins that thread.
class Trap {
public:
    explicit Trap(TrapRule rule);
    ~Trap();
    Trap(const Trap&) = delete;
    Trap& operator=(const Trap&) = delete;

    // Waits until the trap has fired (a thread is parked at it, or the raise is under way); false
    // when it has not after `limit` of real time (a guard against hangs, not a timing assertion).
    bool WaitFired(std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    bool Fired() const;
    // The thread that fired the trap; null before.
    Thread* FiringThread() const;
    // Lets the parked thread go on into the routine.
    void Release();

    struct State;

private:
    std::shared_ptr<State> state_;
};

// The model thread of the calling OS thread (adopted into the System process on its first use).
Thread* CurrentThread();

}  // namespace km
