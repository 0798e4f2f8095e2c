// HostFastIoDispatch, the host driver's fast I/O table, and its 27 entries. Each entry hands the
// call to the member of the same name in the filter module's table through the DispatchGate while
// the module is linked, else to the member of the driver below the host device, else returns the
// not-handled result (FALSE, or STATUS_NOT_IMPLEMENTED for the four NTSTATUS members), after which
// the caller uses an IRP. Entries run at the caller's IRQL and stay resident.
#pragma once

#include "base/platform.h"

extern "C" {

// Fully laid out (SizeOfFastIoDispatch covers all 27 members); never changed after load.
extern const FAST_IO_DISPATCH HostFastIoDispatch;

FAST_IO_CHECK_IF_POSSIBLE HostFastIoCheckIfPossible;
FAST_IO_READ HostFastIoRead;
FAST_IO_WRITE HostFastIoWrite;
FAST_IO_QUERY_BASIC_INFO HostFastIoQueryBasicInfo;
FAST_IO_QUERY_STANDARD_INFO HostFastIoQueryStandardInfo;
FAST_IO_LOCK HostFastIoLock;
FAST_IO_UNLOCK_SINGLE HostFastIoUnlockSingle;
FAST_IO_UNLOCK_ALL HostFastIoUnlockAll;
FAST_IO_UNLOCK_ALL_BY_KEY HostFastIoUnlockAllByKey;
FAST_IO_DEVICE_CONTROL HostFastIoDeviceControl;
// The NtCreateSection pair has no device argument: it looks for the host device itself, upward
// from the volume device named by the file's VPB, and calls at most one routine.
FAST_IO_ACQUIRE_FILE HostAcquireFileForNtCreateSection;
FAST_IO_RELEASE_FILE HostReleaseFileForNtCreateSection;
// Called by the I/O manager when the device below a host device is being deleted: offers the call
// to the module, then takes the host device away (record, detach, delete). PASSIVE_LEVEL.
FAST_IO_DETACH_DEVICE HostFastIoDetachDevice;
FAST_IO_QUERY_NETWORK_OPEN_INFO HostFastIoQueryNetworkOpenInfo;
FAST_IO_ACQUIRE_FOR_MOD_WRITE HostAcquireForModWrite;
FAST_IO_MDL_READ HostMdlRead;
FAST_IO_MDL_READ_COMPLETE HostMdlReadComplete;
FAST_IO_PREPARE_MDL_WRITE HostPrepareMdlWrite;
FAST_IO_MDL_WRITE_COMPLETE HostMdlWriteComplete;
FAST_IO_READ_COMPRESSED HostFastIoReadCompressed;
FAST_IO_WRITE_COMPRESSED HostFastIoWriteCompressed;
FAST_IO_MDL_READ_COMPLETE_COMPRESSED HostMdlReadCompleteCompressed;
FAST_IO_MDL_WRITE_COMPLETE_COMPRESSED HostMdlWriteCompleteCompressed;
// On the lower path the IRP's current stack location names the lower device during the call and
// the host device again afterwards.
FAST_IO_QUERY_OPEN HostFastIoQueryOpen;
FAST_IO_RELEASE_FOR_MOD_WRITE HostReleaseForModWrite;
FAST_IO_ACQUIRE_FOR_CCFLUSH HostAcquireForCcFlush;
FAST_IO_RELEASE_FOR_CCFLUSH HostReleaseForCcFlush;

}  // extern "C"
