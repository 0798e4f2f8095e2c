// The simulated machine: the model's standard file systems (recognizer, disk, CD-ROM, network
// redirector), the host loaded as a driver at boot right after them, the disk and CD-ROM volumes
// and network shares with a small tree of files each, and one more disk volume that the workload
// mounts and dismounts over and over. The host attaches to every volume as it mounts.
#include <vector>

#include "hostsim.h"

namespace hostsim {

namespace {

constexpr char16_t HostService[] = u"filterhost";
constexpr char16_t ShareRoot[] = u"\\Device\\ModelRdr\\server\\share";
constexpr ULONG FileBytes = 4096;
constexpr char16_t Folders[][8] = {u"\\docs", u"\\logs"};

std::u16string Number(unsigned value)
{
    std::string text = std::to_string(value);
    return std::u16string(text.begin(), text.end());
}

std::u16string NameOf(PDEVICE_OBJECT device)
{
    ULONG buffer[128];
    ULONG returned = 0;
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
    if (!NT_SUCCESS(ObQueryNameString(device, info, sizeof(buffer), &returned))) {
        return {};
    }
    return std::u16string(info->Name.Buffer, info->Name.Length / sizeof(char16_t));
}

// Writes the volume's files: FileBytes each, spread over two folders.
bool WriteFiles(const Scenario& scenario, Volume* volume, std::string* error)
{
    std::vector<uint8_t> data(FileBytes, 0x5A);
    for (unsigned index = 0; index < scenario.filesPerVolume; index += 1) {
        std::u16string name = volume->root + Folders[index % 2] + u"\\file" + Number(index) + u".dat";
        km::OpenResult opened = km::CreateFile(name, FILE_OVERWRITE_IF);
        if (!NT_SUCCESS(opened.status)) {
            *error = "creating a file failed";
            return false;
        }
        km::FileIoResult written = km::WriteFile(opened.handle, 0, data.data(), FileBytes);
        ZwClose(opened.handle);
        if (!NT_SUCCESS(written.status)) {
            *error = "writing a file failed";
            return false;
        }
        volume->files.push_back(name);
    }
    return true;
}

bool AddStorageVolume(const Scenario& scenario, Machine* machine, km::StorageType type, std::string* error)
{
    Volume volume;
    volume.storage = km::CreateStorageDevice(type);
    if (volume.storage == nullptr || !NT_SUCCESS(km::MountVolume(volume.storage))) {
        *error = "mounting a volume failed";
        return false;
    }
    volume.root = NameOf(volume.storage);
    volume.writable = type == km::StorageType::Disk;  // a CD-ROM is only read (its files are put there once)
    PDEVICE_OBJECT mounted = km::MountedVolume(volume.storage);
    if (mounted == nullptr || mounted->AttachedDevice == nullptr || mounted->AttachedDevice->DriverObject != machine->host) {
        *error = "the host did not attach to a mounted volume";
        return false;
    }
    if (!WriteFiles(scenario, &volume, error)) {
        return false;
    }
    machine->volumes.push_back(std::move(volume));
    return true;
}

}  // namespace

bool BuildMachine(const Scenario& scenario, Machine* machine, std::string* error)
{
    machine->fileSystems = km::StartStandardFileSystems();
    km::DriverLoadResult host = km::LoadDriver(km::ImagePath("host.so"), {HostService, {}, {}});
    if (!NT_SUCCESS(host.status)) {
        *error = "loading the host failed: " + (host.error.empty() ? std::to_string(host.status) : host.error);
        return false;
    }
    machine->host = host.driver;
    for (unsigned index = 0; index < scenario.disks; index += 1) {
        if (!AddStorageVolume(scenario, machine, km::StorageType::Disk, error)) {
            return false;
        }
    }
    for (unsigned index = 0; index < scenario.cdroms; index += 1) {
        if (!AddStorageVolume(scenario, machine, km::StorageType::CdRom, error)) {
            return false;
        }
    }
    for (unsigned index = 0; index < scenario.shares; index += 1) {
        Volume share;
        share.root = ShareRoot + Number(index + 1);
        if (!WriteFiles(scenario, &share, error)) {
            return false;
        }
        machine->volumes.push_back(std::move(share));
    }
    machine->churnStorage = km::CreateStorageDevice(km::StorageType::Disk);
    if (machine->churnStorage == nullptr) {
        *error = "creating the storage device to mount and dismount failed";
        return false;
    }
    return true;
}

FileSystemArrivals CountArrivals(const Machine& machine)
{
    FileSystemArrivals arrivals;
    const km::StandardFileSystems& fs = machine.fileSystems;
    for (km::FileSystem* fileSystem : {fs.fat, fs.cdfs, fs.rdr}) {
        bool network = fileSystem == fs.rdr;
        km::FileSystemCalls calls = km::CallsOf(fileSystem);
        for (unsigned major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major += 1) {
            (network ? arrivals.networkIrps : arrivals.irps) += major == IRP_MJ_FILE_SYSTEM_CONTROL ? 0 : calls.irps[major];
        }
        for (uint64_t count : calls.fastIo) {
            (network ? arrivals.networkFastIo : arrivals.fastIo) += count;
        }
    }
    return arrivals;
}

void TearDownMachine(Machine* machine)
{
    for (Volume& volume : machine->volumes) {
        if (volume.storage != nullptr) {
            km::DeleteStorageDevice(volume.storage);
        }
    }
    if (machine->churnStorage != nullptr) {
        km::DeleteStorageDevice(machine->churnStorage);
    }
    machine->volumes.clear();
    machine->churnStorage = nullptr;
}

}  // namespace hostsim
