// The host-loaded test module's control block, shared by the image and the tests. The module
// keeps it in the extension of its device "\Device\<service name>", where a test finds it
// (km::FindDevice) while the module is loaded.
#pragma once

#include "ntmodel/ntifs.h"

// The calls the host makes into the module.
enum HostModuleCallKind : LONG {
    HostModuleIrp,
    HostModuleAttachNotify,
    HostModuleDetachNotify,
    HostModuleProcessNotify,
    HostModuleThreadNotify,
    HostModuleUnloadNotice,
    HostModuleCallKinds,
};

// The number of routine areas the routines build runs from DriverEntry (routines.cpp's table says
// which area each index is).
constexpr LONG RoutinesAreas = 14;

struct HostModuleControl {
    // Set by the test: called by every entry point while it is inside the module (a test holds
    // calls here; the module's frame is below it on the stack).
    void (*Hook)(HostModuleCallKind Kind);
    // Calls received, by kind.
    volatile LONG Calls[HostModuleCallKinds];
    // The module's build (1 or 2), so a swap can tell which module answered.
    LONG Build;
    // Answer to UnloadNotice; the module unlinks itself before a success.
    NTSTATUS NoticeAnswer;
    // The module's own routines for the test: SetLink 0 and WithdrawEntryPoints; and the module's
    // link sequence again (Connect, RegisterEntryPoints, RegisterNotifyForwarders, SetLink 1).
    // Each answers the first failing status (request or reply), STATUS_SUCCESS otherwise.
    NTSTATUS (*Unlink)();
    NTSTATUS (*Link)();
    // The module's entry points, for tests that register them elsewhere (overrides, redirect).
    PDRIVER_DISPATCH IrpDispatch;
    // The routines build: STATUS_SUCCESS per area, or the first failing status (STATUS_UNSUCCESSFUL:
    // a wrong value); zero in the other builds.
    NTSTATUS Routines[RoutinesAreas];
};

// Runs every routine area once with the module's own device and its service key; in the routines
// build only.
void HostModuleRunRoutines(PDEVICE_OBJECT ModuleDevice, PCUNICODE_STRING RegistryPath, NTSTATUS* Status);
