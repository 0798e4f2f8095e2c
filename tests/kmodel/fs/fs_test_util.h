// Helpers shared by the tests of the model's file systems: filters made of the model's lower
// driver that pass every IRP down and detach when told, and short ways to open, write and read.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "kmodel/fs_model.h"
#include "../model_test_util.h"

const std::u16string Volume1 = u"\\Device\\HarddiskVolume1";

// The FastIoDetachDevice calls the model's lower driver received, as (source, target); a device
// is deleted on the deleting thread, so the calls come in on the test's own thread.
using DetachCall = std::pair<PDEVICE_OBJECT, PDEVICE_OBJECT>;
inline std::vector<DetachCall> DetachCalls;

// As a filter does when the device below it goes: detach, then delete its own device.
inline void NTAPI DetachAndDelete(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    DetachCalls.emplace_back(source, target);
    IoDetachDevice(target);
    km::DeleteModelDevice(source);
}

// Gives the model's lower driver a fast I/O table with only FastIoDetachDevice, of `size` bytes.
inline void FilterFastIo(ULONG size = sizeof(FAST_IO_DISPATCH))
{
    static FAST_IO_DISPATCH table;
    table = FAST_IO_DISPATCH{};
    table.SizeOfFastIoDispatch = size;
    table.FastIoDetachDevice = DetachAndDelete;
    km::ModelDriver()->FastIoDispatch = &table;
    DetachCalls.clear();
}

// A device of the model's lower driver attached on top of `target`'s stack that passes every IRP
// to the device it attached to. `copyBufferFlags`: takes DO_BUFFERED_IO / DO_DIRECT_IO from it,
// as a well-behaved filter does.
inline PDEVICE_OBJECT AttachPassThrough(PDEVICE_OBJECT target, bool copyBufferFlags = true)
{
    PDEVICE_OBJECT filter = km::CreateModelDevice({target->DeviceType});
    PDEVICE_OBJECT lower = nullptr;
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(filter, target, &lower), STATUS_SUCCESS);
    if (copyBufferFlags) {
        filter->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    }
    km::SetModelDeviceHandler(filter, [lower](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    });
    return filter;
}

inline HANDLE Create(const std::u16string& name, ULONG disposition = FILE_OPEN_IF)
{
    km::OpenResult opened = km::CreateFile(name, disposition);
    EXPECT_EQ(opened.status, STATUS_SUCCESS) << "opening " << std::string(name.begin(), name.end());
    return opened.handle;
}

inline std::string ReadAll(HANDLE file, ULONG length)
{
    std::string data(length, '\0');
    data.resize(km::ReadFile(file, 0, data.data(), length).information);
    return data;
}
