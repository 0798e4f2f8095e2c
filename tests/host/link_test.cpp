// The link between the host and a module, driven by a test module that sends the module's commands
// from kernel mode through a handle on the control device: Connect, SetLink, RegisterEntryPoints,
// WithdrawEntryPoints and RegisterNotifyForwarders with the notify routines' registration; what
// reaches the module by link state (IRPs on recorded volume filter devices, process and thread
// notifications); and the call gates while calls are inside the module. Volumes are a model
// file-system device with a host filter device on top, recorded in AttachedList.
#include <cstring>
#include <list>
#include <string>
#include <thread>
#include <tuple>

#include "driver/driver.h"
#include "support/test_module.h"

namespace {

class LinkTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        if (!HasFatalFailure()) {
            OpenModule();
        }
    }

    // The start of the forwarding and gate tests: one recorded volume, the module connected with
    // its entry points and forwarders registered, and linked when `link` says so.
    void StartWithVolume(bool link)
    {
        startVolume = AddVolume();
        ASSERT_TRUE(Accepted(module->Connect()));
        ASSERT_TRUE(Accepted(module->RegisterEntryPoints()));
        ASSERT_TRUE(Accepted(module->RegisterNotifyForwarders()));
        ASSERT_TRUE(Accepted(module->SetLink(link ? HOST_LINK_ON : HOST_LINK_OFF)));
        module->ClearCalls();
    }

    // Whether a read on the device reached the module; the IRP completes either way.
    bool ReadForwarded(PDEVICE_OBJECT device)
    {
        size_t before = module->Calls(ModuleCallKind::Irp).size();
        km::IrpResult result = SendMajor(device, IRP_MJ_READ);
        EXPECT_NE(result.status, STATUS_PENDING);
        return module->Calls(ModuleCallKind::Irp).size() > before;
    }

    // Creates and ends a process with one thread; the notifications the module received meanwhile.
    std::vector<ModuleCall> RunProcess()
    {
        module->ClearCalls();
        km::Process* process = km::CreateProcess("notified.exe");
        km::RunInProcess(process, [] {});
        km::ExitProcess(process);
        return module->Calls();
    }

    // Unloading shows only while an unload waits, and Linked()'s probe would change it: read it.
    LONG LinkState() const { return globals->ModuleHost.LinkState; }
    void NotifyAttach(AttachRecord* record)
    {
        Symbol<decltype(FsFilterNotifyAttach)>("FsFilterNotifyAttach")(record);
    }

    AttachRecord* startVolume = nullptr;
};

// The process and thread notify routines registered.
std::pair<unsigned, unsigned> Registered()
{
    return {unsigned(km::NotifyRoutineCount(km::NotifyKind::Process)),
            unsigned(km::NotifyRoutineCount(km::NotifyKind::Thread))};
}

// Connect replies, registers the notify routines once and unlinks a linked host; during an unload
// it leaves the state alone; above PASSIVE_LEVEL it is refused and changes nothing.
TEST_F(LinkTest, LinkConnectRepliesRegistersOnceAndResetsTheLink)
{
    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_ON)), STATUS_SUCCESS);
    std::vector<uint8_t> block = CommandBlock(HostCommandConnect, {0, 0});
    auto* request = reinterpret_cast<ControlRequest*>(block.data());
    request->OutputLength = sizeof(ConnectReply);
    KIRQL previous;
    KeRaiseIrql(APC_LEVEL, &previous);
    NTSTATUS status = Symbol<decltype(ExecuteCommand)>("ExecuteCommand")(request, reinterpret_cast<ControlReply*>(request));
    KeLowerIrql(previous);
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(LinkState(), LinkStateLinked);
    EXPECT_EQ(Registered(), std::make_pair(0u, 0u));

    // Bytes 12 and 28 of the request must come back as they were.
    ControlAnswer answer =
        module->Send(CommandBlock(HostCommandConnect, {0x1111111111111111, 0x2222222222222222}, 0xA5A5A5A5),
                     sizeof(ConnectReply));
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    ASSERT_EQ(answer.information, sizeof(ConnectReply));
    ConnectReply reply;
    std::memcpy(&reply, answer.output.data(), sizeof(reply));
    EXPECT_EQ(std::make_tuple(reply.Header.Status, reply.Header.ReplySize, reply.InterfaceVersion, reply.NotWritten1,
                              reply.DriverObject, reply.Constant, reply.NotWritten2),
              std::make_tuple(STATUS_SUCCESS, 32u, 0x50000u, 0xA5A5A5A5u, Address(loaded.driver), 100u, 0x22222222u));
    EXPECT_EQ(Registered(), std::make_pair(1u, 1u));
    EXPECT_EQ(LinkState(), LinkStateUnlinked);
    SetLinkState(LinkStateUnloading);
    EXPECT_EQ(module->Connect().status, STATUS_SUCCESS);
    EXPECT_EQ(LinkState(), LinkStateUnloading);
    EXPECT_EQ(Registered(), std::make_pair(1u, 1u));
}

TEST_F(LinkTest, LinkSetLinkMovesOnlyBetweenUnlinkedAndLinked)
{
    // From, switch, to, the reply's Status.
    const std::tuple<LONG, uint32_t, LONG, NTSTATUS> cases[] = {
        {LinkStateUnlinked, 1, LinkStateLinked, STATUS_SUCCESS},
        {LinkStateLinked, 1, LinkStateLinked, STATUS_SUCCESS},
        {LinkStateUnloading, 1, LinkStateUnloading, STATUS_SUCCESS},
        {LinkStateLinked, 0, LinkStateUnlinked, STATUS_SUCCESS},
        {LinkStateUnlinked, 0, LinkStateUnlinked, STATUS_SUCCESS},
        {LinkStateUnloading, 0, LinkStateUnloading, STATUS_SUCCESS},
        {LinkStateUnlinked, 2, LinkStateUnlinked, STATUS_INVALID_PARAMETER},
        {LinkStateLinked, 2, LinkStateLinked, STATUS_INVALID_PARAMETER},
        {LinkStateUnlinked, 0xFFFFFFFF, LinkStateUnlinked, STATUS_INVALID_PARAMETER},
    };
    for (const auto& [from, linkSwitch, to, outcome] : cases) {
        SetLinkState(from);
        ControlAnswer answer = module->SetLink(linkSwitch);
        EXPECT_EQ(std::tie(answer.status, answer.information), std::make_tuple(STATUS_SUCCESS, ULONG_PTR(8)));
        EXPECT_EQ(ReplyStatus(answer), outcome) << "switch " << linkSwitch << " from " << from;
        EXPECT_EQ(LinkState(), to) << "switch " << linkSwitch << " from " << from;
    }
}

// AttachNotify offers every record to the module in every link state but Unloading: replayed
// newest first each time RegisterEntryPoints is sent, and a new record when it is recorded. The
// module's last answer is kept in the record, and WithdrawEntryPoints offers DetachNotify back for
// the taken records only.
TEST_F(LinkTest, LinkEntryPointsOfferRecordsAndWithdrawOffersBackTheTakenOnes)
{
    AttachRecord* older = AddVolume();
    AttachRecord* newer = AddVolume(FILE_DEVICE_CD_ROM_FILE_SYSTEM);
    SetLinkState(LinkStateUnloading);  // accepted in every state, and the state is left alone
    ControlAnswer answer = module->RegisterEntryPoints();
    EXPECT_EQ(std::tie(answer.status, answer.information), std::make_tuple(STATUS_SUCCESS, ULONG_PTR(8)));
    EXPECT_EQ(LinkState(), LinkStateUnloading);
    NotifyAttach(older);
    EXPECT_TRUE(module->Calls().empty());

    BOOLEAN taken = TRUE;
    for (LONG state : {LinkStateUnlinked, LinkStateLinked}) {
        SetLinkState(state);
        module->SetAttachAnswer(taken);
        module->ClearCalls();
        ASSERT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS);
        std::vector<ModuleCall> calls = module->Calls(ModuleCallKind::AttachNotify);
        ASSERT_EQ(calls.size(), 2u) << "link state " << state;
        for (const auto& [call, volume] : {std::pair{calls[0], newer}, std::pair{calls[1], older}}) {
            EXPECT_EQ(std::tie(call.device, call.volume, call.storage),
                      std::tie(volume->FilterDevice, volume->VolumeDevice, volume->StorageDevice));
            EXPECT_EQ(volume->ModuleAttached, taken);
        }
        module->SetAttachAnswer(!taken);
        module->ClearCalls();
        NotifyAttach(older);
        calls = module->Calls();
        ASSERT_EQ(calls.size(), 1u) << "link state " << state;
        EXPECT_EQ(std::tie(calls[0].kind, calls[0].storage),
                  std::make_tuple(ModuleCallKind::AttachNotify, older->StorageDevice));
        EXPECT_EQ(older->ModuleAttached, !taken);
        taken = !taken;
    }
    ASSERT_EQ(std::tie(older->ModuleAttached, newer->ModuleAttached), std::make_tuple(TRUE, FALSE));

    // A record whose lock cannot be waited for is skipped, its lock not released.
    AttachRecord* unlocked = AddVolume();
    Symbol<decltype(AMutex_Free)>("AMutex_Free")(&unlocked->RecordLock);
    module->ClearCalls();
    NotifyAttach(unlocked);
    EXPECT_TRUE(module->Calls().empty());

    // A module that keeps what it has: ModuleAttached stays TRUE. Withdrawn, the walk calls nothing
    // and neither notification reaches the module.
    module->SetDetachAnswer(FALSE);
    EXPECT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    std::vector<ModuleCall> detaches = module->Calls(ModuleCallKind::DetachNotify);
    ASSERT_EQ(detaches.size(), 1u);
    EXPECT_EQ(detaches[0].device, older->FilterDevice);
    EXPECT_EQ(older->ModuleAttached, TRUE);
    module->ClearCalls();
    EXPECT_TRUE(Accepted(module->WithdrawEntryPoints()));
    NotifyAttach(newer);
    Symbol<decltype(LinkNotifyDetach)>("LinkNotifyDetach")(older->FilterDevice);
    EXPECT_TRUE(module->Calls().empty());
    EXPECT_EQ(older->ModuleAttached, TRUE);

    // A module that lets go: ModuleAttached becomes FALSE.
    module->SetAttachAnswer(TRUE);
    module->SetDetachAnswer(TRUE);
    ASSERT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS);
    ASSERT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    EXPECT_EQ(std::tie(older->ModuleAttached, newer->ModuleAttached), std::make_tuple(FALSE, FALSE));
}

// The entry-point commands when AttachedListLock's shared hold is refused: RegisterEntryPoints
// stores the pointers and skips the replay; WithdrawEntryPoints reports the failure and changes
// nothing, so that the module can send it again. Once the list can be walked, each offers the record.
TEST_F(LinkTest, LinkEntryPointCommandsWhenTheListCannotBeWalked)
{
    AttachRecord* volume = AddVolume();
    ASSERT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS);
    // The command, its outcome, what it offers once the list can be walked, and the record after.
    const std::tuple<ControlAnswer (TestModule::*)(), NTSTATUS, ModuleCallKind, UCHAR> cases[] = {
        {&TestModule::RegisterEntryPoints, STATUS_SUCCESS, ModuleCallKind::AttachNotify, TRUE},
        {&TestModule::WithdrawEntryPoints, STATUS_INSUFFICIENT_RESOURCES, ModuleCallKind::DetachNotify, FALSE}};
    for (const auto& [send, outcome, offer, attachedAfter] : cases) {
        ASSERT_EQ(volume->ModuleAttached, TRUE);
        module->ClearCalls();
        // Shared holds use up AttachedListLock's table of holders; with pool refused, the command's
        // own shared hold cannot be recorded.
        auto acquireShared = Symbol<decltype(ASimpleResource_AcquireShared)>("ASimpleResource_AcquireShared");
        auto releaseShared = Symbol<decltype(ASimpleResource_ReleaseShared)>("ASimpleResource_ReleaseShared");
        km::FailAllocationsWithTag(km::PoolTag("ABPL"));
        int holds = 0;
        // Filling the lock's table of holders is not a fault the model can force: hold it here.
        while (acquireShared(&globals->FsFilter.AttachedListLock)) {
            ASSERT_LT(++holds, 64);
        }

        // The module is called for nothing, the entry points stay registered, and no hold is
        // released that was not granted.
        ControlAnswer answer = (module.get()->*send)();
        km::ClearPoolFaults();
        for (int hold = 0; hold < holds; hold += 1) {
            releaseShared(&globals->FsFilter.AttachedListLock);
        }
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        EXPECT_EQ(ReplyStatus(answer), outcome) << "offering " << int(offer);
        // The refused walk must leave the registration alone; only the stored pointer shows it.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(globals->ModuleHost.AttachNotify), TestModule::AttachNotifyRoutine());
        EXPECT_TRUE(module->Calls().empty());
        EXPECT_EQ(volume->ModuleAttached, TRUE);
        // A release without a grant shows only in the lock's count.
        EXPECT_EQ(globals->FsFilter.AttachedListLock.sharedCount, 0u);

        ASSERT_EQ(ReplyStatus((module.get()->*send)()), STATUS_SUCCESS);
        EXPECT_EQ(module->Calls(offer).size(), 1u) << "offering " << int(offer);
        EXPECT_EQ(volume->ModuleAttached, attachedAfter);
    }
}

TEST_F(LinkTest, LinkRefusedRegistrationsAreTriedAgainOneRoutineAtATime)
{
    // The process routine refused: the thread routine is not tried, and forwarders are refused.
    km::FailNotifyRegistration(km::NotifyKind::Process, 1, STATUS_INSUFFICIENT_RESOURCES);
    SetLinkState(LinkStateLinked);
    EXPECT_TRUE(Accepted(module->Connect()));
    EXPECT_EQ(LinkState(), LinkStateUnlinked);
    EXPECT_EQ(Registered(), std::make_pair(0u, 0u));
    ControlAnswer forwarders = module->RegisterNotifyForwarders();
    EXPECT_EQ(forwarders.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(forwarders.information, 0u);

    // The thread routine refused: the process routine stays registered.
    km::FailNotifyRegistration(km::NotifyKind::Thread, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(module->Connect().status, STATUS_SUCCESS);
    EXPECT_EQ(Registered(), std::make_pair(1u, 0u));
    EXPECT_EQ(module->RegisterNotifyForwarders().status, STATUS_INVALID_DEVICE_STATE);

    // The next Connect registers only what is missing, so every process event arrives once.
    ASSERT_TRUE(module->Link());
    EXPECT_EQ(Registered(), std::make_pair(1u, 1u));
    km::Process* process = km::CreateProcess("once.exe");
    km::ExitProcess(process);
    EXPECT_EQ(module->Calls(ModuleCallKind::ProcessNotify).size(), 2u);
}

// What reaches the module by link state: IRPs while linked with a dispatch routine, process and
// thread notifications while linked with forwarders.
TEST_F(LinkTest, LinkForwardIrpsAndNotificationsOnlyWhileLinked)
{
    ASSERT_NO_FATAL_FAILURE(StartWithVolume(false));
    PDEVICE_OBJECT filter = startVolume->FilterDevice;
    for (LONG state : {LinkStateUnlinked, LinkStateUnloading}) {  // no command leads to Unloading yet
        SetLinkState(state);
        EXPECT_FALSE(ReadForwarded(filter)) << state;
        EXPECT_TRUE(RunProcess().empty()) << state;
    }
    SetLinkState(LinkStateUnlinked);
    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_ON)), STATUS_SUCCESS);
    EXPECT_TRUE(ReadForwarded(filter));
    std::vector<ModuleCall> calls = module->Calls(ModuleCallKind::Irp);
    EXPECT_EQ(std::tie(calls.back().device, calls.back().major), std::make_tuple(filter, UCHAR(IRP_MJ_READ)));
    // The module passed it down: the file system saw every read, forwarded or not.
    EXPECT_EQ(km::ModelDeviceIrps(startVolume->VolumeDevice).size(), 3u);
    // Linked, a filter device without a record, and any device before start-up has finished, go down.
    EXPECT_FALSE(ReadForwarded(CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, km::CreateModelDevice({}))));
    // Start-up's window lies inside DriverEntry, out of a caller's reach: the flag is cleared by hand.
    globals->Started = 0;
    EXPECT_FALSE(ReadForwarded(filter));
    globals->Started = 1;

    calls = RunProcess();
    // Process created, thread created, thread exited, process exited; each at PASSIVE_LEVEL.
    std::vector<std::tuple<ModuleCallKind, BOOLEAN, KIRQL>> seen;
    for (const ModuleCall& call : calls) {
        seen.emplace_back(call.kind, call.create, call.irql);
    }
    ASSERT_EQ(seen, (decltype(seen){{ModuleCallKind::ProcessNotify, TRUE, PASSIVE_LEVEL},
                                    {ModuleCallKind::ThreadNotify, TRUE, PASSIVE_LEVEL},
                                    {ModuleCallKind::ThreadNotify, FALSE, PASSIVE_LEVEL},
                                    {ModuleCallKind::ProcessNotify, FALSE, PASSIVE_LEVEL}}));
    EXPECT_EQ(calls[0].first, PsGetCurrentProcessId());
    // Every notification names the new process, and the thread's two name the same thread.
    EXPECT_EQ(std::tie(calls[1].first, calls[2].first, calls[3].second),
              std::tie(calls[0].second, calls[0].second, calls[0].second));
    EXPECT_EQ(calls[2].second, calls[1].second);
    // Null forwarders switch forwarding off while linked.
    ASSERT_EQ(module->Send(CommandBlock(HostCommandRegisterNotifyForwarders, {0, 0})).status, STATUS_SUCCESS);
    EXPECT_TRUE(RunProcess().empty());

    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_OFF)), STATUS_SUCCESS);
    EXPECT_FALSE(ReadForwarded(filter));
    // Linked again but withdrawn: down to the file system.
    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_ON)), STATUS_SUCCESS);
    ASSERT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    EXPECT_FALSE(ReadForwarded(filter));
    EXPECT_EQ(km::ModelDeviceIrps(startVolume->VolumeDevice).size(), 6u);
}

// The call gates: IRPs and notifications held inside the module on other threads while an unload
// waits for them (or does not, once they are out), and the commands that must not wait for such
// calls.
class LinkGateTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        StartWithVolume(true);
    }

    // UnloadModule with no module loaded: once the gates are drained it fails on the bare service
    // path at once. A gate with calls inside makes it wait its whole time-out first and report the
    // gate's event, which reaches the debugger's output: its line (0: no gate waited) and how many
    // calls were inside.
    void ExpectUnloadWaits(int line, int inside = 1)
    {
        size_t printed = km::DebuggerOutput().size();
        int64_t before = km::Now100ns();
        NTSTATUS status = SendCommand(HostCommandUnloadModule);
        int64_t waited = km::Now100ns() - before;
        EXPECT_EQ(status, line != 0 ? STATUS_IO_TIMEOUT : STATUS_OBJECT_NAME_INVALID);
        EXPECT_EQ(waited >= GateDrainTimeout100ns, line != 0) << waited;
        std::vector<km::DebuggerLine> output = km::DebuggerOutput();
        std::vector<std::string> events;
        for (size_t each = printed; each < output.size(); each += 1) {
            if (output[each].component == DPFLTR_IHVDRIVER_ID && output[each].level == DPFLTR_ERROR_LEVEL) {
                events.push_back(output[each].text);
            }
        }
        std::string event = "filterhost: event 8007 line " + std::to_string(line) + ": " + std::to_string(inside);
        EXPECT_EQ(events, line != 0 ? std::vector<std::string>{event} : std::vector<std::string>{});
    }

    // Calls of the kind held inside the module, each made on a thread of its own: an unload waits
    // while any is inside (the first call in clears the drained event; later calls in and earlier
    // ones out leave it alone) and goes at once when the last is out.
    void ExpectUnloadWaitsForEveryCall(ModuleCallKind kind, int line, const std::vector<std::function<void()>>& calls)
    {
        module->Hold(kind);
        std::list<ModelThread> threads;
        for (const std::function<void()>& call : calls) {
            threads.emplace_back(call);
        }
        const int inside = static_cast<int>(calls.size());
        module->WaitInside(kind, inside);
        ASSERT_TRUE(Accepted(module->SetLink(HOST_LINK_OFF)));
        ExpectUnloadWaits(line, inside);
        ASSERT_TRUE(module->ReleaseOne(kind));
        while (module->Inside(kind) != inside - 1) {
            std::this_thread::yield();
        }
        ExpectUnloadWaits(line, inside - 1);
        module->Release(kind);
        threads.clear();  // joined
        ExpectUnloadWaits(0);
    }

    static constexpr int NotifyLine = 521;  // the process, thread, attach and detach notifications
    static constexpr int DispatchLine = 558;
};

// IRPs count in the dispatch gate whether they reach the module as a filter device's request,
// through an override, or through the redirect handler that names its dispatch routine (the
// redirect device is none of the filter devices, whose own route would reach the module first);
// process notifications count in the notification gate.
TEST_F(LinkGateTest, LinkGatesCountIrpsAndNotificationsInsideTheModule)
{
    PDEVICE_OBJECT overridden = AddVolume()->FilterDevice;
    PDEVICE_OBJECT redirected = CreateHostDevice(FILE_DEVICE_UNKNOWN);
    uint64_t handler = Address(TestModule::IrpDispatchRoutine());
    ASSERT_EQ(SendCommand(HostCommandAddOverride, {Address(overridden), handler, 0}), STATUS_SUCCESS);
    ASSERT_EQ(SendCommand(HostCommandSetRedirectDevice, {Address(redirected)}), STATUS_SUCCESS);
    ASSERT_EQ(SendCommand(HostCommandSetRedirectHandler, {handler}), STATUS_SUCCESS);
    ExpectUnloadWaitsForEveryCall(ModuleCallKind::Irp, DispatchLine,
                                  {[&] { SendMajor(startVolume->FilterDevice, IRP_MJ_READ); },
                                   [&] { SendMajor(overridden, IRP_MJ_READ); },
                                   [&] { SendMajor(redirected, IRP_MJ_READ); }});
    EXPECT_EQ(km::ModelDeviceIrps(startVolume->VolumeDevice).size(), 1u);  // passed down by the module

    ASSERT_TRUE(Accepted(module->SetLink(HOST_LINK_ON)));
    std::vector<km::Process*> processes;
    std::mutex processesLock;
    auto create = [&] {
        km::Process* process = km::CreateProcess("held.exe");
        std::lock_guard<std::mutex> guard(processesLock);
        processes.push_back(process);
    };
    ExpectUnloadWaitsForEveryCall(ModuleCallKind::ProcessNotify, NotifyLine, {create, create});
    for (km::Process* process : processes) {
        km::ExitProcess(process);
    }
}

TEST_F(LinkGateTest, LinkGateUnlinkAndWithdrawDoNotWaitForCallsInside)
{
    module->Hold(ModuleCallKind::Irp);
    ModelThread reader([&] { SendMajor(startVolume->FilterDevice, IRP_MJ_READ); });
    module->WaitInside(ModuleCallKind::Irp, 1);

    ASSERT_EQ(ReplyStatus(module->SetLink(HOST_LINK_OFF)), STATUS_SUCCESS);
    ASSERT_EQ(ReplyStatus(module->WithdrawEntryPoints()), STATUS_SUCCESS);
    ExpectUnloadWaits(DispatchLine);
    // A new request no longer enters; it goes down beside the one inside.
    EXPECT_EQ(SendMajor(startVolume->FilterDevice, IRP_MJ_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(km::ModelDeviceIrps(startVolume->VolumeDevice).size(), 1u);

    module->Release(ModuleCallKind::Irp);
    reader.Join();
    ExpectUnloadWaits(0);
    EXPECT_EQ(module->Calls(ModuleCallKind::Irp).size(), 1u);
    EXPECT_EQ(km::ModelDeviceIrps(startVolume->VolumeDevice).size(), 2u);
}

// The replay of AttachNotify holds the record's RecordLock around the call, not AttachedListLock,
// and counts in the device notification gate, which an unload waits for.
TEST_F(LinkGateTest, LinkGateAttachNotifyRunsUnderTheRecordLockInTheDeviceNotifyGate)
{
    module->Hold(ModuleCallKind::AttachNotify);
    ModelThread registration([&] { EXPECT_EQ(ReplyStatus(module->RegisterEntryPoints()), STATUS_SUCCESS); });
    module->WaitInside(ModuleCallKind::AttachNotify, 1);

    // Which lock the replay holds shows only in the lock itself: read it.
    EXPECT_EQ(globals->FsFilter.AttachedListLock.sharedCount, 0u);
    auto wait = Symbol<decltype(AMutex_Wait)>("AMutex_Wait");
    auto release = Symbol<decltype(AMutex_Release)>("AMutex_Release");
    EXPECT_FALSE(wait(&startVolume->RecordLock, 0));
    // Routing still walks the list meanwhile: the module is linked, so the read is forwarded.
    EXPECT_EQ(SendMajor(startVolume->FilterDevice, IRP_MJ_READ).status, STATUS_SUCCESS);
    EXPECT_EQ(module->Calls(ModuleCallKind::Irp).size(), 1u);
    ASSERT_TRUE(Accepted(module->SetLink(HOST_LINK_OFF)));
    ExpectUnloadWaits(NotifyLine);

    module->Release(ModuleCallKind::AttachNotify);
    registration.Join();
    ExpectUnloadWaits(0);
    EXPECT_EQ(globals->FsFilter.AttachedListLock.sharedCount, 0u);
    ASSERT_TRUE(wait(&startVolume->RecordLock, 0));
    release(&startVolume->RecordLock);
}

}  // namespace
