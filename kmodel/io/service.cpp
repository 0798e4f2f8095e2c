// What the system services share: the calling thread's previous mode, the current process, and
// the object types the kernel exports.
#include "internal/ps.h"
#include "io/io_manager.h"

struct _OBJECT_TYPE {
    const char* Name;
};

namespace {

_OBJECT_TYPE FileType{"File"};
_OBJECT_TYPE DeviceType{"Device"};
_OBJECT_TYPE DriverType{"Driver"};
_OBJECT_TYPE KeyType{"Key"};
_OBJECT_TYPE ThreadType{"Thread"};
_OBJECT_TYPE ProcessType{"Process"};
_OBJECT_TYPE EventType{"Event"};
POBJECT_TYPE FileTypePointer = &FileType;
POBJECT_TYPE DeviceTypePointer = &DeviceType;
POBJECT_TYPE DriverTypePointer = &DriverType;
POBJECT_TYPE ThreadTypePointer = &ThreadType;
POBJECT_TYPE ProcessTypePointer = &ProcessType;
POBJECT_TYPE EventTypePointer = &EventType;

// No Zw* service is running on this thread.
constexpr int NoServiceMode = -1;
// The previous mode a Zw* service set for the calling thread, or NoServiceMode.
thread_local int t_serviceMode = NoServiceMode;

}  // namespace

extern "C" {
POBJECT_TYPE* IoFileObjectType = &FileTypePointer;
POBJECT_TYPE* IoDeviceObjectType = &DeviceTypePointer;
POBJECT_TYPE* IoDriverObjectType = &DriverTypePointer;
POBJECT_TYPE* PsThreadType = &ThreadTypePointer;
POBJECT_TYPE* PsProcessType = &ProcessTypePointer;
POBJECT_TYPE* ExEventObjectType = &EventTypePointer;
// A free build of Windows 10 2004 (19041).
ULONG NtBuildNumber = 0xF0000000u | 19041u;
}

namespace km::io {

PVOID ObjectTypeOf(ob::ObjectKind kind)
{
    switch (kind) {
    case ob::ObjectKind::File:
        return FileTypePointer;
    case ob::ObjectKind::Device:
        return DeviceTypePointer;
    case ob::ObjectKind::Driver:
        return DriverTypePointer;
    case ob::ObjectKind::Key:
        return &KeyType;  // the kernel does not export the key type
    case ob::ObjectKind::Thread:
        return ThreadTypePointer;
    case ob::ObjectKind::Process:
        return ProcessTypePointer;
    case ob::ObjectKind::Event:
        return EventTypePointer;
    }
    return nullptr;
}

KPROCESSOR_MODE CurrentPreviousMode()
{
    if (t_serviceMode != NoServiceMode) {
        return static_cast<KPROCESSOR_MODE>(t_serviceMode);
    }
    return KmCurrentThread()->Process == km::SystemProcess() ? KernelMode : UserMode;
}

PreviousModeScope::PreviousModeScope(KPROCESSOR_MODE mode) : saved_(t_serviceMode) { t_serviceMode = mode; }

PreviousModeScope::~PreviousModeScope() { t_serviceMode = saved_; }

}  // namespace km::io

// The mode the current system service was called from: KernelMode inside a Zw* service or on a
// System thread, UserMode on a thread of a user process.
extern "C" KPROCESSOR_MODE NTAPI ExGetPreviousMode(void) { return km::io::CurrentPreviousMode(); }

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(void) { return PsGetCurrentProcess(); }
