// The module's entry points: commands 23 and 24, which register and withdraw them, and the attach
// and detach notifications that tell the module about the host's volume filter devices. The
// notifications are not counted by a call gate and are made in every link state.
//
// AttachNotify and DetachNotify are written under GateLock and read without it, once per
// notification; calls of both for one AttachRecord are serialised by its RecordLock (except the
// detach at teardown).
#pragma once

#include "base/platform.h"
#include "driver/commands.h"
#include "fsfilter/attachrecord.h"

// Command 23, RegisterEntryPoints: stores the module's four entry points (request offsets 16
// AttachNotify, 24 DetachNotify, 32 ModuleIrpDispatch, 40 ModuleFastIo; nulls stored as given),
// then replays AttachNotify over every AttachRecord, newest first, under AttachedListLock held
// shared and each record's RecordLock. Accepted in every link state; Status 0. PASSIVE_LEVEL.
_IRQL_requires_max_(APC_LEVEL)
HOST_COMMAND_ROUTINE RegisterEntryPoints;

// Command 24, WithdrawEntryPoints: calls DetachNotify for every record the module has taken (its
// answer decides ModuleAttached), then clears the four entry points. Calls already inside the
// module finish normally. Status 0. PASSIVE_LEVEL.
_IRQL_requires_max_(APC_LEVEL)
HOST_COMMAND_ROUTINE WithdrawEntryPoints;

extern "C" {

// Tells the module about a volume filter device: under the record's RecordLock, calls AttachNotify
// (if registered) with the record's FilterDevice, VolumeDevice and StorageDevice and stores the
// answer in ModuleAttached. The caller must not hold AttachedListLock exclusive or GateLock, and
// keeps the record from being freed meanwhile. PASSIVE_LEVEL or APC_LEVEL.
_IRQL_requires_max_(APC_LEVEL)
void LinkNotifyAttach(_Inout_ AttachRecord* Record);

// LinkNotifyAttach for a caller that already holds the record's RecordLock: the attachment manager
// takes it before a new record is published, so that a teardown racing the first notification
// waits for it instead of freeing the record under it.
_IRQL_requires_max_(APC_LEVEL)
void LinkNotifyAttachLocked(_Inout_ AttachRecord* Record);

// Tells the module that a volume filter device is going away: calls DetachNotify (if registered)
// with the device, whatever ModuleAttached holds, and ignores the answer. For the teardown of a
// record that is already out of AttachedList; takes no lock (the teardown drains RecordLock first).
_IRQL_requires_max_(DISPATCH_LEVEL)
void LinkNotifyDetach(_In_ PDEVICE_OBJECT FilterDevice);

}  // extern "C"
