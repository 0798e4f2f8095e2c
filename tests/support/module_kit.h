// The test kit's module pieces, shared by every test module and driver of the tests and the
// benchmarks (the test program's TestModule, the host-loaded test module, the benchmarks' images):
// finding a fast I/O member of the driver below, and sending the host's commands the way a module
// does, through a kernel handle of its control device. Passing an IRP down is the contract's own
// ModulePassDown. Kernel-style and header-only, so that driver images and test programs compile it
// alike.
#pragma once

#include "base/platform.h"
#include "filterhost/module.h"

// The fast I/O table of `Lower`'s driver when the table is long enough for the member at
// `MemberOffset` (FIELD_OFFSET(FAST_IO_DISPATCH, Member)) and the member is set; null otherwise,
// and when `Lower` is null. Any IRQL.
inline PFAST_IO_DISPATCH KitFastIoWith(PDEVICE_OBJECT Lower, ULONG MemberOffset)
{
    PFAST_IO_DISPATCH table = Lower != nullptr ? Lower->DriverObject->FastIoDispatch : nullptr;
    if (table == nullptr || table->SizeOfFastIoDispatch <= MemberOffset) {
        return nullptr;
    }
    void* member;
    RtlCopyMemory(&member, reinterpret_cast<const UCHAR*>(table) + MemberOffset, sizeof(member));
    return member != nullptr ? table : nullptr;
}

// The device below the host's filter device, unreferenced (the filter device keeps it attached
// for as long as the host passes requests through it); null when none.
inline PDEVICE_OBJECT KitLowerDevice(PDEVICE_OBJECT FilterDevice)
{
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(FilterDevice);
    if (lower != nullptr) {
        ObfDereferenceObject(lower);
    }
    return lower;
}

// Sends one command with up to four 64-bit fields after the header (unused ones zero) through a
// kernel handle of the control device; answers the request's failure, else the reply's Status.
// PASSIVE_LEVEL.
inline NTSTATUS KitSendCommand(HANDLE ControlHandle, ULONG Command, ULONG Argument, ULONGLONG First = 0,
                               ULONGLONG Second = 0, ULONGLONG Third = 0, ULONGLONG Fourth = 0)
{
    struct {
        ControlRequest Header;
        ULONGLONG Fields[4];
    } block = {{Command, 0, 0, Argument}, {First, Second, Third, Fourth}};
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwDeviceIoControlFile(ControlHandle, nullptr, nullptr, nullptr, &ioStatus, IOCTL_HOST_COMMAND,
                                            &block, sizeof(block), &block, sizeof(block));
    // The reply's Status lies over the request's first field.
    return NT_SUCCESS(status) ? static_cast<NTSTATUS>(block.Header.Command) : status;
}

// A module's routines as it registers them; null members are registered as null, and without
// both notify forwarders RegisterNotifyForwarders is not sent.
struct KitEntryPoints {
    MODULE_ATTACH_NOTIFY* AttachNotify;
    MODULE_DETACH_NOTIFY* DetachNotify;
    PDRIVER_DISPATCH IrpDispatch;
    PFAST_IO_DISPATCH FastIo;
    MODULE_PROCESS_NOTIFY* ProcessNotify;
    MODULE_THREAD_NOTIFY* ThreadNotify;
};

inline ULONGLONG KitAddress(const void* Routine) { return reinterpret_cast<ULONG_PTR>(Routine); }

// A module's sequence to start forwarding: Connect, RegisterEntryPoints, RegisterNotifyForwarders,
// SetLink 1; answers the first failure. PASSIVE_LEVEL.
inline NTSTATUS KitLink(HANDLE ControlHandle, const KitEntryPoints& Routines)
{
    NTSTATUS status = KitSendCommand(ControlHandle, HostCommandConnect, 0);
    if (NT_SUCCESS(status)) {
        status = KitSendCommand(ControlHandle, HostCommandRegisterEntryPoints, 0,
                                KitAddress(reinterpret_cast<void*>(Routines.AttachNotify)),
                                KitAddress(reinterpret_cast<void*>(Routines.DetachNotify)),
                                KitAddress(reinterpret_cast<void*>(Routines.IrpDispatch)), KitAddress(Routines.FastIo));
    }
    if (NT_SUCCESS(status) && Routines.ProcessNotify != nullptr && Routines.ThreadNotify != nullptr) {
        status = KitSendCommand(ControlHandle, HostCommandRegisterNotifyForwarders, 0,
                                KitAddress(reinterpret_cast<void*>(Routines.ProcessNotify)),
                                KitAddress(reinterpret_cast<void*>(Routines.ThreadNotify)));
    }
    if (NT_SUCCESS(status)) {
        status = KitSendCommand(ControlHandle, HostCommandSetLink, HOST_LINK_ON);
    }
    return status;
}

// And to stop: SetLink 0, WithdrawEntryPoints (sent even when the first fails); the first failure.
inline NTSTATUS KitUnlink(HANDLE ControlHandle)
{
    NTSTATUS status = KitSendCommand(ControlHandle, HostCommandSetLink, HOST_LINK_OFF);
    NTSTATUS withdrawn = KitSendCommand(ControlHandle, HostCommandWithdrawEntryPoints, 0);
    return NT_SUCCESS(status) ? withdrawn : status;
}
