// The smallest legacy filter there is, as a yardstick for the host's own cost: every request skips
// its stack location and goes to the device below, and a fast read goes to the FastIoRead of the
// driver below. The benchmark attaches it with PassThroughAttach; the device extension holds the
// device below. When that device is deleted (a dismounted volume) the filter device detaches and
// goes. The same driver also makes the bottom of the benchmark's stacks: a sink device (nothing
// below) completes every request at once.
#include "base/platform.h"
#include "support/module_kit.h"

namespace {

PDRIVER_OBJECT PassThroughDriver;
FAST_IO_DISPATCH PassThroughFastIo;

struct PassThroughExtension {
    PDEVICE_OBJECT Lower;
};

NTSTATUS PassThroughDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PassThroughExtension* extension = static_cast<PassThroughExtension*>(DeviceObject->DeviceExtension);
    if (extension->Lower == nullptr) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(extension->Lower, Irp);
}

// A fast read: the lower driver's member with the lower device, or not handled (an IRP follows)
// when there is no device below or its driver's table has no FastIoRead.
BOOLEAN NTAPI PassThroughFastIoRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait,
                                    ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT lower = static_cast<PassThroughExtension*>(DeviceObject->DeviceExtension)->Lower;
    PFAST_IO_DISPATCH fastIo = KitFastIoWith(lower, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoRead));
    if (fastIo == nullptr) {
        return FALSE;
    }
    return fastIo->FastIoRead(FileObject, FileOffset, Length, Wait, LockKey, Buffer, IoStatus, lower);
}

// The device below (TargetDevice) is being deleted: the filter device detaches and goes. Called by
// the I/O manager at PASSIVE_LEVEL.
void NTAPI PassThroughFastIoDetachDevice(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    IoDetachDevice(TargetDevice);
    IoDeleteDevice(SourceDevice);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = PassThroughDispatch;
    }
    PassThroughFastIo.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    PassThroughFastIo.FastIoRead = PassThroughFastIoRead;
    PassThroughFastIo.FastIoDetachDevice = PassThroughFastIoDetachDevice;
    DriverObject->FastIoDispatch = &PassThroughFastIo;
    PassThroughDriver = DriverObject;
    return STATUS_SUCCESS;
}

// Creates a sink device of the given type: the bottom of a stack.
extern "C" NTSTATUS PassThroughCreateSink(DEVICE_TYPE Type, PDEVICE_OBJECT* Sink)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(PassThroughDriver, sizeof(PassThroughExtension), nullptr, Type, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    static_cast<PassThroughExtension*>(device->DeviceExtension)->Lower = nullptr;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *Sink = device;
    return STATUS_SUCCESS;
}

// Creates a filter device of the target's type and attaches it on top of the target's stack.
extern "C" NTSTATUS PassThroughAttach(PDEVICE_OBJECT Target, PDEVICE_OBJECT* Filter)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(PassThroughDriver, sizeof(PassThroughExtension), nullptr, Target->DeviceType, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PassThroughExtension* extension = static_cast<PassThroughExtension*>(device->DeviceExtension);
    status = IoAttachDeviceToDeviceStackSafe(device, Target, &extension->Lower);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *Filter = device;
    return STATUS_SUCCESS;
}

// Detaches and deletes a device made by PassThroughAttach.
extern "C" void PassThroughDetach(PDEVICE_OBJECT Filter)
{
    PassThroughExtension* extension = static_cast<PassThroughExtension*>(Filter->DeviceExtension);
    IoDetachDevice(extension->Lower);
    IoDeleteDevice(Filter);
}
