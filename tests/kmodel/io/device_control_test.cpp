// Buffered device control through file handles: the system buffer's exact size, the copy-back of
// Information bytes, pended requests, and refused methods and access.
#include <vector>

#include "io_test_util.h"

namespace {

constexpr ULONG IoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
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
    void TearDown() override
    {
        if (completer != nullptr) {
            km::JoinThread(completer);
        }
        KernelTest::TearDown();
    }

    // What the device saw of the last device-control request.
    struct Seen {
        bool called = false;
        bool hadBuffer = false;
        km::PoolBlockInfo block{};
        std::vector<uint8_t> input;
    };

    // The device records the request, fills `fill` output bytes with 0xAB and completes with
    // `status` and `information`.
    void AnswerWith(NTSTATUS status, ULONG fill, ULONG_PTR information)
    {
        km::SetModelDeviceHandler(device, [=](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
                seen.called = true;
                void* buffer = irp->AssociatedIrp.SystemBuffer;
                seen.hadBuffer = buffer != nullptr && km::QueryPoolBlock(buffer, &seen.block);
                auto* bytes = static_cast<uint8_t*>(buffer);
                seen.input.assign(bytes, bytes + stack->Parameters.DeviceIoControl.InputBufferLength);
                if (fill > 0) {
                    memset(buffer, 0xAB, fill);
                }
            }
            NTSTATUS answer = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ? status : STATUS_SUCCESS;
            irp->IoStatus.Status = answer;
            irp->IoStatus.Information = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ? information : 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return answer;
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
    Seen seen;
    IO_STATUS_BLOCK ioStatus{};
};

TEST_F(IoDeviceControlTest, SystemBufferIsExactlyTheLargerOfInputAndOutput)
{
    AnswerWith(STATUS_SUCCESS, 0, 0);
    HANDLE handle = Open(true);
    struct Sizes {
        ULONG input, output;
    };
    for (Sizes sizes : {Sizes{12, 8}, Sizes{8, 216}, Sizes{638, 8}, Sizes{1, 0}, Sizes{0, 3}}) {
        std::vector<uint8_t> input(sizes.input);
        for (size_t i = 0; i < input.size(); ++i) {
            input[i] = static_cast<uint8_t>(i + 1);
        }
        std::vector<uint8_t> output(sizes.output);
        seen = Seen{};
        ASSERT_EQ(Control(handle, IoctlBuffered, input.data(), sizes.input, output.data(), sizes.output),
                  STATUS_SUCCESS);
        ASSERT_TRUE(seen.hadBuffer) << "the system buffer is a pool block of its own";
        EXPECT_EQ(seen.block.size, std::max(sizes.input, sizes.output))
            << sizes.input << " in, " << sizes.output << " out";
        EXPECT_EQ(seen.block.tag, SystemBufferTag);
        EXPECT_FALSE(seen.block.paged);
        EXPECT_EQ(seen.input, input);
    }
    seen = Seen{};
    ASSERT_EQ(Control(handle, IoctlBuffered, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_TRUE(seen.called);
    EXPECT_FALSE(seen.hadBuffer) << "no buffer for a request without input or output";
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(IoDeviceControlTest, InformationBytesAreCopiedBackUnlessTheStatusIsAnError)
{
    HANDLE handle = Open(true);
    struct Case {
        NTSTATUS status;
        ULONG_PTR information;
        size_t copied;
    } cases[] = {
        {STATUS_SUCCESS, 5, 5},
        {STATUS_BUFFER_OVERFLOW, 16, 16},  // a warning still delivers its bytes
        {STATUS_INVALID_PARAMETER, 16, 0},  // an error delivers nothing, whatever Information says
    };
    for (const Case& c : cases) {
        AnswerWith(c.status, 16, c.information);
        std::vector<uint8_t> output(16, 0x11);
        EXPECT_EQ(Control(handle, IoctlBuffered, nullptr, 0, output.data(), 16), c.status);
        EXPECT_EQ(ioStatus.Status, c.status);
        EXPECT_EQ(ioStatus.Information, c.information);
        std::vector<uint8_t> expected(16, 0x11);
        std::fill_n(expected.begin(), c.copied, 0xAB);
        EXPECT_EQ(output, expected) << std::hex << c.status;
    }
    ZwClose(handle);
}

// Other methods than METHOD_BUFFERED, and an access the code asks for that a user handle lacks, are
// refused before the driver; kernel mode is not checked. The requestor mode is the caller's
// previous mode, which the host's trust checks go by (tests/driver).
TEST_F(IoDeviceControlTest, RefusalsComeBeforeTheDriver)
{
    AnswerWith(STATUS_SUCCESS, 0, 0);
    HANDLE readOnly = Open(true, GENERIC_READ);
    EXPECT_EQ(Control(readOnly, IoctlNeither, nullptr, 0, nullptr, 0), STATUS_NOT_IMPLEMENTED);
    EXPECT_FALSE(seen.called);
    EXPECT_EQ(Control(readOnly, IoctlWrite, nullptr, 0, nullptr, 0), STATUS_SUCCESS) << "kernel mode is not checked";
    ZwClose(readOnly);
    km::RunAsUser([&] {
        HANDLE userReadOnly = Open(false, GENERIC_READ);
        seen = Seen{};
        EXPECT_EQ(Control(userReadOnly, IoctlWrite, nullptr, 0, nullptr, 0, true), STATUS_ACCESS_DENIED);
        EXPECT_FALSE(seen.called);
        NtClose(userReadOnly);
    });
}

TEST_F(IoDeviceControlTest, APendedRequestIsWaitedForAndItsOutputDelivered)
{
    km::SetModelDeviceHandler(device, [this](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        IoMarkIrpPending(irp);
        completer = km::StartThread(km::SystemProcess(), [irp] {
            memcpy(irp->AssociatedIrp.SystemBuffer, "late", 4);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 4;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    });
    HANDLE handle = Open(true);
    char output[8] = {};
    EXPECT_EQ(Control(handle, IoctlBuffered, nullptr, 0, output, sizeof output), STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Information, 4u);
    EXPECT_EQ(std::string(output, 4), "late");
    ZwClose(handle);
}

}  // namespace
