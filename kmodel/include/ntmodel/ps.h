// Processes and threads (Ps).
#pragma once

#include "ke.h"

typedef struct _KPROCESS* PEPROCESS;
typedef struct _KTHREAD* PETHREAD;

extern "C" {

NTSYSAPI HANDLE NTAPI PsGetCurrentThreadId(void);
NTSYSAPI HANDLE NTAPI PsGetCurrentProcessId(void);
NTSYSAPI PETHREAD NTAPI PsGetCurrentThread(void);
NTSYSAPI PEPROCESS NTAPI PsGetCurrentProcess(void);
NTSYSAPI HANDLE NTAPI PsGetProcessId(PEPROCESS Process);
NTSYSAPI HANDLE NTAPI PsGetThreadId(PETHREAD Thread);

}  // extern "C"
