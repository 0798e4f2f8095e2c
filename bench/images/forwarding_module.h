// What the benchmark shares with the forwarding module image: the lock key that marks a probe
// request. The module counts the reads it forwards that carry this key (ForwardingModuleProbeCalls),
// so that a benchmark can check, outside its timed loop, whether its reads reach the module.
#pragma once

#include <stdint.h>

#define FORWARDING_MODULE_PROBE_KEY 0x65626F72u
