// The model's own lower driver, "\Driver\ModelLower": its devices record every IRP and then run
// the test's handler or complete the IRP with the result set for its major function.
#include <map>

#include "internal/verifier.h"
#include "io/io_manager.h"

namespace km::io {

struct ModelDeviceState {
    std::vector<RecordedIrp> irps;
    IrpHandler handler;
    std::map<UCHAR, std::pair<NTSTATUS, ULONG_PTR>> results;
};

struct ModelDriverState {
    std::mutex lock;
    std::map<PDEVICE_OBJECT, ModelDeviceState> devices;
};

namespace {

const char16_t ModelDriverName[] = u"\\Driver\\ModelLower";

// The model driver of the running model, made on first use. Guarded by ob::ModelLock.
DriverRecord*& ModelDriverRecord()
{
    static DriverRecord* record = nullptr;
    return record;
}

ModelDriverState& StateOf(PDEVICE_OBJECT device)
{
    ModelDriverState* state;
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        DriverRecord* record = FindDriverLocked(device->DriverObject);
        if (record == nullptr || record->model == nullptr) {
            KmModelMisuse("device %p is not a device of the model's lower driver", (void*)device);
        }
        state = record->model;
    }
    return *state;
}

// The dispatch routine of every major function of the model driver.
NTSTATUS NTAPI ModelDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    ModelDriverState& state = StateOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    RecordedIrp recorded{device, irp, *stack, irp->RequestorMode, irp->Flags, {}};
    bool buffered = (irp->Flags & IRP_BUFFERED_IO) != 0 && irp->AssociatedIrp.SystemBuffer != nullptr;
    if (buffered && (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                     stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)) {
        auto* bytes = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        recorded.systemBuffer.assign(bytes, bytes + stack->Parameters.DeviceIoControl.InputBufferLength);
    }
    IrpHandler handler;
    std::pair<NTSTATUS, ULONG_PTR> result{STATUS_SUCCESS, 0};
    {
        std::lock_guard<std::mutex> hold(state.lock);
        ModelDeviceState& deviceState = state.devices[device];
        deviceState.irps.push_back(recorded);
        handler = deviceState.handler;
        auto found = deviceState.results.find(stack->MajorFunction);
        if (found != deviceState.results.end()) {
            result = found->second;
        }
    }
    if (handler) {
        return handler(device, irp);
    }
    irp->IoStatus.Status = result.first;
    irp->IoStatus.Information = result.second;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return result.first;
}

DriverRecord* ModelDriverRecordCreated()
{
    {
        std::lock_guard<std::mutex> hold(ob::ModelLock());
        DriverRecord* record = ModelDriverRecord();
        if (record != nullptr && record->loaded) {
            return record;
        }
    }
    DriverRecord* record;
    if (!NT_SUCCESS(CreateDriverObject(ModelDriverName, &record))) {
        KmModelMisuse("a driver named \\Driver\\ModelLower is already loaded");
    }
    for (auto& slot : record->driver->MajorFunction) {
        slot = ModelDispatch;
    }
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    record->model = new ModelDriverState;
    ModelDriverRecord() = record;
    return record;
}

}  // namespace

void ForgetModelDriver()
{
    std::lock_guard<std::mutex> hold(ob::ModelLock());
    ModelDriverRecord() = nullptr;
}

void DeleteModelDriverState(DriverRecord* record)
{
    delete record->model;
    record->model = nullptr;
}

}  // namespace km::io

using namespace km::io;

PDRIVER_OBJECT km::ModelDriver() { return ModelDriverRecordCreated()->driver; }

PDEVICE_OBJECT km::CreateModelDevice(const ModelDeviceOptions& options)
{
    PDRIVER_OBJECT driver = ModelDriver();
    UNICODE_STRING name{static_cast<USHORT>(options.name.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(options.name.size() * sizeof(WCHAR)),
                        const_cast<PWCH>(options.name.data())};
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, options.extensionSize, options.name.empty() ? nullptr : &name,
                                     options.type, options.characteristics, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        KmModelMisuse("km::CreateModelDevice: IoCreateDevice failed with 0x%08X", (unsigned)status);
    }
    device->Flags |= options.flags;
    if (!options.initializing) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return device;
}

void km::DeleteModelDevice(PDEVICE_OBJECT device)
{
    ModelDriverState& state = StateOf(device);
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.devices.erase(device);
    }
    IoDeleteDevice(device);
}

void km::SetModelDeviceHandler(PDEVICE_OBJECT device, IrpHandler handler)
{
    ModelDriverState& state = StateOf(device);
    std::lock_guard<std::mutex> hold(state.lock);
    state.devices[device].handler = std::move(handler);
}

void km::SetModelDeviceResult(PDEVICE_OBJECT device, UCHAR majorFunction, NTSTATUS status, ULONG_PTR information)
{
    ModelDriverState& state = StateOf(device);
    std::lock_guard<std::mutex> hold(state.lock);
    state.devices[device].results[majorFunction] = {status, information};
}

std::vector<km::RecordedIrp> km::ModelDeviceIrps(PDEVICE_OBJECT device)
{
    ModelDriverState& state = StateOf(device);
    std::lock_guard<std::mutex> hold(state.lock);
    return state.devices[device].irps;
}
