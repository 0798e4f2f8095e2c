// A filter module for tests, living in the test program: its entry points and notify forwarders
// record every call and can hold calls inside the module, and it sends the module's commands
// (Connect, RegisterEntryPoints, RegisterNotifyForwarders, SetLink, WithdrawEntryPoints) the way a
// module does: from kernel mode, with ZwDeviceIoControlFile on a kernel handle of the host's
// control device.
//
// One TestModule at a time: its routines are plain kernel routines and find it through a global.
// Create it after the model has booted and Close it before the model shuts down.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/host_test.h"

// The kinds of call the host makes into a module.
enum class ModuleCallKind { Irp, AttachNotify, DetachNotify, ProcessNotify, ThreadNotify };
constexpr size_t ModuleCallKindCount = 5;

// One call the module received, as it arrived.
struct ModuleCall {
    ModuleCallKind kind = ModuleCallKind::Irp;
    PDEVICE_OBJECT device = nullptr;   // Irp: the device; AttachNotify, DetachNotify: the filter device
    PDEVICE_OBJECT volume = nullptr;   // AttachNotify
    PDEVICE_OBJECT storage = nullptr;  // AttachNotify
    UCHAR major = 0;                   // Irp: the major function
    HANDLE first = nullptr;            // ProcessNotify: parent id; ThreadNotify: process id
    HANDLE second = nullptr;           // ProcessNotify: process id; ThreadNotify: thread id
    BOOLEAN create = FALSE;            // ProcessNotify, ThreadNotify
    KIRQL irql = PASSIVE_LEVEL;        // at which the call arrived
};

class TestModule {
public:
    TestModule();
    ~TestModule();
    TestModule(const TestModule&) = delete;
    TestModule& operator=(const TestModule&) = delete;

    // Opens the control device with a kernel handle (ZwCreateFile); the status of the open.
    NTSTATUS Open(const std::u16string& controlDeviceName);
    // Closes the handle; before the model shuts down. Harmless when not open.
    void Close();

    // A command block sent through the handle on the calling thread; the output buffer is filled
    // with OutputFill first. Any thread of the model may send (the handle is a kernel handle).
    ControlAnswer Send(const std::vector<uint8_t>& block, ULONG outputLength = sizeof(ControlReply))
    {
        return ControlThroughHandle(handle_, true, IOCTL_HOST_COMMAND, block, outputLength);
    }
    ControlAnswer Connect() { return Send(CommandBlock(HostCommandConnect), sizeof(ConnectReply)); }
    // This module's AttachNotify, DetachNotify and IRP dispatch, and the fast I/O table of
    // SetFastIo (null unless set).
    ControlAnswer RegisterEntryPoints();
    ControlAnswer RegisterNotifyForwarders();
    ControlAnswer SetLink(uint32_t linkSwitch) { return Send(CommandBlock(HostCommandSetLink, {}, linkSwitch)); }
    ControlAnswer WithdrawEntryPoints() { return Send(CommandBlock(HostCommandWithdrawEntryPoints)); }
    // The module's sequence to start forwarding: Connect, RegisterEntryPoints,
    // RegisterNotifyForwarders, SetLink 1. True when each request succeeded with Status 0.
    bool Link();
    // And to stop: SetLink 0, WithdrawEntryPoints.
    bool Unlink() { return Accepted(SetLink(HOST_LINK_OFF)) && Accepted(WithdrawEntryPoints()); }

    // The module's routines, for tests that register them in other combinations.
    static PDRIVER_DISPATCH IrpDispatchRoutine();
    static uint64_t AttachNotifyRoutine();
    static uint64_t DetachNotifyRoutine();
    static uint64_t ProcessNotifyRoutine();
    static uint64_t ThreadNotifyRoutine();

    // What the module answers to AttachNotify and DetachNotify (both TRUE unless set); IRPs are
    // passed to the device below the filter device. The fast I/O table registered by
    // RegisterEntryPoints.
    void SetAttachAnswer(BOOLEAN answer) { attachAnswer_ = answer; }
    void SetDetachAnswer(BOOLEAN answer) { detachAnswer_ = answer; }
    // Run by AttachNotify on the host's thread after the call is recorded and counted out, with the
    // filter device: what a module does from inside the notification (tear the volume down, raise).
    void SetAttachAction(std::function<void(PDEVICE_OBJECT)> action) { attachAction_ = std::move(action); }
    void RunAttachAction(PDEVICE_OBJECT filter)
    {
        if (attachAction_) {
            attachAction_(filter);
        }
    }
    void SetFastIo(PFAST_IO_DISPATCH table) { fastIo_ = table; }

    // Holding: from Hold on, calls of the kind wait inside the module. ReleaseOne lets one held
    // call go on (false when none waits); Release lets every held call go on and stops holding.
    void Hold(ModuleCallKind kind) { Probe(kind).holding = true; }
    bool ReleaseOne(ModuleCallKind kind);
    void Release(ModuleCallKind kind);
    // Waits until at least `count` calls of the kind are inside the module at once.
    void WaitInside(ModuleCallKind kind, int count);
    // Calls of the kind inside the module now (entered and not yet returned).
    int Inside(ModuleCallKind kind) const { return Probe(kind).inside; }

    // Calls received so far, in the order they entered; all of them, or those of one kind.
    std::vector<ModuleCall> Calls() const;
    std::vector<ModuleCall> Calls(ModuleCallKind kind) const;
    void ClearCalls();

    // The module routines' way in.
    static TestModule* Current();
    void Enter(ModuleCall call);
    void Leave(ModuleCallKind kind);
    BOOLEAN AttachAnswer() const { return attachAnswer_; }
    BOOLEAN DetachAnswer() const { return detachAnswer_; }

private:
    // A held call waits for the semaphore; each release lets one go on.
    struct CallKindProbe {
        std::atomic<int> inside{0};
        KEVENT entered;  // set by every call that enters
        KSEMAPHORE release;
        std::atomic<bool> holding{false};
        LONG held = 0;         // calls waiting for a release, under heldLock_
    };
    CallKindProbe& Probe(ModuleCallKind kind) const { return probes_[static_cast<size_t>(kind)]; }

    HANDLE handle_ = nullptr;
    std::atomic<BOOLEAN> attachAnswer_{TRUE};
    std::atomic<BOOLEAN> detachAnswer_{TRUE};
    PFAST_IO_DISPATCH fastIo_ = nullptr;
    std::function<void(PDEVICE_OBJECT)> attachAction_;
    mutable CallKindProbe probes_[ModuleCallKindCount];
    std::mutex heldLock_;
    mutable std::mutex callsLock_;
    std::vector<ModuleCall> calls_;
};

// The fixture of the tests that drive the host through a test module: OpenModule makes the module
// and opens its handle on the host's control device; the test's end unlinks and closes it.
class ModuleTest : public HostTest {
protected:
    void OpenModule()
    {
        module = std::make_unique<TestModule>();
        ASSERT_EQ(module->Open(ControlDeviceNameFor(HostServiceName)), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (module != nullptr) {
            module->Unlink();  // nothing calls the module once it is gone
            module.reset();
        }
        HostTest::TearDown();
    }

    std::unique_ptr<TestModule> module;
};
