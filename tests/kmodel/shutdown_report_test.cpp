// Shutting the model down: the report names whatever a test left behind, and the next boot starts
// clean of it (and of the fault rules and export changes a test made).
#include <string>
#include <vector>

#include "io/io_test_util.h"

namespace {

struct Leftover {
    const char* name;
    void (*leave)();
    std::vector<std::string> fragments;  // each in the report
};

void PrintTo(const Leftover& leftover, std::ostream* out) { *out << leftover.name; }

const Leftover Leftovers[] = {
    {"PoolByTag",
     [] {
         ExAllocatePoolWithTag(NonPagedPool, 56, km::PoolTag("Amem"));
         ExAllocatePoolWithTag(PagedPool, 56, km::PoolTag("Amem"));
         ExAllocatePoolWithTag(NonPagedPool, 8, km::PoolTag("Leak"));
     },
     {"pool left allocated:\n", "'Amem' 2 blocks 112 bytes\n'Leak' 1 block 8 bytes\n"}},
    {"AProcessThatNeverExited", [] { km::CreateProcess("forgotten.exe"); }, {"(forgotten.exe) never exited"}},
    {"ARaisedIrql", [] { KIRQL old; KeRaiseIrql(APC_LEVEL, &old); }, {"is at IRQL 1"}},
    {"AnOpenHandle",
     [] {
         km::CreateModelDevice({FILE_DEVICE_DISK, u"\\Device\\Disk"});
         km::OpenFile(u"\\Device\\Disk", true, GENERIC_READ, OBJ_KERNEL_HANDLE);
     },
     {"handles left open:\nhandle 0xffffffff80000004 of process 4 not closed: file ",
      "on device \\Device\\Disk, opened by the test or the model"}},
    {"AResourceNeverDeleted",
     [] {
         static ERESOURCE resource;
         ExInitializeResourceLite(&resource);
     },
     {"executive resource ", " never deleted, initialized by the test or the model"}},
    {"AWorkItemNotFreed", [] { IoAllocateWorkItem(km::CreateModelDevice({FILE_DEVICE_UNKNOWN})); },
     {"work items not freed:\nwork item ", " not freed, allocated by the test or the model"}},
    {"AnIrpNotFreed", [] { IoAllocateIrp(2, FALSE); },
     {"IRPs not freed:\nIRP ", "(2 stack locations) not freed, allocated by the test or the model"}},
    {"AnMdlNotFreed",
     [] {
         static char buffer[16];
         MmProbeAndLockPages(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr), KernelMode, IoReadAccess);
     },
     {"MDL ", "(16 bytes, pages locked) not freed, allocated by the test or the model"}},
    {"ALookasideListNeverDeleted",
     [] {
         static PAGED_LOOKASIDE_LIST list;
         ExInitializePagedLookasideList(&list, nullptr, nullptr, 0, 32, km::PoolTag("Test"), 0);
     },
     {"lookaside list ", " never deleted, initialized by the test or the model"}},
};

class ShutdownReportTest : public KernelTest, public ::testing::WithParamInterface<Leftover> {};

TEST_P(ShutdownReportTest, NamesWhatTheTestLeft)
{
    GetParam().leave();
    std::string report = km::Shutdown();
    for (const std::string& fragment : GetParam().fragments) {
        EXPECT_NE(report.find(fragment), std::string::npos) << report;
    }
    km::Boot(Options());
}

INSTANTIATE_TEST_SUITE_P(, ShutdownReportTest, ::testing::ValuesIn(Leftovers), ByName());

// Leftovers the report names are gone at the next boot (the rows above end in a test's own leak
// check); so are a test's fault rules and export changes, and the caller is adopted afresh.
TEST(ShutdownTest, TheNextBootStartsCleanAndAdoptsTheCallerAfresh)
{
    constexpr ULONG TestTag = km::PoolTag("Test");
    UNICODE_STRING removed;
    RtlInitUnicodeString(&removed, u"ExFreePoolWithTag");
    km::Boot();
    ExAllocatePoolWithTag(NonPagedPool, 8, TestTag);
    km::FailAllocationsWithTag(TestTag);
    km::RemoveExport("ExFreePoolWithTag");
    EXPECT_NE(km::Shutdown(), "");

    km::Boot();
    EXPECT_EQ(PsGetCurrentProcessId(), HANDLE(4)) << "a fresh System process";
    EXPECT_EQ(km::GetPoolStats().allocations, 0u) << "the pool's counts start over";
    void* block = ExAllocatePoolWithTag(NonPagedPool, 8, TestTag);
    EXPECT_NE(block, nullptr) << "the fault rule went with the old boot";
    ExFreePool(block);
    EXPECT_NE(MmGetSystemRoutineAddress(&removed), nullptr) << "the export is back";
    EXPECT_EQ(km::Shutdown(), "");
}

}  // namespace
