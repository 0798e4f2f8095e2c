#include "support/test_module.h"

#include <algorithm>
#include <limits>

#include "support/module_kit.h"

namespace {

std::atomic<TestModule*> CurrentModule{nullptr};

NTSTATUS NTAPI ModuleIrpDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    // The module owns the IRP: it is served before the call counts as left, as in a real module.
    TestModule* module = TestModule::Current();
    module->Enter({ModuleCallKind::Irp, device, nullptr, nullptr, IoGetCurrentIrpStackLocation(irp)->MajorFunction});
    NTSTATUS status = ModulePassDown(device, irp);
    module->Leave(ModuleCallKind::Irp);
    return status;
}

BOOLEAN NTAPI ModuleAttachNotify(PDEVICE_OBJECT filter, PDEVICE_OBJECT volume, PDEVICE_OBJECT storage)
{
    TestModule* module = TestModule::Current();
    module->Enter({ModuleCallKind::AttachNotify, filter, volume, storage});
    BOOLEAN answer = module->AttachAnswer();
    module->Leave(ModuleCallKind::AttachNotify);
    // Outside the counted part, so that an action that raises leaves no call counted inside.
    module->RunAttachAction(filter);
    return answer;
}

BOOLEAN NTAPI ModuleDetachNotify(PDEVICE_OBJECT filter)
{
    TestModule* module = TestModule::Current();
    module->Enter({ModuleCallKind::DetachNotify, filter});
    BOOLEAN answer = module->DetachAnswer();
    module->Leave(ModuleCallKind::DetachNotify);
    return answer;
}

// The process notification (parent id, process id) and the thread notification (process id,
// thread id) alike.
template <ModuleCallKind Kind>
void NTAPI ModuleNotify(HANDLE first, HANDLE second, BOOLEAN create)
{
    TestModule* module = TestModule::Current();
    module->Enter({Kind, nullptr, nullptr, nullptr, 0, first, second, create});
    module->Leave(Kind);
}

}  // namespace

TestModule::TestModule()
{
    for (CallKindProbe& probe : probes_) {
        KeInitializeEvent(&probe.entered, NotificationEvent, FALSE);
        KeInitializeSemaphore(&probe.release, 0, std::numeric_limits<LONG>::max());
    }
    TestModule* expected = nullptr;
    if (!CurrentModule.compare_exchange_strong(expected, this)) {
        ADD_FAILURE() << "only one TestModule at a time";
    }
}

TestModule::~TestModule()
{
    Close();
    TestModule* expected = this;
    CurrentModule.compare_exchange_strong(expected, nullptr);
}

TestModule* TestModule::Current()
{
    TestModule* module = CurrentModule.load();
    if (module == nullptr) {
        // A host that calls a module that is gone: as fatal as it would be in a kernel.
        km::BugCheck(0xDEADDEAD, 0, 0, 0, 0, "the host called the test module after it went away");
    }
    return module;
}

NTSTATUS TestModule::Open(const std::u16string& controlDeviceName)
{
    km::OpenResult opened = km::OpenFile(controlDeviceName, true);
    handle_ = NT_SUCCESS(opened.status) ? opened.handle : nullptr;
    return opened.status;
}

void TestModule::Close()
{
    if (handle_ != nullptr) {
        EXPECT_EQ(ZwClose(handle_), STATUS_SUCCESS);
        handle_ = nullptr;
    }
}

ControlAnswer TestModule::RegisterEntryPoints()
{
    return Send(CommandBlock(HostCommandRegisterEntryPoints,
                             {AttachNotifyRoutine(), DetachNotifyRoutine(), Address(IrpDispatchRoutine()),
                              Address(fastIo_)}));
}

ControlAnswer TestModule::RegisterNotifyForwarders()
{
    return Send(CommandBlock(HostCommandRegisterNotifyForwarders, {ProcessNotifyRoutine(), ThreadNotifyRoutine()}));
}

bool TestModule::Link()
{
    return Accepted(Connect()) && Accepted(RegisterEntryPoints()) && Accepted(RegisterNotifyForwarders()) &&
           Accepted(SetLink(HOST_LINK_ON));
}

PDRIVER_DISPATCH TestModule::IrpDispatchRoutine() { return ModuleIrpDispatch; }
uint64_t TestModule::AttachNotifyRoutine() { return Address(reinterpret_cast<void*>(ModuleAttachNotify)); }
uint64_t TestModule::DetachNotifyRoutine() { return Address(reinterpret_cast<void*>(ModuleDetachNotify)); }
uint64_t TestModule::ProcessNotifyRoutine() { return Address(reinterpret_cast<void*>(ModuleNotify<ModuleCallKind::ProcessNotify>)); }
uint64_t TestModule::ThreadNotifyRoutine() { return Address(reinterpret_cast<void*>(ModuleNotify<ModuleCallKind::ThreadNotify>)); }

bool TestModule::ReleaseOne(ModuleCallKind kind)
{
    std::lock_guard<std::mutex> guard(heldLock_);
    CallKindProbe& probe = Probe(kind);
    if (probe.held == 0) {
        return false;
    }
    probe.held -= 1;
    KeReleaseSemaphore(&probe.release, IO_NO_INCREMENT, 1, FALSE);
    return true;
}

void TestModule::Release(ModuleCallKind kind)
{
    // A call that read `holding` before it changed is counted in `held` by the time its guard is
    // free, so the loop lets it go too.
    Probe(kind).holding = false;
    while (ReleaseOne(kind)) {
    }
}

void TestModule::WaitInside(ModuleCallKind kind, int count)
{
    CallKindProbe& probe = Probe(kind);
    for (;;) {
        // Cleared before the count is read, so an entry after the read sets it again.
        KeClearEvent(&probe.entered);
        if (probe.inside >= count) {
            return;
        }
        KeWaitForSingleObject(&probe.entered, Executive, KernelMode, FALSE, nullptr);
    }
}

std::vector<ModuleCall> TestModule::Calls() const
{
    std::lock_guard<std::mutex> guard(callsLock_);
    return calls_;
}

std::vector<ModuleCall> TestModule::Calls(ModuleCallKind kind) const
{
    std::vector<ModuleCall> selected = Calls();
    auto other = [kind](const ModuleCall& call) { return call.kind != kind; };
    selected.erase(std::remove_if(selected.begin(), selected.end(), other), selected.end());
    return selected;
}

void TestModule::ClearCalls()
{
    std::lock_guard<std::mutex> guard(callsLock_);
    calls_.clear();
}

void TestModule::Enter(ModuleCall call)
{
    call.irql = KeGetCurrentIrql();
    {
        std::lock_guard<std::mutex> guard(callsLock_);
        calls_.push_back(call);
    }
    CallKindProbe& probe = Probe(call.kind);
    bool held;
    {
        std::lock_guard<std::mutex> guard(heldLock_);
        held = probe.holding;
        probe.held += held ? 1 : 0;
    }
    probe.inside += 1;
    KeSetEvent(&probe.entered, IO_NO_INCREMENT, FALSE);
    if (held) {
        KeWaitForSingleObject(&probe.release, Executive, KernelMode, FALSE, nullptr);
    }
}

void TestModule::Leave(ModuleCallKind kind) { Probe(kind).inside -= 1; }
