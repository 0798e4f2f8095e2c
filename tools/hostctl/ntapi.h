// The NT native API as the controller sees it: ntdll on Windows, the kernel model on Linux (where
// the controller runs as a thread of a model user process).
#pragma once

#if defined(_WIN32)
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>

extern "C" NTSTATUS NTAPI RtlAdjustPrivilege(ULONG Privilege, BOOLEAN Enable, BOOLEAN CurrentThread,
                                             PBOOLEAN WasEnabled);
#ifndef SE_LOAD_DRIVER_PRIVILEGE
#define SE_LOAD_DRIVER_PRIVILEGE 10L
#endif
#ifndef FILE_OPEN
#define FILE_OPEN 0x00000001
#endif
#ifndef FILE_SYNCHRONOUS_IO_NONALERT
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#endif
#define HOSTCTL_TEXT(text) L##text
#else
#include "ntmodel/ntifs.h"
#define HOSTCTL_TEXT(text) u##text
#endif
