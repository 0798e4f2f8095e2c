// The model's object manager, as the I/O manager and security code inside the model see it: one
// header per object (driver, device, file) with its reference counts and name, the name space of
// directories, and the attribution of references to the driver image that holds them.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "ntmodel/ntifs.h"

namespace km::ob {

enum class ObjectKind { Driver, Device, File, Key, Thread, Process, Event };
const char* KindName(ObjectKind kind);

struct ObjectHeader;
// Runs when the last reference goes, outside the model lock; it frees the body. The header itself
// is deleted by the object manager afterwards.
using LastReferenceRoutine = void (*)(ObjectHeader* header);

struct ObjectHeader {
    ObjectKind kind;
    void* body = nullptr;
    // Every reference, the model's own included (a device's creation reference, a file object's
    // reference on its device, a handle's reference on its object). Changed atomically; it reaches
    // zero only under ModelLock with the object's shard of the live-object table held exclusive,
    // so whoever finds the header in the table (shard held shared or ModelLock held) sees it
    // above zero and may add a reference without ModelLock.
    std::atomic<long> pointerCount{0};
    // The references handed to callers by ObfReferenceObject and the referencing Io/Ob routines,
    // by the image that asked for them (null: test code or the model), ordered by image. Part of
    // pointerCount. A flat list: an object has few holders, and a reference taken and dropped
    // again costs no allocation. Guarded by holdersLock (ModelLock is not enough: the common
    // reference and dereference paths do not take it).
    std::vector<std::pair<const void*, long>> heldBy;
    std::mutex holdersLock;
    // Full name in the name space ("\Device\Sample"); empty when the object was never inserted.
    // It stays when the object leaves the name space, for reports.
    std::u16string name;
    bool inNamespace = false;
    LastReferenceRoutine lastReference = nullptr;
    // Open handles, and the routine that runs (outside the lock) when the last one is closed.
    long handleCount = 0;
    LastReferenceRoutine lastHandle = nullptr;
    // Frees the body without telling anyone (model shutdown, for objects left behind).
    LastReferenceRoutine discard = nullptr;
    // Serial number, so that reports list objects in creation order.
    uint64_t serial = 0;
    // The I/O manager's own record for the object (a file's create state), if any.
    void* modelData = nullptr;
};

// The lock of the object manager, the I/O manager and the tokens. It is never held while a
// driver routine runs or while the calling thread waits.
std::mutex& ModelLock();

// Object headers. Create gives the object one model reference. The caller holds ModelLock for
// Find and the *Locked routines.
ObjectHeader* Create(ObjectKind kind, void* body, LastReferenceRoutine lastReference);
// A process or thread record is an object from its first use as one: its header is made then,
// holding one model reference for the record's life.
ObjectHeader* FindLocked(const void* body);
// Takes a reference: held by `holder` (see ObjectHeader::heldBy) or, when `handedOut` is false,
// kept by the model itself.
void ReferenceLocked(ObjectHeader* header, bool handedOut, const void* holder);
// Drops a reference; true when it was the last (the caller then calls FinishLastReference after
// releasing ModelLock). `fromHolder` prefers that holder's references.
bool DereferenceLocked(ObjectHeader* header, bool handedOut, const void* fromHolder);
// The common cases without ModelLock. ReferenceHandedOut: false when `body` is not in the table
// (the caller takes ModelLock and reports it); otherwise the count after the new reference.
// DereferenceHandedOut: false when the reference might be the last or is not there to drop (the
// caller takes the locked path, which deletes or bug-checks).
bool ReferenceHandedOut(const void* body, const void* holder, long* count);
bool DereferenceHandedOut(const void* body, const void* holder, long* remaining);
// Reads, with `body`'s shard held shared, a pointer `next` that writers change only with that
// shard held exclusive (see LockShardExclusive), and hands out a reference on the object it names
// to `holder`. False when `body` is no live object of `kind` or the pointed-to object could not
// be referenced without ModelLock (the caller takes the locked path); otherwise *target is the
// referenced object, or null when `next` gave none.
bool ReferenceThrough(const void* body, ObjectKind kind, void* (*next)(const void* body), const void* holder,
                      void** target);
// Held exclusive around a change of a field that ReferenceThrough reads (ModelLock held too).
std::unique_lock<std::shared_mutex> LockShardExclusive(const void* body);
void FinishLastReference(ObjectHeader* header);
// Convenience forms that take ModelLock themselves.
void ReferenceModel(void* body);
void DereferenceModel(void* body);

// All live headers, in creation order (ModelLock held).
std::vector<ObjectHeader*> AllObjectsLocked();
// Lines for the references handed out and not dropped: held by `image` only, or (with
// `allImages`) by anyone. `drop` drops the listed references (objects may go).
std::string HeldReferences(const void* image, bool allImages, bool drop);

// Name space. Names are counted strings compared case-insensitively with their exact length
// (they may contain U+0000 and spaces). The caller holds ModelLock.
std::u16string ToString(const UNICODE_STRING* name);
std::string Printable(const std::u16string& name);
NTSTATUS InsertNameLocked(ObjectHeader* header, const std::u16string& fullName);
void RemoveNameLocked(ObjectHeader* header);
struct LookupResult {
    NTSTATUS status;
    ObjectHeader* object;
    std::u16string remaining;  // path after the object ("\dir\file"), empty when none
};
// Follows symbolic links wherever they appear in the path.
LookupResult LookupLocked(const std::u16string& path);
// Symbolic links: a name in the name space that stands for another (`creator`: the image that
// made it, null for the model or test code). Insert: STATUS_OBJECT_NAME_COLLISION when the name is
// taken. Remove: STATUS_OBJECT_NAME_NOT_FOUND when nothing has the name,
// STATUS_OBJECT_TYPE_MISMATCH when it is no link.
NTSTATUS InsertLinkLocked(const std::u16string& linkName, const std::u16string& target, const void* creator);
NTSTATUS RemoveLinkLocked(const std::u16string& linkName);
// Lines for the links `image` created and did not delete; removes them when `remove` is set.
std::string LinksCreatedByImageLocked(const void* image, bool remove);
// The root with its \Device, \Driver, \FileSystem and \?? directories and the \DosDevices link
// (made at boot, gone at shutdown).
void BootNamespaceLocked();
void ShutdownNamespaceLocked();

// Handle tables, one per process. A handle holds one model reference on its object; `holder` is
// the image that opened it (attributed like references). Kernel handles (OBJ_KERNEL_HANDLE) live
// in the System process's table and have the high bits set, as on Windows.
HANDLE SystemProcessId();
HANDLE CurrentProcessId();
bool IsKernelHandle(HANDLE handle);
// Takes over one model reference of the caller's for the new handle.
HANDLE InsertHandle(ObjectHeader* header, ACCESS_MASK granted, bool kernelHandle, const void* holder);
// Resolves a handle as seen from `mode` and the current process and hands out a reference held
// by `holder`. STATUS_INVALID_HANDLE when the handle is not open there.
NTSTATUS ReferenceByHandle(HANDLE handle, KPROCESSOR_MODE mode, const void* holder, ObjectHeader** header,
                           ACCESS_MASK* granted);
// Closes a handle: the last handle of an object runs its lastHandle routine, then the handle's
// reference goes.
NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode);
// Closes every handle a process still has (process exit, model shutdown).
void CloseProcessHandles(HANDLE processId);
void CloseAllHandles();
// Lines for the handles still open, one per handle; empty when none.
std::string HandleLeakReport();
// Lines for the handles opened by code of `image` still open; closes them when `close` is set.
std::string HandlesHeldByImage(const void* image, bool close);
void ResetHandleTablesLocked();
// Object name for reports: its name, or its kind and address.
std::string DescribeLocked(const ObjectHeader* header);

// Whether `body` is a live object of that kind. Takes no ModelLock.
bool IsLive(const void* body, ObjectKind kind);
// The image of a loaded driver that contains `address`, or null (test code, the model). Each
// thread remembers its last answers for the present set of images, so that the attribution of
// every call from the same place costs no lock.
const void* ImageContaining(const void* address);
// Registered by driver loading: the images whose references, handles and pool are attributed.
void RegisterDriverImage(const void* imageBase, const std::string& displayName);
void UnregisterDriverImage(const void* imageBase);
std::string ImageDisplayName(const void* imageBase);

// Start and end of the object manager's life with the model. Shutdown discards what is left.
void Boot();
void Shutdown();

}  // namespace km::ob
