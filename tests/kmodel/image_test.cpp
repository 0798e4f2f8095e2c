// Driver images and the processes and threads they run in: every load starts from the image's
// initial data and an unload really unmaps it; an image importing a routine the kernel lacks is
// refused by name, and README.md lists exactly the routines the model exports; a process cannot
// exit while its thread runs. That an image
// calls the same model as the test is what every host test stands on; distinct ids and the
// process object signalled at exit are what the host's notify forwarding and module loaders rely
// on (tests/host).
#include <fstream>
#include <iterator>

#include "io/io_test_util.h"

namespace {

constexpr LONG CounterInitialValue = 41;

using ImageTest = KernelTest;

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
    GTEST_FLAG_SET(death_test_style, "threadsafe");
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

}  // namespace
