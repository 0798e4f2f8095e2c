// What the benchmark shares with the forwarding module image: the lock keys that mark a probe
// request and a drain request, and the line the module prints as it unloads. The module counts the
// reads it forwards that carry the probe key (ForwardingModuleProbeCalls), so that a benchmark can
// check, outside its timed loop, whether its reads reach the module. When a forwarded read that
// carries the drain key returns, the module stamps the model time (KeQueryInterruptTime) and prints
// the last stamp in FORWARDING_MODULE_UNLOAD_LINE as it unloads: the start of an unload's drain.
#pragma once

#include <stdint.h>

#define FORWARDING_MODULE_PROBE_KEY 0x65626F72u
#define FORWARDING_MODULE_DRAIN_KEY 0x6E696172u
// The module's last words, with the stamp in 100-nanosecond units (0: no drain read came).
#define FORWARDING_MODULE_UNLOAD_LINE "forwarding module unloading: last drain read left at %lld"
