// The module's life cycle as a controller drives it: a model user process holding
// SeLoadDriverPrivilege runs hostctl's commands against the host's control device, exactly as a
// user runs hostctl. That process loads every generation, so it is the host's loader record; when
// it exits at the end of the run, the host unloads the last module itself.
//
// A swap unloads the current generation in one of two ways, alternately:
//   requested  hostctl request-unload: the host's worker sends the module its unload notice (the
//              sample unlinks and withdraws), drains the call gates and unloads it;
//   direct     hostctl link off, withdraw, unload: the controller does each step itself.
// and then loads the next generation's image (hostctl load; the module links itself in its
// DriverEntry) and switches the link on. An unload that leaves the module loaded (a call stayed
// inside past the host's drain time-out) is a broken invariant; the controller then retries
// direct unloads until the module is gone, so that the run can go on and end cleanly.
//
// What the sample module reports as it unloads (its counters and when its last forwarded call
// left it) is read from the kernel debugger output; the model logs when ZwUnloadDriver was called.
#include <cstdio>
#include <vector>

#include "hostctl/hostctl.h"
#include "hostsim.h"
#include "modules/sample/sample.h"

namespace hostsim {

struct Controller {
    km::Process* process = nullptr;
};

namespace {

constexpr unsigned UnloadAttemptLimit = 5;
constexpr char DriversDirectory[] = "\\SystemRoot\\System32\\drivers\\";

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

km::Process* NewControllerProcess()
{
    km::Process* process = km::CreateProcess("hostsim.exe");
    km::GrantPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE, false);  // hostctl enables it
    return process;
}

// One hostctl invocation on a thread of the controller process; its exit code, its words in *out.
int RunHostCtl(Controller* controller, const std::vector<std::string>& arguments, std::string* out)
{
    int exitCode = -1;
    km::RunInProcess(controller->process, [&] { exitCode = HostCtlRun(arguments, out); });
    return exitCode;
}

bool ModuleLoaded(const std::string& service) { return km::FindDriver(u"\\Driver\\" + Wide(service)) != nullptr; }

// The sample module's device, when the loaded module is a build of the sample: it answers
// IOCTL_SAMPLE_QUERY_STATUS.
PDEVICE_OBJECT SampleDevice(const std::string& service)
{
    PDEVICE_OBJECT device = km::FindDevice(u"\\Device\\" + Wide(service));
    if (device == nullptr) {
        return nullptr;
    }
    SampleStatusReply reply{};
    return NT_SUCCESS(km::SendDeviceControl(device, IOCTL_SAMPLE_QUERY_STATUS, nullptr, 0, &reply, sizeof(reply)).status)
               ? device
               : nullptr;
}

// With the sample linked, the last of several disks is made read-only, so that the module's
// refusals show in the report next to what it forwards.
void MakeLastDiskReadOnly(const Machine& machine, PDEVICE_OBJECT sample)
{
    const Volume* last = nullptr;
    unsigned disks = 0;
    for (const Volume& volume : machine.volumes) {
        if (volume.storage != nullptr && volume.writable) {
            last = &volume;
            disks += 1;
        }
    }
    if (disks < 2) {
        return;
    }
    SampleReadOnlyRequest request{};
    for (size_t index = 0; index < last->root.size() && index < SAMPLE_VOLUME_NAME_CHARACTERS; index += 1) {
        request.StorageName[index] = last->root[index];
    }
    request.StorageNameBytes = static_cast<uint32_t>(std::min<size_t>(last->root.size(), SAMPLE_VOLUME_NAME_CHARACTERS) * 2);
    request.ReadOnly = 1;
    (void)km::SendDeviceControl(sample, IOCTL_SAMPLE_SET_READ_ONLY, &request, sizeof(request), nullptr, 0);
}

// Reads the sample's line as it unloaded from the debugger output printed since `from`.
void ReadModuleAccount(size_t from, Generation* generation)
{
    std::vector<km::DebuggerLine> lines = km::DebuggerOutput();
    for (size_t index = from; index < lines.size(); index += 1) {
        unsigned build = 0;
        unsigned long long requests = 0, refused = 0, fastIo = 0, declined = 0;
        long long left = 0;
        if (std::sscanf(lines[index].text.c_str(),
                        "sample: build %u unloading: %llu requests (%llu refused), %llu fast I/O (%llu declined), "
                        "last call left at %lld",
                        &build, &requests, &refused, &fastIo, &declined, &left) == 6) {
            generation->accounted = true;
            generation->build = build;
            generation->moduleRequests = requests;
            generation->refused = refused;
            generation->moduleFastIo = fastIo;
            generation->declined = declined;
            generation->lastCallLeft100ns = left;
            return;
        }
    }
}

// When the module's service was unloaded: the model time of the last ZwUnloadDriver that succeeded.
int64_t UnloadCallTime(const std::string& service)
{
    int64_t called = -1;
    for (const km::DriverServiceUnload& call : km::DriverServiceUnloads()) {
        if (call.service == Wide(service) && NT_SUCCESS(call.status)) {
            called = call.called100ns;
        }
    }
    return called;
}

// hostctl's last line of output: what went wrong with the command that failed.
std::string LastLine(std::string text)
{
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    size_t newline = text.find_last_of('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

// After the first attempt: retries direct unloads until the module is gone, then takes its account.
void FinishUnload(Controller* controller, Generation* generation, size_t debuggerMark, bool gone,
                  const std::string& firstFailure)
{
    generation->unloadAttempts = 1;
    if (!gone) {
        generation->unloadFailure = firstFailure;
    }
    while (!gone && generation->unloadAttempts < UnloadAttemptLimit) {
        std::string out;
        generation->unloadAttempts += 1;
        (void)RunHostCtl(controller, {"link", "off"}, &out);
        gone = RunHostCtl(controller, {"unload"}, &out) == 0 && !ModuleLoaded(generation->image);
    }
    generation->unloaded = gone;
    if (gone) {
        generation->unloadCalled100ns = UnloadCallTime(generation->image);
        ReadModuleAccount(debuggerMark, generation);
    }
}

}  // namespace

Controller* StartController(std::string* error)
{
    auto* controller = new Controller;
    controller->process = NewControllerProcess();
    if (controller->process == nullptr) {
        *error = "creating the controller process failed";
        delete controller;
        return nullptr;
    }
    return controller;
}

bool LoadGeneration(Controller* controller, const Machine& machine, Generation* generation)
{
    std::string out;
    std::string path = DriversDirectory + generation->image + ".sys";
    generation->arrivalsAtLoad = CountArrivals(machine);
    if (RunHostCtl(controller, {"load", path}, &out) != 0 || RunHostCtl(controller, {"link", "on"}, &out) != 0) {
        generation->loadOutput = out;
        return false;
    }
    generation->loaded = true;
    PDEVICE_OBJECT sample = SampleDevice(generation->image);
    if (sample != nullptr) {
        MakeLastDiskReadOnly(machine, sample);
    }
    return true;
}

void UnloadGeneration(Controller* controller, Generation* generation, bool requested)
{
    size_t mark = km::DebuggerOutput().size();
    std::string out;
    bool gone = false;
    std::string failure;
    if (requested) {
        generation->unloadKind = "requested";
        int exitCode = RunHostCtl(controller, {"request-unload"}, &out);
        km::WaitSystemThreadsEnded();
        gone = !ModuleLoaded(generation->image);
        failure = exitCode != 0 ? LastLine(out)
                                : "the module was still loaded after the host's unload worker ended (the host unloads "
                                  "a linked module only once the module has unlinked itself in answer to the unload "
                                  "notice, as the sample does; a module that only completes the notice stays loaded)";
    } else {
        generation->unloadKind = "direct";
        int exitCode = RunHostCtl(controller, {"link", "off"}, &out);
        if (exitCode == 0) {
            exitCode = RunHostCtl(controller, {"withdraw"}, &out);
        }
        if (exitCode == 0) {
            exitCode = RunHostCtl(controller, {"unload"}, &out);
        }
        gone = exitCode == 0 && !ModuleLoaded(generation->image);
        failure = LastLine(out);
    }
    FinishUnload(controller, generation, mark, gone, failure);
}

void EndController(Controller* controller, Generation* last)
{
    size_t mark = km::DebuggerOutput().size();
    km::ExitProcess(controller->process);
    km::WaitSystemThreadsEnded();
    controller->process = nullptr;
    if (last != nullptr && last->loaded) {
        last->unloadKind = "loader exit";
        bool gone = !ModuleLoaded(last->image);
        if (!gone) {
            controller->process = NewControllerProcess();  // a controller for the retries
        }
        FinishUnload(controller, last, mark, gone, "the module was still loaded after its loader had exited");
        if (controller->process != nullptr) {
            km::ExitProcess(controller->process);
        }
    }
    delete controller;
}

}  // namespace hostsim
