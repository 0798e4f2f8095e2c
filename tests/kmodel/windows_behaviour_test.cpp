// Behaviour a module sees on Windows and must see on the model too: processes and threads are
// objects, the fields Windows fills in IRPs it allocates or builds, data exports found by name,
// the empty-append case of the Rtl strings, and executable NonPagedPool.
#include <cstring>

#include "model_test_util.h"
#include "support/kernel_test.h"

namespace {

class WindowsBehaviourTest : public KernelTest {};

struct ObjectSource {
    const char* name;
    PVOID (*get)();
};

class ProcessThreadObjectTest : public KernelTest, public ::testing::WithParamInterface<ObjectSource> {};

// Windows: a reference like any object's, and an unnamed object's empty name.
TEST_P(ProcessThreadObjectTest, IsReferencedAndNamedLikeAnyObject)
{
    PVOID object = GetParam().get();
    LONG_PTR count = ObfReferenceObject(object);
    EXPECT_EQ(ObfReferenceObject(object), count + 1);
    ObfDereferenceObject(object);
    ObfDereferenceObject(object);

    alignas(OBJECT_NAME_INFORMATION) UCHAR buffer[64];
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
    ULONG returned = 0;
    EXPECT_EQ(ObQueryNameString(object, info, sizeof(buffer), &returned), STATUS_SUCCESS);
    EXPECT_EQ(info->Name.Length, 0);
}

const ObjectSource ObjectSources[] = {
    {"CurrentProcess", [] { return static_cast<PVOID>(PsGetCurrentProcess()); }},
    {"CurrentThread", [] { return static_cast<PVOID>(PsGetCurrentThread()); }},
    {"InitialSystemProcess", [] { return static_cast<PVOID>(PsInitialSystemProcess); }},
};

INSTANTIATE_TEST_SUITE_P(Ps, ProcessThreadObjectTest, ::testing::ValuesIn(ObjectSources),
                         [](const auto& source) { return std::string(source.param.name); });

// IoAllocateIrp's IRPs are of fixed size; a built device-control IRP points at the caller's
// status block and event.
TEST_F(WindowsBehaviourTest, IrpsCarryTheirAllocationFlagAndTheCallersStatusBlockAndEvent)
{
    PIRP allocated = IoAllocateIrp(2, FALSE);
    EXPECT_EQ(allocated->AllocationFlags & IRP_ALLOCATED_FIXED_SIZE, IRP_ALLOCATED_FIXED_SIZE);
    IoFreeIrp(allocated);

    DEVICE_OBJECT device{};
    device.StackSize = 1;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    constexpr ULONG NeitherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS);
    PIRP built = IoBuildDeviceIoControlRequest(NeitherCode, &device, nullptr, 0, nullptr, 0, FALSE, &event, &status);
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(built->UserIosb, &status);
    EXPECT_EQ(built->UserEvent, &event);
    IoFreeIrp(built);
}

// Data exports resolve to the address of the variable.
TEST_F(WindowsBehaviourTest, DataExportsAreFoundByName)
{
    const struct {
        const char16_t* name;
        const void* address;
    } exports[] = {
        {u"IoFileObjectType", &IoFileObjectType},
        {u"PsThreadType", &PsThreadType},
        {u"ExEventObjectType", &ExEventObjectType},
        {u"PsInitialSystemProcess", &PsInitialSystemProcess},
        {u"NtBuildNumber", &NtBuildNumber},
    };
    for (const auto& entry : exports) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, entry.name);
        EXPECT_EQ(MmGetSystemRoutineAddress(&name), entry.address);
    }
    EXPECT_EQ(PsGetProcessId(PsInitialSystemProcess), km::ProcessId(km::SystemProcess()));
}

// An empty source is appended whatever the destination's sizes.
TEST_F(WindowsBehaviourTest, AppendingAnEmptyStringSucceedsWhateverTheDestination)
{
    char16_t buffer[2] = {};
    UNICODE_STRING overfull{8, 4, buffer};
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&overfull, &empty), STATUS_SUCCESS);
    EXPECT_EQ(overfull.Length, 8);
}

// NonPagedPool (not NonPagedPoolNx) holds code that runs.
TEST_F(WindowsBehaviourTest, NonPagedPoolIsExecutable)
{
    const unsigned char returnsFortyTwo[] = {0xB8, 0x2A, 0x00, 0x00, 0x00, 0xC3};  // mov eax, 42; ret
    void* code = ExAllocatePoolWithTag(NonPagedPool, sizeof(returnsFortyTwo), km::PoolTag("Code"));
    ASSERT_NE(code, nullptr);
    memcpy(code, returnsFortyTwo, sizeof(returnsFortyTwo));
    auto routine = reinterpret_cast<int (*)()>(code);
    EXPECT_EQ(routine(), 42);
    ExFreePoolWithTag(code, km::PoolTag("Code"));
}

}  // namespace
