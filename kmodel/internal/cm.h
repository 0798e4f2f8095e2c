// The configuration manager's part in the life of the model: what boot and restart call.
#pragma once

// The registry at boot: the system's own keys, or, after KmCmKeepForNextBoot, the registry of the
// previous boot without its volatile keys.
void KmCmBoot();
// The next boot is a restart: the registry's non-volatile keys survive it.
void KmCmKeepForNextBoot();
