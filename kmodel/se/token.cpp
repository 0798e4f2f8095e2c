// Tokens: one per process, with each privilege absent, present but disabled, or enabled;
// SeSinglePrivilegeCheck, RtlAdjustPrivilege and the tests' privilege settings.
#include <array>
#include <map>

#include "internal/verifier.h"
#include "io/io_manager.h"

namespace km::io {

namespace {

#ifndef STATUS_NO_SUCH_PRIVILEGE
constexpr NTSTATUS StatusNoSuchPrivilege = static_cast<NTSTATUS>(0xC0000060L);
#else
constexpr NTSTATUS StatusNoSuchPrivilege = STATUS_NO_SUCH_PRIVILEGE;
#endif

struct Token {
    std::array<PrivilegeState, SE_MAX_WELL_KNOWN_PRIVILEGE + 1> privileges;
};

// By process id. Guarded by ob::ModelLock.
std::map<HANDLE, Token>& Tokens()
{
    static auto* tokens = new std::map<HANDLE, Token>;
    return *tokens;
}

bool IsPrivilege(ULONG privilege)
{
    return privilege >= SE_MIN_WELL_KNOWN_PRIVILEGE && privilege <= SE_MAX_WELL_KNOWN_PRIVILEGE;
}

// The token of a process, made on first use: the System process holds every privilege enabled,
// a user process SeChangeNotifyPrivilege only, as a standard user's token.
Token& TokenOfLocked(HANDLE processId)
{
    auto found = Tokens().find(processId);
    if (found != Tokens().end()) {
        return found->second;
    }
    Token token;
    bool system = processId == ob::SystemProcessId();
    token.privileges.fill(system ? PrivilegeState::Enabled : PrivilegeState::Absent);
    token.privileges[SE_CHANGE_NOTIFY_PRIVILEGE] = PrivilegeState::Enabled;
    return Tokens()[processId] = token;
}

void SetPrivilege(Process* process, ULONG privilege, PrivilegeState state)
{
    if (!IsPrivilege(privilege)) {
        KmModelMisuse("privilege %lu is not a privilege", (unsigned long)privilege);
    }
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    TokenOfLocked(km::ProcessId(process)).privileges[privilege] = state;
}

}  // namespace

void BootSecurity()
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    Tokens().clear();
}

void ShutdownSecurity() { BootSecurity(); }

void ForgetProcessToken(HANDLE processId)
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    Tokens().erase(processId);
}

}  // namespace km::io

using namespace km::io;
namespace ob = km::ob;
using km::PrivilegeState;

void km::GrantPrivilege(Process* process, ULONG privilege, bool enabled)
{
    SetPrivilege(process, privilege, enabled ? PrivilegeState::Enabled : PrivilegeState::Disabled);
}

void km::RevokePrivilege(Process* process, ULONG privilege)
{
    SetPrivilege(process, privilege, PrivilegeState::Absent);
}

km::PrivilegeState km::QueryPrivilege(Process* process, ULONG privilege)
{
    if (!IsPrivilege(privilege)) {
        return PrivilegeState::Absent;
    }
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    return TokenOfLocked(km::ProcessId(process)).privileges[privilege];
}

void km::RunAsUser(const std::function<void()>& body, const std::vector<std::pair<ULONG, bool>>& privileges)
{
    Process* process = km::CreateProcess("user.exe");
    for (auto& privilege : privileges) {
        GrantPrivilege(process, privilege.first, privilege.second);
    }
    km::RunInProcess(process, body);
    km::ExitProcess(process);
}

// Whether the caller may use a privilege: always from kernel mode; from user mode when the
// current process's token holds it enabled.
extern "C" BOOLEAN NTAPI SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode)
{
    if (PreviousMode == KernelMode) {
        return TRUE;
    }
    if (PrivilegeValue.HighPart != 0 || !IsPrivilege(PrivilegeValue.LowPart)) {
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    return TokenOfLocked(ob::CurrentProcessId()).privileges[PrivilegeValue.LowPart] == PrivilegeState::Enabled;
}

// Enables or disables a privilege of the current process's token. The model gives threads no
// impersonation tokens, so CurrentThread answers STATUS_NO_TOKEN.
extern "C" NTSTATUS NTAPI RtlAdjustPrivilege(ULONG Privilege, BOOLEAN Enable, BOOLEAN CurrentThread,
                                             PBOOLEAN WasEnabled)
{
    if (CurrentThread) {
        return STATUS_NO_TOKEN;
    }
    if (!IsPrivilege(Privilege)) {
        return StatusNoSuchPrivilege;
    }
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    PrivilegeState& state = TokenOfLocked(ob::CurrentProcessId()).privileges[Privilege];
    if (state == PrivilegeState::Absent) {
        return STATUS_PRIVILEGE_NOT_HELD;
    }
    if (WasEnabled != nullptr) {
        *WasEnabled = state == PrivilegeState::Enabled;
    }
    state = Enable ? PrivilegeState::Enabled : PrivilegeState::Disabled;
    return STATUS_SUCCESS;
}
