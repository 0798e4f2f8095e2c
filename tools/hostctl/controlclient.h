// The controller's connection to the host's control device: open it by its exact NT name and
// send the version query or a command block.
#pragma once

#include <string>
#include <vector>

#include "hostctl/ntapi.h"

struct ControlClient {
    HANDLE Handle = nullptr;
};

// The control device's NT name for a host whose driver object is \Driver\<serviceName>, by the
// protocol's rule (HostComposeControlDeviceName); empty for a name too long for the host.
std::basic_string<WCHAR> ControlDeviceName(const std::string& serviceName);

// Enables SeLoadDriverPrivilege in the process's token: STATUS_PRIVILEGE_NOT_HELD when the
// process does not hold it at all.
NTSTATUS ControlClientEnableLoadDriverPrivilege();
// Opens the control device for synchronous I/O. A process without the privilege still opens the
// device (the host refuses it per command).
NTSTATUS ControlClientOpen(ControlClient* client, const std::string& serviceName);
void ControlClientClose(ControlClient* client);

// Sends one device-control request. `reply` is resized to the output length before the call and
// to the bytes the host delivered after it. Returns the request's final status.
NTSTATUS ControlClientSend(ControlClient* client, ULONG ioControlCode, const void* input, ULONG inputLength,
                           ULONG outputLength, std::vector<unsigned char>* reply);
