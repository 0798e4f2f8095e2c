// The tests' way into the I/O manager: finding objects, sending IRPs and opening files.
#include "internal/ps.h"
#include "internal/verifier.h"
#include "io/io_manager.h"

namespace {

namespace ob = km::ob;

void* FindObject(const std::u16string& name, ob::ObjectKind kind)
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    ob::LookupResult found = ob::LookupLocked(name);
    if (!NT_SUCCESS(found.status) || !found.remaining.empty() || found.object->kind != kind) {
        return nullptr;
    }
    return found.object->body;
}

}  // namespace

PDEVICE_OBJECT km::FindDevice(const std::u16string& name)
{
    return static_cast<PDEVICE_OBJECT>(FindObject(name, ob::ObjectKind::Device));
}

PDRIVER_OBJECT km::FindDriver(const std::u16string& name)
{
    return static_cast<PDRIVER_OBJECT>(FindObject(name, ob::ObjectKind::Driver));
}

long km::ObjectReferenceCount(const void* object)
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    ob::ObjectHeader* header = ob::FindLocked(object);
    return header == nullptr ? -1 : header->pointerCount.load();
}

long km::ObjectHandleCount(const void* object)
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    ob::ObjectHeader* header = ob::FindLocked(object);
    return header == nullptr ? 0 : header->handleCount;
}

PDRIVER_DISPATCH km::InvalidDeviceRequestRoutine() { return km::io::InvalidDeviceRequest; }

km::IrpResult km::SendIrp(PDEVICE_OBJECT device, const IrpRequest& request)
{
    PIRP irp = km::io::AllocateIrp(device->StackSize, false, nullptr);
    irp->RequestorMode = request.requestorMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = request.fileObject;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = request.majorFunction;
    stack->MinorFunction = request.minorFunction;
    stack->FileObject = request.fileObject;
    if (request.setup) {
        request.setup(stack);
    }
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS returned = km::io::CallSynchronously(device, irp, &ioStatus);
    return IrpResult{returned, ioStatus.Status, ioStatus.Information};
}

km::IrpResult km::SendDeviceControl(PDEVICE_OBJECT device, ULONG ioControlCode, const void* input, ULONG inputLength,
                                    void* output, ULONG outputLength, bool internal)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, device, const_cast<void*>(input), inputLength, output,
                                             outputLength, internal, &done, &ioStatus);
    if (irp == nullptr) {
        KmModelMisuse("km::SendDeviceControl: no IRP for control code 0x%x", (unsigned)ioControlCode);
    }
    NTSTATUS returned = IofCallDriver(device, irp);
    if (returned == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    } else if (KeReadStateEvent(&done) == 0) {
        KmBugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, KmIoCheckNotCompleted, (ULONG_PTR)irp, (ULONG_PTR)device,
                   (ULONG_PTR)returned,
                   "the driver of device %p returned 0x%08X for IRP %p without completing it and without "
                   "STATUS_PENDING",
                   (void*)device, (unsigned)returned, (void*)irp);
    }
    return IrpResult{returned, ioStatus.Status, ioStatus.Information};
}

size_t km::OutstandingIrps() { return km::io::OutstandingIrpCount(); }

km::OpenResult km::OpenFile(const std::u16string& name, bool kernel, ACCESS_MASK access, ULONG attributes)
{
    UNICODE_STRING objectName{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                              static_cast<USHORT>(name.size() * sizeof(WCHAR)), const_cast<PWCH>(name.data())};
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &objectName, attributes | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    OpenResult result{STATUS_UNSUCCESSFUL, nullptr, {}};
    auto create = kernel ? ZwCreateFile : NtCreateFile;
    result.status = create(&result.handle, access, &objectAttributes, &result.ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return result;
}
