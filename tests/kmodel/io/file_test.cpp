// Files and handles: opening a device by name sends IRP_MJ_CREATE; the last handle sends
// IRP_MJ_CLEANUP and the last reference IRP_MJ_CLOSE. That requests go to the top of the stack, the
// name below the device and the handles a process's exit closes are what the host's filters and
// loaders rely on (tests/fsfilter, tests/host).
#include <vector>

#include "io_test_util.h"

namespace {

using IoFileTest = KernelTest;

std::vector<UCHAR> MajorsSeenBy(PDEVICE_OBJECT device)
{
    std::vector<UCHAR> majors;
    for (const km::RecordedIrp& irp : km::ModelDeviceIrps(device)) {
        majors.push_back(irp.stack.MajorFunction);
    }
    return majors;
}

// The last handle sends IRP_MJ_CLEANUP; the close waits for the last reference.
TEST_F(IoFileTest, OpeningSendsCreateAndClosingSendsCleanupThenClose)
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
TEST_F(IoFileTest, WhatCannotBeOpenedLeavesNoHandle)
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
TEST_F(IoFileTest, ADeletedDeviceLivesUntilItsLastReferenceAndFileGo)
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

}  // namespace
