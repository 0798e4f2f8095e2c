// The NT kernel surface that kernel code sees when it is built against the model: the stand-in
// for the DDK's <ntifs.h>.
#pragma once

#define _NTIFS_INCLUDED_

#include "nttypes.h"
#include "ntstatus.h"
#include "ke.h"
#include "ex.h"
#include "rtl.h"
#include "mm.h"
#include "ps.h"
#include "io.h"
#include "cm.h"
