// The image loader's internals shared with the I/O manager.
#pragma once

#include <cstdint>
#include <string>

// Whether an image of that path is mapped now (loaded and not yet unloaded).
bool KmLdrIsLoaded(const std::string& path);
// The address range [start, end) of an image that has just been unmapped stays reserved and
// inaccessible for the life of the process, so that nothing else is mapped there; any access to
// it is a bug check naming `name` (DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS).
void KmLdrReserveUnloadedRange(uintptr_t start, uintptr_t end, const std::string& name);
namespace km {
struct Image;
}
// The page-rounded address range [*start, *end) of the loaded object whose load bias is `base`;
// both 0 when no loaded object has it.
void KmLdrRangeAt(uintptr_t base, uintptr_t* start, uintptr_t* end);
// The page-rounded address range [*start, *end) of a loaded image's segments; both 0 when it
// cannot be found.
void KmLdrMappedRange(const km::Image* image, uintptr_t* start, uintptr_t* end);
