// File I/O through the model: the top device's fast I/O member first, honouring
// SizeOfFastIoDispatch, then an IRP; file data round-trips through either path. The redirector's
// shares carry hostsim's workload (tests/hostsim).
#include "fs_test_util.h"

namespace {

class FastIoTest : public KernelTest {
protected:
    // A disk file system with the given table and one mounted volume with an open file.
    void Start(const km::FileSystemOptions& options)
    {
        fs = km::StartFileSystem(options);
        storage = km::CreateStorageDevice(km::StorageType::Disk);
        file = Create(Volume1 + u"\\data.bin", FILE_CREATE);
        km::ResetFileSystemCalls(fs);
    }

    void TearDown() override
    {
        if (file != nullptr) {
            ZwClose(file);
        }
        KernelTest::TearDown();
    }

    km::FileSystem* fs = nullptr;
    PDEVICE_OBJECT storage = nullptr;
    HANDLE file = nullptr;
};

// How a file system's table is shaped, and which requests its members serve.
struct TableCase {
    const char* name;
    km::FastIoTableKind table;
    ULONG shortTableSize;    // with a Short table
    uint32_t omitted;        // FastIoMemberBit of members left null
    bool declines;           // every member answers FALSE
    bool write, read, basic, standard;  // served by the fast I/O member rather than an IRP
    size_t asked;            // fast I/O calls made
};

void PrintTo(const TableCase& c, std::ostream* out) { *out << c.name; }

using km::FastIoMember;
using km::FastIoMemberOffset;
const TableCase TableCases[] = {
    {"AFullTableServesEverything", km::FastIoTableKind::Full, 0, 0, false, true, true, true, true, 4},
    {"AMemberThatAnswersFalseIsFollowedByAnIrp", km::FastIoTableKind::Full, 0, 0, true, false, false, false, false, 4},
    // A size one past a member's offset reaches the member; the next member lies beyond the table.
    {"OnlyMembersBeforeSizeOfFastIoDispatchAreCalled", km::FastIoTableKind::Short,
     FastIoMemberOffset(FastIoMember::QueryBasicInfo) + 1, 0, false, true, true, true, false, 3},
    {"ATableEndingAtTheMemberOrLackingItMeansAnIrp", km::FastIoTableKind::Short,
     FastIoMemberOffset(FastIoMember::Write), km::FastIoMemberBit(FastIoMember::Read), false, false, false, false, false, 0},
    {"WithoutATableEveryRequestIsAnIrp", km::FastIoTableKind::Missing, 0, 0, false, false, false, false, false, 0},
};

class FastIoTableTest : public FastIoTest, public ::testing::WithParamInterface<TableCase> {};

// A write past the end, a read, and both queries: each by its member or by an IRP, with the same
// result either way; a member is called with the top device of the stack.
TEST_P(FastIoTableTest, ServesEachRequestByItsMemberOrAnIrp)
{
    const TableCase& c = GetParam();
    km::FileSystemOptions options;
    options.fastIo = c.table;
    options.shortTableSize = c.shortTableSize;
    options.omittedMembers = c.omitted;
    Start(options);
    km::SetFastIoDeclines(fs, c.declines);

    km::FileIoResult written = km::WriteFile(file, 4, "tail", 4);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 4u);
    EXPECT_EQ(ReadAll(file, 64), std::string("\0\0\0\0tail", 8)) << "a write past the end extends the file";
    FILE_BASIC_INFORMATION basic{};
    EXPECT_EQ(km::QueryInformationFile(file, &basic, sizeof basic, FileBasicInformation).fastIo, c.basic);
    EXPECT_EQ(basic.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));
    FILE_STANDARD_INFORMATION standard{};
    EXPECT_EQ(km::QueryInformationFile(file, &standard, sizeof standard, FileStandardInformation).fastIo, c.standard);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 8);

    km::FileSystemCalls calls = km::CallsOf(fs);
    EXPECT_EQ(calls.irps[IRP_MJ_WRITE], c.write ? 0u : 1u);
    EXPECT_EQ(calls.irps[IRP_MJ_READ], c.read ? 0u : 1u);
    EXPECT_EQ(calls.irps[IRP_MJ_QUERY_INFORMATION], (c.basic ? 0u : 1u) + (c.standard ? 0u : 1u));
    EXPECT_EQ(calls.fastIoCalls.size(), c.asked);
    for (const km::FastIoCall& call : calls.fastIoCalls) {
        EXPECT_EQ(call.device, km::MountedVolume(storage)) << "called with the top of the stack";
    }
    char past;
    EXPECT_EQ(km::ReadFile(file, 8, &past, 1).status, STATUS_END_OF_FILE);

    // A user caller needs the right access and a whole buffer, whichever way the request goes.
    km::RunAsUser([&] {
        km::OpenResult opened = km::CreateFile(Volume1 + u"\\data.bin", FILE_OPEN, FILE_READ_ATTRIBUTES, false);
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        EXPECT_EQ(km::ReadFile(opened.handle, 0, &past, 1, false).status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(km::QueryInformationFile(opened.handle, &basic, sizeof basic, FileBasicInformation, false).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(km::QueryInformationFile(opened.handle, &basic, sizeof basic - 1, FileBasicInformation, false).status,
                  STATUS_INFO_LENGTH_MISMATCH);
        NtClose(opened.handle);
    });
}

INSTANTIATE_TEST_SUITE_P(, FastIoTableTest, ::testing::ValuesIn(TableCases), ByName());

using FastIoDeathTest = FastIoTest;

// The top device's driver decides: a filter's driver without a table means an IRP even though
// the file system has one, and a buffered volume's buffer method travels with the filter's flags;
// a filter above that did not copy the method breaks the read.
TEST_F(FastIoDeathTest, AFilterWithoutATableGetsIrpsWithTheBufferMethodItCopied)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    km::FileSystemOptions options;
    options.volumeFlags = DO_BUFFERED_IO;
    Start(options);
    PDEVICE_OBJECT filter = AttachPassThrough(km::MountedVolume(storage));
    EXPECT_EQ(km::WriteFile(file, 0, "buffered", 8).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(file, 8), "buffered");
    std::vector<km::RecordedIrp> irps = km::ModelDeviceIrps(filter);
    ASSERT_EQ(irps.size(), 2u);
    EXPECT_NE(irps[0].irpFlags & IRP_BUFFERED_IO, 0u);
    EXPECT_EQ(km::CallsOf(fs).fastIoCalls.size(), 0u) << "the filter's driver has no table";

    AttachPassThrough(filter, false);
    char buffer[4];
    EXPECT_DEATH(km::ReadFile(file, 0, buffer, sizeof buffer), "without a system buffer");
}

}  // namespace
