// The NtCreateSection pair of the fast I/O table. These members carry no device object, so they
// look for the host device themselves: upward from the file system's volume device, the first
// host device whose call can be served takes it.
#include "driver/hostglobals.h"
#include "driver/passdown.h"
#include "fsfilter/fastio.h"
#include "fsfilter/fastioroute.h"
#include "host/callgate.h"

namespace {

constexpr ULONG SectionAcquire = FIELD_OFFSET(FAST_IO_DISPATCH, AcquireFileForNtCreateSection);
constexpr ULONG SectionRelease = FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseFileForNtCreateSection);

// The first host device above the file's volume device (named by its VPB) whose member at
// MemberOffset has a server (FastIoPairServer; with ReleaseOffset its release too). FALSE when none
// has one, or the file's device has no VPB naming a volume. No device-type test.
BOOLEAN FastIoSectionFind(PFILE_OBJECT FileObject, ULONG MemberOffset, ULONG ReleaseOffset, FastIoPairTarget* Pair)
{
    PDEVICE_OBJECT fileDevice = FileObject->DeviceObject;
    PVPB vpb = fileDevice != nullptr ? fileDevice->Vpb : nullptr;
    if (vpb == nullptr) {
        return FALSE;
    }
    for (PDEVICE_OBJECT device = vpb->DeviceObject; device != nullptr; device = device->AttachedDevice) {
        if (device->DriverObject == HostGlobals.DriverObject) {
            BOOLEAN found = ReleaseOffset != 0 ? FastIoPairAcquireFind(device, MemberOffset, ReleaseOffset, Pair)
                                               : FastIoPairServer(device, MemberOffset, 0, &Pair->Acquire, &Pair->Release);
            if (found) {
                return TRUE;
            }
        }
    }
    return FALSE;
}

}  // namespace

// Acquires the file's resources before a section is created for it: at the first host device
// above the volume whose pair has a server, the module's members while linked when it has both,
// else the lower driver's. The release goes to the same server. At most one routine is called.
void HostAcquireFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    FastIoPairTarget pair;
    if (!FastIoSectionFind(FileObject, SectionAcquire, SectionRelease, &pair)) {
        return;
    }
    // Nothing can be refused here: with no record free the release follows the rule.
    reinterpret_cast<FAST_IO_ACQUIRE_FILE*>(pair.Acquire.Routine)(FileObject);
    FastIoPairAcquireDone(&pair, TRUE, FileObject, PsGetCurrentThreadId());
}

// Releases what HostAcquireFileForNtCreateSection acquired, through whoever acquired it; with no
// record of it, through the first host device above the volume whose release has a server.
void HostReleaseFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    FastIoTarget target;
    if (!FastIoPairReleaseFind(SectionAcquire, FileObject, PsGetCurrentThreadId(), &target)) {
        FastIoPairTarget pair;
        if (!FastIoSectionFind(FileObject, SectionRelease, 0, &pair)) {
            return;
        }
        target = pair.Acquire;
    }
    if (target.Routine != nullptr) {
        reinterpret_cast<FAST_IO_RELEASE_FILE*>(target.Routine)(FileObject);
    }
    FastIoRouteDone(&target);
}
