// The I/O manager's verifier: each misuse of IRPs, devices, handles or references stops the
// system with a bug check that names it. Each case runs in a child process (death test) with a
// device \Device\Victim of the model's lower driver.
#include "io_test_util.h"

namespace {

NTSTATUS RaiseTo(KIRQL irql)
{
    KIRQL old;
    KeRaiseIrql(irql, &old);
    return STATUS_SUCCESS;
}

// The device answers with `dispatch`; a read is sent to it.
void ReadThrough(PDEVICE_OBJECT device, km::IrpHandler dispatch)
{
    km::SetModelDeviceHandler(device, std::move(dispatch));
    km::SendIrp(device, km::IrpRequest{IRP_MJ_READ});
}

// A filter of the model's lower driver attached to `device`.
PDEVICE_OBJECT AttachFilter(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT filter = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
    EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(filter, device, nullptr), STATUS_SUCCESS);
    return filter;
}

KSPIN_LOCK SomeLock;

using IoMisuse = Misuse<PDEVICE_OBJECT>;
const IoMisuse IoMisuses[] = {
    {"CompletingAnIrpTwice",
     [](auto& d) { ReadThrough(d, [](auto, PIRP irp) { return CompleteIrp(irp, CompleteIrp(irp, STATUS_SUCCESS)); }); },
     "STOP 0x00000044 .*MULTIPLE_IRP_COMPLETE_REQUESTS.*completed again"},
    {"CompletingWithStatusPending",
     [](auto& d) { ReadThrough(d, [](auto, PIRP irp) { return CompleteIrp(irp, STATUS_PENDING); }); },
     "STOP 0x000000C9 .*DRIVER_VERIFIER_IOMANAGER_VIOLATION.*completed with STATUS_PENDING"},
    {"CompletingAboveDispatchLevel",
     [](auto& d) { ReadThrough(d, [](auto, PIRP irp) { return CompleteIrp(irp, RaiseTo(HIGH_LEVEL)); }); },
     "STOP 0x000000C9 .*IofCompleteRequest for IRP .* at IRQL 15"},
    {"ReturningAtAnotherIrql",
     [](auto& d) {
         ReadThrough(d, [](auto, PIRP irp) { CompleteIrp(irp, STATUS_SUCCESS); return RaiseTo(DISPATCH_LEVEL); });
     },
     "STOP 0x000000C9 .*was called at IRQL 0 and returned at IRQL 2"},
    {"ReturningPendingWithoutMarkingTheIrp",
     [](auto& d) {
         ReadThrough(d, [](auto, PIRP irp) { CompleteIrp(irp, STATUS_SUCCESS); return NTSTATUS(STATUS_PENDING); });
     },
     "STOP 0x000000C9 .*returned STATUS_PENDING for IRP .* without IoMarkIrpPending"},
    {"ReturningWithoutCompletingOrPending", [](auto& d) { ReadThrough(d, [](auto, PIRP) { return STATUS_SUCCESS; }); },
     "STOP 0x000000C9 .*without completing it and without STATUS_PENDING"},
    {"ReturningFromDispatchHoldingASpinLock",
     [](auto& d) {
         KeInitializeSpinLock(&SomeLock);
         RaiseTo(DISPATCH_LEVEL);
         ReadThrough(d, [](auto, PIRP irp) {
             NTSTATUS status = CompleteIrp(irp, STATUS_SUCCESS);
             KeAcquireSpinLockAtDpcLevel(&SomeLock);
             return status;
         });
     },
     "STOP 0x000000C9 .*returned holding a spin lock"},
    {"PassingDownWithoutAStackLocationLeft",
     [](auto& d) {
         PDEVICE_OBJECT other = km::CreateModelDevice({FILE_DEVICE_UNKNOWN});
         ReadThrough(d, [other](auto, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IoCallDriver(other, irp);  // this device is attached to nothing: StackSize 1
         });
     },
     "STOP 0x00000035 .*NO_MORE_IRP_STACK_LOCATIONS.*no stack location left"},
    {"CompletingAnIrpThatTheIoManagerAlreadyFreed",
     [](auto& d) {
         PIRP built = nullptr;
         km::SetModelDeviceHandler(d, [&](auto, PIRP irp) { return CompleteIrp(built = irp, STATUS_SUCCESS); });
         uint8_t output[4];
         km::SendDeviceControl(d, IoctlBuffered, nullptr, 0, output, sizeof output);
         IoCompleteRequest(built, IO_NO_INCREMENT);
     },
     "STOP 0x00000044 .*MULTIPLE_IRP_COMPLETE_REQUESTS.*not an allocated IRP"},
    {"ReturningPendingForAnIrpTheIoManagerFreedAtCompletion",
     [](auto& d) {
         // A built request is freed at its completion, before the routine returns.
         km::SetModelDeviceHandler(d, [](auto, PIRP irp) { CompleteIrp(irp, STATUS_SUCCESS); return STATUS_PENDING; });
         km::SendDeviceControl(d, IoctlBuffered, nullptr, 0, nullptr, 0);
     },
     "STOP 0x000000C9 .*without IoMarkIrpPending"},
    {"AFilterReturningPendingWhoseRoutineForgetsToPropagateTheMark",
     [](auto& d) {
         PDEVICE_OBJECT filter = AttachFilter(d);
         km::SetModelDeviceHandler(d, [](auto, PIRP irp) {
             IoMarkIrpPending(irp);
             CompleteIrp(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         });
         km::SetModelDeviceHandler(filter, [d](auto, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(irp, [](auto, auto, auto) { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
             return IoCallDriver(d, irp);
         });
         km::SendIrp(filter, km::IrpRequest{IRP_MJ_READ});
     },
     "STOP 0x000000C9 .*without IoMarkIrpPending"},
    {"InformationBeyondTheBufferedOutput",
     [](auto& d) {
         km::SetModelDeviceHandler(d, [](auto, PIRP irp) { return CompleteIrp(irp, STATUS_SUCCESS, 9); });
         uint8_t output[8];
         km::SendDeviceControl(d, IoctlBuffered, nullptr, 0, output, sizeof output);
     },
     "STOP 0x000000C9 .*Information 9 above its output buffer length 8"},
    {"DeletingAnAttachedDevice", [](auto& d) { IoDeleteDevice(AttachFilter(d)); },
     "STOP 0x000000C9 .*is still attached to device"},
    {"DeletingADeviceSomethingIsAttachedTo", [](auto& d) { AttachFilter(d); IoDeleteDevice(d); },
     "STOP 0x000000C9 .*was deleted while device .* is still attached to it"},
    {"DereferencingOnceTooOften", [](auto& d) { ObReferenceObject(d); ObDereferenceObject(d); ObDereferenceObject(d); },
     "STOP 0x00000018 .*REFERENCE_BY_POINTER.*drops a reference nobody took"},
    {"DereferencingAnObjectThatIsGone", [](auto& d) { km::DeleteModelDevice(d); ObDereferenceObject(d); },
     "STOP 0x00000018 .*not a live object"},
    {"ReferencingAnObjectThatIsGone", [](auto& d) { km::DeleteModelDevice(d); ObReferenceObject(d); },
     "STOP 0x00000018 .*ObfReferenceObject on a pointer that is not a live object"},
    {"ClosingAKernelHandleTwice",
     [](auto&) {
         HANDLE handle = km::OpenFile(u"\\Device\\Victim", true, GENERIC_READ, OBJ_KERNEL_HANDLE).handle;
         ZwClose(handle);
         ZwClose(handle);
     },
     "STOP 0x00000093 .*INVALID_KERNEL_HANDLE"},
    {"FreeingAnIrpTwice",
     [](auto&) {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     },
     "STOP 0x000000C9 .*IoFreeIrp on .* which is not an allocated IRP"},
};

class IoVerifierDeathTest : public ModelDeathTest, public ::testing::WithParamInterface<IoMisuse> {};

TEST_P(IoVerifierDeathTest, StopsTheSystem)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, u"\\Device\\Victim"});
    EXPECT_DEATH(GetParam().body(device), GetParam().bugCheck);
}

INSTANTIATE_TEST_SUITE_P(, IoVerifierDeathTest, ::testing::ValuesIn(IoMisuses), ByName());

}  // namespace
