// The kernel-side routines that tests call in a loaded host image. The image exports them with C
// linkage; HostImageTest resolves each into a typed pointer of the same name: host.BaseInit().
#pragma once

#include "base/platform.h"

// Filled in as the kernel-side headers land: X(name) for each routine.
#define HOST_IMPORTS(X)

struct HostImports {
#define HOST_IMPORT_FIELD(name) decltype(&::name) name;
    HOST_IMPORTS(HOST_IMPORT_FIELD)
#undef HOST_IMPORT_FIELD
    int unused;
};
