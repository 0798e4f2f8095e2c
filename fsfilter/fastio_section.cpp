// The NtCreateSection pair of the fast I/O table. These members carry no device object, so they
// look for the host device themselves: upward from the file system's volume device, the first
// host device whose call can be served takes it.
#include "driver/hostglobals.h"
#include "driver/passdown.h"
#include "fsfilter/fastio.h"
#include "fsfilter/fastioroute.h"
#include "host/callgate.h"

namespace {

// Calls the member at MemberOffset (AcquireFileForNtCreateSection or ReleaseFileForNtCreateSection)
// for the file, at most once. At each host device above the volume device: while the module is
// linked, the module's member if it has one (the lower driver is not tried then); otherwise the
// lower driver's member. Devices where neither applies are passed over; no device-type test.
void FastIoSectionCall(PFILE_OBJECT FileObject, ULONG MemberOffset)
{
    PDEVICE_OBJECT fileDevice = FileObject->DeviceObject;
    PVPB vpb = fileDevice != nullptr ? fileDevice->Vpb : nullptr;
    if (vpb == nullptr) {
        return;
    }
    for (PDEVICE_OBJECT device = vpb->DeviceObject; device != nullptr; device = device->AttachedDevice) {
        if (device->DriverObject != HostGlobals.DriverObject) {
            continue;
        }
        PDEVICE_OBJECT lower = LowerDeviceOf(device);
        BOOLEAN linked = FALSE;
        PVOID member = FastIoEnterModuleMember(lower, MemberOffset, &linked);
        if (member != nullptr) {
            reinterpret_cast<FAST_IO_ACQUIRE_FILE*>(member)(FileObject);
            LeaveGate(&DispatchGate);
            return;
        }
        if (linked) {
            continue;
        }
        member = FastIoLowerMember(lower, MemberOffset);
        if (member != nullptr) {
            reinterpret_cast<FAST_IO_ACQUIRE_FILE*>(member)(FileObject);
            return;
        }
    }
}

}  // namespace

// Acquires the file's resources before a section is created for it.
void HostAcquireFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    FastIoSectionCall(FileObject, FIELD_OFFSET(FAST_IO_DISPATCH, AcquireFileForNtCreateSection));
}

// Releases what HostAcquireFileForNtCreateSection acquired.
void HostReleaseFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    FastIoSectionCall(FileObject, FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseFileForNtCreateSection));
}
