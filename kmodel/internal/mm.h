// Export table internals.
#pragma once

// Puts every routine back into the export table (boot).
void KmExportsReset();

#include "internal/ps.h"

// The pageable-code checks of KeRaiseIrql and KeLowerIrql (mm/pageable.cpp): the thread's IRQL
// goes from `from` to `to`.
void KmPageableIrqlRaised(km::Thread* thread, KIRQL from, KIRQL to);
void KmPageableIrqlLowered(km::Thread* thread, KIRQL from, KIRQL to);
