// NTSTATUS values as the controller prints them: "STATUS_INVALID_DEVICE_STATE (0xC0000184)".
#pragma once

#include <cstdint>
#include <string>

std::string StatusText(int32_t status);
