// Naming and creation of the control device.
#include "driver/controldevice.h"

namespace {

// The prefix every control device name starts with, and the one dropped from the driver's name.
constexpr WCHAR DevicePrefix[] = HOST_TEXT("\\Device\\");
constexpr WCHAR DriverPrefix[] = HOST_TEXT("\\Driver\\");
constexpr USHORT PrefixCharacters = 8;
constexpr USHORT PrefixBytes = PrefixCharacters * sizeof(WCHAR);
static_assert(sizeof(DevicePrefix) == PrefixBytes + sizeof(WCHAR), "\\Device\\ is eight characters");
static_assert(sizeof(DriverPrefix) == PrefixBytes + sizeof(WCHAR), "\\Driver\\ is eight characters");
// Bytes the name needs beyond the driver's own: the prefix, the space, and a U+0000 unless the
// driver's name brings its own.
constexpr USHORT TerminatedNameExtraBytes = PrefixBytes + sizeof(WCHAR);
constexpr USHORT UnterminatedNameExtraBytes = PrefixBytes + 2 * sizeof(WCHAR);

BOOLEAN ControlNameHasDriverPrefix(PCWCH name, USHORT lengthBytes)
{
    if (lengthBytes < PrefixBytes) {
        return FALSE;
    }
    for (USHORT index = 0; index < PrefixCharacters; index += 1) {
        if (name[index] != DriverPrefix[index]) {
            return FALSE;
        }
    }
    return TRUE;
}

// Composes the control device's name for the driver name into buffer (ControlDeviceNameBytes).
// STATUS_UNSUCCESSFUL for an empty name or one that does not fit; the limit counts the full driver
// name, the "\Driver\" that is then dropped included.
HOST_PAGED
NTSTATUS ControlComposeName(PCUNICODE_STRING driverName, PWCH buffer, PUNICODE_STRING deviceName)
{
    PAGED_CODE();
    USHORT length = driverName->Length;
    if (length == 0 || driverName->Buffer == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    USHORT characters = length / sizeof(WCHAR);
    BOOLEAN terminated = characters > 0 && driverName->Buffer[characters - 1] == 0;
    ULONG needed = (ULONG)length + (terminated ? TerminatedNameExtraBytes : UnterminatedNameExtraBytes);
    if (needed > ControlDeviceNameBytes) {
        return STATUS_UNSUCCESSFUL;
    }

    PCWCH source = driverName->Buffer;
    if (ControlNameHasDriverPrefix(source, length)) {
        source += PrefixCharacters;
        length -= PrefixBytes;
    }
    PUCHAR out = reinterpret_cast<PUCHAR>(buffer);
    RtlCopyMemory(out, DevicePrefix, PrefixBytes);
    ULONG used = PrefixBytes;
    RtlCopyMemory(out + used, source, length);
    used += length;
    const WCHAR tail[2] = {0, HOST_TEXT(' ')};
    if (terminated) {
        RtlCopyMemory(out + used, &tail[1], sizeof(WCHAR));
        used += sizeof(WCHAR);
    } else {
        RtlCopyMemory(out + used, tail, sizeof(tail));
        used += sizeof(tail);
    }
    deviceName->Buffer = buffer;
    deviceName->Length = (USHORT)used;
    deviceName->MaximumLength = ControlDeviceNameBytes;
    return STATUS_SUCCESS;
}

}  // namespace

HOST_PAGED
NTSTATUS HostCreateControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* ControlDevice)
{
    PAGED_CODE();
    *ControlDevice = nullptr;
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, ControlDeviceNameBytes, ControlDeviceNamePoolTag));
    if (buffer == nullptr) {
        return STATUS_NO_MEMORY;
    }

    UNICODE_STRING deviceName;
    NTSTATUS status = ControlComposeName(&DriverObject->DriverName, buffer, &deviceName);
    if (NT_SUCCESS(status)) {
        PDEVICE_OBJECT device = nullptr;
        status = IoCreateDevice(DriverObject, sizeof(ControlDeviceExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                FALSE, &device);
        if (NT_SUCCESS(status)) {
            device->Flags |= DO_BUFFERED_IO;
            auto* extension = static_cast<ControlDeviceExtension*>(device->DeviceExtension);
            extension->Magic = ControlDeviceMagic;
            extension->Reserved = 0;
            *ControlDevice = device;
        }
    }
    ExFreePoolWithTag(buffer, 0);
    return status;
}

BOOLEAN HostControlExtensionIsValid(PDEVICE_OBJECT DeviceObject)
{
    auto* extension = static_cast<const ControlDeviceExtension*>(DeviceObject->DeviceExtension);
    return extension != nullptr && extension->Magic == ControlDeviceMagic;
}
