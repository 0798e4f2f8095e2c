// Routing of IRPs on the host's devices: the control device's own answers, devices of other types,
// filter devices passed down (forwarding to the module is the link's tests' part).
#include "kmodel/trap.h"
#include "support/host_test.h"

namespace {

using RoutingTest = HostTest;

TEST_F(RoutingTest, RoutingControlDeviceAnswersByMajorFunction)
{
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_PNP}) {
        bool answered = major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP;
        km::IrpResult result = SendMajor(ControlDevice(), major);
        EXPECT_EQ(result.status, answered ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED) << "major " << int(major);
        EXPECT_EQ(result.information, 0u);
    }
    // Without its magic the control device refuses everything, opens included.
    km::OpenResult opened = km::OpenFile(ControlDeviceNameFor(HostServiceName), true);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    auto* magic = static_cast<ULONG*>(ControlDevice()->DeviceExtension);
    *magic = 0x76445400;
    EXPECT_EQ(Kernel(IOCTL_HOST_QUERY_VERSION, {}, 8).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(km::OpenFile(ControlDeviceNameFor(HostServiceName), true).status, STATUS_UNSUCCESSFUL);
    *magic = 0x7644544B;
    EXPECT_EQ(ZwClose(opened.handle), STATUS_SUCCESS);
}

TEST_F(RoutingTest, RoutingPassesFilterDevicesDownAndRefusesOtherTypes)
{
    for (DEVICE_TYPE type : {FILE_DEVICE_DISK_FILE_SYSTEM, FILE_DEVICE_CD_ROM_FILE_SYSTEM,
                             FILE_DEVICE_NETWORK_FILE_SYSTEM, FILE_DEVICE_UNKNOWN, FILE_DEVICE_DISK}) {
        bool fileSystem = type != FILE_DEVICE_UNKNOWN && type != FILE_DEVICE_DISK;
        PDEVICE_OBJECT lower = km::CreateModelDevice({type});
        km::SetModelDeviceResult(lower, IRP_MJ_READ, STATUS_END_OF_FILE, 7);
        km::IrpRequest request;
        request.majorFunction = IRP_MJ_READ;
        request.setup = [](PIO_STACK_LOCATION stack) { stack->Parameters.Read.ByteOffset.QuadPart = 4096; };
        km::IrpResult result = km::SendIrp(CreateHostDevice(type, lower), request);

        std::vector<km::RecordedIrp> received = km::ModelDeviceIrps(lower);
        if (!fileSystem) {
            EXPECT_EQ(result.status, STATUS_NOT_SAME_DEVICE) << "type " << type;
            EXPECT_EQ(result.information, 0u);
            EXPECT_TRUE(received.empty());
            continue;
        }
        EXPECT_EQ(result.returned, STATUS_END_OF_FILE) << "type " << type;
        EXPECT_EQ(result.information, 7u);
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received[0].stack.MajorFunction, IRP_MJ_READ);
        EXPECT_EQ(received[0].stack.Parameters.Read.ByteOffset.QuadPart, 4096);
    }
    // A filter device with nothing below, recorded or not.
    PDEVICE_OBJECT alone = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM);
    RecordFilterDevice(alone);
    EXPECT_EQ(SendMajor(alone, IRP_MJ_WRITE).status, STATUS_NO_MEDIA);
}

// The lower device is deleted (and the host's device above it with it) while a request the host
// passes down is on its way to it: PassDown's reference keeps it a live device object for the call.
TEST_F(RoutingTest, RoutingPassDownKeepsTheLowerDeviceUntilItsCallReturns)
{
    PDEVICE_OBJECT lower = km::CreateModelDevice({FILE_DEVICE_DISK_FILE_SYSTEM});
    PDEVICE_OBJECT filter = CreateHostDevice(FILE_DEVICE_DISK_FILE_SYSTEM, lower, true);  // goes with `lower`

    km::Trap onItsWay(km::TrapRule{"IofCallDriver", lower});
    km::IrpResult result{};
    ModelThread reader([&] { result = SendMajor(filter, IRP_MJ_READ); });
    ASSERT_TRUE(onItsWay.WaitFired());
    km::DeleteModelDevice(lower);
    onItsWay.Release();
    reader.Join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(km::ObjectReferenceCount(lower), -1) << "the lower device's reference was kept";
}

}  // namespace
