// What the routines test module found, by area, in the extension of its device
// "\Device\routinesmodule", where a test reads it (km::FindDevice) while the module is loaded.
#pragma once

#include "ntmodel/ntifs.h"

enum RoutinesModuleArea : LONG {
    RoutinesProcessThread,  // process and thread objects and look-ups
    RoutinesResource,       // executive resources in a critical region
    RoutinesIrp,            // IRPs the module allocates and builds
    RoutinesDataExport,     // data found by MmGetSystemRoutineAddress
    RoutinesPool,           // code run from NonPagedPool
    RoutinesString,         // an empty append
    RoutinesWorkItem,       // a work item run on a system worker thread
    RoutinesFilterIo,       // an FSD request to its own device, an MDL, a cancelled IRP
    RoutinesLookaside,      // a lookaside list
    RoutinesTimer,          // a timer whose DPC signals an event, waited for with a semaphore
    RoutinesAreas,
};

struct RoutinesModuleResults {
    // STATUS_SUCCESS per area, or the first failing status (STATUS_UNSUCCESSFUL: a wrong value).
    NTSTATUS Status[RoutinesAreas];
};
