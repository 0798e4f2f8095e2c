// The I/O manager's verifier: each misuse of IRPs, devices or references stops the system with a
// bug check that names it. Each case runs in a child process (death test).
#include "io_test_util.h"

namespace {

constexpr ULONG IoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class IoVerifierDeathTest : public IoDeathTest {
protected:
    void SetUp() override
    {
        IoDeathTest::SetUp();
        device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, u"\\Device\\Victim"});
    }

    void Handle(km::IrpHandler handler) { km::SetModelDeviceHandler(device, std::move(handler)); }

    PDEVICE_OBJECT device = nullptr;
};

// A dispatch routine that breaks a rule, and the bug check it earns when an IRP reaches it.
struct DispatchMisuse {
    const char* label;
    NTSTATUS (*dispatch)(PDEVICE_OBJECT, PIRP);
    const char* bugCheck;
};

void PrintTo(const DispatchMisuse& misuse, std::ostream* out) { *out << misuse.label; }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RaiseTo(KIRQL irql)
{
    KIRQL old;
    KeRaiseIrql(irql, &old);
    return STATUS_SUCCESS;
}

const DispatchMisuse DispatchMisuses[] = {
    {"CompletingAnIrpTwice", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, Complete(irp, STATUS_SUCCESS)); },
     "STOP 0x00000044 .*MULTIPLE_IRP_COMPLETE_REQUESTS.*completed again"},
    {"CompletingWithStatusPending", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); },
     "STOP 0x000000C9 .*DRIVER_VERIFIER_IOMANAGER_VIOLATION.*completed with STATUS_PENDING"},
    {"CompletingAboveDispatchLevel", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, RaiseTo(HIGH_LEVEL)); },
     "STOP 0x000000C9 .*IofCompleteRequest for IRP .* at IRQL 15"},
    {"ReturningAtAnotherIrql",
     [](PDEVICE_OBJECT, PIRP irp) { Complete(irp, STATUS_SUCCESS); return RaiseTo(DISPATCH_LEVEL); },
     "STOP 0x000000C9 .*was called at IRQL 0 and returned at IRQL 2"},
    {"ReturningPendingWithoutMarkingTheIrp",
     [](PDEVICE_OBJECT, PIRP irp) { Complete(irp, STATUS_SUCCESS); return NTSTATUS(STATUS_PENDING); },
     "STOP 0x000000C9 .*returned STATUS_PENDING for IRP .* without IoMarkIrpPending"},
    {"ReturningWithoutCompletingOrPending", [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; },
     "STOP 0x000000C9 .*without completing it and without STATUS_PENDING"},
};

class IoDispatchMisuseDeathTest : public IoVerifierDeathTest, public ::testing::WithParamInterface<DispatchMisuse> {};

TEST_P(IoDispatchMisuseDeathTest, StopsTheSystem)
{
    Handle(GetParam().dispatch);
    EXPECT_DEATH(km::SendIrp(device, km::IrpRequest{IRP_MJ_READ}), GetParam().bugCheck);
}

INSTANTIATE_TEST_SUITE_P(Rules, IoDispatchMisuseDeathTest, ::testing::ValuesIn(DispatchMisuses),
                         [](const ::testing::TestParamInfo<DispatchMisuse>& misuse) { return misuse.param.label; });

TEST_F(IoVerifierDeathTest, CompletingAnIrpThatTheIoManagerAlreadyFreed)
{
    uint8_t output[4];
    EXPECT_DEATH(
        {
            PIRP built = nullptr;
            Handle([&](PDEVICE_OBJECT, PIRP irp) {
                built = irp;
                Complete(irp, STATUS_SUCCESS);
                return STATUS_SUCCESS;
            });
            km::SendDeviceControl(device, IoctlBuffered, nullptr, 0, output, sizeof output);
            IoCompleteRequest(built, IO_NO_INCREMENT);
        },
        "STOP 0x00000044 .*MULTIPLE_IRP_COMPLETE_REQUESTS.*not an allocated IRP");
}

TEST_F(IoVerifierDeathTest, PassingDownWithoutAStackLocationLeft)
{
    PDEVICE_OBJECT other = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
    Handle([other](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(other, irp);  // this device is attached to nothing: StackSize 1
    });
    EXPECT_DEATH(km::SendIrp(device, km::IrpRequest{IRP_MJ_READ}),
                 "STOP 0x00000035 .*NO_MORE_IRP_STACK_LOCATIONS.*no stack location left");
}

TEST_F(IoVerifierDeathTest, ReturningFromDispatchHoldingASpinLock)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    Handle([](PDEVICE_OBJECT, PIRP irp) {
        KeAcquireSpinLockAtDpcLevel(&lock);
        Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    });
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            km::SendIrp(device, km::IrpRequest{IRP_MJ_READ});
        },
        "STOP 0x000000C9 .*returned holding a spin lock");
}

TEST_F(IoVerifierDeathTest, ReturningPendingForAnIrpTheIoManagerFreedAtCompletion)
{
    Handle([](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);  // a built request is freed here, before the routine returns
        return STATUS_PENDING;
    });
    EXPECT_DEATH(km::SendDeviceControl(device, IoctlBuffered, nullptr, 0, nullptr, 0),
                 "STOP 0x000000C9 .*without IoMarkIrpPending");
}

TEST_F(IoVerifierDeathTest, AFilterReturningPendingWhoseRoutineForgetsToPropagateTheMark)
{
    PDEVICE_OBJECT filter = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
    ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(filter, device, nullptr), STATUS_SUCCESS);
    Handle([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT lower = device;
    km::SetModelDeviceHandler(filter, [lower](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    });
    EXPECT_DEATH(km::SendIrp(filter, km::IrpRequest{IRP_MJ_READ}), "STOP 0x000000C9 .*without IoMarkIrpPending");
}

TEST_F(IoVerifierDeathTest, InformationBeyondTheBufferedOutput)
{
    Handle([](PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS, 9);
        return STATUS_SUCCESS;
    });
    EXPECT_DEATH(
        {
            km::OpenResult opened = km::OpenFile(u"\\Device\\Victim", true);
            uint8_t output[8];
            IO_STATUS_BLOCK ioStatus;
            ZwDeviceIoControlFile(opened.handle, nullptr, nullptr, nullptr, &ioStatus, IoctlBuffered, nullptr, 0,
                                  output, sizeof output);
        },
        "STOP 0x000000C9 .*Information 9 above its output buffer length 8");
}

TEST_F(IoVerifierDeathTest, DeletingADeviceOfAStackWhileAttached)
{
    PDEVICE_OBJECT filter = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
    ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(filter, device, nullptr), STATUS_SUCCESS);
    EXPECT_DEATH(IoDeleteDevice(filter), "STOP 0x000000C9 .*is still attached to device");
    EXPECT_DEATH(IoDeleteDevice(device), "STOP 0x000000C9 .*was deleted while device .* is still attached to it");
}

TEST_F(IoVerifierDeathTest, DereferencingOnceTooOftenOrAnObjectThatIsGone)
{
    ObReferenceObject(device);
    ObDereferenceObject(device);
    EXPECT_DEATH(ObDereferenceObject(device), "STOP 0x00000018 .*REFERENCE_BY_POINTER.*drops a reference nobody took");
    EXPECT_DEATH(
        {
            km::DeleteModelDevice(device);
            ObDereferenceObject(device);
        },
        "STOP 0x00000018 .*not a live object");
}

TEST_F(IoVerifierDeathTest, ClosingAKernelHandleTwice)
{
    EXPECT_DEATH(
        {
            km::OpenResult opened = km::OpenFile(u"\\Device\\Victim", true, GENERIC_READ, OBJ_KERNEL_HANDLE);
            ZwClose(opened.handle);
            ZwClose(opened.handle);
        },
        "STOP 0x00000093 .*INVALID_KERNEL_HANDLE");
}

TEST_F(IoVerifierDeathTest, FreeingAnIrpTwice)
{
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        "STOP 0x000000C9 .*IoFreeIrp on .* which is not an allocated IRP");
}

}  // namespace
