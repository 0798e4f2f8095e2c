// The kernel model's registry as tests see it: reading and writing keys and values without
// handles. Kernel code uses the Zw*Key routines instead; it never includes this header.
//
// Every boot starts from the system's own keys: \REGISTRY\MACHINE with SYSTEM\CurrentControlSet
// (Services, Control) and SOFTWARE, which persist, and HARDWARE, which is volatile; and
// \REGISTRY\USER. km::Restart keeps what persists (non-volatile keys and their values) and drops
// every volatile key, as a reboot does; km::Boot after km::Shutdown starts afresh.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kmodel/model.h"
#include "ntmodel/ntifs.h"

namespace km {

enum class RegistryKeyState { Absent, NonVolatile, Volatile };
// Whether the key of that full path (case-insensitive) exists, and how.
RegistryKeyState QueryRegistryKey(const std::u16string& path);

struct RegistryValue {
    ULONG type;
    std::vector<uint8_t> data;
};
// The value (an empty name is the key's default value); none when the key or the value is absent.
std::optional<RegistryValue> ReadRegistryValue(const std::u16string& keyPath, const std::u16string& valueName);
// Creates the key and any missing key above it (volatile ones when `isVolatile`) and sets the
// value. Bug-checks as misuse when the key cannot be created (a non-volatile key under a volatile
// one, a path outside \REGISTRY).
void WriteRegistryValue(const std::u16string& keyPath, const std::u16string& valueName, ULONG type,
                        const std::vector<uint8_t>& data, bool isVolatile = false);

// Value data of a REG_SZ or REG_EXPAND_SZ: the characters and one terminating U+0000.
inline std::vector<uint8_t> RegistryString(const std::u16string& text)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.c_str());
    return std::vector<uint8_t>(bytes, bytes + (text.size() + 1) * sizeof(char16_t));
}
inline std::vector<uint8_t> RegistryDword(ULONG value)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(bytes, bytes + sizeof value);
}

}  // namespace km
