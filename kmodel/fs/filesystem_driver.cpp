// The model's file-system drivers: starting one (its driver object "\FileSystem\<name>", its
// named control device, its fast I/O table), registering and unregistering it, stopping it, the
// Fs_Rec recognizer, what tests read about them, and their life with the model.
#include <cstdlib>

#include "fs/model_fs.h"
#include "internal/verifier.h"

namespace km::fs {

namespace {

const char16_t FileSystemDirectory[] = u"\\FileSystem\\";
const char16_t DeviceDirectory[] = u"\\Device\\";
const char16_t RecognizerName[] = u"Fs_Rec";
const char16_t DiskRecognizerDevice[] = u"\\FileSystem\\FatDiskRecognizer";
const char16_t CdRomRecognizerDevice[] = u"\\FileSystem\\CdfsRecognizer";

const char16_t* DefaultName(FileSystemType type)
{
    switch (type) {
    case FileSystemType::Disk:
        return u"ModelFat";
    case FileSystemType::CdRom:
        return u"ModelCdfs";
    case FileSystemType::Network:
    default:
        return u"ModelRdr";
    }
}

DEVICE_TYPE ControlDeviceType(FileSystemType type)
{
    switch (type) {
    case FileSystemType::Disk:
        return FILE_DEVICE_DISK_FILE_SYSTEM;
    case FileSystemType::CdRom:
        return FILE_DEVICE_CD_ROM_FILE_SYSTEM;
    case FileSystemType::Network:
    default:
        return FILE_DEVICE_NETWORK_FILE_SYSTEM;
    }
}

// A driver object whose every major function is the file systems' dispatch routine.
FileSystem* NewFileSystem(const FileSystemOptions& options, const std::u16string& driverName, bool recognizer)
{
    io::DriverRecord* record;
    if (!NT_SUCCESS(io::CreateDriverObject(driverName, &record))) {
        KmModelMisuse("a driver named %s is already loaded", ob::Printable(driverName).c_str());
    }
    for (auto& slot : record->driver->MajorFunction) {
        slot = FileSystemDispatch;
    }
    auto owned = std::make_unique<FileSystem>();
    FileSystem* fs = owned.get();
    fs->options = options;
    fs->recognizer = recognizer;
    fs->record = record;
    fs->driver = record->driver;
    fs->mount = options.mount;
    fs->refusal = options.refusal;
    fs->fastIoTable = recognizer ? nullptr : BuildFastIoTable(options);
    fs->driver->FastIoDispatch = static_cast<PFAST_IO_DISPATCH>(fs->fastIoTable);
    // Held while the record lives, so that no other driver object takes its address meanwhile.
    ob::ReferenceModel(fs->driver);
    ModelState& state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    auto table = std::make_unique<DriverTable>();
    if (const DriverTable* current = state.drivers.load(std::memory_order_relaxed)) {
        table->entries = current->entries;
    }
    table->entries.emplace_back(fs->driver, fs);
    state.drivers.store(table.get(), std::memory_order_release);
    state.driverTables.push_back(std::move(table));
    state.fileSystems.push_back(std::move(owned));
    return fs;
}

// A named control device, ready for requests.
void AddControlDevice(FileSystem* fs, const std::u16string& name, DEVICE_TYPE type)
{
    UNICODE_STRING counted{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                           static_cast<USHORT>(name.size() * sizeof(WCHAR)), const_cast<PWCH>(name.data())};
    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status =
        IoCreateDevice(fs->driver, 0, &counted, type, fs->options.controlCharacteristics, FALSE, &control);
    if (!NT_SUCCESS(status)) {
        KmModelMisuse("the control device %s could not be created: 0x%08X", ob::Printable(name).c_str(),
                      (unsigned)status);
    }
    control->Flags |= fs->options.controlFlags;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    fs->controls.push_back(control);
}

void RequireRunning(FileSystem* fs, const char* routine)
{
    if (fs == nullptr || fs->stopped) {
        KmModelMisuse("%s on a file system that is %s", routine, fs == nullptr ? "null" : "stopped");
    }
}

}  // namespace

ModelState& State()
{
    static auto* state = new ModelState;
    return *state;
}

// Any thread, no lock: reads the published table.
FileSystem* FileSystemOfDriver(const DRIVER_OBJECT* driver)
{
    const DriverTable* table = State().drivers.load(std::memory_order_acquire);
    if (table == nullptr) {
        return nullptr;
    }
    for (const auto& entry : table->entries) {
        if (entry.first == driver) {
            return entry.second;
        }
    }
    return nullptr;
}

Volume* VolumeOfDevice(FileSystem* fs, PDEVICE_OBJECT device)
{
    if (device == nullptr || IsControlDevice(fs, device)) {
        return nullptr;
    }
    return static_cast<VolumeExtension*>(device->DeviceExtension)->volume;
}

namespace {

// Under the volume's lock: whether the open is one of the volume's.
OpenFile* OpenOnVolume(Volume* volume, const void* context, bool* dismounted)
{
    std::lock_guard<std::mutex> hold(volume->lock);
    auto found = volume->opens.find(static_cast<OpenFile*>(const_cast<void*>(context)));
    if (found == volume->opens.end()) {
        return nullptr;
    }
    *dismounted = volume->dismounted;
    return *found;
}

}  // namespace

OpenFile* LiveOpen(FileSystem* fs, Volume* hint, const void* context, bool* dismounted)
{
    *dismounted = false;
    if (context == nullptr) {
        return nullptr;
    }
    if (hint != nullptr) {
        if (OpenFile* open = OpenOnVolume(hint, context, dismounted)) {
            return open;
        }
    }
    std::lock_guard<std::mutex> hold(fs->lock);
    auto found = fs->opens.find(static_cast<OpenFile*>(const_cast<void*>(context)));
    if (found != fs->opens.end()) {
        return *found;
    }
    for (auto& volume : fs->volumes) {
        if (volume.get() == hint) {
            continue;
        }
        if (OpenFile* open = OpenOnVolume(volume.get(), context, dismounted)) {
            return open;
        }
    }
    return nullptr;
}

bool RemoveOpen(FileSystem* fs, OpenFile* open, bool* lastOfDismounted)
{
    *lastOfDismounted = false;
    Volume* volume = open->volume;
    if (volume == nullptr) {
        std::lock_guard<std::mutex> hold(fs->lock);
        return fs->opens.erase(open) != 0;
    }
    std::lock_guard<std::mutex> hold(volume->lock);
    if (volume->opens.erase(open) == 0) {
        return false;
    }
    *lastOfDismounted = --volume->openFiles == 0 && volume->dismounted;
    return true;
}

bool IsControlDevice(FileSystem* fs, PDEVICE_OBJECT device)
{
    for (PDEVICE_OBJECT control : fs->controls) {
        if (control == device) {
            return true;
        }
    }
    return false;
}

}  // namespace km::fs

using namespace km::fs;

km::FileSystem* km::StartFileSystem(const FileSystemOptions& options)
{
    std::u16string name = options.name.empty() ? DefaultName(options.type) : options.name;
    FileSystem* fs = NewFileSystem(options, FileSystemDirectory + name, false);
    bool network = options.type == FileSystemType::Network;
    DEVICE_TYPE type = options.controlDeviceType != 0 ? options.controlDeviceType : ControlDeviceType(options.type);
    AddControlDevice(fs, (network ? DeviceDirectory : u"\\") + name, type);
    if (options.registerNow) {
        RegisterFileSystem(fs);
    }
    return fs;
}

km::FileSystem* km::StartRecognizer()
{
    FileSystemOptions options;
    options.fastIo = FastIoTableKind::Missing;
    options.mount = MountBehaviour::Refuse;
    FileSystem* fs = NewFileSystem(options, std::u16string(FileSystemDirectory) + RecognizerName, true);
    AddControlDevice(fs, DiskRecognizerDevice, FILE_DEVICE_DISK_FILE_SYSTEM);
    AddControlDevice(fs, CdRomRecognizerDevice, FILE_DEVICE_CD_ROM_FILE_SYSTEM);
    RegisterFileSystem(fs);
    return fs;
}

km::StandardFileSystems km::StartStandardFileSystems()
{
    StandardFileSystems standard{};
    standard.recognizer = StartRecognizer();
    FileSystemOptions options;
    options.type = FileSystemType::Disk;
    standard.fat = StartFileSystem(options);
    options.type = FileSystemType::CdRom;
    standard.cdfs = StartFileSystem(options);
    options.type = FileSystemType::Network;
    standard.rdr = StartFileSystem(options);
    return standard;
}

PDRIVER_OBJECT km::FileSystemDriver(FileSystem* fs) { return fs->driver; }

PDEVICE_OBJECT km::FileSystemControlDevice(FileSystem* fs) { return fs->controls.front(); }

std::vector<PDEVICE_OBJECT> km::FileSystemControlDevices(FileSystem* fs) { return fs->controls; }

void km::RegisterFileSystem(FileSystem* fs)
{
    RequireRunning(fs, "km::RegisterFileSystem");
    if (fs->registered) {
        KmModelMisuse("km::RegisterFileSystem: the file system is registered already");
    }
    fs->registered = true;
    for (PDEVICE_OBJECT control : fs->controls) {
        IoRegisterFileSystem(control);
    }
}

void km::UnregisterFileSystem(FileSystem* fs)
{
    RequireRunning(fs, "km::UnregisterFileSystem");
    if (!fs->registered) {
        KmModelMisuse("km::UnregisterFileSystem: the file system is not registered");
    }
    fs->registered = false;
    for (PDEVICE_OBJECT control : fs->controls) {
        IoUnregisterFileSystem(control);
    }
}

void km::StopFileSystem(FileSystem* fs)
{
    RequireRunning(fs, "km::StopFileSystem");
    {
        std::lock_guard<std::mutex> hold(fs->lock);
        if (!fs->volumes.empty()) {
            KmModelMisuse("km::StopFileSystem: the file system still has %zu volume(s)", fs->volumes.size());
        }
    }
    if (fs->registered) {
        UnregisterFileSystem(fs);
    }
    for (PDEVICE_OBJECT control : fs->controls) {
        IoDeleteDevice(control);
    }
    // The record stays (and its driver's requests still find it: a close may come late).
    fs->stopped = true;
    io::DeleteDriverObject(fs->record);
}

void km::SetFastIoDeclines(FileSystem* fs, bool declines)
{
    std::lock_guard<std::mutex> hold(fs->lock);
    fs->fastIoDeclines = declines;
}

// The file system's counts with the IRPs its mounted volumes counted themselves.
km::FileSystemCalls km::CallsOf(FileSystem* fs)
{
    std::lock_guard<std::mutex> hold(fs->lock);
    FileSystemCalls calls = fs->calls;
    for (auto& volume : fs->volumes) {
        for (size_t major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
            calls.irps[major] += volume->irps[major].load(std::memory_order_relaxed);
        }
    }
    return calls;
}

void km::ResetFileSystemCalls(FileSystem* fs)
{
    std::lock_guard<std::mutex> hold(fs->lock);
    fs->calls = FileSystemCalls{};
    for (auto& volume : fs->volumes) {
        for (auto& count : volume->irps) {
            count.store(0, std::memory_order_relaxed);
        }
    }
}

km::FileSystem* km::FileSystemOf(PDEVICE_OBJECT device) { return FileSystemOfDriver(device->DriverObject); }

// ---- Life with the model -------------------------------------------------------------------------

void km::io::BootModelFileSystems()
{
    ModelState& state = State();
    std::lock_guard<std::mutex> hold(state.lock);
    state.fileSystems.clear();
    state.drivers.store(nullptr, std::memory_order_release);
    state.driverTables.clear();
    state.media.clear();
    state.storageNames.clear();
    state.storageDriver = nullptr;
    state.nextDisk = 1;
    state.nextCdRom = 0;
}

void km::io::StopModelFileSystemWorker() { StopSystemWorker(); }

// After the drivers went: their records, tables, opens left without a close, and the media.
void km::io::ForgetModelFileSystems()
{
    std::vector<std::unique_ptr<FileSystem>> fileSystems;
    {
        std::lock_guard<std::mutex> hold(State().lock);
        fileSystems.swap(State().fileSystems);
    }
    for (auto& fs : fileSystems) {
        for (fs::OpenFile* open : fs->opens) {
            delete open;
        }
        for (auto& volume : fs->volumes) {
            for (fs::OpenFile* open : volume->opens) {
                delete open;
            }
        }
        ob::DereferenceModel(fs->driver);
        free(fs->fastIoTable);
    }
    fileSystems.clear();
    BootModelFileSystems();
}
