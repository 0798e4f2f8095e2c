// Every allocation failure: each piece of work the host does (start-up with volumes to attach,
// a mount, every command, a module's load and its three ways out) runs once to find the
// allocations it makes, then once per allocation with exactly that one refused (by its ordinal),
// and once per call site with every allocation from that site refused. Each run, in a fresh model,
// must end in the refusal status the work may answer or in its success, keep nothing when it
// failed, serve the next request, and once undone leave the pool and the host's devices as a
// clean run does. A bug check ends the program, and so fails the sweep.
#include <cstdio>
#include <map>
#include <set>

#include "images/hostmodule/hostmodule.h"
#include "kmodel/fs_model.h"
#include "support/test_module.h"

namespace {

const std::u16string ModuleImage = u"\\SystemRoot\\System32\\drivers\\hostmodule.sys";
const std::u16string ModuleService = u"hostmodule";

HostModuleControl* ModuleControl()
{
    PDEVICE_OBJECT device = km::FindDevice(u"\\Device\\" + ModuleService);
    return device != nullptr ? static_cast<HostModuleControl*>(device->DeviceExtension) : nullptr;
}

NTSTATUS NTAPI OverrideHandler(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// An allocation site: in the host's image (an offset into it) or not (an address of the model or
// the test).
using Site = std::pair<bool, uintptr_t>;

class AllocationSweep;
using Step = std::function<NTSTATUS(AllocationSweep&)>;

struct Scenario {
    const char* name;
    std::function<void(AllocationSweep&)> setup;  // from a fresh model; loads the host unless the work does
    Step work;                                    // its outcome: a request's status or a reply's
    std::set<NTSTATUS> refusals;                  // the failures the work may answer
    std::function<void(AllocationSweep&)> undo;   // back to the state before the work, after a success
    NTSTATUS success = STATUS_SUCCESS;
    bool retry = true;  // a refused work succeeds when sent again
};

// What a run left once undone: pool blocks and host devices.
using RunEnd = std::pair<size_t, size_t>;

class AllocationSweep : public ModuleTest {
public:
    using HostTest::LoadHost;
    using HostTest::loaded;
    using ModuleTest::module;
    using ModuleTest::OpenModule;

    bool LoadAtSetUp() const override { return false; }
    void TearDown() override
    {
        Close();
        km::Boot(Options());  // ModuleTest's end shuts a model down
        ModuleTest::TearDown();
    }

    void Close()
    {
        if (module != nullptr) {
            module->Unlink();
            module.reset();
        }
        globals = nullptr;
        loaded = {};
        km::WaitSystemThreadsEnded();
        EXPECT_EQ(km::Shutdown(), "") << "run of " << current;
    }

    void StartHost()
    {
        ASSERT_EQ(LoadHost().status, STATUS_SUCCESS);
        OpenModule();
    }
    NTSTATUS Command(std::vector<uint8_t> block, ULONG outputLength = sizeof(ControlReply))
    {
        ControlAnswer answer = module->Send(block, outputLength);
        return NT_SUCCESS(answer.status) ? ReplyStatus(answer) : answer.status;
    }
    NTSTATUS UnloadModule()
    {
        if (HostModuleControl* control = ModuleControl()) {
            control->Unlink();
            return Command(CommandBlock(HostCommandUnloadModule));
        }
        return STATUS_SUCCESS;
    }
    bool VersionServed()
    {
        if (globals == nullptr) {
            return false;
        }
        ControlAnswer answer = Kernel(IOCTL_HOST_QUERY_VERSION, {}, sizeof(HostVersionReply));
        return answer.status == STATUS_SUCCESS && answer.information == sizeof(HostVersionReply);
    }

    // Where the host's image starts (its end in *end).
    uintptr_t HostStart(uintptr_t* end)
    {
        uintptr_t start = 0;
        km::ImageRange(loaded.image, &start, end);
        return start;
    }

    // The fault rule of a run is set here, when the work starts: by start-up's image hook or after
    // the setup. The trace of allocation sites starts here too.
    void Inject()
    {
        km::TraceAllocationCallers();
        if (refuseOrdinal != 0) {
            km::FailNthAllocation(refuseOrdinal);
        }
        if (refuseSite != nullptr) {
            uintptr_t end = 0;
            uintptr_t base = refuseSite->first ? HostStart(&end) : 0;
            km::FailAllocationsFrom(reinterpret_cast<const void*>(base + refuseSite->second));
        }
        injected = true;
    }

    // One run in a fresh model; the sites its work reached go to *sites when given.
    RunEnd Run(const Scenario& scenario, std::set<Site>* sites)
    {
        Close();
        km::Boot(Options());
        injected = false;
        scenario.setup(*this);
        if (!injected && globals != nullptr) {
            Inject();
        }
        km::PoolStats before = km::GetPoolStats();
        NTSTATUS status = scenario.work(*this);
        std::vector<const void*> callers = km::AllocationTrace();
        workAttempts = callers.size();
        bool refused = km::GetPoolStats().failedAllocations > 0;
        km::ClearPoolFaults();
        if (sites != nullptr && loaded.image != nullptr) {
            uintptr_t end = 0;
            uintptr_t start = HostStart(&end);
            for (const void* caller : callers) {
                auto address = reinterpret_cast<uintptr_t>(caller);
                bool inHost = address >= start && address < end;
                sites->insert(Site{inHost, inHost ? address - start : address});
            }
        }
        EXPECT_TRUE(refused || sites != nullptr) << "the run refused nothing";
        if (status != scenario.success) {
            EXPECT_EQ(scenario.refusals.count(status), 1u) << "status " << std::hex << status;
            if (globals == nullptr) {  // a refused start keeps nothing
                EXPECT_EQ(km::TakeDriverLeakReport(), "");
                EXPECT_EQ(km::GetPoolStats().outstandingBlocks, before.outstandingBlocks);
                EXPECT_EQ(LoadHost().status, STATUS_SUCCESS) << "the next start";
                OpenModule();
            } else if (scenario.retry) {
                EXPECT_EQ(km::GetPoolStats().outstandingBlocks, before.outstandingBlocks) << "a refusal keeps nothing";
                EXPECT_EQ(scenario.work(*this), scenario.success) << "the same request once memory is back";
            }
        }
        EXPECT_TRUE(VersionServed()) << "the next request";
        if (scenario.undo) {
            scenario.undo(*this);
        }
        return RunEnd{km::GetPoolStats().outstandingBlocks, HostDeviceCount()};
    }

    void Sweep(const Scenario& scenario)
    {
        current = scenario.name;
        std::set<Site> sites;
        RunEnd clean = Run(scenario, &sites);
        const uint64_t attempts = workAttempts;
        auto check = [&](const RunEnd& end) {
            if (scenario.undo) {
                EXPECT_EQ(end, clean) << "pool blocks and host devices once undone";
            }
        };
        for (refuseOrdinal = 1; refuseOrdinal <= attempts; refuseOrdinal += 1) {
            SCOPED_TRACE(testing::Message() << scenario.name << ": allocation " << refuseOrdinal << " of " << attempts);
            check(Run(scenario, nullptr));
        }
        refuseOrdinal = 0;
        for (const Site& site : sites) {
            SCOPED_TRACE(testing::Message() << scenario.name << ": site " << (site.first ? "host+" : "") << std::hex
                                            << site.second);
            refuseSite = &site;
            check(Run(scenario, nullptr));
        }
        refuseSite = nullptr;
        std::printf("%-32s %3llu allocations %3zu sites\n", scenario.name, (unsigned long long)attempts, sites.size());
    }

    // Fixture state the scenarios use.
    km::StandardFileSystems fileSystems{};
    PDEVICE_OBJECT storage = nullptr;
    PDEVICE_OBJECT device = nullptr;
    km::Process* loader = nullptr;
    uint64_t workAttempts = 0;
    uint64_t refuseOrdinal = 0;
    const Site* refuseSite = nullptr;
    bool injected = false;
    const char* current = "";
};

void WithVolumes(AllocationSweep& sweep)
{
    sweep.fileSystems = km::StartStandardFileSystems();
    sweep.storage = km::CreateStorageDevice(km::StorageType::Disk);
}

void Linked(AllocationSweep& sweep)
{
    WithVolumes(sweep);
    sweep.StartHost();
    EXPECT_TRUE(sweep.module->Link());
}

void ModuleLoaded(AllocationSweep& sweep)
{
    sweep.StartHost();
    ASSERT_EQ(sweep.Command(LoadModuleBlock(ModuleImage, ModuleService)), STATUS_SUCCESS);
}

// Room for the longest reply (GetPoolRoutines').
constexpr ULONG CommandOutputBytes = 216;

// A command of the module's with its setup's state: linked, and a device to key overrides by.
Scenario CommandScenario(const char* name, std::function<std::vector<uint8_t>(AllocationSweep&)> block,
                         std::function<void(AllocationSweep&)> undo = {})
{
    return Scenario{name,
                    [](AllocationSweep& sweep) {
                        Linked(sweep);
                        sweep.device = km::CreateModelDevice({});
                    },
                    [block](AllocationSweep& sweep) { return sweep.Command(block(sweep), CommandOutputBytes); },
                    {STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY, STATUS_MEMORY_NOT_ALLOCATED, STATUS_UNSUCCESSFUL},
                    undo};
}
Scenario CommandScenario(const char* name, std::vector<uint8_t> block, std::function<void(AllocationSweep&)> undo = {})
{
    return CommandScenario(name, [block](AllocationSweep&) { return block; }, undo);
}

std::vector<Scenario> Scenarios()
{
    const std::set<NTSTATUS> noMemory = {STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY};
    auto setLinkOff = [](AllocationSweep& sweep) { sweep.Command(CommandBlock(HostCommandSetLink, {}, HOST_LINK_OFF)); };
    return {
        Scenario{"StartupAttachingMountedVolumes",
                 [](AllocationSweep& sweep) {
                     WithVolumes(sweep);
                     ASSERT_EQ(km::MountVolume(sweep.storage), STATUS_SUCCESS);
                 },
                 [](AllocationSweep& sweep) {
                     km::DriverLoadOptions options;
                     options.beforeEntry = [&sweep](km::Image* image) {
                         sweep.loaded.image = image;
                         sweep.Inject();
                     };
                     NTSTATUS status = sweep.LoadHost(options).status;
                     if (status == STATUS_SUCCESS) {
                         sweep.OpenModule();
                     }
                     return status;
                 },
                 noMemory},
        Scenario{"Mount", Linked, [](AllocationSweep& sweep) { return km::MountVolume(sweep.storage); }, noMemory,
                 [](AllocationSweep& sweep) { EXPECT_EQ(km::DismountVolume(sweep.storage), STATUS_SUCCESS); }},
        CommandScenario("Connect", CommandBlock(HostCommandConnect)),
        CommandScenario("RegisterEntryPoints",
                        CommandBlock(HostCommandRegisterEntryPoints,
                                     {TestModule::AttachNotifyRoutine(), TestModule::DetachNotifyRoutine(),
                                      Address(TestModule::IrpDispatchRoutine()), 0})),
        CommandScenario("RegisterNotifyForwarders",
                        CommandBlock(HostCommandRegisterNotifyForwarders,
                                     {TestModule::ProcessNotifyRoutine(), TestModule::ThreadNotifyRoutine()})),
        CommandScenario("SetLinkOff", CommandBlock(HostCommandSetLink, {}, HOST_LINK_OFF)),
        CommandScenario("SetLinkOn", CommandBlock(HostCommandSetLink, {}, HOST_LINK_ON)),
        CommandScenario("WithdrawEntryPoints",
                        [setLinkOff](AllocationSweep& sweep) {
                            setLinkOff(sweep);
                            return CommandBlock(HostCommandWithdrawEntryPoints);
                        }),
        CommandScenario("SetRedirectDevice",
                        [](AllocationSweep& sweep) { return CommandBlock(HostCommandSetRedirectDevice, {Address(sweep.device)}); },
                        [](AllocationSweep& sweep) { sweep.Command(CommandBlock(HostCommandSetRedirectDevice, {0})); }),
        CommandScenario("GetRedirectDevice", CommandBlock(HostCommandGetRedirectDevice)),
        CommandScenario("SetRedirectHandler", CommandBlock(HostCommandSetRedirectHandler, {Address(OverrideHandler)}),
                        [](AllocationSweep& sweep) { sweep.Command(CommandBlock(HostCommandSetRedirectHandler, {0})); }),
        CommandScenario("GetPoolRoutines", CommandBlock(HostCommandGetPoolRoutines)),
        CommandScenario("AddOverride",
                        [](AllocationSweep& sweep) {
                            return CommandBlock(HostCommandAddOverride, {Address(sweep.device), Address(OverrideHandler), 0});
                        },
                        [](AllocationSweep& sweep) {
                            EXPECT_EQ(sweep.Command(CommandBlock(HostCommandRemoveOverride, {Address(sweep.device)})),
                                      STATUS_SUCCESS);
                        }),
        Scenario{"RemoveOverride",
                 [](AllocationSweep& sweep) {
                     Linked(sweep);
                     sweep.device = km::CreateModelDevice({});
                     ASSERT_EQ(sweep.Command(CommandBlock(HostCommandAddOverride,
                                                          {Address(sweep.device), Address(OverrideHandler), 0})),
                               STATUS_SUCCESS);
                 },
                 [](AllocationSweep& sweep) {
                     return sweep.Command(CommandBlock(HostCommandRemoveOverride, {Address(sweep.device)}));
                 },
                 noMemory},
        Scenario{"LoadModule", [](AllocationSweep& sweep) { sweep.StartHost(); },
                 [](AllocationSweep& sweep) { return sweep.Command(LoadModuleBlock(ModuleImage, ModuleService)); }, noMemory,
                 [](AllocationSweep& sweep) { EXPECT_EQ(sweep.UnloadModule(), STATUS_SUCCESS); }},
        Scenario{"UnloadModule",
                 [](AllocationSweep& sweep) {
                     ModuleLoaded(sweep);
                     EXPECT_EQ(ModuleControl()->Unlink(), STATUS_SUCCESS);
                 },
                 [](AllocationSweep& sweep) { return sweep.UnloadModule(); }, noMemory},
        Scenario{"RequestUnload", ModuleLoaded,
                 [](AllocationSweep& sweep) {
                     NTSTATUS status = sweep.Command(CommandBlock(HostCommandRequestUnload));
                     km::WaitSystemThreadsEnded();
                     return status;
                 },
                 noMemory, [](AllocationSweep& sweep) { EXPECT_EQ(sweep.UnloadModule(), STATUS_SUCCESS); },
                 STATUS_PENDING},
        Scenario{"LoaderExit",
                 [](AllocationSweep& sweep) {
                     sweep.StartHost();
                     sweep.loader = km::CreateProcess("loader.exe");
                     km::GrantPrivilege(sweep.loader, SE_LOAD_DRIVER_PRIVILEGE, true);
                     km::RunInProcess(sweep.loader, [] {
                         km::OpenResult opened = km::OpenFile(ControlDeviceNameFor(HostServiceName), false);
                         ASSERT_EQ(opened.status, STATUS_SUCCESS);
                         EXPECT_TRUE(Accepted(ControlThroughHandle(opened.handle, false, IOCTL_HOST_COMMAND,
                                                                   LoadModuleBlock(ModuleImage, ModuleService), sizeof(ControlReply))));
                         EXPECT_EQ(NtClose(opened.handle), STATUS_SUCCESS);
                     });
                 },
                 [](AllocationSweep& sweep) {
                     km::ExitProcess(sweep.loader);
                     km::WaitSystemThreadsEnded();
                     return ModuleControl() == nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
                 },
                 noMemory, [](AllocationSweep& sweep) { EXPECT_EQ(sweep.UnloadModule(), STATUS_SUCCESS); },
                 STATUS_SUCCESS, false},
    };
}

TEST_F(AllocationSweep, EveryAllocationOfEveryScenarioCanFail)
{
    for (const Scenario& scenario : Scenarios()) {
        Sweep(scenario);
    }
}

}  // namespace
