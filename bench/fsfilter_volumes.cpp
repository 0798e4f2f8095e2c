#include "fsfilter_volumes.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "filterhost/protocol.h"
#include "images/forwarding_module.h"

namespace {

using PassThroughAttachRoutine = NTSTATUS (*)(PDEVICE_OBJECT, PDEVICE_OBJECT*);
using ModuleLinkRoutine = NTSTATUS (*)(PUNICODE_STRING);
using ModuleSetLinkRoutine = NTSTATUS (*)(BOOLEAN);
using ModuleUnlinkRoutine = NTSTATUS (*)();
using ModuleProbeCallsRoutine = LONG (*)();

// The service name the host is loaded under.
constexpr char16_t HostServiceName[] = u"filterhost";
// The module's service and image, as the host loads it.
constexpr char16_t ModuleServiceName[] = u"forwardingmodule";
constexpr char16_t ModuleImagePath[] = u"\\SystemRoot\\System32\\drivers\\forwarding_module.sys";
constexpr char16_t ModuleDriverName[] = u"\\Driver\\forwardingmodule";

struct ModuleImage {
    HANDLE control = nullptr;  // the benchmark's kernel handle of the host's control device
    PDRIVER_OBJECT driver = nullptr;
    ModuleSetLinkRoutine setLink = nullptr;
    ModuleUnlinkRoutine unlink = nullptr;
    ModuleProbeCallsRoutine probeCalls = nullptr;
    bool linked = false;
};
ModuleImage Module;

template <typename Routine>
Routine Export(km::Image* image, const char* name)
{
    return reinterpret_cast<Routine>(km::ImageSymbol(image, name));
}

bool Fail(std::string* error, const std::string& what)
{
    *error = what;
    return false;
}

// Creates the volume's file with BenchFileBytes of data and keeps it open, its file object
// referenced.
bool OpenBenchFile(BenchVolume* volume, const std::u16string& storageName, std::string* error)
{
    km::OpenResult opened = km::CreateFile(storageName + u"\\bench.dat", FILE_OVERWRITE_IF);
    if (!NT_SUCCESS(opened.status)) {
        return Fail(error, "creating a file failed");
    }
    volume->handle = opened.handle;
    std::vector<uint8_t> data(BenchFileBytes, 0x5A);
    km::FileIoResult written = km::WriteFile(opened.handle, 0, data.data(), BenchFileBytes);
    if (!NT_SUCCESS(written.status) || written.information != BenchFileBytes) {
        return Fail(error, "writing the file failed");
    }
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(opened.handle, 0, *IoFileObjectType, KernelMode, &object, nullptr))) {
        return Fail(error, "referencing the file object failed");
    }
    volume->file = static_cast<PFILE_OBJECT>(object);
    return true;
}

// A storage device of that name, mounted, with its volume device and the device right above it.
bool MountStorage(BenchVolume* volume, const std::u16string& storageName, std::string* error)
{
    volume->storage = km::CreateStorageDevice(km::StorageType::Disk, storageName);
    if (volume->storage == nullptr || !NT_SUCCESS(km::MountVolume(volume->storage))) {
        return Fail(error, "mounting a volume failed");
    }
    volume->volume = km::MountedVolume(volume->storage);
    volume->filter = volume->volume->AttachedDevice;
    return true;
}

// Storage names: the hosted volumes are HarddiskVolume1..4, the pass-through ones 5..8.
std::u16string HostedVolumeName(int index)
{
    return u"\\Device\\HarddiskVolume" + std::u16string(1, static_cast<char16_t>(u'1' + index));
}

std::u16string PassThroughVolumeName(int index) { return HostedVolumeName(index + BenchVolumesPerKind); }

// The host's control device name for the host's service, every character counted.
std::u16string ControlDeviceName()
{
    WCHAR name[HOST_CONTROL_DEVICE_NAME_CHARACTERS];
    uint32_t characters = HostComposeControlDeviceName<WCHAR>(
        HostServiceName, sizeof(HostServiceName) / sizeof(WCHAR) - 1, name, HOST_CONTROL_DEVICE_NAME_CHARACTERS);
    return std::u16string(reinterpret_cast<const char16_t*>(name), characters);
}

// Sends one command through the benchmark's control handle; the request's failure, else the
// reply's status.
NTSTATUS SendHostCommand(const void* request, ULONG requestBytes)
{
    ControlReply reply{};
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwDeviceIoControlFile(Module.control, nullptr, nullptr, nullptr, &ioStatus, IOCTL_HOST_COMMAND,
                                            const_cast<void*>(request), requestBytes, &reply, sizeof(reply));
    return NT_SUCCESS(status) ? static_cast<NTSTATUS>(reply.Status) : status;
}

// The host loads the module (ZwLoadDriver of a service key it writes), as hostctl load asks it
// to; the module then links itself through its own handle.
bool LoadModule(std::string* error)
{
    if (Module.control == nullptr) {
        km::OpenResult opened = km::OpenFile(ControlDeviceName(), true);
        if (!NT_SUCCESS(opened.status)) {
            return Fail(error, "opening the host's control device failed");
        }
        Module.control = opened.handle;
    }
    LoadModuleRequest request{};
    request.Header.Command = HostCommandLoadModule;
    request.Header.Argument = sizeof(ModuleImagePath) - sizeof(char16_t);
    std::memcpy(request.ImagePath, ModuleImagePath, request.Header.Argument);
    std::memcpy(request.ServiceName, ModuleServiceName, sizeof(ModuleServiceName));
    request.ServiceNameLength = sizeof(ModuleServiceName);
    if (!NT_SUCCESS(SendHostCommand(&request, LOAD_MODULE_REQUEST_BYTES))) {
        return Fail(error, "the host could not load the module");
    }
    Module.driver = km::FindDriver(ModuleDriverName);
    km::Image* image = Module.driver != nullptr ? km::DriverImage(Module.driver) : nullptr;
    if (image == nullptr) {
        return Fail(error, "the module's driver is not there after the load");
    }
    auto link = Export<ModuleLinkRoutine>(image, "ForwardingModuleLink");
    Module.setLink = Export<ModuleSetLinkRoutine>(image, "ForwardingModuleSetLink");
    Module.unlink = Export<ModuleUnlinkRoutine>(image, "ForwardingModuleUnlink");
    Module.probeCalls = Export<ModuleProbeCallsRoutine>(image, "ForwardingModuleProbeCalls");
    if (link == nullptr || Module.setLink == nullptr || Module.unlink == nullptr || Module.probeCalls == nullptr) {
        return Fail(error, "the module image lacks its routines");
    }
    std::u16string control = ControlDeviceName();
    UNICODE_STRING controlName{static_cast<USHORT>(control.size() * sizeof(WCHAR)),
                               static_cast<USHORT>(control.size() * sizeof(WCHAR)),
                               reinterpret_cast<PWCH>(control.data())};
    if (!NT_SUCCESS(link(&controlName))) {
        return Fail(error, "the module could not link");
    }
    Module.linked = true;
    return true;
}

}  // namespace

bool BuildBenchVolumes(BenchVolumes* volumes, std::string* error)
{
    if (km::StartFileSystem() == nullptr) {
        return Fail(error, "starting the file system failed");
    }
    // The pass-through filter goes on its volume before the host loads, so that it sits right on
    // the volume device; the host then attaches over it, as it does to every mounted volume.
    km::DriverLoadResult passThrough = km::LoadDriver(km::ImagePath("passthrough.so"), {u"passthrough", {}, {}});
    if (!NT_SUCCESS(passThrough.status)) {
        return Fail(error, "loading the pass-through driver failed: " + passThrough.error);
    }
    auto attach = Export<PassThroughAttachRoutine>(passThrough.image, "PassThroughAttach");
    if (attach == nullptr) {
        return Fail(error, "the pass-through driver lacks its attach routine");
    }
    for (int index = 0; index < BenchVolumesPerKind; index++) {
        BenchVolume* volume = &volumes->passThrough[index];
        if (!MountStorage(volume, PassThroughVolumeName(index), error) ||
            !NT_SUCCESS(attach(volume->volume, &volume->filter))) {
            return Fail(error, "attaching the pass-through filter failed");
        }
    }

    km::DriverLoadResult host = km::LoadDriver(km::ImagePath("host.so"), {HostServiceName, {}, {}});
    if (!NT_SUCCESS(host.status)) {
        return Fail(error, "loading the host failed: " + host.error);
    }
    for (int index = 0; index < BenchVolumesPerKind; index++) {
        BenchVolume* volume = &volumes->hosted[index];
        if (!MountStorage(volume, HostedVolumeName(index), error)) {
            return false;
        }
        if (volume->filter == nullptr || volume->filter->DriverObject != host.driver) {
            return Fail(error, "the host did not attach to a mounted volume");
        }
        PDEVICE_OBJECT abovePassThrough = volumes->passThrough[index].filter->AttachedDevice;
        if (abovePassThrough == nullptr || abovePassThrough->DriverObject != host.driver) {
            return Fail(error, "the host did not attach over the pass-through filter");
        }
    }
    for (int index = 0; index < BenchVolumesPerKind; index++) {
        if (!OpenBenchFile(&volumes->hosted[index], HostedVolumeName(index), error) ||
            !OpenBenchFile(&volumes->passThrough[index], PassThroughVolumeName(index), error)) {
            return false;
        }
    }
    return LoadModule(error) && SetModuleLinked(false);
}

bool SetModuleLinked(bool linked)
{
    if (Module.setLink == nullptr) {
        return false;
    }
    if (Module.linked == linked) {
        return true;
    }
    if (!NT_SUCCESS(Module.setLink(linked ? TRUE : FALSE))) {
        return false;
    }
    Module.linked = linked;
    return true;
}

long ModuleProbeCalls() { return Module.probeCalls != nullptr ? Module.probeCalls() : -1; }

void UnlinkModule()
{
    if (Module.unlink != nullptr) {
        Module.unlink();
    }
    Module.linked = false;
}

NTSTATUS UnloadModule()
{
    ControlRequest request{HostCommandUnloadModule, 0, 0, 0};
    NTSTATUS status = SendHostCommand(&request, sizeof(request));
    if (NT_SUCCESS(status)) {
        Module.driver = nullptr;
        Module.setLink = nullptr;
        Module.unlink = nullptr;
        Module.probeCalls = nullptr;
    }
    return status;
}

bool ReloadModule(bool linked, std::string* error)
{
    return LoadModule(error) && SetModuleLinked(linked);
}

int64_t ModuleDrainStart(size_t debuggerMark)
{
    std::vector<km::DebuggerLine> lines = km::DebuggerOutput();
    for (size_t index = debuggerMark; index < lines.size(); index++) {
        long long left = 0;
        if (std::sscanf(lines[index].text.c_str(), FORWARDING_MODULE_UNLOAD_LINE, &left) == 1) {
            return left;
        }
    }
    return 0;
}

int64_t ModuleUnloadCalled()
{
    int64_t called = -1;
    for (const km::DriverServiceUnload& call : km::DriverServiceUnloads()) {
        if (call.service == ModuleServiceName && NT_SUCCESS(call.status)) {
            called = call.called100ns;
        }
    }
    return called;
}

void TearDownBenchVolumes(BenchVolumes* volumes)
{
    UnlinkModule();
    if (Module.driver != nullptr && !NT_SUCCESS(UnloadModule())) {
        std::fprintf(stderr, "fsfilter_bench: the host did not unload the module\n");
        km::UnloadDriver(Module.driver);
    }
    if (Module.control != nullptr) {
        ZwClose(Module.control);
    }
    Module = ModuleImage{};
    for (int index = 0; index < 2 * BenchVolumesPerKind; index++) {
        BenchVolume* volume =
            index < BenchVolumesPerKind ? &volumes->hosted[index] : &volumes->passThrough[index - BenchVolumesPerKind];
        if (volume->file != nullptr) {
            ObDereferenceObject(volume->file);
        }
        if (volume->handle != nullptr) {
            ZwClose(volume->handle);
        }
        // Every filter on the volume detaches as the volume device goes.
        if (volume->volume != nullptr && !NT_SUCCESS(km::DismountVolume(volume->storage))) {
            std::fprintf(stderr, "fsfilter_bench: a volume did not dismount\n");
        }
    }
    *volumes = BenchVolumes{};
}
