// Every allocation failure: each piece of work the host does (start-up with volumes to attach,
// a mount, every command, a module's load and its three ways out) runs once to find the
// allocations it makes, then once per allocation with exactly that one refused (by its ordinal),
// and once per call site with every allocation from that site refused. Each run, in a fresh model,
// must end in the refusal status the work may answer or in its success, keep nothing when it
// failed, serve the next request, and once undone leave the pool and the host's devices as a
// clean run does. A bug check ends the program, and so fails the sweep.
#include <cstdio>
#include <set>

#include "images/hostmodule/hostmodule.h"
#include "reliability_test.h"

namespace {

const std::u16string ModuleImage = u"\\SystemRoot\\System32\\drivers\\hostmodule.sys";
const std::u16string ModuleService = u"hostmodule";

HostModuleControl* ModuleControl()
{
    PDEVICE_OBJECT device = km::FindDevice(u"\\Device\\" + ModuleService);
    return device != nullptr ? static_cast<HostModuleControl*>(device->DeviceExtension) : nullptr;
}

// An allocation site: in the host's image (an offset into it) or not (an address of the model or
// the test).
using Site = std::pair<bool, uintptr_t>;

using Action = std::function<void()>;

struct Scenario {
    const char* name;
    Action setup;                    // from a fresh model; loads the host unless the work does
    std::function<NTSTATUS()> work;  // its outcome: a request's status or a reply's
    std::set<NTSTATUS> refusals;     // the failures the work may answer
    Action undo;                     // back to the state before the work, after a success
    NTSTATUS success = STATUS_SUCCESS;
    bool retry = true;  // a refused work succeeds when sent again
};

const std::set<NTSTATUS> NoMemory = {STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY};
// Room for the longest reply (GetPoolRoutines').
constexpr ULONG CommandOutputBytes = 216;

// What a run left once undone: pool blocks and host devices.
using RunEnd = std::pair<size_t, size_t>;

class AllocationSweep : public ModuleTest {
protected:
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

    // The fault rule of a run is set here, when the work starts: by start-up's image hook or after
    // the setup. The trace of allocation sites starts here too.
    void Inject()
    {
        km::TraceAllocationCallers();
        km::ImageRange(loaded.image, &hostStart, &hostEnd);
        if (refuseOrdinal != 0) {
            km::FailNthAllocation(refuseOrdinal);
        }
        if (refuseSite != nullptr) {
            uintptr_t base = refuseSite->first ? hostStart : 0;
            km::FailAllocationsFrom(reinterpret_cast<const void*>(base + refuseSite->second));
        }
        injected = true;
    }

    // One run in a fresh model: the clean one when `sites` is given (the sites its work reached go
    // there), else one with a refusal, whose end once undone must be the clean run's.
    void Run(const Scenario& scenario, std::set<Site>* sites)
    {
        Close();
        km::Boot(Options());
        injected = false;
        scenario.setup();
        if (!injected && globals != nullptr) {
            Inject();
        }
        km::PoolStats before = km::GetPoolStats();
        NTSTATUS status = scenario.work();
        std::vector<const void*> callers = km::AllocationTrace();
        workAttempts = callers.size();
        bool refused = km::GetPoolStats().failedAllocations > 0;
        km::ClearPoolFaults();
        for (const void* caller : sites != nullptr ? callers : std::vector<const void*>{}) {
            auto address = reinterpret_cast<uintptr_t>(caller);
            bool inHost = address >= hostStart && address < hostEnd;
            sites->insert(Site{inHost, inHost ? address - hostStart : address});
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
                EXPECT_EQ(scenario.work(), scenario.success) << "the same request once memory is back";
            }
        }
        ASSERT_NE(globals, nullptr) << "the host runs";
        ControlAnswer version = Kernel(IOCTL_HOST_QUERY_VERSION, {}, sizeof(HostVersionReply));
        EXPECT_TRUE(version.status == STATUS_SUCCESS && version.information == sizeof(HostVersionReply))
            << "the next request";
        if (scenario.undo) {
            scenario.undo();
            RunEnd end{km::GetPoolStats().outstandingBlocks, HostDeviceCount()};
            if (sites != nullptr) {
                clean = end;
            } else {
                EXPECT_EQ(end, clean) << "pool blocks and host devices once undone";
            }
        }
    }

    void Sweep(const Scenario& scenario)
    {
        current = scenario.name;
        std::set<Site> sites;
        Run(scenario, &sites);
        const uint64_t attempts = workAttempts;
        for (refuseOrdinal = 1; refuseOrdinal <= attempts; refuseOrdinal += 1) {
            SCOPED_TRACE(testing::Message() << scenario.name << ": allocation " << refuseOrdinal << " of " << attempts);
            Run(scenario, nullptr);
        }
        refuseOrdinal = 0;
        for (const Site& site : sites) {
            SCOPED_TRACE(testing::Message() << scenario.name << ": site " << (site.first ? "host+" : "") << std::hex
                                            << site.second);
            refuseSite = &site;
            Run(scenario, nullptr);
        }
        refuseSite = nullptr;
        std::printf("%-32s %3llu allocations %3zu sites\n", scenario.name, (unsigned long long)attempts, sites.size());
    }

    void WithVolumes()
    {
        fileSystems = km::StartStandardFileSystems();
        storage = km::CreateStorageDevice(km::StorageType::Disk);
    }
    // Linked, with a device to key overrides and the redirect by.
    void Linked()
    {
        WithVolumes();
        StartHost();
        EXPECT_TRUE(module->Link());
        device = km::CreateModelDevice({});
    }
    void ModuleLoaded()
    {
        StartHost();
        ASSERT_EQ(Command(LoadModuleBlock(ModuleImage, ModuleService)), STATUS_SUCCESS);
    }

    // A command of the module's, sent linked.
    Scenario CommandScenario(const char* name, std::function<std::vector<uint8_t>()> block, Action undo = {})
    {
        const std::set<NTSTATUS> refusals = {STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY,
                                             STATUS_MEMORY_NOT_ALLOCATED, STATUS_UNSUCCESSFUL};
        return Scenario{name, [this] { Linked(); }, [this, block] { return Command(block(), CommandOutputBytes); },
                        refusals, undo};
    }
    Scenario CommandScenario(const char* name, std::vector<uint8_t> block, Action undo = {})
    {
        return CommandScenario(name, [block] { return block; }, undo);
    }

    std::vector<Scenario> Scenarios()
    {
        auto unload = [this] { EXPECT_EQ(UnloadModule(), STATUS_SUCCESS); };
        return {
            Scenario{"StartupAttachingMountedVolumes",
                     [this] {
                         WithVolumes();
                         ASSERT_EQ(km::MountVolume(storage), STATUS_SUCCESS);
                     },
                     [this] {
                         km::DriverLoadOptions options;
                         options.beforeEntry = [this](km::Image* image) {
                             loaded.image = image;
                             Inject();
                         };
                         NTSTATUS status = LoadHost(options).status;
                         if (status == STATUS_SUCCESS) {
                             OpenModule();
                         }
                         return status;
                     },
                     NoMemory},
            Scenario{"Mount", [this] { Linked(); }, [this] { return km::MountVolume(storage); }, NoMemory,
                     [this] { EXPECT_EQ(km::DismountVolume(storage), STATUS_SUCCESS); }},
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
                            [this] {
                                Command(CommandBlock(HostCommandSetLink, {}, HOST_LINK_OFF));
                                return CommandBlock(HostCommandWithdrawEntryPoints);
                            }),
            CommandScenario("SetRedirectDevice",
                            [this] { return CommandBlock(HostCommandSetRedirectDevice, {Address(device)}); },
                            [this] { Command(CommandBlock(HostCommandSetRedirectDevice, {0})); }),
            CommandScenario("GetRedirectDevice", CommandBlock(HostCommandGetRedirectDevice)),
            CommandScenario("SetRedirectHandler",
                            CommandBlock(HostCommandSetRedirectHandler, {Address(CompletingHandler)}),
                            [this] { Command(CommandBlock(HostCommandSetRedirectHandler, {0})); }),
            CommandScenario("GetPoolRoutines", CommandBlock(HostCommandGetPoolRoutines)),
            CommandScenario("AddOverride", [this] { return AddOverrideBlock(); },
                            [this] { EXPECT_EQ(Command(RemoveOverrideBlock()), STATUS_SUCCESS); }),
            Scenario{"RemoveOverride",
                     [this] {
                         Linked();
                         ASSERT_EQ(Command(AddOverrideBlock()), STATUS_SUCCESS);
                     },
                     [this] { return Command(RemoveOverrideBlock()); }, NoMemory},
            Scenario{"LoadModule", [this] { StartHost(); },
                     [this] { return Command(LoadModuleBlock(ModuleImage, ModuleService)); }, NoMemory, unload},
            Scenario{"UnloadModule",
                     [this] {
                         ModuleLoaded();
                         EXPECT_EQ(ModuleControl()->Unlink(), STATUS_SUCCESS);
                     },
                     [this] { return UnloadModule(); }, NoMemory},
            Scenario{"RequestUnload", [this] { ModuleLoaded(); },
                     [this] {
                         NTSTATUS status = Command(CommandBlock(HostCommandRequestUnload));
                         km::WaitSystemThreadsEnded();
                         return status;
                     },
                     NoMemory, unload, STATUS_PENDING},
            Scenario{"LoaderExit",
                     [this] {
                         StartHost();
                         loader = km::CreateProcess("loader.exe");
                         km::GrantPrivilege(loader, SE_LOAD_DRIVER_PRIVILEGE, true);
                         km::RunInProcess(loader, [] {
                             km::OpenResult opened = km::OpenFile(ControlDeviceNameFor(HostServiceName), false);
                             ASSERT_EQ(opened.status, STATUS_SUCCESS);
                             EXPECT_TRUE(Accepted(ControlThroughHandle(opened.handle, false, IOCTL_HOST_COMMAND,
                                                                       LoadModuleBlock(ModuleImage, ModuleService),
                                                                       sizeof(ControlReply))));
                             EXPECT_EQ(NtClose(opened.handle), STATUS_SUCCESS);
                         });
                     },
                     [this] {
                         km::ExitProcess(loader);
                         km::WaitSystemThreadsEnded();
                         return ModuleControl() == nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
                     },
                     NoMemory, unload, STATUS_SUCCESS, false},
        };
    }
    std::vector<uint8_t> AddOverrideBlock()
    {
        return CommandBlock(HostCommandAddOverride, {Address(device), Address(CompletingHandler), 0});
    }
    std::vector<uint8_t> RemoveOverrideBlock() { return CommandBlock(HostCommandRemoveOverride, {Address(device)}); }

    // Fixture state the scenarios use.
    km::StandardFileSystems fileSystems{};
    PDEVICE_OBJECT storage = nullptr;
    PDEVICE_OBJECT device = nullptr;
    km::Process* loader = nullptr;
    uintptr_t hostStart = 0;
    uintptr_t hostEnd = 0;
    RunEnd clean{};  // of the scenario's clean run
    uint64_t workAttempts = 0;
    uint64_t refuseOrdinal = 0;
    const Site* refuseSite = nullptr;
    bool injected = false;
    const char* current = "";
};

TEST_F(AllocationSweep, EveryAllocationOfEveryScenarioCanFail)
{
    for (const Scenario& scenario : Scenarios()) {
        Sweep(scenario);
    }
}

}  // namespace
