// File I/O through the model: the top device's fast I/O member first, honouring
// SizeOfFastIoDispatch, then an IRP; file data round-trips through either path.
#include "fs_test_util.h"

namespace {

using namespace fstest;

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

TEST_F(FastIoTest, AFullTableServesReadWriteAndQueriesWithTheTopDevice)
{
    Start({});
    km::FileIoResult written = km::WriteFile(file, 0, "hello, volume", 13);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 13u);
    EXPECT_TRUE(written.fastIo);
    km::FileIoResult read;
    EXPECT_EQ(ReadAll(file, 64, &read), "hello, volume");
    EXPECT_TRUE(read.fastIo);
    FILE_STANDARD_INFORMATION standard{};
    km::FileIoResult queried = km::QueryInformationFile(file, &standard, sizeof standard, FileStandardInformation);
    EXPECT_TRUE(queried.fastIo);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 13);

    km::FileSystemCalls calls = km::CallsOf(fs);
    EXPECT_EQ(calls.irps[IRP_MJ_READ] + calls.irps[IRP_MJ_WRITE] + calls.irps[IRP_MJ_QUERY_INFORMATION], 0u);
    ASSERT_EQ(calls.fastIoCalls.size(), 3u);
    for (const km::FastIoCall& call : calls.fastIoCalls) {
        EXPECT_EQ(call.device, km::MountedVolume(storage)) << "called with the top of the stack";
    }
    char past;
    EXPECT_EQ(km::ReadFile(file, 13, &past, 1).status, STATUS_END_OF_FILE);
}

TEST_F(FastIoTest, AMemberThatAnswersFalseIsFollowedByAnIrp)
{
    Start({});
    km::SetFastIoDeclines(fs, true);
    km::FileIoResult written = km::WriteFile(file, 4, "tail", 4);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_FALSE(written.fastIo);
    km::FileIoResult read;
    EXPECT_EQ(ReadAll(file, 8, &read), std::string("\0\0\0\0tail", 8)) << "a write past the end extends the file";
    EXPECT_FALSE(read.fastIo);
    FILE_BASIC_INFORMATION basic{};
    EXPECT_FALSE(km::QueryInformationFile(file, &basic, sizeof basic, FileBasicInformation).fastIo);
    EXPECT_EQ(basic.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));

    km::FileSystemCalls calls = km::CallsOf(fs);
    EXPECT_EQ(calls.fastIo[unsigned(km::FastIoMember::Write)], 1u) << "asked first";
    EXPECT_EQ(calls.fastIo[unsigned(km::FastIoMember::Read)], 1u);
    EXPECT_EQ(calls.irps[IRP_MJ_WRITE], 1u);
    EXPECT_EQ(calls.irps[IRP_MJ_READ], 1u);
    EXPECT_EQ(calls.irps[IRP_MJ_QUERY_INFORMATION], 1u);
}

TEST_F(FastIoTest, OnlyMembersBeforeSizeOfFastIoDispatchAreCalled)
{
    km::FileSystemOptions options;
    options.fastIo = km::FastIoTableKind::Short;
    options.shortTableSize = km::FastIoMemberOffset(km::FastIoMember::QueryBasicInfo) + 1;
    Start(options);
    FILE_BASIC_INFORMATION basic{};
    EXPECT_TRUE(km::QueryInformationFile(file, &basic, sizeof basic, FileBasicInformation).fastIo)
        << "a size one past the offset reaches the member";
    FILE_STANDARD_INFORMATION standard{};
    EXPECT_FALSE(km::QueryInformationFile(file, &standard, sizeof standard, FileStandardInformation).fastIo)
        << "the next member lies beyond the table";
    EXPECT_TRUE(km::WriteFile(file, 0, "abc", 3).fastIo);
    km::FileSystemCalls calls = km::CallsOf(fs);
    EXPECT_EQ(calls.fastIo[unsigned(km::FastIoMember::QueryStandardInfo)], 0u);
    EXPECT_EQ(calls.irps[IRP_MJ_QUERY_INFORMATION], 1u);
}

TEST_F(FastIoTest, ATableEndingAtTheMemberOrLackingItMeansAnIrp)
{
    km::FileSystemOptions options;
    options.fastIo = km::FastIoTableKind::Short;
    options.shortTableSize = km::FastIoMemberOffset(km::FastIoMember::Write);
    options.omittedMembers = km::FastIoMemberBit(km::FastIoMember::Read);
    Start(options);
    km::FileIoResult written = km::WriteFile(file, 0, "abc", 3);
    EXPECT_FALSE(written.fastIo);
    km::FileIoResult read;
    EXPECT_EQ(ReadAll(file, 3, &read), "abc");
    EXPECT_FALSE(read.fastIo) << "a null member is not called";
    EXPECT_EQ(km::CallsOf(fs).fastIoCalls.size(), 0u);
}

TEST_F(FastIoTest, WithoutATableEveryRequestIsAnIrp)
{
    km::FileSystemOptions options;
    options.fastIo = km::FastIoTableKind::Missing;
    Start(options);
    EXPECT_EQ(km::FileSystemDriver(fs)->FastIoDispatch, nullptr);
    EXPECT_FALSE(km::WriteFile(file, 0, "abc", 3).fastIo);
    EXPECT_EQ(ReadAll(file, 3), "abc");
    EXPECT_EQ(km::CallsOf(fs).irps[IRP_MJ_READ], 1u);
}

// The top device's driver decides: a filter's driver without a table means an IRP even though
// the file system has one, and a buffered volume's buffer method travels with the filter's flags.
TEST_F(FastIoTest, AFilterWithoutATableGetsIrpsWithTheBufferMethodItCopied)
{
    km::FileSystemOptions options;
    options.volumeFlags = DO_BUFFERED_IO;
    Start(options);
    PDEVICE_OBJECT filter = AttachPassThrough(km::MountedVolume(storage));
    ASSERT_NE(filter->Flags & DO_BUFFERED_IO, 0u);
    km::FileIoResult written = km::WriteFile(file, 0, "buffered", 8);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_FALSE(written.fastIo) << "the filter's driver has no table";
    EXPECT_EQ(ReadAll(file, 8), "buffered");
    std::vector<km::RecordedIrp> irps = km::ModelDeviceIrps(filter);
    ASSERT_EQ(irps.size(), 2u);
    EXPECT_NE(irps[0].irpFlags & IRP_BUFFERED_IO, 0u);
    EXPECT_EQ(km::CallsOf(fs).fastIoCalls.size(), 0u);
    EXPECT_EQ(km::OutstandingBlocks(km::PoolTag("IoSB")), 0u) << "system buffers are freed";
}

TEST_F(FastIoTest, ARedirectorServesSharesOnItsControlDevice)
{
    km::FileSystem* rdr = km::StartFileSystem({km::FileSystemType::Network});
    PDEVICE_OBJECT control = km::FileSystemControlDevice(rdr);
    EXPECT_EQ(control->DeviceType, ULONG(FILE_DEVICE_NETWORK_FILE_SYSTEM));
    EXPECT_EQ(control->Vpb, nullptr);
    HANDLE shared = Create(u"\\Device\\ModelRdr\\server\\share\\notes.txt", FILE_CREATE);
    EXPECT_TRUE(km::WriteFile(shared, 0, "remote", 6).fastIo);
    ZwClose(shared);
    shared = Create(u"\\Device\\ModelRdr\\SERVER\\Share\\NOTES.txt", FILE_OPEN);
    EXPECT_EQ(ReadAll(shared, 6), "remote");
    ZwClose(shared);
    EXPECT_EQ(km::CreateFile(u"\\Device\\ModelRdr\\server\\other\\notes.txt", FILE_OPEN).status,
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "each share has its own files";
    PDEVICE_OBJECT disk = nullptr;
    EXPECT_EQ(IoGetDiskDeviceObject(control, &disk), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(km::CallsOf(rdr).mountRequests, 0u);
}

TEST_F(FastIoTest, AUserCallerNeedsTheRightAccess)
{
    Start({});
    km::WriteFile(file, 0, "secret", 6);
    km::RunAsUser([] {
        km::OpenResult opened = km::CreateFile(Volume1 + u"\\data.bin", FILE_OPEN, FILE_READ_ATTRIBUTES, false);
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        char buffer[6];
        EXPECT_EQ(km::ReadFile(opened.handle, 0, buffer, 6, false).status, STATUS_ACCESS_DENIED);
        FILE_BASIC_INFORMATION basic{};
        EXPECT_EQ(km::QueryInformationFile(opened.handle, &basic, sizeof basic, FileBasicInformation, false).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(km::QueryInformationFile(opened.handle, &basic, sizeof basic - 1, FileBasicInformation, false).status,
                  STATUS_INFO_LENGTH_MISMATCH);
        NtClose(opened.handle);
    });
}

class FastIoDeathTest : public FastIoTest {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        FastIoTest::SetUp();
    }
};

TEST_F(FastIoDeathTest, AFilterThatDidNotCopyTheBufferMethodBreaksTheRead)
{
    km::FileSystemOptions options;
    options.volumeFlags = DO_BUFFERED_IO;
    options.fastIo = km::FastIoTableKind::Missing;
    Start(options);
    AttachPassThrough(km::MountedVolume(storage), false);
    char buffer[4];
    EXPECT_DEATH(km::ReadFile(file, 0, buffer, sizeof buffer), "without a system buffer");
}

}  // namespace
