// AttachRecord: one per volume filter device that the attachment manager attached and recorded.
// Records sit in HostGlobals.AttachedList, newest first, guarded by AttachedListLock; routing
// looks a filter device up there to decide whether its requests are offered to the module.
#pragma once

#include "base/platform.h"
#include "base/locks.h"

struct AttachRecord {
    LIST_ENTRY Links;              // membership of AttachedList
    PDEVICE_OBJECT FilterDevice;   // the host's volume filter device
    PDEVICE_OBJECT VolumeDevice;   // the device given as the target of the attach
    PDEVICE_OBJECT StorageDevice;  // the storage device under the volume; no reference held
    UCHAR ModuleAttached;          // the module's answer to AttachNotify; 0 until it has run
    AMutex RecordLock;             // held around every AttachNotify call for this record
};
