#include "hostctl/statusnames.h"

#include <cstdio>

namespace {

struct StatusName {
    uint32_t value;
    const char* name;
};

// The statuses the host and the kernel answer the controller with.
constexpr StatusName StatusNames[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000103, "STATUS_PENDING"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000013, "STATUS_NO_MEDIA_IN_DEVICE"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000033, "STATUS_OBJECT_NAME_INVALID"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC0000059, "STATUS_REVISION_MISMATCH"},
    {0xC0000061, "STATUS_PRIVILEGE_NOT_HELD"},
    {0xC000007B, "STATUS_INVALID_IMAGE_FORMAT"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC00000A0, "STATUS_MEMORY_NOT_ALLOCATED"},
    {0xC00000A2, "STATUS_MEDIA_WRITE_PROTECTED"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC00000D4, "STATUS_NOT_SAME_DEVICE"},
    {0xC00000EF, "STATUS_INVALID_PARAMETER_1"},
    {0xC000010E, "STATUS_IMAGE_ALREADY_LOADED"},
    {0xC0000178, "STATUS_NO_MEDIA"},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    {0xC0000206, "STATUS_INVALID_BUFFER_SIZE"},
    {0xC0000225, "STATUS_NOT_FOUND"},
    {0xC000026C, "STATUS_DRIVER_UNABLE_TO_LOAD"},
};

}  // namespace

std::string StatusText(int32_t status)
{
    char value[16];
    std::snprintf(value, sizeof(value), "0x%08X", static_cast<uint32_t>(status));
    for (const StatusName& entry : StatusNames) {
        if (entry.value == static_cast<uint32_t>(status)) {
            return std::string(entry.name) + " (" + value + ")";
        }
    }
    return value;
}
