// Device objects: creation, name collisions, injected failures, deletion while referenced, the
// attachment stack and the detach call a filter gets when the device below it goes.
#include <vector>

#include "io_test_util.h"

namespace {

using IoDeviceTest = KernelTest;

PDEVICE_OBJECT CreateOn(PDRIVER_OBJECT driver, const std::u16string& name, ULONG extensionSize, NTSTATUS* status)
{
    UNICODE_STRING counted = Counted(name);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    *status = IoCreateDevice(driver, extensionSize, name.empty() ? nullptr : &counted, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &device);
    return device;
}

TEST_F(IoDeviceTest, NewDeviceIsInitialisingWithAZeroedExtensionRightAfterIt)
{
    NTSTATUS status;
    PDEVICE_OBJECT device = CreateOn(km::ModelDriver(), u"\\Device\\Fresh", 24, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
    EXPECT_EQ(device->DriverObject, km::ModelDriver());
    EXPECT_EQ(device->Flags, ULONG(DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(device->DeviceExtension, static_cast<void*>(device + 1));
    EXPECT_EQ(device->AttachedDevice, nullptr);
    std::vector<uint8_t> zeros(24, 0);
    EXPECT_EQ(memcmp(device->DeviceExtension, zeros.data(), 24), 0);
    EXPECT_EQ(km::ModelDriver()->DeviceObject, device) << "a new device goes to the head of the driver's list";

    PDEVICE_OBJECT plain = CreateOn(km::ModelDriver(), u"", 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(plain->DeviceExtension, nullptr);
    EXPECT_EQ(plain->NextDevice, device);
    IoDeleteDevice(plain);
    IoDeleteDevice(device);
    EXPECT_EQ(km::ModelDriver()->DeviceObject, nullptr);
}

TEST_F(IoDeviceTest, ATakenNameIsRefusedAndFreedAgainByDeletion)
{
    NTSTATUS status;
    PDEVICE_OBJECT first = CreateOn(km::ModelDriver(), u"\\Device\\Taken", 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PDEVICE_OBJECT second = CreateOn(km::ModelDriver(), u"\\DEVICE\\taken", 0, &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(first->NextDevice, nullptr) << "the refused device was never linked";
    IoDeleteDevice(first);
    second = CreateOn(km::ModelDriver(), u"\\Device\\Taken", 0, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    IoDeleteDevice(second);
}

TEST_F(IoDeviceTest, InjectedFailureHitsTheNthCallOnly)
{
    km::FailIoCreateDevice(2, STATUS_INSUFFICIENT_RESOURCES);
    NTSTATUS status;
    PDEVICE_OBJECT first = CreateOn(km::ModelDriver(), u"\\Device\\One", 0, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    PDEVICE_OBJECT second = CreateOn(km::ModelDriver(), u"\\Device\\Two", 0, &status);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(km::FindDevice(u"\\Device\\Two"), nullptr);
    PDEVICE_OBJECT third = CreateOn(km::ModelDriver(), u"\\Device\\Two", 0, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    IoDeleteDevice(first);
    IoDeleteDevice(third);
}

TEST_F(IoDeviceTest, DeletedDeviceLivesUntilItsLastReferenceGoes)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\Held"});
    EXPECT_EQ(km::ObjectReferenceCount(device), 1);
    ObReferenceObject(device);
    EXPECT_EQ(km::ObjectReferenceCount(device), 2);
    km::DeleteModelDevice(device);
    EXPECT_EQ(km::FindDevice(u"\\Device\\Held"), nullptr) << "out of the name space at once";
    EXPECT_EQ(km::ModelDriver()->DeviceObject, nullptr) << "out of the driver's list at once";
    EXPECT_EQ(km::ObjectReferenceCount(device), 1) << "the memory lives on";
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_DISK));
    ObDereferenceObject(device);
    EXPECT_EQ(km::ObjectReferenceCount(device), -1);
}

TEST_F(IoDeviceTest, AttachingStacksDevicesAndCountsStackLocations)
{
    PDEVICE_OBJECT base = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM, u"\\FileSystem\\Base"});
    PDEVICE_OBJECT middle = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    PDEVICE_OBJECT top = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    PDEVICE_OBJECT attachedTo = nullptr;
    ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(middle, base, &attachedTo), STATUS_SUCCESS);
    EXPECT_EQ(attachedTo, base);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, base), middle) << "attaches to the top of the stack";
    EXPECT_EQ(base->AttachedDevice, middle);
    EXPECT_EQ(middle->AttachedDevice, top);
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(top->SectorSize, base->SectorSize);
    EXPECT_EQ(IoGetAttachedDevice(base), top);

    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(top);
    EXPECT_EQ(lower, middle);
    EXPECT_EQ(km::ObjectReferenceCount(middle), 2) << "the lower device comes referenced";
    ObDereferenceObject(lower);
    EXPECT_EQ(IoGetLowerDeviceObject(base), nullptr);
    PDEVICE_OBJECT referencedTop = IoGetAttachedDeviceReference(base);
    EXPECT_EQ(referencedTop, top);
    ObDereferenceObject(referencedTop);
    PDEVICE_OBJECT bottom = IoGetDeviceAttachmentBaseRef(top);
    EXPECT_EQ(bottom, base);
    ObDereferenceObject(bottom);

    IoDetachDevice(middle);
    EXPECT_EQ(middle->AttachedDevice, nullptr);
    EXPECT_EQ(IoGetLowerDeviceObject(top), nullptr);
    IoDetachDevice(base);
    km::DeleteModelDevice(top);
    km::DeleteModelDevice(middle);
    km::DeleteModelDevice(base);
}

TEST_F(IoDeviceTest, InjectedAttachFailureLeavesTheStackAlone)
{
    PDEVICE_OBJECT base = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    PDEVICE_OBJECT filter = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    km::FailIoAttachDevice(1, STATUS_NO_SUCH_DEVICE, 2);
    PDEVICE_OBJECT attachedTo = filter;
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(filter, base, &attachedTo), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(attachedTo, nullptr);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, base), nullptr);
    EXPECT_EQ(base->AttachedDevice, nullptr);
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(filter, base, &attachedTo), STATUS_SUCCESS);
    IoDetachDevice(base);
}

// A filter driver that detaches and deletes its device when told the device below goes.
PDEVICE_OBJECT g_detachedSource;
PDEVICE_OBJECT g_detachedTarget;

void NTAPI DetachAndDelete(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    g_detachedSource = source;
    g_detachedTarget = target;
    IoDetachDevice(target);
    IoDeleteDevice(source);
}

TEST_F(IoDeviceTest, DeletingTheDeviceBelowAFilterCallsTheFiltersFastIoDetachDevice)
{
    FAST_IO_DISPATCH fastIo{};
    fastIo.SizeOfFastIoDispatch = sizeof fastIo;
    fastIo.FastIoDetachDevice = DetachAndDelete;
    PDRIVER_OBJECT filterDriver = km::ModelDriver();
    PDEVICE_OBJECT volume = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    PDEVICE_OBJECT filter = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(filter, volume, nullptr), STATUS_SUCCESS);
    filterDriver->FastIoDispatch = &fastIo;
    IoDeleteDevice(volume);
    filterDriver->FastIoDispatch = nullptr;
    EXPECT_EQ(g_detachedSource, filter);
    EXPECT_EQ(g_detachedTarget, volume);
    EXPECT_EQ(km::ObjectReferenceCount(volume), -1);
    EXPECT_EQ(km::ObjectReferenceCount(filter), -1);
}

TEST_F(IoDeviceTest, EnumerationTellsTheCountFirstAndReferencesEveryDevice)
{
    PDEVICE_OBJECT first = km::CreateModelDevice({FILE_DEVICE_DISK});
    PDEVICE_OBJECT second = km::CreateModelDevice({FILE_DEVICE_DISK});
    ULONG count = 0;
    EXPECT_EQ(IoEnumerateDeviceObjectList(km::ModelDriver(), nullptr, 0, &count), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    PDEVICE_OBJECT devices[2] = {};
    ASSERT_EQ(IoEnumerateDeviceObjectList(km::ModelDriver(), devices, sizeof devices, &count), STATUS_SUCCESS);
    EXPECT_EQ(devices[0], second);
    EXPECT_EQ(devices[1], first);
    EXPECT_EQ(km::ObjectReferenceCount(first), 2);
    for (PDEVICE_OBJECT device : devices) {
        ObDereferenceObject(device);
    }
}

TEST_F(IoDeviceTest, AReferenceNotDroppedIsReportedAtShutdown)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\Leaky"});
    ObReferenceObject(device);
    std::string report = km::Shutdown();
    EXPECT_NE(report.find("object references not dropped"), std::string::npos) << report;
    EXPECT_NE(report.find("device \\Device\\Leaky: 1 reference not dropped, held by the test or the model"),
              std::string::npos)
        << report;
    km::Boot();
}

}  // namespace
