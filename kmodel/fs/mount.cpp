// Mounting and dismounting in the model's file systems: a mount request is served at once, held
// until the test completes it, handed to the system worker thread, or refused, as the file
// system's mount behaviour says; a mounted volume is an unnamed volume device named in the VPB.
// A dismount swaps the storage device's VPB for a fresh one (the next open mounts afresh) and the
// volume device goes at the last close of a file on it.
#include <chrono>

#include "fs/model_fs.h"
#include "internal/verifier.h"

namespace km::fs {

namespace {

void CompleteMount(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

NTSTATUS MountRequest(FileSystem* fs, PIRP irp)
{
    MountBehaviour behaviour;
    NTSTATUS refusal;
    {
        std::lock_guard<std::mutex> hold(fs->lock);
        fs->calls.mountRequests++;
        behaviour = fs->recognizer ? MountBehaviour::Refuse : fs->mount;
        refusal = fs->recognizer ? STATUS_UNRECOGNIZED_VOLUME : fs->refusal;
    }
    switch (behaviour) {
    case MountBehaviour::Mount: {
        NTSTATUS status = MountNow(fs, irp);
        CompleteMount(irp, status);
        return status;
    }
    case MountBehaviour::Pend: {
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> hold(fs->lock);
        fs->heldMounts.push_back(irp);
        fs->changed.notify_all();
        return STATUS_PENDING;
    }
    case MountBehaviour::PendOnWorker:
        IoMarkIrpPending(irp);
        QueueSystemWork([fs, irp] { CompleteMount(irp, MountNow(fs, irp)); });
        return STATUS_PENDING;
    case MountBehaviour::Refuse:
    default:
        CompleteMount(irp, refusal);
        return refusal;
    }
}

NTSTATUS MountNow(FileSystem* fs, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVPB vpb = stack->Parameters.MountVolume.Vpb;
    PDEVICE_OBJECT target = stack->Parameters.MountVolume.DeviceObject;
    PDEVICE_OBJECT storage = vpb->RealDevice;
    Medium* medium = MediumOfStorage(storage);
    if (medium == nullptr) {
        return STATUS_UNRECOGNIZED_VOLUME;  // no medium the model knows
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(fs->driver, sizeof(VolumeExtension), nullptr, fs->controls[0]->DeviceType, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags |= fs->options.volumeFlags;
    device->StackSize = static_cast<CCHAR>(target->StackSize + 1);
    auto volume = std::make_unique<Volume>();
    volume->fs = fs;
    volume->device = device;
    volume->storage = storage;
    volume->vpb = vpb;
    volume->medium = medium;
    static_cast<VolumeExtension*>(device->DeviceExtension)->volume = volume.get();
    {
        std::lock_guard<std::mutex> hold(io::VpbLock());
        vpb->DeviceObject = device;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard<std::mutex> hold(fs->lock);
    fs->volumes.push_back(std::move(volume));
    fs->calls.mounts++;
    return STATUS_SUCCESS;
}

NTSTATUS Dismount(Volume* volume)
{
    PVPB fresh = io::AllocateVpb(volume->storage);
    {
        std::lock_guard<std::mutex> hold(volume->lock);
        if (!volume->dismounted) {
            volume->dismounted = true;
            std::lock_guard<std::mutex> vpbHold(io::VpbLock());
            volume->vpb->Flags &= ~VPB_MOUNTED;
            if (volume->storage->Vpb == volume->vpb) {
                volume->storage->Vpb = fresh;
                fresh = nullptr;
            }
        }
    }
    if (fresh != nullptr) {
        io::FreeVpb(fresh);
    }
    return STATUS_SUCCESS;
}

void DeleteVolume(Volume* volume)
{
    FileSystem* fs = volume->fs;
    PDEVICE_OBJECT device = volume->device;
    PVPB vpb = volume->vpb;
    bool stillCurrent;
    {
        std::lock_guard<std::mutex> hold(io::VpbLock());
        device->DeviceObjectExtension->Vpb = nullptr;
        vpb->DeviceObject = nullptr;
        vpb->Flags &= ~VPB_MOUNTED;
        stillCurrent = volume->storage->Vpb == vpb;
    }
    if (!stillCurrent) {
        io::FreeVpb(vpb);
    }
    static_cast<VolumeExtension*>(device->DeviceExtension)->volume = nullptr;
    std::unique_ptr<Volume> record;
    {
        std::lock_guard<std::mutex> hold(fs->lock);
        for (auto it = fs->volumes.begin(); it != fs->volumes.end(); ++it) {
            if (it->get() == volume) {
                // Its IRPs stay in the file system's counts.
                for (size_t major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
                    fs->calls.irps[major] += volume->irps[major].load(std::memory_order_relaxed);
                }
                record = std::move(*it);
                fs->volumes.erase(it);
                break;
            }
        }
    }
    IoDeleteDevice(device);
}

}  // namespace km::fs

using namespace km::fs;

void km::SetMountBehaviour(FileSystem* fs, MountBehaviour behaviour, NTSTATUS refusal)
{
    std::lock_guard<std::mutex> hold(fs->lock);
    fs->mount = behaviour;
    fs->refusal = refusal;
}

bool km::WaitForPendedMounts(FileSystem* fs, size_t count, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(fs->lock);
    return fs->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                [fs, count] { return fs->heldMounts.size() >= count; });
}

void km::CompletePendedMount(FileSystem* fs, bool mount, NTSTATUS refusal)
{
    PIRP irp;
    {
        std::lock_guard<std::mutex> hold(fs->lock);
        if (fs->heldMounts.empty()) {
            KmModelMisuse("km::CompletePendedMount: the file system holds no mount request");
        }
        irp = fs->heldMounts.front();
        fs->heldMounts.pop_front();
    }
    CompleteMount(irp, mount ? MountNow(fs, irp) : refusal);
}
