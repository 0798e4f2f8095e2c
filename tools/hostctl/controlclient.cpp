#include "hostctl/controlclient.h"

#include <cstring>

#include "filterhost/protocol.h"

std::basic_string<WCHAR> ControlDeviceName(const std::string& serviceName)
{
    std::basic_string<WCHAR> service;
    for (char c : serviceName) {
        service.push_back(static_cast<WCHAR>(static_cast<unsigned char>(c)));
    }
    WCHAR name[HOST_CONTROL_DEVICE_NAME_CHARACTERS];
    uint32_t characters = HostComposeControlDeviceName<WCHAR>(service.data(), static_cast<uint32_t>(service.size()),
                                                              name, HOST_CONTROL_DEVICE_NAME_CHARACTERS);
    return std::basic_string<WCHAR>(name, characters);
}

NTSTATUS ControlClientEnableLoadDriverPrivilege()
{
    BOOLEAN wasEnabled = FALSE;
    return RtlAdjustPrivilege(SE_LOAD_DRIVER_PRIVILEGE, TRUE, FALSE, &wasEnabled);
}

NTSTATUS ControlClientOpen(ControlClient* client, const std::string& serviceName)
{
    std::basic_string<WCHAR> name = ControlDeviceName(serviceName);
    UNICODE_STRING counted;
    counted.Buffer = &name[0];
    counted.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, 0, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    std::memset(&ioStatus, 0, sizeof(ioStatus));
    return NtCreateFile(&client->Handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &ioStatus, nullptr,
                        0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

void ControlClientClose(ControlClient* client)
{
    if (client->Handle != nullptr) {
        NtClose(client->Handle);
        client->Handle = nullptr;
    }
}

NTSTATUS ControlClientSend(ControlClient* client, ULONG ioControlCode, const void* input, ULONG inputLength,
                           ULONG outputLength, std::vector<unsigned char>* reply)
{
    std::vector<unsigned char> inputCopy(static_cast<const unsigned char*>(input),
                                         static_cast<const unsigned char*>(input) + inputLength);
    reply->assign(outputLength, 0);
    IO_STATUS_BLOCK ioStatus;
    std::memset(&ioStatus, 0, sizeof(ioStatus));
    NTSTATUS status = NtDeviceIoControlFile(client->Handle, nullptr, nullptr, nullptr, &ioStatus, ioControlCode,
                                            inputCopy.empty() ? nullptr : inputCopy.data(), inputLength,
                                            reply->empty() ? nullptr : reply->data(), outputLength);
    reply->resize(NT_SUCCESS(status) && ioStatus.Information <= outputLength ? ioStatus.Information : 0);
    return status;
}
