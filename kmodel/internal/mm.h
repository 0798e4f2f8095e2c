// Export table internals.
#pragma once

// Puts every routine back into the export table (boot).
void KmExportsReset();
