// Driver images, the processes and threads they run in, and the model's shutdown. Every load
// starts from the image's initial data and an unload really unmaps it; an image importing a
// routine the kernel lacks is refused by name, and README.md lists exactly the routines the model
// exports; a process cannot exit while its thread runs. That an image calls the same model as the
// test is what every host test stands on; distinct ids and the process object signalled at exit
// are what the host's notify forwarding and module loaders rely on (tests/host). Shutting the
// model down: the report names whatever a test left behind, and the next boot starts clean of it
// (and of the fault rules and export changes a test made).
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "io/io_test_util.h"

namespace {

constexpr LONG CounterInitialValue = 41;

using ImageTest = ModelDeathTest;

// An image importing a routine the kernel lacks is refused naming the routine and the image.
TEST_F(ImageTest, EachLoadStartsFromTheInitialDataAndOnlyOneLoadAtATime)
{
    std::string error;
    for (int load = 0; load < 2; ++load) {
        km::Image* image = km::LoadImage(km::ImagePath("counter.so"), &error);
        ASSERT_NE(image, nullptr) << error;
        EXPECT_EQ(km::LoadImage(km::ImagePath("counter.so"), &error), nullptr);
        EXPECT_NE(error.find("already loaded"), std::string::npos) << error;
        auto* value = static_cast<LONG*>(km::ImageSymbol(image, "CounterImageValue"));
        auto bump = reinterpret_cast<LONG (*)()>(km::ImageSymbol(image, "CounterImageBump"));
        ASSERT_NE(value, nullptr);
        ASSERT_NE(bump, nullptr);
        EXPECT_EQ(*value, CounterInitialValue) << "load " << load;
        bump();
        EXPECT_EQ(bump(), CounterInitialValue + 2);
        km::UnloadImage(image);
    }
    EXPECT_EQ(km::LoadImage(km::ImagePath("missing.so"), &error), nullptr);
    EXPECT_EQ(km::LoadImage(km::ImagePath("unresolved.so"), &error), nullptr);
    EXPECT_EQ(error, "image unresolved.so imports IoRoutineNoKernelExports, which the kernel does not export: not loaded");
}

// The list between the markers is generated from the export table: on a difference, the
// expected text is printed to paste in.
TEST_F(ImageTest, ReadmeListsTheExportTable)
{
    const std::string begin = "<!-- kernel exports: generated from the model's export table -->\n";
    const std::string end = "<!-- end of kernel exports -->";
    std::ifstream file(std::string(FILTERHOST_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(file.good());
    std::string readme{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    size_t first = readme.find(begin);
    size_t last = readme.find(end);
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    std::string listed = readme.substr(first + begin.size(), last - first - begin.size());
    std::string expected;
    for (const std::string& name : km::ExportNames()) {
        expected += "`" + name + "`\n";
    }
    EXPECT_EQ(listed, expected) << "README.md's list should read:\n" << expected;
}

// The exit notification stands for the process's last thread: a thread of it still running is a
// test's mistake, not a process exit.
TEST_F(ImageTest, ExitingAProcessWhoseThreadStillRunsIsMisuse)
{
    km::Process* process = km::CreateProcess("busy.exe");
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    km::Thread* thread =
        km::StartThread(process, [&] { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_DEATH(km::ExitProcess(process), "ExitProcess on process [0-9]+ while its thread [0-9]+ still runs");
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    km::JoinThread(thread);
    km::ExitProcess(process);
}

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
