// Device objects and their files: creation, the directories their names go in, name collisions,
// injected failures and the attachment stack; opening a device by name sends IRP_MJ_CREATE, the
// last handle IRP_MJ_CLEANUP and the last reference IRP_MJ_CLOSE, and a deleted device lives until
// its last reference and file go. The referenced look-ups along a stack and the enumeration of a
// driver's devices are what the host's attachment walks (tests/fsfilter); that requests go to the
// top of the stack, the name below the device and the handles a process's exit closes are what
// the host's filters and loaders rely on (tests/fsfilter, tests/host).
// The object name space: ObQueryNameString's answers for every buffer size, and symbolic links:
// created once, followed where names are looked up (through \DosDevices and \??), deleted once,
// and a link an unloading driver leaves reported with its image-load notify routine. Exact counted
// names with U+0000 and a space are the host's control device names (tests/driver).
#include <vector>

#include "io_test_util.h"
#include "kmodel/fs_model.h"

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

std::vector<UCHAR> MajorsSeenBy(PDEVICE_OBJECT device)
{
    std::vector<UCHAR> majors;
    for (const km::RecordedIrp& irp : km::ModelDeviceIrps(device)) {
        majors.push_back(irp.stack.MajorFunction);
    }
    return majors;
}

// The last handle sends IRP_MJ_CLEANUP; the close waits for the last reference.
TEST_F(IoDeviceTest, OpeningSendsCreateAndClosingSendsCleanupThenClose)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\Disk"});
    ACCESS_MASK desired = 0;
    ULONG options = 0;
    km::SetModelDeviceHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_CREATE) {
            return CompleteIrp(irp, STATUS_SUCCESS);
        }
        desired = stack->Parameters.Create.SecurityContext->DesiredAccess;
        options = stack->Parameters.Create.Options;
        return CompleteIrp(irp, STATUS_SUCCESS, FILE_OPENED);
    });
    km::OpenResult opened = km::OpenFile(u"\\Device\\Disk", true, GENERIC_READ, OBJ_KERNEL_HANDLE);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_EQ(opened.ioStatus.Information, ULONG_PTR(FILE_OPENED));
    EXPECT_EQ(desired, ACCESS_MASK(FILE_GENERIC_READ));
    EXPECT_EQ(options, (ULONG(FILE_OPEN) << 24) | FILE_SYNCHRONOUS_IO_NONALERT);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(opened.handle, 0, *IoFileObjectType, KernelMode, (PVOID*)&file, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(file->DeviceObject, device);
    EXPECT_EQ(device->ReferenceCount, 1);

    EXPECT_EQ(ZwClose(opened.handle), STATUS_SUCCESS);
    EXPECT_EQ(MajorsSeenBy(device), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    ObDereferenceObject(file);
    EXPECT_EQ(MajorsSeenBy(device), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    for (const km::RecordedIrp& irp : km::ModelDeviceIrps(device)) {
        EXPECT_EQ(irp.stack.FileObject, file);
    }
    EXPECT_EQ(device->ReferenceCount, 0);
}

// Names that lead to no device, a device still initialising and a second open of an exclusive
// device send nothing; a create the driver fails leaves no handle and gets no close.
TEST_F(IoDeviceTest, WhatCannotBeOpenedLeavesNoHandle)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\Disk"});
    EXPECT_EQ(km::OpenFile(u"\\Device\\Nothing", true).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(km::OpenFile(u"\\Nowhere\\Disk", true).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(km::OpenFile(u"\\Device", true).status, STATUS_OBJECT_TYPE_MISMATCH);
    PDEVICE_OBJECT starting = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, u"\\Device\\Starting", 0, 0, 0, true});
    EXPECT_EQ(km::OpenFile(u"\\Device\\Starting", true).status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(km::ModelDeviceIrps(starting).empty());
    PDEVICE_OBJECT exclusive = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, u"\\Device\\Once", 0, DO_EXCLUSIVE});
    km::OpenResult first = km::OpenFile(u"\\Device\\Once", true);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(km::OpenFile(u"\\Device\\Once", true).status, STATUS_ACCESS_DENIED);
    ZwClose(first.handle);
    EXPECT_EQ(km::ModelDeviceIrps(exclusive).size(), 3u) << "one create, cleanup and close";

    km::SetModelDeviceResult(device, IRP_MJ_CREATE, STATUS_ACCESS_DENIED, 0);
    km::OpenResult opened = km::OpenFile(u"\\Device\\Disk", true);
    EXPECT_EQ(opened.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(opened.ioStatus.Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(opened.handle, nullptr);
    EXPECT_EQ(MajorsSeenBy(device), std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(device->ReferenceCount, 0);
}

// A deleted device leaves the name space and its driver's list at once; its memory lives until
// its last reference and file go.
TEST_F(IoDeviceTest, ADeletedDeviceLivesUntilItsLastReferenceAndFileGo)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\Disk"});
    km::OpenResult opened = km::OpenFile(u"\\Device\\Disk", true);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    ObReferenceObject(device);
    IoDeleteDevice(device);
    EXPECT_EQ(km::FindDevice(u"\\Device\\Disk"), nullptr);
    EXPECT_EQ(km::ModelDriver()->DeviceObject, nullptr);
    ObDereferenceObject(device);
    EXPECT_GE(km::ObjectReferenceCount(device), 1) << "its file holds it";
    ZwClose(opened.handle);
    EXPECT_EQ(km::ObjectReferenceCount(device), -1) << "gone with its last file";
}

// The host's control device name: "\Device\Sample" + U+0000 + U+0020.
const std::u16string ControlName(u"\\Device\\Sample\0 ", 16);

// Each buffer size gets its answer, and the size needed: the header, the name and a terminating
// U+0000 after the counted characters; an unnamed object answers an empty name.
TEST_F(IoDeviceTest, QueryNameAnswersTheFullNameOrTheSizeNeeded)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, ControlName});
    PDEVICE_OBJECT unnamed = km::CreateModelDevice({FILE_DEVICE_DISK});
    const ULONG header = sizeof(OBJECT_NAME_INFORMATION);
    const ULONG fullSize = header + 32 + 2;
    struct Case {
        PDEVICE_OBJECT object;
        ULONG size;
        NTSTATUS expected;
        ULONG needed;
    } cases[] = {{unnamed, 4, STATUS_INFO_LENGTH_MISMATCH, header},
                 {unnamed, header, STATUS_SUCCESS, header},
                 {device, header - 1, STATUS_INFO_LENGTH_MISMATCH, fullSize},
                 {device, header, STATUS_BUFFER_OVERFLOW, fullSize},
                 {device, fullSize - 1, STATUS_BUFFER_OVERFLOW, fullSize},  // one byte short of the terminating U+0000
                 {device, fullSize, STATUS_SUCCESS, fullSize}};
    std::vector<uint8_t> buffer(128, 0xCC);
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
    for (const Case& c : cases) {
        ULONG needed = 0;
        EXPECT_EQ(ObQueryNameString(c.object, info, c.size, &needed), c.expected) << c.size;
        EXPECT_EQ(needed, c.needed) << c.size;
        if (c.object == unnamed && c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(info->Name.Length, 0);
            EXPECT_EQ(info->Name.Buffer, nullptr);
        }
    }
    EXPECT_EQ(FromCounted(info->Name), ControlName);
    EXPECT_EQ(info->Name.MaximumLength, 34);
    EXPECT_EQ(info->Name.Buffer[16], 0) << "terminated after the counted characters";
    EXPECT_EQ(reinterpret_cast<uint8_t*>(info->Name.Buffer), buffer.data() + header);
    EXPECT_EQ((unnamed->Flags & DO_DEVICE_HAS_NAME), 0u);

    ULONG needed = 0;
    ASSERT_EQ(ObQueryNameString(km::ModelDriver(), info, 128, &needed), STATUS_SUCCESS);
    EXPECT_EQ(FromCounted(info->Name), u"\\Driver\\ModelLower") << "driver objects are named too";
}

TEST_F(IoDeviceTest, ALinkIsCreatedOnceFollowedAndDeletedOnceOrReportedWhenADriverLeavesIt)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, u"\\Device\\LinkTarget"});
    const std::u16string linkName = u"\\DosDevices\\L:", targetName = u"\\Device\\LinkTarget",
                         orphanName = u"\\NoDirectory\\L:";
    UNICODE_STRING link = Counted(linkName);
    UNICODE_STRING target = Counted(targetName);
    UNICODE_STRING orphan = Counted(orphanName);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateSymbolicLink(&orphan, &target), STATUS_OBJECT_PATH_NOT_FOUND);
    const std::pair<const char16_t*, NTSTATUS> names[] = {{u"\\??\\L:", STATUS_SUCCESS},
                                                          {u"\\DosDevices\\l:", STATUS_SUCCESS},
                                                          {u"\\??\\L:\\dir\\file", STATUS_OBJECT_NAME_NOT_FOUND}};
    for (const auto& [name, expected] : names) {
        PVOID object = nullptr;
        EXPECT_EQ(ReferenceDeviceByName(name, &object), expected);
        if (object != nullptr) {
            EXPECT_EQ(object, device);
            ObDereferenceObject(object);
        }
    }
    km::OpenResult opened = km::OpenFile(u"\\DosDevices\\L:", true);
    ASSERT_EQ(opened.status, STATUS_SUCCESS) << "ZwCreateFile follows the link too";
    ZwClose(opened.handle);
    EXPECT_EQ(IoDeleteSymbolicLink(&target), STATUS_OBJECT_TYPE_MISMATCH) << "a device is no link";
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND) << "deleted once";

    // A link an unloading driver left is reported and removed, with its image-load notify routine.
    km::DriverLoadResult loaded = LoadIoTest(UnloadLinkAndNotify);
    ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
    ASSERT_EQ(km::UnloadDriver(loaded.driver), STATUS_SUCCESS);
    std::string report = km::TakeDriverLeakReport();
    EXPECT_THAT(report,
                HasSubstr("(unloaded): symbolic link \\DosDevices\\IoTest -> \\Device\\IoTest not deleted"));
    EXPECT_THAT(report, HasSubstr("(unloaded): image-load notify routine "));
    EXPECT_EQ(km::NotifyRoutineCount(km::NotifyKind::Image), 0u);
    PVOID object = nullptr;
    EXPECT_EQ(ReferenceDeviceByName(u"\\DosDevices\\IoTest", &object), STATUS_OBJECT_NAME_NOT_FOUND) << "the link went";
}

}  // namespace
