// Helpers shared by the I/O manager's tests.
#pragma once

#include <gmock/gmock.h>

#include <string>

#include "kmodel/io_model.h"
#include "../model_test_util.h"

using ::testing::HasSubstr;

// A counted string over the characters of `text`, every character counted (U+0000 included).
inline UNICODE_STRING Counted(const std::u16string& text)
{
    UNICODE_STRING string;
    string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    string.Buffer = const_cast<PWCH>(text.data());
    return string;
}

inline std::u16string FromCounted(const UNICODE_STRING& string)
{
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

// A buffered device-control code any handle may send.
constexpr ULONG IoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Completes `irp` with `status` and `information`; returns `status` for a dispatch routine.
inline NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// For a dispatch routine: marks `irp` pending and completes it on a new System thread, which the
// caller joins. Returns that thread.
inline km::Thread* PendAndCompleteElsewhere(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    IoMarkIrpPending(irp);
    return km::StartThread(km::SystemProcess(), [=] { CompleteIrp(irp, status, information); });
}

// What the test driver image iotest.so does in DriverEntry and DriverUnload (IoTestScenario).
enum IoTestScenario : LONG { StartWithUnload, StartWithoutUnload, FailClean, FailLeaky, UnloadLeaky };
constexpr IoTestScenario UnloadLinkAndNotify = IoTestScenario(7);

// A variable the test driver image exports.
template <typename T>
T& IoTestVariable(km::Image* image, const char* name)
{
    return *static_cast<T*>(km::ImageSymbol(image, name));
}

// Loads the test driver image to play `scenario`.
inline km::DriverLoadResult LoadIoTest(IoTestScenario scenario, km::DriverLoadOptions options = {})
{
    options.beforeEntry = [scenario](km::Image* image) { IoTestVariable<LONG>(image, "IoTestScenario") = scenario; };
    return km::LoadDriver(km::ImagePath("iotest.so"), options);
}

// The registry path the test driver's DriverEntry was given.
inline std::u16string IoTestRegistryPath(km::Image* image)
{
    return std::u16string(IoTestVariable<WCHAR[128]>(image, "IoTestRegistryPath"),
                          IoTestVariable<USHORT>(image, "IoTestRegistryPathLength") / sizeof(WCHAR));
}

// ObReferenceObjectByName for a device object, in kernel mode.
inline NTSTATUS ReferenceDeviceByName(const std::u16string& name, PVOID* object)
{
    UNICODE_STRING counted = Counted(name);
    return ObReferenceObjectByName(&counted, 0, nullptr, 0, *IoDeviceObjectType, KernelMode, nullptr, object);
}
