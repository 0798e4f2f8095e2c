// Device objects: creation, the directories their names go in, name collisions, injected failures
// and the attachment stack (deletion while referenced is with files, in file_test). The referenced
// look-ups along a stack and the enumeration of a driver's devices are what the host's attachment
// walks (tests/fsfilter).
#include <vector>

#include "io_test_util.h"

namespace {

using IoDeviceTest = KernelTest;

// IoCreateDevice on the model's lower driver: the device, or null when refused with `*status`.
PDEVICE_OBJECT CreateOn(const std::u16string& name, ULONG extensionSize, NTSTATUS* status)
{
    UNICODE_STRING counted = Counted(name);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    *status = IoCreateDevice(km::ModelDriver(), extensionSize, name.empty() ? nullptr : &counted, FILE_DEVICE_UNKNOWN,
                             0, FALSE, &device);
    return device;
}

// A new device is initialising with a zeroed extension and heads its driver's list. A name is
// refused outside the name space's directories, and while taken (whatever its case); it is free
// again once its device is deleted. An injected failure hits the Nth call only and leaves no name.
TEST_F(IoDeviceTest, ANewDeviceHeadsItsDriversListUnlessItsNameIsTakenOrAFailureIsInjected)
{
    NTSTATUS status;
    PDEVICE_OBJECT device = CreateOn(u"\\Device\\Fresh", 24, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(device->Flags, ULONG(DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME));
    auto* extension = static_cast<uint8_t*>(device->DeviceExtension);
    EXPECT_EQ(extension, reinterpret_cast<uint8_t*>(device + 1));
    EXPECT_EQ(std::vector<uint8_t>(extension, extension + 24), std::vector<uint8_t>(24, 0));
    EXPECT_EQ(CreateOn(u"\\DEVICE\\fresh", 0, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(CreateOn(u"\\NoSuchDirectory\\X", 0, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_PATH_NOT_FOUND) << "only \\Device, \\Driver and \\FileSystem";
    EXPECT_EQ(CreateOn(u"Device\\X", 0, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);
    PDEVICE_OBJECT plain = CreateOn(u"", 0, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(plain->DeviceExtension, nullptr);
    EXPECT_EQ(km::ModelDriver()->DeviceObject, plain) << "a new device goes to the head of the driver's list";
    EXPECT_EQ(plain->NextDevice, device) << "the refused device was never linked";
    IoDeleteDevice(plain);
    IoDeleteDevice(device);

    km::FailIoCreateDevice(2, STATUS_INSUFFICIENT_RESOURCES);
    device = CreateOn(u"\\Device\\Fresh", 0, &status);
    EXPECT_EQ(status, STATUS_SUCCESS) << "the name is free again";
    EXPECT_EQ(CreateOn(u"\\Device\\Two", 0, &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(km::FindDevice(u"\\Device\\Two"), nullptr);
    plain = CreateOn(u"\\Device\\Two", 0, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

// Attaching stacks devices unless it fails. (The stack locations an attachment adds, every IRP sent
// through a filter in these tests relies on.)
TEST_F(IoDeviceTest, AttachingStacksDevicesUnlessItFails)
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
    EXPECT_EQ(IoGetAttachedDevice(base), top);

    IoDetachDevice(middle);
    IoDetachDevice(base);
}

}  // namespace
