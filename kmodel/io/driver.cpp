// Driver objects and driver loading: the driver object with its name, extension and 28 dispatch
// slots, DriverEntry on a System thread, unloading, and the verifier's account of what a failed
// or unloaded driver left behind.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "internal/ldr.h"
#include "internal/ps.h"
#include "internal/verifier.h"
#include "io/file_systems.h"
#include "internal/routines.h"
#include "io/io_manager.h"

namespace km::io {

namespace {

const char16_t DriverDirectory[] = u"\\Driver\\";
const char16_t ServicesKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const char16_t HardwareDatabaseKey[] = u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";

// Loaded drivers in load order. Guarded by ob::ModelLock.
std::vector<DriverRecord*>& Loaded()
{
    static auto* loaded = new std::vector<DriverRecord*>;
    return *loaded;
}

UNICODE_STRING& HardwareDatabase()
{
    static UNICODE_STRING name{static_cast<USHORT>(sizeof HardwareDatabaseKey - sizeof(WCHAR)),
                               static_cast<USHORT>(sizeof HardwareDatabaseKey),
                               const_cast<PWCH>(HardwareDatabaseKey)};
    return name;
}

void SetString(UNICODE_STRING* string, std::vector<WCHAR>* storage, const std::u16string& text)
{
    storage->assign(text.begin(), text.end());
    storage->push_back(0);  // not counted: a convenience for debuggers, as the loader does
    string->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    string->MaximumLength = string->Length;
    string->Buffer = text.empty() ? nullptr : storage->data();
}

void DriverLastReference(ob::ObjectHeader* header)
{
    auto* record = static_cast<DriverRecord*>(header->modelData);
    DeleteModelDriverState(record);
    delete record;
    free(header->body);
}

// Runs `body` on a new thread of the System process at PASSIVE_LEVEL and waits for it. The thread
// stands for the kernel's system worker thread that loads drivers, which exists already: the
// thread notify routines are not told of it.
void RunOnSystemThread(const std::function<void()>& body)
{
    km::Thread* thread = KmStartThread(km::SystemProcess(), body, false);
    km::JoinThread(thread);
}

std::u16string Widened(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string ServiceNameOf(const std::string& imagePath)
{
    std::string name = imagePath.substr(imagePath.find_last_of('/') + 1);
    name = name.substr(0, name.find('.'));
    return Widened(name);
}

// The devices still linked to the driver.
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
        devices.push_back(device);
    }
    return devices;
}

// What a driver that failed to start or was unloaded left behind, reported and released: its
// devices, the handles, references and IRPs its image holds, its pool.
void ReclaimDriverLeftovers(DriverRecord* record, const char* when)
{
    std::string lines = ReleaseFileSystemsOfDriver(record->driver, true);
    for (PDEVICE_OBJECT device : DevicesOf(record->driver)) {
        std::string name;
        {
            std::lock_guard<std::mutex> hold(ob::ModelLock());
            name = ob::DescribeLocked(ob::FindLocked(device));
        }
        lines += name + " not deleted\n";
        ForceDeleteDevice(device);
    }
    const void* image = record->imageBase;
    if (image != nullptr) {
        lines += KmRoutinesOfImage(image);
        {
            std::lock_guard<std::mutex> hold(ob::ModelLock());
            lines += ob::LinksCreatedByImageLocked(image, true);
        }
        lines += WorkItemsOfImage(image, true);
        lines += ob::HandlesHeldByImage(image, true);
        lines += IrpsAllocatedByImage(image, true);
        lines += ob::HeldReferences(image, false, true);
        lines += ReleasePoolOfImage(image, true);
        lines += KmPsReleaseNotifyRoutinesOfImage(image);
        lines += ReleaseFsChangeRoutinesOfImage(image, true);
    }
    if (lines.empty()) {
        return;
    }
    std::string report;
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        report += "driver " + record->display + " " + when + ": " + lines.substr(start, end - start) + "\n";
        start = end + 1;
    }
    AddDriverLeakLines(report);
}

// Removes the driver object and unloads its image.
void RetireDriver(DriverRecord* record)
{
    km::Image* image = record->image;
    const void* base = record->imageBase;
    DeleteDriverObject(record);
    if (base != nullptr) {
        ob::UnregisterDriverImage(base);
    }
    if (image != nullptr) {
        km::UnloadImage(image);
    }
}

}  // namespace

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CreateDriverObject(const std::u16string& name, DriverRecord** result)
{
    auto* driver = static_cast<PDRIVER_OBJECT>(calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION)));
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    driver->DriverExtension->DriverObject = driver;
    driver->HardwareDatabase = &HardwareDatabase();
    for (auto& slot : driver->MajorFunction) {
        slot = InvalidDeviceRequest;
    }
    auto* record = new DriverRecord;
    record->driver = driver;
    record->display = ob::Printable(name);
    SetString(&driver->DriverName, &record->nameStorage, name);

    ob::ObjectHeader* header = ob::Create(ob::ObjectKind::Driver, driver, DriverLastReference);
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    header->modelData = record;
    header->discard = DriverLastReference;
    // A name that is no path of the name space (empty, relative, in no directory) leaves the
    // driver unnamed there; only a taken name refuses the driver.
    if (!name.empty() && ob::InsertNameLocked(header, name) == STATUS_OBJECT_NAME_COLLISION) {
        ob::DereferenceLocked(header, false, nullptr);
        delete header;
        delete record;
        free(driver);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Loaded().push_back(record);
    *result = record;
    return STATUS_SUCCESS;
}

void DeleteDriverObject(DriverRecord* record)
{
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        ob::RemoveNameLocked(ob::FindLocked(record->driver));
        record->loaded = false;
        auto& loaded = Loaded();
        loaded.erase(std::remove(loaded.begin(), loaded.end(), record), loaded.end());
    }
    ob::DereferenceModel(record->driver);
}

DriverRecord* FindDriverLocked(const DRIVER_OBJECT* driver)
{
    ob::ObjectHeader* header = ob::FindLocked(driver);
    if (header == nullptr || header->kind != ob::ObjectKind::Driver) {
        return nullptr;
    }
    return static_cast<DriverRecord*>(header->modelData);
}

std::vector<DriverRecord*> LoadedDriversLocked() { return Loaded(); }

void TearDownLoadedDrivers()
{
    for (;;) {
        DriverRecord* record;
        {
            std::lock_guard<std::mutex> hold(ob::ModelLock());
            if (Loaded().empty()) {
                return;
            }
            record = Loaded().back();
        }
        // As at system shutdown: the driver is not asked to unload and what it holds is no leak.
        ReleaseFileSystemsOfDriver(record->driver, false);
        for (PDEVICE_OBJECT device : DevicesOf(record->driver)) {
            ForceDeleteDevice(device);
        }
        if (record->imageBase != nullptr) {
            ob::HeldReferences(record->imageBase, false, true);
            {
                std::lock_guard<std::mutex> hold(ob::ModelLock());
                ob::LinksCreatedByImageLocked(record->imageBase, true);
            }
            ReleasePoolOfImage(record->imageBase, false);
            KmPsReleaseNotifyRoutinesOfImage(record->imageBase);
            ReleaseFsChangeRoutinesOfImage(record->imageBase, false);
        }
        RetireDriver(record);
    }
}

}  // namespace km::io

using namespace km::io;
namespace ob = km::ob;

namespace km::io {

km::DriverLoadResult StartDriver(const std::string& imagePath, const std::u16string& service,
                                 const std::u16string& driverName, const std::u16string& registryPath,
                                 const std::function<void(km::Image*)>& beforeEntry)
{
    DriverLoadResult result;
    if (KmLdrIsLoaded(imagePath)) {
        result.status = STATUS_IMAGE_ALREADY_LOADED;
        result.error = imagePath + " is loaded already";
        return result;
    }
    km::Image* image = km::LoadImage(imagePath, &result.error);
    if (image == nullptr) {
        bool exists = access(imagePath.c_str(), F_OK) == 0;
        result.status = exists ? STATUS_INVALID_IMAGE_FORMAT : STATUS_OBJECT_NAME_NOT_FOUND;
        return result;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(km::ImageSymbol(image, "DriverEntry"));
    Dl_info info{};
    if (entry == nullptr || dladdr(reinterpret_cast<void*>(entry), &info) == 0) {
        result.error = imagePath + " has no DriverEntry";
        result.status = STATUS_INVALID_IMAGE_FORMAT;
        km::UnloadImage(image);
        return result;
    }
    DriverRecord* record;
    result.status = CreateDriverObject(driverName, &record);
    if (!NT_SUCCESS(result.status)) {
        result.status = STATUS_IMAGE_ALREADY_LOADED;
        result.error = "a driver named " + ob::Printable(driverName) + " is loaded";
        km::UnloadImage(image);
        return result;
    }
    record->image = image;
    record->imageBase = info.dli_fbase;
    ob::RegisterDriverImage(info.dli_fbase, "driver " + record->display);
    PDRIVER_OBJECT driver = record->driver;
    // The image's mapped range, as the loader gives every driver object.
    uintptr_t imageStart = 0;
    uintptr_t imageEnd = 0;
    KmLdrMappedRange(image, &imageStart, &imageEnd);
    driver->DriverStart = reinterpret_cast<PVOID>(imageStart);
    driver->DriverSize = static_cast<ULONG>(imageEnd - imageStart);
    driver->DriverSection = image;
    driver->DriverInit = entry;
    SetString(&driver->DriverExtension->ServiceKeyName, &record->serviceStorage, service);
    SetString(&record->registryPath, &record->registryStorage, registryPath);
    if (beforeEntry) {
        beforeEntry(image);
    }

    // As the loader names a driver image to the image-load notify routines: its path under
    // \SystemRoot, with the Windows extension.
    std::string file = imagePath.substr(imagePath.find_last_of('/') + 1);
    file = file.substr(0, file.rfind('.'));
    std::u16string fullImageName = u"\\SystemRoot\\System32\\drivers\\" + Widened(file) + u".sys";
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunOnSystemThread([&] {
        KmPsNotifySystemImageLoad(fullImageName, reinterpret_cast<void*>(imageStart), imageEnd - imageStart);
        status = entry(driver, &record->registryPath);
        KIRQL irql = KeGetCurrentIrql();
        if (irql != PASSIVE_LEVEL) {
            KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, 0, 0,
                       "DriverEntry of %s returned at IRQL %d", record->display.c_str(), irql);
        }
    });
    result.status = status;
    if (!NT_SUCCESS(status)) {
        char when[64];
        snprintf(when, sizeof when, "(DriverEntry failed with 0x%08X)", (unsigned)status);
        ReclaimDriverLeftovers(record, when);
        RetireDriver(record);
        return result;
    }
    // As the loader does for a driver that started: its devices are ready for requests.
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }
    result.driver = driver;
    result.image = image;
    return result;
}

NTSTATUS UnloadStartedDriver(DriverRecord* record)
{
    PDRIVER_OBJECT driver = record->driver;
    PDRIVER_UNLOAD unload = driver->DriverUnload;
    if (unload == nullptr || record->image == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    RunOnSystemThread([&] { unload(driver); });
    ReclaimDriverLeftovers(record, "(unloaded)");
    RetireDriver(record);
    return STATUS_SUCCESS;
}

}  // namespace km::io

km::DriverLoadResult km::LoadDriver(const std::string& imagePath, const DriverLoadOptions& options)
{
    std::u16string service = options.serviceName.empty() ? ServiceNameOf(imagePath) : options.serviceName;
    std::u16string name = options.driverName.has_value() ? *options.driverName : DriverDirectory + service;
    return StartDriver(imagePath, service, name, ServicesKey + service, options.beforeEntry);
}

std::string km::ImagePath(const std::string& fileName) { return ImageDirectory() + "/" + fileName; }

km::Image* km::DriverImage(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    DriverRecord* record = FindDriverLocked(driver);
    return record != nullptr && record->loaded ? record->image : nullptr;
}

NTSTATUS km::UnloadDriver(PDRIVER_OBJECT driver)
{
    DriverRecord* record;
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        record = FindDriverLocked(driver);
        if (record == nullptr || !record->loaded) {
            KmModelMisuse("km::UnloadDriver on %p, which is not a loaded driver", (void*)driver);
        }
    }
    return UnloadStartedDriver(record);
}
