// The driver services: ZwLoadDriver and ZwUnloadDriver (and their Nt* forms), which find a driver
// through its service key. Loading reads "ImagePath" and "Type", maps the image path onto the
// model's image directory, and starts the driver as km::LoadDriver does, with the service key's
// path as its registry path; unloading finds the driver object the service key names and calls
// its unload routine. Loads and unloads run one at a time, as the kernel's driver load lock makes
// them (a DriverEntry that loads another driver waits forever, on Windows too).
#include <dirent.h>
#include <strings.h>

#include "cm/hive.h"
#include "internal/verifier.h"
#include "io/io_manager.h"

namespace km::io {

namespace {

const char16_t DriversDirectory[] = u"\\SystemRoot\\System32\\drivers\\";
// A relative ImagePath is taken relative to \SystemRoot.
const char16_t RelativeDriversDirectory[] = u"System32\\drivers\\";
const char16_t DriverImageExtension[] = u".SYS";
const char ModelImageExtension[] = ".so";
const char16_t DriverDirectory[] = u"\\Driver\\";
const char16_t FileSystemDirectory[] = u"\\FileSystem\\";
constexpr char16_t Separator = u'\\';

std::mutex& DriverLoadLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

struct ServiceKey {
    std::u16string service;    // the last component of the key's path
    std::u16string imagePath;  // empty when the key has none
    ULONG type = SERVICE_KERNEL_DRIVER;
};

// Reads the service key of that full path: STATUS_OBJECT_NAME_NOT_FOUND (or the lookup's other
// failures) when there is none. A missing or mistyped "ImagePath" or "Type" takes its default.
NTSTATUS ReadServiceKey(const std::u16string& path, ServiceKey* key)
{
    std::lock_guard<std::mutex> hold(cm::HiveLock());
    cm::Resolution found = cm::ResolveLocked(nullptr, path);
    if (found.key == nullptr) {
        return found.status;
    }
    key->service = path.substr(path.find_last_of(Separator) + 1);
    const cm::Value* image = cm::FindValueLocked(*found.key, u"ImagePath");
    if (image != nullptr && (image->type == REG_SZ || image->type == REG_EXPAND_SZ)) {
        key->imagePath.assign(reinterpret_cast<const char16_t*>(image->data.data()), image->data.size() / sizeof(WCHAR));
        key->imagePath.erase(key->imagePath.find_last_not_of(u'\0') + 1);
    }
    const cm::Value* type = cm::FindValueLocked(*found.key, u"Type");
    if (type != nullptr && type->type == REG_DWORD && type->data.size() == sizeof(ULONG)) {
        memcpy(&key->type, type->data.data(), sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

std::u16string DriverObjectName(const ServiceKey& key)
{
    bool fileSystem = key.type == SERVICE_FILE_SYSTEM_DRIVER || key.type == SERVICE_RECOGNIZER_DRIVER;
    return (fileSystem ? FileSystemDirectory : DriverDirectory) + key.service;
}

// Maps an ImagePath onto a file of the image directory (see km::ImageDirectory): the model's
// \SystemRoot\System32\drivers, which has no subdirectories; "x.sys" there is the model image
// "x.so", names compared case-insensitively. Any other directory is one the model does not have.
NTSTATUS MapImagePath(const std::u16string& imagePath, std::string* file)
{
    std::u16string upper = cm::Upcased(imagePath);
    std::u16string name;
    for (const std::u16string& directory : {std::u16string(DriversDirectory), std::u16string(RelativeDriversDirectory)}) {
        if (upper.compare(0, directory.size(), cm::Upcased(directory)) == 0) {
            name = imagePath.substr(directory.size());
            break;
        }
    }
    if (name.empty() || name.find(Separator) != std::u16string::npos) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::string narrow;
    for (char16_t c : name) {
        if (c == u'/' || c < u' ' || c > 0x7E) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        narrow += static_cast<char>(c);
    }
    size_t extension = sizeof DriverImageExtension / sizeof(char16_t) - 1;
    if (name.size() > extension && cm::Upcased(name.substr(name.size() - extension)) == DriverImageExtension) {
        narrow = narrow.substr(0, narrow.size() - extension) + ModelImageExtension;
    }
    // File names compare case-insensitively, as on Windows.
    std::string directory = km::ImageDirectory();
    DIR* listing = opendir(directory.c_str());
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    while (listing != nullptr && status != STATUS_SUCCESS) {
        const dirent* entry = readdir(listing);
        if (entry == nullptr) {
            break;
        }
        if (strcasecmp(entry->d_name, narrow.c_str()) == 0) {
            *file = directory + "/" + entry->d_name;
            status = STATUS_SUCCESS;
        }
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    return status;
}

// The driver record of the loaded driver of that object name, or null.
DriverRecord* FindLoadedDriver(const std::u16string& name)
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    ob::LookupResult found = ob::LookupLocked(name);
    if (!NT_SUCCESS(found.status) || !found.remaining.empty() || found.object->kind != ob::ObjectKind::Driver) {
        return nullptr;
    }
    DriverRecord* record = FindDriverLocked(static_cast<PDRIVER_OBJECT>(found.object->body));
    return record != nullptr && record->loaded ? record : nullptr;
}

// The checks both services make first: PASSIVE_LEVEL, a name, and from user mode the privilege.
NTSTATUS CheckServiceCall(PUNICODE_STRING serviceName, KPROCESSOR_MODE mode, const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, 0, 0, "%s at IRQL %u", routine, irql);
    }
    if (mode == UserMode && !SeSinglePrivilegeCheck(RtlConvertLongToLuid(SE_LOAD_DRIVER_PRIVILEGE), UserMode)) {
        return STATUS_PRIVILEGE_NOT_HELD;
    }
    return serviceName == nullptr ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS LoadDriverService(PUNICODE_STRING serviceName, KPROCESSOR_MODE mode)
{
    NTSTATUS status = CheckServiceCall(serviceName, mode, "ZwLoadDriver");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string path = ob::ToString(serviceName);
    std::lock_guard<std::mutex> serialised(DriverLoadLock());
    ServiceKey key;
    status = ReadServiceKey(path, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string driverName = DriverObjectName(key);
    if (FindLoadedDriver(driverName) != nullptr) {
        return STATUS_IMAGE_ALREADY_LOADED;
    }
    std::string file;
    status = MapImagePath(key.imagePath.empty() ? DriversDirectory + key.service + u".sys" : key.imagePath, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return StartDriver(file, key.service, driverName, path, nullptr).status;
}

// The unload calls made since boot, for km::DriverServiceUnloads.
struct UnloadCallLog {
    std::mutex Lock;
    std::vector<km::DriverServiceUnload> Calls;
};

UnloadCallLog& UnloadCalls()
{
    static UnloadCallLog* log = new UnloadCallLog;
    return *log;
}

NTSTATUS UnloadDriverServiceLocked(const std::u16string& path)
{
    std::lock_guard<std::mutex> serialised(DriverLoadLock());
    ServiceKey key;
    NTSTATUS status = ReadServiceKey(path, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DriverRecord* record = FindLoadedDriver(DriverObjectName(key));
    return record != nullptr ? UnloadStartedDriver(record) : STATUS_OBJECT_NAME_NOT_FOUND;
}

// Unloads the service's driver and logs the call: when it came (before waiting for the driver
// load lock) and how it ended.
NTSTATUS UnloadDriverService(PUNICODE_STRING serviceName, KPROCESSOR_MODE mode)
{
    NTSTATUS status = CheckServiceCall(serviceName, mode, "ZwUnloadDriver");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string path = ob::ToString(serviceName);
    km::DriverServiceUnload call;
    call.service = path.substr(path.find_last_of(u'\\') == std::u16string::npos ? 0 : path.find_last_of(u'\\') + 1);
    call.called100ns = km::Now100ns();
    status = UnloadDriverServiceLocked(path);
    call.status = status;
    UnloadCallLog& log = UnloadCalls();
    std::lock_guard<std::mutex> guard(log.Lock);
    log.Calls.push_back(std::move(call));
    return status;
}

}  // namespace

}  // namespace km::io

using namespace km::io;

std::vector<km::DriverServiceUnload> km::DriverServiceUnloads()
{
    UnloadCallLog& log = UnloadCalls();
    std::lock_guard<std::mutex> guard(log.Lock);
    return log.Calls;
}

// Forgets the previous boot's unload calls.
void km::io::ForgetDriverServiceUnloads()
{
    UnloadCallLog& log = UnloadCalls();
    std::lock_guard<std::mutex> guard(log.Lock);
    log.Calls.clear();
}

// Loads the driver of the service key, from kernel mode. STATUS_IMAGE_ALREADY_LOADED when its
// driver object exists (or its image is loaded for another service); otherwise DriverEntry's
// status, or why the key or the image could not be found or loaded.
extern "C" NTSTATUS NTAPI ZwLoadDriver(PUNICODE_STRING DriverServiceName)
{
    PreviousModeScope kernel(KernelMode);
    return LoadDriverService(DriverServiceName, KernelMode);
}

// ZwLoadDriver for the calling thread's previous mode.
extern "C" NTSTATUS NTAPI NtLoadDriver(PUNICODE_STRING DriverServiceName)
{
    return LoadDriverService(DriverServiceName, CurrentPreviousMode());
}

// Unloads the driver of the service key through its unload routine, from kernel mode.
// STATUS_OBJECT_NAME_NOT_FOUND when the key or the loaded driver is missing,
// STATUS_INVALID_DEVICE_REQUEST when the driver has no unload routine (it stays).
extern "C" NTSTATUS NTAPI ZwUnloadDriver(PUNICODE_STRING DriverServiceName)
{
    PreviousModeScope kernel(KernelMode);
    return UnloadDriverService(DriverServiceName, KernelMode);
}

// ZwUnloadDriver for the calling thread's previous mode.
extern "C" NTSTATUS NTAPI NtUnloadDriver(PUNICODE_STRING DriverServiceName)
{
    return UnloadDriverService(DriverServiceName, CurrentPreviousMode());
}
