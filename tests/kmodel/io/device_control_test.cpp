// Buffered device control through file handles: the system buffer's exact size, the copy-back of
// Information bytes, pended requests, and refused methods and access.
#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

#include "io_test_util.h"

namespace {

constexpr ULONG IoctlWrite = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG IoctlNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG SystemBufferTag = km::PoolTag("IoSB");

class IoDeviceControlTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, u"\\Device\\Ctl"});
    }

    // The device counts and records the system buffer of each device control, fills its whole output with
    // 0xAB and completes it with `status` and `information`; it pends it when `pend`.
    void AnswerWith(NTSTATUS status, ULONG_PTR information, bool pend = false)
    {
        km::SetModelDeviceHandler(device, [=](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
                return CompleteIrp(irp, STATUS_SUCCESS);
            }
            controls++;
            void* buffer = irp->AssociatedIrp.SystemBuffer;
            hadBuffer = buffer != nullptr && km::QueryPoolBlock(buffer, &block);
            if (hadBuffer) {
                memset(buffer, 0xAB, stack->Parameters.DeviceIoControl.OutputBufferLength);
            }
            if (pend) {
                completer = PendAndCompleteElsewhere(irp, status, information);
                return NTSTATUS(STATUS_PENDING);
            }
            return CompleteIrp(irp, status, information);
        });
    }

    HANDLE Open(bool kernel, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE)
    {
        km::OpenResult opened = km::OpenFile(u"\\Device\\Ctl", kernel, access, kernel ? OBJ_KERNEL_HANDLE : 0);
        EXPECT_EQ(opened.status, STATUS_SUCCESS);
        return opened.handle;
    }

    // A device control through the handle: Zw* (previous mode kernel) or Nt* (the caller's mode).
    NTSTATUS Control(HANDLE handle, ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength,
                     bool nt = false)
    {
        auto call = nt ? NtDeviceIoControlFile : ZwDeviceIoControlFile;
        return call(handle, nullptr, nullptr, nullptr, &ioStatus, code, input, inputLength, output, outputLength);
    }

    PDEVICE_OBJECT device = nullptr;
    km::Thread* completer = nullptr;
    int controls = 0;
    bool hadBuffer = false;
    km::PoolBlockInfo block{};
    IO_STATUS_BLOCK ioStatus{};
};

// The system buffer is a pool block of exactly the larger of input and output length, holding
// the input; Information bytes of it are copied back unless the status is an error, pended or not.
TEST_F(IoDeviceControlTest, SystemBufferIsTheLargerOfInputAndOutputAndInformationBytesComeBack)
{
    HANDLE handle = Open(true);
    struct Case {
        ULONG input, output;
        NTSTATUS status;
        ULONG_PTR information;
        bool pend;
        size_t copied;
    } cases[] = {
        {12, 8, STATUS_SUCCESS, 0, false, 0},
        {8, 216, STATUS_SUCCESS, 5, false, 5},
        {638, 8, STATUS_SUCCESS, 8, false, 8},
        {1, 0, STATUS_SUCCESS, 0, false, 0},
        {0, 3, STATUS_SUCCESS, 3, true, 3},
        {0, 16, STATUS_BUFFER_OVERFLOW, 16, false, 16},  // a warning still delivers its bytes
        {0, 16, STATUS_INVALID_PARAMETER, 16, false, 0},  // an error delivers nothing, whatever Information says
    };
    for (const Case& c : cases) {
        AnswerWith(c.status, c.information, c.pend);
        std::vector<uint8_t> input(c.input);
        std::iota(input.begin(), input.end(), uint8_t(1));
        std::vector<uint8_t> output(c.output, 0x11);
        NTSTATUS status = Control(handle, IoctlBuffered, input.data(), c.input, output.data(), c.output);
        if (completer != nullptr) {
            km::JoinThread(std::exchange(completer, nullptr));
        }
        ASSERT_EQ(status, c.status);
        ASSERT_TRUE(hadBuffer) << "the system buffer is a pool block of its own";
        EXPECT_EQ(block.size, std::max(c.input, c.output)) << c.input << " in, " << c.output << " out";
        EXPECT_EQ(block.tag, SystemBufferTag);
        EXPECT_FALSE(block.paged);
        EXPECT_EQ(km::ModelDeviceIrps(device).back().systemBuffer, input);
        EXPECT_EQ(ioStatus.Status, c.status);
        EXPECT_EQ(ioStatus.Information, c.information);
        std::vector<uint8_t> expected(c.output, 0x11);
        std::fill_n(expected.begin(), c.copied, 0xAB);
        EXPECT_EQ(output, expected) << std::hex << c.status;
    }
    AnswerWith(STATUS_SUCCESS, 0);
    hadBuffer = true;
    ASSERT_EQ(Control(handle, IoctlBuffered, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_FALSE(hadBuffer) << "the device was called and had no buffer for a request without input or output";
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

// Other methods than METHOD_BUFFERED, and an access the code asks for that a user handle lacks, are
// refused before the driver; kernel mode is not checked. The requestor mode is the caller's
// previous mode, which the host's trust checks go by (tests/driver).
TEST_F(IoDeviceControlTest, RefusalsComeBeforeTheDriver)
{
    AnswerWith(STATUS_SUCCESS, 0);
    HANDLE readOnly = Open(true, GENERIC_READ);
    EXPECT_EQ(Control(readOnly, IoctlNeither, nullptr, 0, nullptr, 0), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(controls, 0);
    EXPECT_EQ(Control(readOnly, IoctlWrite, nullptr, 0, nullptr, 0), STATUS_SUCCESS) << "kernel mode is not checked";
    ZwClose(readOnly);
    km::RunAsUser([&] {
        HANDLE userReadOnly = Open(false, GENERIC_READ);
        EXPECT_EQ(Control(userReadOnly, IoctlWrite, nullptr, 0, nullptr, 0, true), STATUS_ACCESS_DENIED);
        EXPECT_EQ(controls, 1);
        NtClose(userReadOnly);
    });
}

}  // namespace
