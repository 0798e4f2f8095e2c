#include "hostctl/hostctl.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "filterhost/protocol.h"
#include "hostctl/controlclient.h"
#include "hostctl/statusnames.h"

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// What one invocation asks for, as parsed from the command line.
struct Invocation {
    std::string host = HostCtlDefaultService;
    std::string image;
    std::string moduleService;
    std::string linkSwitch;
    bool stay = false;
};

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

// Sends a command block and prints both levels of the outcome: whether the host delivered a reply
// (the request's status) and how the command went (the reply's Status). `accepted` is the reply
// status that counts as success besides STATUS_SUCCESS (RequestUnload answers STATUS_PENDING).
int RunCommand(ControlClient* client, const char* name, const std::vector<unsigned char>& block, std::string* out,
               NTSTATUS accepted = STATUS_SUCCESS)
{
    std::vector<unsigned char> reply;
    NTSTATUS status = ControlClientSend(client, IOCTL_HOST_COMMAND, block.data(), static_cast<ULONG>(block.size()),
                                        HEADER_ONLY_REPLY_BYTES, &reply);
    if (!NT_SUCCESS(status)) {
        *out += std::string(name) + ": request failed: " + StatusText(status) + ", no reply\n";
        if (status == STATUS_PRIVILEGE_NOT_HELD || status == STATUS_ACCESS_DENIED) {
            *out += "hostctl: the host refused the caller: run it with SeLoadDriverPrivilege (as an administrator)\n";
        }
        return ExitFailure;
    }
    if (reply.size() < sizeof(ControlReply)) {
        *out += std::string(name) + ": request " + StatusText(status) + ", short reply (" +
                std::to_string(reply.size()) + " bytes)\n";
        return ExitFailure;
    }
    ControlReply header;
    std::memcpy(&header, reply.data(), sizeof(header));
    *out += std::string(name) + ": request " + StatusText(status) + ", reply status " + StatusText(header.Status) + "\n";
    return header.Status == STATUS_SUCCESS || header.Status == accepted ? ExitSuccess : ExitFailure;
}

std::vector<unsigned char> SimpleBlock(HostCommand command, uint32_t argument)
{
    ControlRequest request{};
    request.Command = command;
    request.Argument = argument;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&request);
    return std::vector<unsigned char>(bytes, bytes + sizeof(request));
}

// The service name a module gets by default: the image's file name without its extension.
std::string ServiceFromImage(const std::string& image)
{
    size_t slash = image.find_last_of("\\/");
    std::string file = slash == std::string::npos ? image : image.substr(slash + 1);
    size_t dot = file.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
}

// Copies an ASCII text into wide characters with a terminating U+0000; false when it holds a
// character beyond ASCII or does not fit `capacity` characters.
bool WidenAscii(const std::string& text, uint16_t* wide, size_t capacity)
{
    if (text.size() + 1 > capacity) {
        return false;
    }
    for (size_t index = 0; index < text.size(); index += 1) {
        if (static_cast<unsigned char>(text[index]) > 0x7F) {
            return false;
        }
        wide[index] = static_cast<unsigned char>(text[index]);
    }
    wide[text.size()] = 0;
    return true;
}

// LoadModule's 638-byte block: the image path with its terminating U+0000 (its byte count in
// Argument; the host stores it as the service's "ImagePath"), and the service name with its
// terminator. Empty, with the reason in *error, when a name is not ASCII or too long.
std::vector<unsigned char> LoadBlock(const std::string& image, const std::string& service, std::string* error)
{
    LoadModuleRequest request{};
    request.Header.Command = HostCommandLoadModule;
    const size_t serviceCharacters = LOAD_MODULE_SERVICE_NAME_BYTES / 2;
    if (!WidenAscii(image, request.ImagePath, LOAD_MODULE_IMAGE_PATH_BYTES / 2)) {
        *error = "the image path must be ASCII and at most " + std::to_string(LOAD_MODULE_IMAGE_PATH_BYTES / 2 - 1) +
                 " characters";
        return {};
    }
    if (service.empty() || !WidenAscii(service, request.ServiceName, serviceCharacters)) {
        *error = "the service name must be ASCII, 1 to " + std::to_string(serviceCharacters - 1) + " characters";
        return {};
    }
    request.Header.Argument = static_cast<uint32_t>((image.size() + 1) * 2);
    request.ServiceNameLength = static_cast<uint16_t>((service.size() + 1) * 2);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&request);
    return std::vector<unsigned char>(bytes, bytes + LOAD_MODULE_REQUEST_BYTES);
}

// Opens the control device (enabling SeLoadDriverPrivilege first for a command that needs it) and
// runs `body`; says clearly when the device is absent or the privilege is missing.
template <typename Body>
int WithHost(const Invocation& invocation, const char* name, uint32_t command, std::string* out, Body body)
{
    if (command != 0) {
        const HostCommandRule* rule = HostFindCommandRule(command);
        if (rule != nullptr && rule->Requestor == HostRequestorKernelOnly) {
            *out += std::string(name) + ": the host accepts this command from kernel mode only\n";
            return ExitFailure;
        }
        NTSTATUS privilege = ControlClientEnableLoadDriverPrivilege();
        if (!NT_SUCCESS(privilege)) {
            *out += std::string(name) + ": SeLoadDriverPrivilege is missing (" + StatusText(privilege) +
                    "): run hostctl as an administrator\n";
            return ExitFailure;
        }
    }
    ControlClient client;
    NTSTATUS status = ControlClientOpen(&client, invocation.host);
    if (!NT_SUCCESS(status)) {
        if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) {
            *out += "hostctl: the control device of host '" + invocation.host +
                    "' is absent; is the host driver loaded? (" + StatusText(status) + ")\n";
        } else {
            *out += "hostctl: cannot open the control device of host '" + invocation.host + "': " +
                    StatusText(status) + "\n";
        }
        return ExitFailure;
    }
    int exitCode = body(&client);
    ControlClientClose(&client);
    return exitCode;
}

}  // namespace

int HostCtlRun(const std::vector<std::string>& arguments, std::string* out,
               const std::function<void(std::string* out)>& stay)
{
    Invocation invocation;
    CLI::App app{"hostctl: load, link and unload the filter module of a filterhost host driver", "hostctl"};
    app.require_subcommand(1);
    app.add_option("--host", invocation.host, "service name of the host driver")->capture_default_str();
    CLI::App* version = app.add_subcommand("version", "print the host's protocol version");
    CLI::App* load = app.add_subcommand("load", "load a filter module (LoadModule)");
    load->add_option("IMAGE", invocation.image, "image path as the service's ImagePath, e.g. \\??\\C:\\sample.sys")
        ->required();
    load->add_option("--service", invocation.moduleService, "the module's service name (default: the image's name)");
    load->add_flag("--stay", invocation.stay,
                   "keep running until Enter: the host unloads the module when its loading process exits");
    CLI::App* unload = app.add_subcommand("unload", "unload the module now (UnloadModule; the module must be unlinked)");
    CLI::App* requestUnload =
        app.add_subcommand("request-unload", "ask the module to let go, then unload it (RequestUnload)");
    CLI::App* withdraw = app.add_subcommand(
        "withdraw", "withdraw the module's entry points (WithdrawEntryPoints; after link off, before unload)");
    CLI::App* link = app.add_subcommand("link", "switch forwarding to the module on or off (SetLink)");
    link->add_option("SWITCH", invocation.linkSwitch, "on or off")->required()->check(CLI::IsMember({"on", "off"}));

    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        std::ostringstream stream;
        int code = app.exit(error, stream, stream);
        *out += stream.str();
        return code == 0 ? ExitSuccess : ExitUsage;
    }

    if (version->parsed()) {
        return WithHost(invocation, "version", 0, out, [&](ControlClient* client) { return RunVersion(client, out); });
    }
    if (load->parsed()) {
        std::string service = invocation.moduleService.empty() ? ServiceFromImage(invocation.image)
                                                               : invocation.moduleService;
        std::string error;
        std::vector<unsigned char> block = LoadBlock(invocation.image, service, &error);
        if (block.empty()) {
            *out += "load: " + error + "\n";
            return ExitUsage;
        }
        if (invocation.stay && !stay) {
            *out += "load: --stay is not available here\n";
            return ExitUsage;
        }
        return WithHost(invocation, "load", HostCommandLoadModule, out, [&](ControlClient* client) {
            *out += "load: service '" + service + "', image '" + invocation.image + "'\n";
            int exitCode = RunCommand(client, "load", block, out);
            if (exitCode == ExitSuccess && invocation.stay) {
                *out += "load: the module stays loaded until Enter is pressed\n";
                stay(out);
            }
            return exitCode;
        });
    }
    if (unload->parsed()) {
        return WithHost(invocation, "unload", HostCommandUnloadModule, out, [&](ControlClient* client) {
            return RunCommand(client, "unload", SimpleBlock(HostCommandUnloadModule, 0), out);
        });
    }
    if (requestUnload->parsed()) {
        // The host replies STATUS_PENDING once its worker has started; the unload's own outcome
        // is not reported back.
        return WithHost(invocation, "request-unload", HostCommandRequestUnload, out, [&](ControlClient* client) {
            return RunCommand(client, "request-unload", SimpleBlock(HostCommandRequestUnload, 0), out, STATUS_PENDING);
        });
    }
    if (withdraw->parsed()) {
        return WithHost(invocation, "withdraw", HostCommandWithdrawEntryPoints, out, [&](ControlClient* client) {
            return RunCommand(client, "withdraw", SimpleBlock(HostCommandWithdrawEntryPoints, 0), out);
        });
    }
    uint32_t linkSwitch = invocation.linkSwitch == "on" ? HOST_LINK_ON : HOST_LINK_OFF;
    return WithHost(invocation, "link", HostCommandSetLink, out, [&](ControlClient* client) {
        return RunCommand(client, "link", SimpleBlock(HostCommandSetLink, linkSwitch), out);
    });
}
