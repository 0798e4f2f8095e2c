// stubfill.sys: the Wine smoke test's companion driver, never part of the release kit.
//
// Wine's ntoskrnl.exe exports some routines host.sys imports only as stubs that abort the whole
// winedevice.exe process when called. Started first, in the same winedevice.exe as host.sys (the
// two services share a load-order group), this driver gives the stubs that host.sys reaches on
// every start a harmless body: it overwrites the start of each stub with a jump to its own
// routine. The bodies take the path a real kernel takes in a machine with nothing to report:
//   MmIsNonPagedSystemAddressValid  FALSE: "not known to be resident", so the caller takes its
//                                   always-correct path (a nonpaged allocation of its own);
//   IoRegisterFsRegistrationChange  STATUS_SUCCESS with no file system to report (Wine has no
//                                   file-system driver objects to attach to).
// Every other stub stays as it is: calling one still aborts, and the smoke test fails. (A Wine
// that implements one of the two gets the same answers from the body here; tools/winesmoke/run
// lists which imports the installed Wine has as stubs.)
//
// Wine runs drivers in a user process, so the code is made writable with ZwProtectVirtualMemory,
// looked up at run time: an import from anything but ntoskrnl.exe would make Wine take the image
// for a DLL and call DriverEntry as its DllMain. On a real kernel this driver makes no sense and
// must not be loaded.
#include <ntifs.h>

namespace {

using PROTECT_VIRTUAL_MEMORY = NTSTATUS NTAPI(HANDLE Process, PVOID* Base, PSIZE_T Bytes, ULONG Protect,
                                              PULONG OldProtect);

BOOLEAN NTAPI NonPagedAddressNotKnown(PVOID Address)
{
    UNREFERENCED_PARAMETER(Address);
    return FALSE;
}

NTSTATUS NTAPI NoFileSystemToReport(PDRIVER_OBJECT DriverObject, PDRIVER_FS_NOTIFICATION Notification)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(Notification);
    return STATUS_SUCCESS;
}

struct StubFilling {
    const WCHAR* Name;
    PVOID Body;
};

const StubFilling StubFillings[] = {
    {L"MmIsNonPagedSystemAddressValid", reinterpret_cast<PVOID>(&NonPagedAddressNotKnown)},
    {L"IoRegisterFsRegistrationChange", reinterpret_cast<PVOID>(&NoFileSystemToReport)},
};

// mov rax, imm64; jmp rax. The body's address goes at JumpTargetOffset.
const UCHAR JumpTemplate[] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};
constexpr SIZE_T JumpTargetOffset = 2;

// Points the exported routine Filling.Name at Filling.Body. PASSIVE_LEVEL.
NTSTATUS FillStub(const StubFilling& Filling, PROTECT_VIRTUAL_MEMORY* ProtectVirtualMemory)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Filling.Name);
    auto* code = static_cast<PUCHAR>(MmGetSystemRoutineAddress(&name));
    if (code == nullptr) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    PVOID base = code;
    SIZE_T bytes = sizeof(JumpTemplate);
    ULONG protect = 0;
    NTSTATUS status = ProtectVirtualMemory(NtCurrentProcess(), &base, &bytes, PAGE_EXECUTE_READWRITE, &protect);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlCopyMemory(code, JumpTemplate, sizeof(JumpTemplate));
    RtlCopyMemory(code + JumpTargetOffset, &Filling.Body, sizeof(Filling.Body));
    ULONG ignored = 0;
    (void)ProtectVirtualMemory(NtCurrentProcess(), &base, &bytes, protect, &ignored);
    return STATUS_SUCCESS;
}

}  // namespace

// PASSIVE_LEVEL. Fails (and stays unloaded) when a stub cannot be filled.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    UNICODE_STRING protectName;
    RtlInitUnicodeString(&protectName, L"ZwProtectVirtualMemory");
    auto* protect = reinterpret_cast<PROTECT_VIRTUAL_MEMORY*>(MmGetSystemRoutineAddress(&protectName));
    if (protect == nullptr) {
        DbgPrint("stubfill: no ZwProtectVirtualMemory\n");
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    for (const StubFilling& filling : StubFillings) {
        NTSTATUS status = FillStub(filling, protect);
        if (!NT_SUCCESS(status)) {
            DbgPrint("stubfill: %ls not filled (0x%08lx)\n", filling.Name, status);
            return status;
        }
        DbgPrint("stubfill: %ls filled\n", filling.Name);
    }

    return STATUS_SUCCESS;
}
