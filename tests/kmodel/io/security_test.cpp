// Tokens and privileges: the System process holds all of them enabled; a user process holds what
// the test grants; SeSinglePrivilegeCheck passes kernel mode always and user mode on an enabled
// privilege; RtlAdjustPrivilege enables what the token holds.
#include "io_test_util.h"

namespace {

using IoSecurityTest = KernelTest;

const LUID LoadDriver = RtlConvertLongToLuid(SE_LOAD_DRIVER_PRIVILEGE);

TEST_F(IoSecurityTest, APrivilegeHeldDisabledPassesOnceAdjustedAndNotOnceRevoked)
{
    km::Process* process = km::CreateProcess("controller.exe");
    EXPECT_EQ(km::QueryPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE), km::PrivilegeState::Absent);
    km::GrantPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE, false);
    km::RunInProcess(process, [&] {
        EXPECT_FALSE(SeSinglePrivilegeCheck(LoadDriver, UserMode)) << "present but disabled";
        BOOLEAN wasEnabled = TRUE;
        EXPECT_EQ(RtlAdjustPrivilege(SE_LOAD_DRIVER_PRIVILEGE, TRUE, FALSE, &wasEnabled), STATUS_SUCCESS);
        EXPECT_FALSE(wasEnabled);
        EXPECT_TRUE(SeSinglePrivilegeCheck(LoadDriver, UserMode));
        EXPECT_EQ(RtlAdjustPrivilege(SE_LOAD_DRIVER_PRIVILEGE, FALSE, FALSE, &wasEnabled), STATUS_SUCCESS);
        EXPECT_TRUE(wasEnabled);
        EXPECT_FALSE(SeSinglePrivilegeCheck(LoadDriver, UserMode));
    });
    EXPECT_EQ(km::QueryPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE), km::PrivilegeState::Disabled);
    km::GrantPrivilege(process, SE_LOAD_DRIVER_PRIVILEGE, true);
    km::RunInProcess(process, [&] { EXPECT_TRUE(SeSinglePrivilegeCheck(LoadDriver, UserMode)) << "granted enabled"; });
    km::RunAsUser([&] { EXPECT_FALSE(SeSinglePrivilegeCheck(LoadDriver, UserMode)) << "another process's token"; },
                  {{SE_DEBUG_PRIVILEGE, true}});
    km::RevokePrivilege(process, SE_LOAD_DRIVER_PRIVILEGE);
    km::RunInProcess(process, [&] { EXPECT_FALSE(SeSinglePrivilegeCheck(LoadDriver, UserMode)) << "revoked"; });
    km::ExitProcess(process);
}

// The System process holds every privilege enabled; a user process without one fails only the
// checks made for user mode, and cannot enable it.
TEST_F(IoSecurityTest, AUserProcessWithoutThePrivilegeFailsOnlyUserModeChecksAndCannotAdjustIt)
{
    for (ULONG privilege = SE_MIN_WELL_KNOWN_PRIVILEGE; privilege <= SE_MAX_WELL_KNOWN_PRIVILEGE; ++privilege) {
        EXPECT_EQ(km::QueryPrivilege(km::SystemProcess(), privilege), km::PrivilegeState::Enabled) << privilege;
    }
    EXPECT_EQ(ExGetPreviousMode(), KernelMode);
    EXPECT_TRUE(SeSinglePrivilegeCheck(LoadDriver, UserMode)) << "on the System process";
    km::RunAsUser([] {
        EXPECT_EQ(ExGetPreviousMode(), UserMode);
        EXPECT_FALSE(SeSinglePrivilegeCheck(LoadDriver, UserMode));
        EXPECT_TRUE(SeSinglePrivilegeCheck(LoadDriver, KernelMode));
        BOOLEAN wasEnabled = 7;
        EXPECT_EQ(RtlAdjustPrivilege(SE_LOAD_DRIVER_PRIVILEGE, TRUE, FALSE, &wasEnabled), STATUS_PRIVILEGE_NOT_HELD);
        EXPECT_EQ(wasEnabled, 7) << "untouched";
        EXPECT_FALSE(SeSinglePrivilegeCheck(LoadDriver, UserMode));
        EXPECT_EQ(RtlAdjustPrivilege(SE_CHANGE_NOTIFY_PRIVILEGE, TRUE, TRUE, &wasEnabled), STATUS_NO_TOKEN)
            << "threads have no impersonation token";
        EXPECT_TRUE(SeSinglePrivilegeCheck(RtlConvertLongToLuid(SE_CHANGE_NOTIFY_PRIVILEGE), UserMode))
            << "every user token holds SeChangeNotifyPrivilege enabled";
    });
}

}  // namespace
