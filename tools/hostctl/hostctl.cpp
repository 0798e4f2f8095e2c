#include "hostctl/hostctl.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "filterhost/protocol.h"
#include "hostctl/controlclient.h"
#include "hostctl/statusnames.h"

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "usage: hostctl [--service NAME] COMMAND\n"
    "  --service NAME   service name of the host driver (default: filterhost)\n"
    "commands:\n"
    "  version          print the host's protocol version\n";

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// Queries the protocol version.
int RunVersion(ControlClient* client, std::string* out)
{
    std::vector<unsigned char> reply;
    NTSTATUS status = ControlClientSend(client, IOCTL_HOST_QUERY_VERSION, nullptr, 0, sizeof(HostVersionReply), &reply);
    if (!NT_SUCCESS(status)) {
        *out += "version: " + StatusText(status) + "\n";
        return ExitFailure;
    }
    if (reply.size() < sizeof(uint32_t)) {
        *out += "version: short reply (" + std::to_string(reply.size()) + " bytes)\n";
        return ExitFailure;
    }
    uint32_t version = 0;
    std::memcpy(&version, reply.data(), sizeof(version));
    *out += "host protocol version " + Hex32(version) + "\n";
    return ExitSuccess;
}

}  // namespace

int HostCtlRun(const std::vector<std::string>& arguments, std::string* out)
{
    std::string service = HostCtlDefaultService;
    size_t next = 0;
    if (next + 1 < arguments.size() && arguments[next] == "--service") {
        service = arguments[next + 1];
        next += 2;
    }
    if (next >= arguments.size()) {
        *out += Usage;
        return ExitUsage;
    }
    const std::string& command = arguments[next];
    if (command != "version") {
        *out += "hostctl: unknown command '" + command + "'\n";
        *out += Usage;
        return ExitUsage;
    }

    ControlClient client;
    NTSTATUS status = ControlClientOpen(&client, service, true);
    if (!NT_SUCCESS(status)) {
        *out += "cannot open the control device of '" + service + "': " + StatusText(status) + "\n";
        return ExitFailure;
    }
    int exitCode = RunVersion(&client, out);
    ControlClientClose(&client);
    return exitCode;
}
