// Whether the model is running, and which boot it is in.
#pragma once

#include <cstdint>

bool KmIsBooted();
// Changes at every boot and shutdown: per-thread state tagged with an older generation is stale.
uint64_t KmGeneration();
