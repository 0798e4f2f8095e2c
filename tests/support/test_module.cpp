#include "support/test_module.h"

#include "support/module_kit.h"

namespace {

std::atomic<TestModule*> CurrentModule{nullptr};

// One call inside the module, from construction to destruction: noted on entry (where it waits
// while its kind is held), counted as left when the object goes.
class InsideModule {
public:
    explicit InsideModule(ModuleCall call) : module(TestModule::Current()), kind_(call.kind)
    {
        call.irql = KeGetCurrentIrql();
        module->Enter(call);
    }
    ~InsideModule() { module->Leave(kind_); }
    InsideModule(const InsideModule&) = delete;
    InsideModule& operator=(const InsideModule&) = delete;

    TestModule* const module;

private:
    const ModuleCallKind kind_;
};

NTSTATUS NTAPI ModuleIrpDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    // The module owns the IRP: it is served before the call counts as left, as in a real module.
    InsideModule inside(
        {ModuleCallKind::Irp, device, nullptr, nullptr, IoGetCurrentIrpStackLocation(irp)->MajorFunction});
    return ModulePassDown(device, irp);
}

BOOLEAN NTAPI ModuleAttachNotify(PDEVICE_OBJECT filter, PDEVICE_OBJECT volume, PDEVICE_OBJECT storage)
{
    BOOLEAN answer;
    {
        InsideModule inside({ModuleCallKind::AttachNotify, filter, volume, storage});
        answer = inside.module->AttachAnswer();
    }
    // Outside the counted part, so that an action that raises leaves no call counted inside.
    TestModule::Current()->RunAttachAction(filter);
    return answer;
}

BOOLEAN NTAPI ModuleDetachNotify(PDEVICE_OBJECT filter)
{
    InsideModule inside({ModuleCallKind::DetachNotify, filter});
    return inside.module->DetachAnswer();
}

void NTAPI ModuleProcessNotify(HANDLE parentId, HANDLE processId, BOOLEAN create)
{
    InsideModule inside({ModuleCallKind::ProcessNotify, nullptr, nullptr, nullptr, 0, parentId, processId, create});
}

void NTAPI ModuleThreadNotify(HANDLE processId, HANDLE threadId, BOOLEAN create)
{
    InsideModule inside({ModuleCallKind::ThreadNotify, nullptr, nullptr, nullptr, 0, processId, threadId, create});
}

template <class Routine>
uint64_t RoutineAddress(Routine* routine)
{
    return reinterpret_cast<uintptr_t>(routine);
}

}  // namespace

TestModule::TestModule()
{
    for (CallKindProbe& probe : probes_) {
        KeInitializeEvent(&probe.entered, NotificationEvent, FALSE);
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

ControlAnswer TestModule::Send(const std::vector<uint8_t>& block, ULONG outputLength)
{
    return ControlThroughHandle(handle_, true, IOCTL_HOST_COMMAND, block, outputLength);
}

ControlAnswer TestModule::Connect() { return Send(CommandBlock(HostCommandConnect), sizeof(ConnectReply)); }

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

ControlAnswer TestModule::SetLink(uint32_t linkSwitch)
{
    return Send(CommandBlock(HostCommandSetLink, {}, linkSwitch));
}

ControlAnswer TestModule::WithdrawEntryPoints() { return Send(CommandBlock(HostCommandWithdrawEntryPoints)); }

bool TestModule::Link()
{
    return Accepted(Connect()) && Accepted(RegisterEntryPoints()) && Accepted(RegisterNotifyForwarders()) &&
           Accepted(SetLink(HOST_LINK_ON));
}

bool TestModule::Unlink() { return Accepted(SetLink(HOST_LINK_OFF)) && Accepted(WithdrawEntryPoints()); }

PDRIVER_DISPATCH TestModule::IrpDispatchRoutine() { return ModuleIrpDispatch; }
uint64_t TestModule::AttachNotifyRoutine() { return RoutineAddress(ModuleAttachNotify); }
uint64_t TestModule::DetachNotifyRoutine() { return RoutineAddress(ModuleDetachNotify); }
uint64_t TestModule::ProcessNotifyRoutine() { return RoutineAddress(ModuleProcessNotify); }
uint64_t TestModule::ThreadNotifyRoutine() { return RoutineAddress(ModuleThreadNotify); }

void TestModule::Hold(ModuleCallKind kind)
{
    std::lock_guard<std::mutex> guard(heldLock_);
    Probe(kind).holding = true;
}

bool TestModule::ReleaseOne(ModuleCallKind kind)
{
    std::lock_guard<std::mutex> guard(heldLock_);
    CallKindProbe& probe = Probe(kind);
    if (probe.held.empty()) {
        return false;
    }
    KeSetEvent(&probe.held.front()->release, IO_NO_INCREMENT, FALSE);
    probe.held.pop_front();
    return true;
}

void TestModule::Release(ModuleCallKind kind)
{
    std::lock_guard<std::mutex> guard(heldLock_);
    CallKindProbe& probe = Probe(kind);
    probe.holding = false;
    for (const std::shared_ptr<HeldCall>& call : probe.held) {
        KeSetEvent(&call->release, IO_NO_INCREMENT, FALSE);
    }
    probe.held.clear();
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

int TestModule::Inside(ModuleCallKind kind) const { return Probe(kind).inside; }

std::vector<ModuleCall> TestModule::Calls() const
{
    std::lock_guard<std::mutex> guard(callsLock_);
    return calls_;
}

std::vector<ModuleCall> TestModule::Calls(ModuleCallKind kind) const
{
    std::vector<ModuleCall> selected;
    for (const ModuleCall& call : Calls()) {
        if (call.kind == kind) {
            selected.push_back(call);
        }
    }
    return selected;
}

void TestModule::ClearCalls()
{
    std::lock_guard<std::mutex> guard(callsLock_);
    calls_.clear();
}

void TestModule::Enter(const ModuleCall& call)
{
    {
        std::lock_guard<std::mutex> guard(callsLock_);
        calls_.push_back(call);
    }
    CallKindProbe& probe = Probe(call.kind);
    std::shared_ptr<HeldCall> held;
    {
        std::lock_guard<std::mutex> guard(heldLock_);
        if (probe.holding) {
            held = std::make_shared<HeldCall>();
            KeInitializeEvent(&held->release, NotificationEvent, FALSE);
            probe.held.push_back(held);
        }
    }
    probe.inside += 1;
    KeSetEvent(&probe.entered, IO_NO_INCREMENT, FALSE);
    if (held != nullptr) {
        KeWaitForSingleObject(&held->release, Executive, KernelMode, FALSE, nullptr);
    }
}

void TestModule::Leave(ModuleCallKind kind) { Probe(kind).inside -= 1; }
