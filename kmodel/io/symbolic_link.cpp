// Symbolic links drivers create for their devices (IoCreateSymbolicLink, IoDeleteSymbolicLink):
// names in the object name space that stand for others, followed wherever the model looks an
// object name up (ZwCreateFile and ZwOpenFile, ObReferenceObjectByName). Each link remembers the
// image that created it, so that a link a driver leaves at its unload is reported with its
// leftovers.
#include "internal/ps.h"
#include "internal/verifier.h"
#include "io/io_manager.h"

namespace ob = km::ob;

namespace {

void RequirePassive(const char* routine)
{
    KIRQL irql = KmCurrentThread()->Irql;
    if (irql != PASSIVE_LEVEL) {
        KmBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, KmCheckRoutineIrql, irql, PASSIVE_LEVEL, 0, "%s at IRQL %u",
                   routine, irql);
    }
}

}  // namespace

// PASSIVE_LEVEL. The target need not exist. STATUS_OBJECT_NAME_COLLISION when the name is taken,
// STATUS_OBJECT_PATH_NOT_FOUND when its directory does not exist.
extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    RequirePassive("IoCreateSymbolicLink");
    const void* creator = ob::ImageContaining(__builtin_return_address(0));
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    return ob::InsertLinkLocked(ob::ToString(SymbolicLinkName), ob::ToString(DeviceName), creator);
}

// PASSIVE_LEVEL. STATUS_OBJECT_NAME_NOT_FOUND when no such name exists, STATUS_OBJECT_TYPE_MISMATCH
// when the name is no symbolic link.
extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    RequirePassive("IoDeleteSymbolicLink");
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    return ob::RemoveLinkLocked(ob::ToString(SymbolicLinkName));
}
