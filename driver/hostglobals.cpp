// The host's global record. Only the first field has a start value other than zero, so the record
// is initialised by the image loader and no code runs before driver entry.
#include "driver/hostglobals.h"

HostGlobalsRecord HostGlobals = {FreePoolRoutineNotTaken};
