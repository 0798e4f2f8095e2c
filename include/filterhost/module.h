// The filter module's contract: the entry points a module registers with the host and the host
// calls, the commands the module sends, and the notice it receives before it is unloaded. A module
// includes its kernel headers (<ntifs.h>), then this header, which brings the control protocol
// (filterhost/protocol.h) with it.
//
// A module's life, as the host sees it:
//
//   loaded (LoadModule by a controller, or by whoever starts the module's driver)
//     |  Connect                  the host registers its notify routines; LinkState unlinked
//     |  RegisterEntryPoints      the host replays AttachNotify over every volume filter device
//     |  RegisterNotifyForwarders
//     v  SetLink 1
//   linked: IRPs, fast I/O and notifications of the host's devices are forwarded to the module,
//     |     each call counted in a call gate while it is inside the module
//     |  SetLink 0               no new call is forwarded; calls inside finish
//     |  WithdrawEntryPoints     DetachNotify for every device the module has taken
//     v
//   unlinked: UnloadModule (refused while linked) waits until both gates are drained, then
//             unloads the module. RequestUnload and the exit of the loading process do the same
//             after the host has sent IOCTL_MODULE_UNLOAD_NOTICE to the module.
//
// AttachNotify and DetachNotify are made in every link state and are not counted by a gate; one
// device's calls of both are serialised.
#pragma once

#include "filterhost/protocol.h"

// ---- Entry points ----------------------------------------------------------------------------
// IRP dispatch: the host's filter device and the IRP; the module owns the IRP from the call on.
typedef DRIVER_DISPATCH MODULE_IRP_DISPATCH;
// A volume filter device of the host: TRUE when the module takes it. PASSIVE_LEVEL.
typedef BOOLEAN(NTAPI MODULE_ATTACH_NOTIFY)(PDEVICE_OBJECT FilterDevice, PDEVICE_OBJECT VolumeDevice,
                                            PDEVICE_OBJECT StorageDevice);
// A volume filter device offered back, or going away: TRUE when the module lets go of it.
typedef BOOLEAN(NTAPI MODULE_DETACH_NOTIFY)(PDEVICE_OBJECT FilterDevice);
// The kernel's process- and thread-creation notify signatures.
typedef void(NTAPI MODULE_PROCESS_NOTIFY)(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
typedef void(NTAPI MODULE_THREAD_NOTIFY)(HANDLE ProcessId, HANDLE ThreadId, BOOLEAN Create);

// ---- The module's device -----------------------------------------------------------------------
// A module that wants requested unloads (RequestUnload, and the exit of the process that loaded
// it) creates the device "\Device\<service name>", <service name> being the name LoadModule
// gave, opens it to kernel-mode callers and answers IOCTL_MODULE_UNLOAD_NOTICE on it. Without it
// only UnloadModule unloads the module.
#if defined(_WIN32)
#define MODULE_DEVICE_PREFIX L"\\Device\\"
#else
#define MODULE_DEVICE_PREFIX u"\\Device\\"
#endif

// ---- The unload notice -------------------------------------------------------------------------
// Device-control code the host sends to the module's device before it unloads the module:
// function 0x702, METHOD_BUFFERED, FILE_ANY_ACCESS.
#define IOCTL_MODULE_UNLOAD_NOTICE 0x221C08u

struct UnloadNoticeInput {
    uint32_t Values[7];
};
static_assert(sizeof(UnloadNoticeInput) == 28, "unload notice layout");
#define UNLOAD_NOTICE_INPUT_VALUES {1u, 101u, 28u, 28u, 0u, 0u, 16u}
#define UNLOAD_NOTICE_OUTPUT_BYTES 16u

// ---- Passing a request on ----------------------------------------------------------------------
// What a module does with an IRP it does not filter: hands it unchanged to the device below the
// host's filter device, or completes it with STATUS_NO_MEDIA when there is none. The IRP belongs
// to the lower driver afterwards. IRQL <= DISPATCH_LEVEL.
inline NTSTATUS ModulePassDown(PDEVICE_OBJECT FilterDevice, PIRP Irp)
{
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(FilterDevice);
    if (lower == nullptr) {
        Irp->IoStatus.Status = STATUS_NO_MEDIA;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_NO_MEDIA;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    ObDereferenceObject(lower);
    return status;
}
