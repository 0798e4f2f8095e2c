// Processes and threads (Ps).
#pragma once

#include "ke.h"

typedef struct _KPROCESS* PEPROCESS;
typedef struct _KTHREAD* PETHREAD;

typedef void(NTAPI* PCREATE_PROCESS_NOTIFY_ROUTINE)(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
typedef void(NTAPI* PCREATE_THREAD_NOTIFY_ROUTINE)(HANDLE ProcessId, HANDLE ThreadId, BOOLEAN Create);

extern "C" {

NTSYSAPI HANDLE NTAPI PsGetCurrentThreadId(void);
NTSYSAPI HANDLE NTAPI PsGetCurrentProcessId(void);
NTSYSAPI PETHREAD NTAPI PsGetCurrentThread(void);
NTSYSAPI PEPROCESS NTAPI PsGetCurrentProcess(void);
NTSYSAPI HANDLE NTAPI PsGetProcessId(PEPROCESS Process);
NTSYSAPI HANDLE NTAPI PsGetThreadId(PETHREAD Thread);

// Process and thread notify routines: called at PASSIVE_LEVEL when a process is created (on the
// creating thread) or exits (on its last thread), and when a thread is created (on the creating
// thread) or exits (on that thread). At most 64 of each kind.
NTSYSAPI NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine, BOOLEAN Remove);
NTSYSAPI NTSTATUS NTAPI PsSetCreateThreadNotifyRoutine(PCREATE_THREAD_NOTIFY_ROUTINE NotifyRoutine);
NTSYSAPI NTSTATUS NTAPI PsRemoveCreateThreadNotifyRoutine(PCREATE_THREAD_NOTIFY_ROUTINE NotifyRoutine);

}  // extern "C"
