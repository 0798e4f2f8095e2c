// Processes and threads (Ps).
#pragma once

#include "ke.h"

typedef struct _KPROCESS* PEPROCESS;
typedef struct _KTHREAD* PETHREAD;

typedef void(NTAPI* PCREATE_PROCESS_NOTIFY_ROUTINE)(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
typedef void(NTAPI* PCREATE_THREAD_NOTIFY_ROUTINE)(HANDLE ProcessId, HANDLE ThreadId, BOOLEAN Create);

// What an image-load notify routine is told about the image mapped.
#define IMAGE_ADDRESSING_MODE_32BIT 3
typedef struct _IMAGE_INFO {
    union {
        ULONG Properties;
        struct {
            ULONG ImageAddressingMode : 8;
            ULONG SystemModeImage : 1;
            ULONG ImageMappedToAllPids : 1;
            ULONG ExtendedInfoPresent : 1;
            ULONG MachineTypeMismatch : 1;
            ULONG ImageSignatureLevel : 4;
            ULONG ImageSignatureType : 3;
            ULONG ImagePartialMap : 1;
            ULONG Reserved : 12;
        };
    };
    PVOID ImageBase;
    ULONG ImageSelector;
    SIZE_T ImageSize;
    ULONG ImageSectionNumber;
} IMAGE_INFO, *PIMAGE_INFO;
// Called with ProcessId null for a driver image, before its DriverEntry runs.
typedef void(NTAPI* PLOAD_IMAGE_NOTIFY_ROUTINE)(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo);

// Declared in full with the object manager (io.h).
typedef struct _OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef void(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define THREAD_ALL_ACCESS 0x001FFFFFL
#define PROCESS_ALL_ACCESS 0x001FFFFFL
// The pseudo-handle of the calling process.
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)

typedef enum _PROCESSINFOCLASS {
    ProcessBasicInformation = 0,
    ProcessImageFileName = 27,
} PROCESSINFOCLASS;

extern "C" {

NTSYSAPI HANDLE NTAPI PsGetCurrentThreadId(void);
NTSYSAPI HANDLE NTAPI PsGetCurrentProcessId(void);
NTSYSAPI PETHREAD NTAPI PsGetCurrentThread(void);
NTSYSAPI PEPROCESS NTAPI PsGetCurrentProcess(void);
NTSYSAPI HANDLE NTAPI PsGetProcessId(PEPROCESS Process);
NTSYSAPI HANDLE NTAPI PsGetThreadId(PETHREAD Thread);

// Looking processes and threads up by id: a reference the caller drops with ObDereferenceObject,
// or STATUS_INVALID_PARAMETER when no such process (that has not exited) or thread (that has not
// ended) exists. IRQL <= APC_LEVEL.
NTSYSAPI NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process);
NTSYSAPI NTSTATUS NTAPI PsLookupThreadByThreadId(HANDLE ThreadId, PETHREAD* Thread);
NTSYSAPI PEPROCESS NTAPI IoThreadToProcess(PETHREAD Thread);
NTSYSAPI HANDLE NTAPI PsGetThreadProcessId(PETHREAD Thread);
// TRUE for a thread of the System process.
NTSYSAPI BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread);
// ProcessImageFileName: a UNICODE_STRING followed by the image name (empty for System);
// STATUS_INFO_LENGTH_MISMATCH with the size needed in *ReturnLength when the buffer is short.
// PASSIVE_LEVEL.
NTSYSAPI NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                                  PVOID ProcessInformation, ULONG ProcessInformationLength,
                                                  PULONG ReturnLength);

// Process and thread notify routines: called at PASSIVE_LEVEL when a process is created (on the
// creating thread) or exits (on its last thread), and when a thread is created (on the creating
// thread) or exits (on that thread). At most 64 of each kind.
NTSYSAPI NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine, BOOLEAN Remove);
NTSYSAPI NTSTATUS NTAPI PsSetCreateThreadNotifyRoutine(PCREATE_THREAD_NOTIFY_ROUTINE NotifyRoutine);
NTSYSAPI NTSTATUS NTAPI PsRemoveCreateThreadNotifyRoutine(PCREATE_THREAD_NOTIFY_ROUTINE NotifyRoutine);
// Image-load notify routines: called at PASSIVE_LEVEL on the loading thread as each driver image
// is mapped (the model maps no user images). At most 64.
NTSYSAPI NTSTATUS NTAPI PsSetLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine);
NTSYSAPI NTSTATUS NTAPI PsRemoveLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine);

// System threads. PsCreateSystemThread starts StartRoutine on a new thread of the System process
// at PASSIVE_LEVEL (ProcessHandle null) and answers a handle to the thread object, in the calling
// process's table unless the attributes ask for OBJ_KERNEL_HANDLE; the thread object is signalled
// when the thread ends. PsTerminateSystemThread ends the calling system thread and never returns.
NTSYSAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                             POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                             PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
NTSYSAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
extern NTSYSAPI POBJECT_TYPE* PsThreadType;
extern NTSYSAPI POBJECT_TYPE* PsProcessType;
// The System process, from boot on.
extern NTSYSAPI PEPROCESS PsInitialSystemProcess;
// The kernel's build number, with the high nibble 0xF of a free build.
extern NTSYSAPI ULONG NtBuildNumber;
// The event object type (the type of an event's handle).
extern NTSYSAPI POBJECT_TYPE* ExEventObjectType;

}  // extern "C"
