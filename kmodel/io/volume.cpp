// Volume parameter blocks and IoGetDiskDeviceObject: a storage device's VPB ties it to the volume
// device of the file system that mounted it; the VPB lock guards that tie.
#include <set>

#include "internal/verifier.h"
#include "io/file_systems.h"

namespace km::io {

namespace {

struct VpbTable {
    std::mutex lock;  // the VPB lock
    std::set<PVPB> live;
};

VpbTable& Vpbs()
{
    static auto* table = new VpbTable;
    return *table;
}

}  // namespace

std::mutex& VpbLock() { return Vpbs().lock; }

PVPB AllocateVpb(PDEVICE_OBJECT realDevice)
{
    auto* vpb = new VPB{};
    vpb->Type = IO_TYPE_VPB;
    vpb->Size = sizeof(VPB);
    vpb->RealDevice = realDevice;
    std::lock_guard<std::mutex> hold(VpbLock());
    Vpbs().live.insert(vpb);
    return vpb;
}

void FreeVpb(PVPB vpb)
{
    {
        std::lock_guard<std::mutex> hold(VpbLock());
        Vpbs().live.erase(vpb);
    }
    delete vpb;
}

void FreeAllVpbs()
{
    std::set<PVPB> live;
    {
        std::lock_guard<std::mutex> hold(VpbLock());
        live.swap(Vpbs().live);
    }
    for (PVPB vpb : live) {
        delete vpb;
    }
}

}  // namespace km::io

using namespace km::io;
namespace ob = km::ob;

// The storage device under a file system's volume device, referenced for the caller.
// STATUS_INVALID_PARAMETER for a device that is no mounted file-system volume (a storage device,
// a control device, a filter, a deleted device); STATUS_VOLUME_DISMOUNTED once its volume is
// dismounted.
extern "C" NTSTATUS NTAPI IoGetDiskDeviceObject(PDEVICE_OBJECT FileSystemDeviceObject, PDEVICE_OBJECT* DiskDeviceObject)
{
    const void* holder = ob::ImageContaining(__builtin_return_address(0));
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    ob::ObjectHeader* header = ob::FindLocked(FileSystemDeviceObject);
    if (header == nullptr || header->kind != ob::ObjectKind::Device) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckUnknownDevice, (ULONG_PTR)FileSystemDeviceObject, 0,
                   0, "IoGetDiskDeviceObject on %p, which is not a live device object",
                   (void*)FileSystemDeviceObject);
    }
    _DEVOBJ_EXTENSION* extension = FileSystemDeviceObject->DeviceObjectExtension;
    if (FileSystemDeviceObject->Vpb != nullptr || extension->DeletePending) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT real;
    {
        std::lock_guard<std::mutex> vpbHold(VpbLock());
        PVPB vpb = extension->Vpb;
        if (vpb == nullptr || vpb->RealDevice == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if ((vpb->Flags & VPB_MOUNTED) == 0) {
            return STATUS_VOLUME_DISMOUNTED;
        }
        real = vpb->RealDevice;
    }
    ob::ObjectHeader* realHeader = ob::FindLocked(real);
    if (realHeader == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ob::ReferenceLocked(realHeader, true, holder);
    *DiskDeviceObject = real;
    return STATUS_SUCCESS;
}
