// Device objects: creation, name collisions, injected failures, deletion while referenced, the
// attachment stack, enumeration, and the detach call a filter gets when the device below it goes.
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

TEST_F(IoDeviceTest, NewDeviceIsInitialisingWithAZeroedExtensionAndHeadsItsDriversList)
{
    NTSTATUS status;
    PDEVICE_OBJECT device = CreateOn(km::ModelDriver(), u"\\Device\\Fresh", 24, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(device->Flags, ULONG(DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceExtension, static_cast<void*>(device + 1));
    EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(device->DeviceExtension),
                                   static_cast<uint8_t*>(device->DeviceExtension) + 24),
              std::vector<uint8_t>(24, 0));
    PDEVICE_OBJECT plain = CreateOn(km::ModelDriver(), u"", 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(plain->DeviceExtension, nullptr);
    EXPECT_EQ(km::ModelDriver()->DeviceObject, plain) << "a new device goes to the head of the driver's list";
    EXPECT_EQ(plain->NextDevice, device);
    IoDeleteDevice(plain);
    IoDeleteDevice(device);
    EXPECT_EQ(km::ModelDriver()->DeviceObject, nullptr);
}

// A name is refused while taken (whatever its case) and free again once its device is deleted;
// an injected failure hits the Nth call only and leaves no name behind.
TEST_F(IoDeviceTest, ATakenNameOrAnInjectedFailureRefusesOneCreation)
{
    NTSTATUS status;
    PDEVICE_OBJECT first = CreateOn(km::ModelDriver(), u"\\Device\\Taken", 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(CreateOn(km::ModelDriver(), u"\\DEVICE\\taken", 0, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(first->NextDevice, nullptr) << "the refused device was never linked";
    IoDeleteDevice(first);

    km::FailIoCreateDevice(2, STATUS_INSUFFICIENT_RESOURCES);
    first = CreateOn(km::ModelDriver(), u"\\Device\\Taken", 0, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(CreateOn(km::ModelDriver(), u"\\Device\\Two", 0, &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(km::FindDevice(u"\\Device\\Two"), nullptr);
    PDEVICE_OBJECT third = CreateOn(km::ModelDriver(), u"\\Device\\Two", 0, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    IoDeleteDevice(first);
    IoDeleteDevice(third);
}

TEST_F(IoDeviceTest, DeletedDeviceLivesUntilItsLastReferenceGoes)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\Held"});
    ObReferenceObject(device);
    km::DeleteModelDevice(device);
    EXPECT_EQ(km::FindDevice(u"\\Device\\Held"), nullptr) << "out of the name space at once";
    EXPECT_EQ(km::ModelDriver()->DeviceObject, nullptr) << "out of the driver's list at once";
    EXPECT_EQ(km::ObjectReferenceCount(device), 1) << "the memory lives on";
    ObDereferenceObject(device);
    EXPECT_EQ(km::ObjectReferenceCount(device), -1);
}

TEST_F(IoDeviceTest, AttachingStacksDevicesAndCountsStackLocationsUnlessItFails)
{
    PDEVICE_OBJECT base = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM, u"\\FileSystem\\Base"});
    PDEVICE_OBJECT middle = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    PDEVICE_OBJECT top = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    km::FailIoAttachDevice(1, STATUS_NO_SUCH_DEVICE, 2);  // the next two attach calls fail
    PDEVICE_OBJECT attachedTo = top;
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(middle, base, &attachedTo), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(attachedTo, nullptr);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, base), nullptr);
    EXPECT_EQ(base->AttachedDevice, nullptr) << "a failed attach leaves the stack alone";

    ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(middle, base, &attachedTo), STATUS_SUCCESS);
    EXPECT_EQ(attachedTo, base);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, base), middle) << "attaches to the top of the stack";
    EXPECT_EQ(base->AttachedDevice, middle);
    EXPECT_EQ(middle->AttachedDevice, top);
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(top->StackSize, 3);
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

}  // namespace
