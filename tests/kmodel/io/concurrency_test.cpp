// Many threads at once through the object manager and the I/O manager: opening, controlling and
// closing files on one device, and references taken and dropped on it, with IRPs completed on
// whichever thread gets there.
#include <atomic>
#include <vector>

#include "io_test_util.h"

namespace {

using IoConcurrencyTest = KernelTest;

constexpr ULONG IoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr int ThreadCount = 4;
constexpr int Rounds = 40;

TEST_F(IoConcurrencyTest, ThreadsOpenControlAndCloseOneDeviceTogether)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_UNKNOWN, u"\\Device\\Busy"});
    std::atomic<int> creates{0}, closes{0};
    km::SetModelDeviceHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        if (stack->MajorFunction == IRP_MJ_CREATE) {
            creates++;
        } else if (stack->MajorFunction == IRP_MJ_CLOSE) {
            closes++;
        } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            // Echo the input back, doubled.
            auto* bytes = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            for (ULONG i = 0; i < stack->Parameters.DeviceIoControl.InputBufferLength; ++i) {
                bytes[i] = static_cast<uint8_t>(bytes[i] * 2);
            }
            irp->IoStatus.Information = stack->Parameters.DeviceIoControl.InputBufferLength;
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    std::atomic<int> failures{0};
    std::vector<km::Thread*> threads;
    for (int t = 0; t < ThreadCount; ++t) {
        threads.push_back(km::StartThread(km::SystemProcess(), [&, t] {
            for (int round = 0; round < Rounds; ++round) {
                km::OpenResult opened = km::OpenFile(u"\\Device\\Busy", true, GENERIC_READ, OBJ_KERNEL_HANDLE);
                if (opened.status != STATUS_SUCCESS) {
                    failures++;
                    continue;
                }
                uint8_t data[3] = {static_cast<uint8_t>(t), static_cast<uint8_t>(round), 1};
                uint8_t echo[3] = {};
                IO_STATUS_BLOCK ioStatus;
                NTSTATUS status = ZwDeviceIoControlFile(opened.handle, nullptr, nullptr, nullptr, &ioStatus, IoctlEcho,
                                                        data, sizeof data, echo, sizeof echo);
                if (status != STATUS_SUCCESS || echo[0] != 2 * t || echo[1] != static_cast<uint8_t>(2 * round) ||
                    echo[2] != 2) {
                    failures++;
                }
                ObReferenceObject(device);
                ObDereferenceObject(device);
                ZwClose(opened.handle);
            }
        }));
    }
    for (km::Thread* thread : threads) {
        km::JoinThread(thread);
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(creates.load(), ThreadCount * Rounds);
    EXPECT_EQ(closes.load(), ThreadCount * Rounds);
    EXPECT_EQ(km::ObjectReferenceCount(device), 1);
    EXPECT_EQ(device->ReferenceCount, 0);
    EXPECT_EQ(km::OutstandingIrps(), 0u);
}

TEST_F(IoConcurrencyTest, IrpsPendedByManyThreadsAreCompletedByOne)
{
    PDEVICE_OBJECT device = km::CreateModelDevice({FILE_DEVICE_DISK});
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::vector<PIRP> queue;
    km::SetModelDeviceHandler(device, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        queue.push_back(irp);
        KeReleaseSpinLock(&lock, old);
        return STATUS_PENDING;
    });
    std::atomic<int> done{0};
    std::vector<km::Thread*> senders;
    for (int t = 0; t < ThreadCount; ++t) {
        senders.push_back(km::StartThread(km::SystemProcess(), [&, t] {
            km::IrpRequest read{IRP_MJ_READ};
            read.setup = [t](PIO_STACK_LOCATION stack) { stack->Parameters.Read.Length = 100 + t; };
            km::IrpResult result = km::SendIrp(device, read);
            if (result.returned == STATUS_PENDING && result.status == STATUS_SUCCESS &&
                result.information == ULONG_PTR(100 + t)) {
                done++;
            }
        }));
    }
    int completed = 0;
    while (completed < ThreadCount) {
        PIRP irp = nullptr;
        KIRQL old = KeRaiseIrqlToDpcLevel();
        KeAcquireSpinLockAtDpcLevel(&lock);
        if (!queue.empty()) {
            irp = queue.back();
            queue.pop_back();
        }
        KeReleaseSpinLockFromDpcLevel(&lock);
        if (irp != nullptr) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
            IoCompleteRequest(irp, IO_NO_INCREMENT);  // at DISPATCH_LEVEL, as from a DPC
            completed++;
        }
        KeLowerIrql(old);
    }
    for (km::Thread* sender : senders) {
        km::JoinThread(sender);
    }
    EXPECT_EQ(done.load(), ThreadCount);
}

}  // namespace
