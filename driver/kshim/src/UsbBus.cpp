// The simulated USB bus driver.
#include "driver/kshim/UsbBus.h"

#include "driver/kshim/src/State.h"

#include <cstdio>
#include <list>
#include <random>

namespace kshim {

std::vector<uint8_t> UsbDeviceModel::StringDescriptor(uint8_t, uint16_t) {
    return {};
}
void UsbDeviceModel::ResetPipe(uint8_t) {}
void UsbDeviceModel::ResetPort() {}
void UsbDeviceModel::Configured(bool) {}
void UsbDeviceModel::PowerChanged(DEVICE_POWER_STATE) {}

namespace {

enum class ParkKind { Deferred, Nak, Never, Held, Idle, WaitWake };

struct Parked {
    PIRP irp;
    ParkKind kind;
    PVOID pipe = nullptr;
    UrbFate fate = UrbFate::Normal;
    USB_IDLE_CALLBACK_INFO idle{};
    bool idleCalled = false;
};

struct Pipe {
    UCHAR endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    USHORT maxPacket = 0;
    bool halted = false;
};

struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    bool nak = false;
};

DRIVER_DISPATCH BusDispatch;
DRIVER_CANCEL BusCancel;

} // namespace

struct SimulatedUsbDevice::Impl {
    SimulatedUsbDevice* owner = nullptr;
    State* state = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    unsigned instance = 0;
    USHORT vendor = 0;
    USHORT product = 0;

    mutable std::mutex mu;
    std::list<Parked> parked;
    bool draining = false;
    std::map<PVOID, Pipe> pipes;
    uintptr_t nextHandle = 0x5B000000;
    bool configured = false;
    bool plugged = true;
    bool connected = true;
    bool enabled = true;
    bool hold = false;
    bool idleAtOnce = true;
    DEVICE_CAPABILITIES caps{};
    FaultPlan plan;
    std::mt19937 random{1};
    uint64_t bulkIndex = 0;
    Counters counters;
    DEVICE_POWER_STATE power = PowerDeviceD0;
    std::vector<DEVICE_POWER_STATE> powerHistory;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
    std::mutex modelMu; // the model sees one call at a time

    UrbFate Decide() {
        uint64_t index = ++bulkIndex;
        auto scripted = plan.script.find(index);
        if (scripted != plan.script.end())
            return scripted->second;
        std::uniform_real_distribution<double> draw(0.0, 1.0);
        const std::pair<double, UrbFate> chances[] = {{plan.fail, UrbFate::Fail},
                                                      {plan.stall, UrbFate::Stall},
                                                      {plan.shortened, UrbFate::Short},
                                                      {plan.never, UrbFate::Never},
                                                      {plan.deferred, UrbFate::Deferred}};
        for (const auto& [chance, fate] : chances)
            if (chance > 0 && draw(random) < chance)
                return fate;
        return hold ? UrbFate::Held : UrbFate::Normal;
    }

    PUCHAR Buffer(PVOID buffer, PMDL mdl, ULONG length, bool& tooShort) {
        tooShort = false;
        if (mdl) {
            if (MmGetMdlByteCount(mdl) < length)
                tooShort = true;
            return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        }
        if (!buffer && length)
            tooShort = true;
        return static_cast<PUCHAR>(buffer);
    }

    Outcome Descriptor(PURB urb) {
        auto& request = urb->UrbControlDescriptorRequest;
        std::vector<uint8_t> bytes;
        {
            std::lock_guard<std::mutex> guard(modelMu);
            counters.descriptorReads++;
            switch (request.DescriptorType) {
            case USB_DEVICE_DESCRIPTOR_TYPE:
                bytes = owner->model_.DeviceDescriptor();
                break;
            case USB_CONFIGURATION_DESCRIPTOR_TYPE:
                if (request.Index == 0)
                    bytes = owner->model_.ConfigurationDescriptor();
                break;
            case USB_STRING_DESCRIPTOR_TYPE:
                bytes = owner->model_.StringDescriptor(request.Index, request.LanguageId);
                break;
            default:
                break;
            }
        }
        if (bytes.empty())
            return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        bool tooShort;
        PUCHAR target = Buffer(request.TransferBuffer, request.TransferBufferMDL,
                               request.TransferBufferLength, tooShort);
        if (tooShort) {
            state->Violate(Check::UrbBufferTooShort, "descriptor request");
            return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
        }
        ULONG n = request.TransferBufferLength < bytes.size() ? request.TransferBufferLength
                                                              : static_cast<ULONG>(bytes.size());
        std::memcpy(target, bytes.data(), n);
        request.TransferBufferLength = n;
        return {};
    }

    Outcome Select(PURB urb) {
        auto& request = urb->UrbSelectConfiguration;
        {
            std::lock_guard<std::mutex> guard(mu);
            counters.selects++;
            if (!request.ConfigurationDescriptor) {
                pipes.clear();
                configured = false;
            }
        }
        if (!request.ConfigurationDescriptor) {
            std::lock_guard<std::mutex> model(modelMu);
            owner->model_.Configured(false);
            return {};
        }
        std::vector<uint8_t> config;
        {
            std::lock_guard<std::mutex> guard(modelMu);
            config = owner->model_.ConfigurationDescriptor();
        }
        if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
            return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        auto* info = &request.Interface;
        std::map<PVOID, Pipe> fresh;
        for (UCHAR i = 0; i < descriptor->bNumInterfaces; ++i) {
            if (reinterpret_cast<PUCHAR>(info) + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end)
                return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
            auto* found = USBD_ParseConfigurationDescriptorEx(
                descriptor, descriptor, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
            if (!found ||
                info->Length !=
                    GET_USBD_INTERFACE_SIZE(found->bNumEndpoints ? found->bNumEndpoints : 1) ||
                reinterpret_cast<PUCHAR>(info) + info->Length > end)
                return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
            info->Class = found->bInterfaceClass;
            info->SubClass = found->bInterfaceSubClass;
            info->Protocol = found->bInterfaceProtocol;
            info->InterfaceHandle = reinterpret_cast<PVOID>(nextHandle += 16);
            info->NumberOfPipes = found->bNumEndpoints;
            PUCHAR at = reinterpret_cast<PUCHAR>(found) + found->bLength;
            for (ULONG p = 0; p < found->bNumEndpoints; ++p) {
                auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(USBD_ParseDescriptors(
                    descriptor, descriptor->wTotalLength, at, USB_ENDPOINT_DESCRIPTOR_TYPE));
                if (!endpoint)
                    return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
                Pipe pipe;
                pipe.endpoint = endpoint->bEndpointAddress;
                pipe.type = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & 3);
                pipe.maxPacket = endpoint->wMaxPacketSize;
                PVOID handle = reinterpret_cast<PVOID>(nextHandle += 16);
                fresh[handle] = pipe;
                USBD_PIPE_INFORMATION& out = info->Pipes[p];
                out.MaximumPacketSize = pipe.maxPacket;
                out.EndpointAddress = pipe.endpoint;
                out.Interval = endpoint->bInterval;
                out.PipeType = pipe.type;
                out.PipeHandle = handle;
                at = reinterpret_cast<PUCHAR>(endpoint) + endpoint->bLength;
            }
            info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                                 info->Length);
        }
        request.ConfigurationHandle = reinterpret_cast<PVOID>(nextHandle += 16);
        {
            std::lock_guard<std::mutex> guard(mu);
            pipes = std::move(fresh);
            configured = true;
        }
        std::lock_guard<std::mutex> model(modelMu);
        owner->model_.Configured(true);
        return {};
    }

    Outcome Bulk(PURB urb, UrbFate fate) {
        auto& request = urb->UrbBulkOrInterruptTransfer;
        Pipe pipe;
        {
            std::lock_guard<std::mutex> guard(mu);
            auto found = pipes.find(request.PipeHandle);
            if (found == pipes.end())
                return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
            pipe = found->second;
            if (!plugged)
                return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
            if (power != PowerDeviceD0)
                return {STATUS_DEVICE_NOT_READY, USBD_STATUS_DEV_NOT_RESPONDING};
            if (pipe.halted)
                return {STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};
        }
        bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (in != (USB_ENDPOINT_DIRECTION_IN(pipe.endpoint) != 0))
            return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
        bool tooShort;
        PUCHAR data = Buffer(request.TransferBuffer, request.TransferBufferMDL,
                             request.TransferBufferLength, tooShort);
        if (tooShort) {
            state->Violate(Check::UrbBufferTooShort,
                           "bulk transfer of " + std::to_string(request.TransferBufferLength) +
                               " bytes");
            return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
        }
        if (fate == UrbFate::Fail || fate == UrbFate::FailLater) {
            request.TransferBufferLength = 0;
            std::lock_guard<std::mutex> guard(mu);
            return {plan.failStatus, plan.failUsbd};
        }
        if (fate == UrbFate::Stall) {
            std::lock_guard<std::mutex> guard(mu);
            pipes[request.PipeHandle].halted = true;
            request.TransferBufferLength = 0;
            return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        }
        ULONG asked = request.TransferBufferLength;
        ULONG length = fate == UrbFate::Short ? asked / 2 : asked;
        UsbResult result;
        {
            std::lock_guard<std::mutex> guard(modelMu);
            counters.bulk++;
            result = in ? owner->model_.BulkIn(pipe.endpoint, data, length)
                        : owner->model_.BulkOut(pipe.endpoint, data, length);
        }
        if (result.status == USBD_STATUS_PENDING)
            return {STATUS_PENDING, USBD_STATUS_PENDING, true};
        if (result.status == USBD_STATUS_STALL_PID) {
            std::lock_guard<std::mutex> guard(mu);
            pipes[request.PipeHandle].halted = true;
        }
        if (!USBD_SUCCESS(result.status)) {
            request.TransferBufferLength = 0;
            return {STATUS_UNSUCCESSFUL, result.status};
        }
        ULONG moved = result.length < length ? result.length : length;
        request.TransferBufferLength = moved;
        if (moved < asked && !(request.TransferFlags & USBD_SHORT_TRANSFER_OK))
            return {STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN};
        return {};
    }

    Outcome Vendor(PURB urb, UrbFate fate) {
        auto& request = urb->UrbControlVendorClassRequest;
        if (!plugged)
            return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
        bool tooShort;
        PUCHAR data = Buffer(request.TransferBuffer, request.TransferBufferMDL,
                             request.TransferBufferLength, tooShort);
        if (tooShort || request.TransferBufferLength > 0xFFFF) {
            state->Violate(Check::UrbBufferTooShort, "vendor request");
            return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
        }
        if (fate == UrbFate::Fail || fate == UrbFate::FailLater) {
            request.TransferBufferLength = 0;
            std::lock_guard<std::mutex> guard(mu);
            return {plan.failStatus, plan.failUsbd};
        }
        if (fate == UrbFate::Stall)
            return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
        UsbSetup setup;
        bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        setup.bmRequestType = static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x40 |
                                                   (request.RequestTypeReservedBits & 0x1F));
        setup.bRequest = request.Request;
        setup.wValue = request.Value;
        setup.wIndex = request.Index;
        setup.wLength = static_cast<uint16_t>(request.TransferBufferLength);
        std::vector<uint8_t> scratch(setup.wLength);
        if (!in && setup.wLength)
            std::memcpy(scratch.data(), data, setup.wLength);
        UsbResult result;
        {
            std::lock_guard<std::mutex> guard(modelMu);
            counters.control++;
            result = owner->model_.Control(setup, scratch.data());
        }
        if (!USBD_SUCCESS(result.status) || result.status == USBD_STATUS_PENDING) {
            request.TransferBufferLength = 0;
            return {STATUS_UNSUCCESSFUL, result.status == USBD_STATUS_PENDING
                                             ? USBD_STATUS_DEV_NOT_RESPONDING
                                             : result.status};
        }
        ULONG moved = result.length < setup.wLength ? result.length : setup.wLength;
        if (fate == UrbFate::Short)
            moved /= 2;
        if (in && moved)
            std::memcpy(data, scratch.data(), moved);
        request.TransferBufferLength = moved;
        return {};
    }

    Outcome PipeRequest(PURB urb) {
        PVOID handle = urb->UrbPipeRequest.PipeHandle;
        USHORT function = urb->UrbHeader.Function;
        std::vector<PIRP> aborted;
        UCHAR endpoint = 0;
        {
            std::lock_guard<std::mutex> guard(mu);
            auto found = pipes.find(handle);
            if (found == pipes.end())
                return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
            endpoint = found->second.endpoint;
            if (function == URB_FUNCTION_ABORT_PIPE) {
                counters.aborts++;
                for (auto it = parked.begin(); it != parked.end();) {
                    if (it->pipe == handle && IoSetCancelRoutine(it->irp, nullptr)) {
                        aborted.push_back(it->irp);
                        it = parked.erase(it);
                    } else {
                        ++it;
                    }
                }
            } else {
                counters.pipeResets++;
                found->second.halted = false;
            }
        }
        for (PIRP irp : aborted)
            Complete(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        if (function != URB_FUNCTION_ABORT_PIPE) {
            std::lock_guard<std::mutex> guard(modelMu);
            owner->model_.ResetPipe(endpoint);
        }
        return {};
    }

    void Complete(PIRP irp, NTSTATUS status, USBD_STATUS usbd) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            urb->UrbHeader.Status = usbd;
            if (status == STATUS_CANCELLED &&
                urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        }
        if (stack->MajorFunction == IRP_MJ_POWER)
            PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        // USB requests complete at dispatch level, as a host controller's
        // completions do; power requests of a pageable device at passive.
        bool raise = stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        KIRQL old = PASSIVE_LEVEL;
        if (raise && KeGetCurrentIrql() < DISPATCH_LEVEL)
            KeRaiseIrql(DISPATCH_LEVEL, &old);
        else
            raise = false;
        IoCompleteRequest(irp, IO_USB_INCREMENT);
        if (raise)
            KeLowerIrql(old);
    }

    // Parks a request with a cancel routine; false when it was cancelled already
    // (then it has been completed as cancelled).
    void Park(Parked entry) {
        IoMarkIrpPending(entry.irp);
        std::unique_lock<std::mutex> guard(mu);
        IoSetCancelRoutine(entry.irp, BusCancel);
        if (entry.irp->Cancel && IoSetCancelRoutine(entry.irp, nullptr)) {
            guard.unlock();
            Complete(entry.irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
            return;
        }
        parked.push_back(entry);
        if (entry.kind == ParkKind::Deferred)
            StartDrain(guard);
    }

    void StartDrain(std::unique_lock<std::mutex>&) {
        if (draining)
            return;
        draining = true;
        state->Spawn([this] { Drain(); });
    }

    void Drain() {
        for (;;) {
            Parked entry{};
            {
                std::lock_guard<std::mutex> guard(mu);
                auto it = parked.begin();
                for (; it != parked.end(); ++it)
                    if (it->kind == ParkKind::Deferred && IoSetCancelRoutine(it->irp, nullptr))
                        break;
                if (it == parked.end()) {
                    draining = false;
                    return;
                }
                entry = *it;
                parked.erase(it);
            }
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            Run(entry.irp, entry.fate == UrbFate::Deferred ? UrbFate::Normal : entry.fate);
            KeLowerIrql(old);
        }
    }

    // Executes a URB request and completes it, or parks it again on a Nak.
    void Run(PIRP irp, UrbFate fate) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        Outcome outcome;
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            outcome = Bulk(urb, fate);
        else
            outcome = Vendor(urb, fate);
        if (outcome.nak) {
            Parked entry{irp, ParkKind::Nak, urb->UrbBulkOrInterruptTransfer.PipeHandle, fate};
            Park(entry);
            return;
        }
        Complete(irp, outcome.status, outcome.usbd);
    }

    NTSTATUS SubmitUrb(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (!urb) {
            Complete(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            return STATUS_INVALID_PARAMETER;
        }
        USHORT function = urb->UrbHeader.Function;
        {
            std::lock_guard<std::mutex> guard(mu);
            counters.urbsByFunction[function]++;
            if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                auto pipe = pipes.find(urb->UrbBulkOrInterruptTransfer.PipeHandle);
                if (pipe != pipes.end())
                    counters.transfersByEndpoint[pipe->second.endpoint]++;
            }
        }
        Outcome outcome;
        switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
                outcome = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
            else
                outcome = Descriptor(urb);
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (urb->UrbHeader.Length <
                sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION))
                outcome = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
            else
                outcome = Select(urb);
            break;
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            outcome = PipeRequest(urb);
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        case URB_FUNCTION_VENDOR_DEVICE: {
            size_t needed = function == URB_FUNCTION_VENDOR_DEVICE
                                ? sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)
                                : sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
            if (urb->UrbHeader.Length < needed) {
                outcome = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
                break;
            }
            UrbFate fate;
            {
                std::lock_guard<std::mutex> guard(mu);
                fate = (function == URB_FUNCTION_VENDOR_DEVICE && !plan.vendorToo)
                           ? (hold ? UrbFate::Held : UrbFate::Normal)
                           : Decide();
            }
            PVOID pipe = function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
                             ? urb->UrbBulkOrInterruptTransfer.PipeHandle
                             : nullptr;
            if (fate == UrbFate::Deferred || fate == UrbFate::FailLater || fate == UrbFate::Never ||
                fate == UrbFate::Held) {
                ParkKind kind = fate == UrbFate::Deferred || fate == UrbFate::FailLater
                                    ? ParkKind::Deferred
                                : fate == UrbFate::Never ? ParkKind::Never
                                                         : ParkKind::Held;
                Park(Parked{irp, kind, pipe, fate});
                return STATUS_PENDING;
            }
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            (void)location;
            outcome = function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ? Bulk(urb, fate)
                                                                          : Vendor(urb, fate);
            if (outcome.nak) {
                Park(Parked{irp, ParkKind::Nak, pipe, fate});
                return STATUS_PENDING;
            }
            break;
        }
        default:
            outcome = {STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION};
            break;
        }
        Complete(irp, outcome.status, outcome.usbd);
        return outcome.status;
    }

    NTSTATUS Internal(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return SubmitUrb(irp);
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<ULONG*>(stack->Parameters.Others.Argument1);
            ULONG value;
            {
                std::lock_guard<std::mutex> guard(mu);
                counters.portStatusQueries++;
                value = (connected ? USBD_PORT_CONNECTED : 0) | (enabled ? USBD_PORT_ENABLED : 0);
            }
            if (!status) {
                Complete(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_SUCCESS);
                return STATUS_INVALID_PARAMETER;
            }
            *status = value;
            Complete(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
            return STATUS_SUCCESS;
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_CYCLE_PORT: {
            bool ok;
            {
                std::lock_guard<std::mutex> guard(mu);
                counters.portResets++;
                ok = connected;
                if (ok) {
                    enabled = true;
                    for (auto& [handle, pipe] : pipes)
                        pipe.halted = false;
                }
            }
            if (ok) {
                std::lock_guard<std::mutex> guard(modelMu);
                owner->model_.ResetPort();
            }
            NTSTATUS status = ok ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
            Complete(irp, status, USBD_STATUS_SUCCESS);
            return status;
        }
        case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION: {
            auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
                stack->Parameters.DeviceIoControl.Type3InputBuffer);
            if (!info || !info->IdleCallback) {
                Complete(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_SUCCESS);
                return STATUS_INVALID_PARAMETER;
            }
            bool busy = false;
            bool atOnce;
            {
                std::lock_guard<std::mutex> guard(mu);
                counters.idleRequests++;
                for (const Parked& entry : parked)
                    busy = busy || entry.kind == ParkKind::Idle;
                atOnce = idleAtOnce;
            }
            if (busy) {
                Complete(irp, STATUS_DEVICE_BUSY, USBD_STATUS_SUCCESS);
                return STATUS_DEVICE_BUSY;
            }
            Parked entry{irp, ParkKind::Idle};
            entry.idle = *info;
            Park(entry);
            if (atOnce)
                owner->FireIdleCallback();
            return STATUS_PENDING;
        }
        default:
            Complete(irp, STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_SUCCESS);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }

    NTSTATUS Pnp(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = irp->IoStatus.Status;
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES target = stack->Parameters.DeviceCapabilities.Capabilities;
            DEVICE_CAPABILITIES copy;
            {
                std::lock_guard<std::mutex> guard(mu);
                copy = caps;
            }
            copy.SurpriseRemovalOK = target->SurpriseRemovalOK;
            *target = copy;
            status = STATUS_SUCCESS;
            break;
        }
        default:
            break;
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    NTSTATUS Power(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        switch (stack->MinorFunction) {
        case IRP_MN_WAIT_WAKE: {
            bool busy = false;
            bool able;
            {
                std::lock_guard<std::mutex> guard(mu);
                counters.waitWakes++;
                for (const Parked& entry : parked)
                    busy = busy || entry.kind == ParkKind::WaitWake;
                able = caps.SystemWake != PowerSystemUnspecified &&
                       stack->Parameters.WaitWake.PowerState <= caps.SystemWake;
            }
            if (busy || !able) {
                NTSTATUS status = busy ? STATUS_DEVICE_BUSY : STATUS_INVALID_DEVICE_STATE;
                Complete(irp, status, USBD_STATUS_SUCCESS);
                return status;
            }
            Park(Parked{irp, ParkKind::WaitWake});
            return STATUS_PENDING;
        }
        case IRP_MN_SET_POWER:
            if (stack->Parameters.Power.Type == DevicePowerState) {
                DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
                {
                    std::lock_guard<std::mutex> guard(mu);
                    power = target;
                    powerHistory.push_back(target);
                }
                std::lock_guard<std::mutex> guard(modelMu);
                owner->model_.PowerChanged(target);
            } else {
                std::lock_guard<std::mutex> guard(mu);
                system = stack->Parameters.Power.State.SystemState;
            }
            Complete(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
            return STATUS_SUCCESS;
        case IRP_MN_QUERY_POWER:
            Complete(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
            return STATUS_SUCCESS;
        default: {
            NTSTATUS status = irp->IoStatus.Status;
            Complete(irp, status, USBD_STATUS_SUCCESS);
            return status;
        }
        }
    }

    bool TakeParked(ParkKind kind, Parked* out) {
        std::lock_guard<std::mutex> guard(mu);
        for (auto it = parked.begin(); it != parked.end(); ++it) {
            if (it->kind == kind && IoSetCancelRoutine(it->irp, nullptr)) {
                *out = *it;
                parked.erase(it);
                return true;
            }
        }
        return false;
    }
};

namespace {

SimulatedUsbDevice::Impl* ImplOf(PDEVICE_OBJECT device) {
    return *static_cast<SimulatedUsbDevice::Impl**>(device->DeviceExtension);
}

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    SimulatedUsbDevice::Impl* impl = ImplOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return impl->Internal(irp);
    case IRP_MJ_PNP:
        return impl->Pnp(irp);
    case IRP_MJ_POWER:
        return impl->Power(irp);
    case IRP_MJ_SYSTEM_CONTROL: {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    default:
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

VOID BusCancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    SimulatedUsbDevice::Impl* impl = ImplOf(device);
    {
        std::lock_guard<std::mutex> guard(impl->mu);
        for (auto it = impl->parked.begin(); it != impl->parked.end(); ++it) {
            if (it->irp == irp) {
                impl->parked.erase(it);
                break;
            }
        }
    }
    impl->Complete(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

} // namespace

std::string UsbInstanceKey(SimulatedUsbDevice* usb) {
    return usb->InstanceKey();
}

std::string UsbInterfaceBase(SimulatedUsbDevice* usb) {
    return usb->InterfaceBase();
}

SimulatedUsbDevice::SimulatedUsbDevice(Kernel& kernel, UsbDeviceModel& model, FaultPlan plan)
    : model_(model), impl_(std::make_unique<Impl>()) {
    State& s = kernel.Internal();
    impl_->owner = this;
    impl_->state = &s;
    impl_->plan = plan;
    impl_->random.seed(plan.seed);
    {
        std::lock_guard<std::mutex> guard(s.mu);
        impl_->instance = s.nextUsbInstance++;
    }
    std::vector<uint8_t> device = model.DeviceDescriptor();
    if (device.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
        auto* descriptor = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(device.data());
        impl_->vendor = descriptor->idVendor;
        impl_->product = descriptor->idProduct;
    }
    DEVICE_CAPABILITIES& caps = impl_->caps;
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.DeviceD1 = 1;
    caps.DeviceD2 = 1;
    caps.Removable = 1;
    caps.WakeFromD2 = 1;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.SystemWake = PowerSystemSleeping3;
    caps.DeviceWake = PowerDeviceD2;
    PDRIVER_OBJECT bus = NewDriverObject("\\Driver\\usbhub");
    for (auto& entry : bus->MajorFunction)
        entry = BusDispatch;
    impl_->pdo = CreateDeviceObject(bus, sizeof(Impl*), FILE_DEVICE_UNKNOWN);
    *static_cast<Impl**>(impl_->pdo->DeviceExtension) = impl_.get();
    impl_->pdo->Flags = DO_POWER_PAGABLE;
    DeviceRecord* record = RecordOf(impl_->pdo);
    record->isPdo = true;
    record->usb = this;
}

SimulatedUsbDevice::~SimulatedUsbDevice() {
    // Requests still parked belong to a driver that was never told to give
    // them up; complete them so that no thread waits forever.
    std::vector<PIRP> left;
    {
        std::lock_guard<std::mutex> guard(impl_->mu);
        for (Parked& entry : impl_->parked)
            if (IoSetCancelRoutine(entry.irp, nullptr))
                left.push_back(entry.irp);
        impl_->parked.clear();
    }
    for (PIRP irp : left)
        impl_->Complete(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    impl_->state->owner->Settle();
    DeviceRecord* record = RecordOf(impl_->pdo);
    record->usb = nullptr;
    record->deleted = true;
}

PDEVICE_OBJECT SimulatedUsbDevice::Pdo() const {
    return impl_->pdo;
}

std::string SimulatedUsbDevice::InstanceKey() const {
    char text[160];
    std::snprintf(
        text, sizeof text,
        "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_%04X&PID_%04X\\%u",
        impl_->vendor, impl_->product, impl_->instance);
    return text;
}

std::string SimulatedUsbDevice::InterfaceBase() const {
    char text[96];
    std::snprintf(text, sizeof text, "\\??\\USB#VID_%04X&PID_%04X#%u", impl_->vendor,
                  impl_->product, impl_->instance);
    return text;
}

DEVICE_CAPABILITIES& SimulatedUsbDevice::Capabilities() {
    return impl_->caps;
}

void SimulatedUsbDevice::SetFaultPlan(FaultPlan plan) {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->plan = plan;
    impl_->random.seed(plan.seed);
    impl_->bulkIndex = 0;
}

void SimulatedUsbDevice::RefuseAttach(bool refuse) {
    RecordOf(impl_->pdo)->refuseAttach = refuse;
}

void SimulatedUsbDevice::HoldTransfers(bool hold) {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->hold = hold;
}

void SimulatedUsbDevice::ReleaseHeld() {
    std::unique_lock<std::mutex> guard(impl_->mu);
    bool any = false;
    for (Parked& entry : impl_->parked) {
        if (entry.kind == ParkKind::Held) {
            entry.kind = ParkKind::Deferred;
            entry.fate = UrbFate::Normal;
            any = true;
        }
    }
    if (any)
        impl_->StartDrain(guard);
}

void SimulatedUsbDevice::Kick() {
    std::unique_lock<std::mutex> guard(impl_->mu);
    bool any = false;
    for (Parked& entry : impl_->parked) {
        if (entry.kind == ParkKind::Nak) {
            entry.kind = ParkKind::Deferred;
            any = true;
        }
    }
    if (any)
        impl_->StartDrain(guard);
}

void SimulatedUsbDevice::Unplug() {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->plugged = false;
    impl_->connected = false;
    impl_->enabled = false;
}

bool SimulatedUsbDevice::Plugged() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->plugged;
}

void SimulatedUsbDevice::SetPort(bool connected, bool enabled) {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->connected = connected;
    impl_->enabled = enabled;
}

void SimulatedUsbDevice::SetIdleCallbackAtOnce(bool atOnce) {
    std::lock_guard<std::mutex> guard(impl_->mu);
    impl_->idleAtOnce = atOnce;
}

bool SimulatedUsbDevice::IdleRequestPending() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    for (const Parked& entry : impl_->parked)
        if (entry.kind == ParkKind::Idle)
            return true;
    return false;
}

bool SimulatedUsbDevice::FireIdleCallback() {
    USB_IDLE_CALLBACK_INFO info{};
    {
        std::lock_guard<std::mutex> guard(impl_->mu);
        bool found = false;
        for (Parked& entry : impl_->parked) {
            if (entry.kind == ParkKind::Idle && !entry.idleCalled) {
                entry.idleCalled = true;
                info = entry.idle;
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    impl_->state->Spawn([info] { info.IdleCallback(info.IdleContext); });
    return true;
}

bool SimulatedUsbDevice::CompleteIdleRequest(NTSTATUS status) {
    Parked entry;
    if (!impl_->TakeParked(ParkKind::Idle, &entry))
        return false;
    impl_->Complete(entry.irp, status, USBD_STATUS_SUCCESS);
    return true;
}

bool SimulatedUsbDevice::WaitWakePending() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    for (const Parked& entry : impl_->parked)
        if (entry.kind == ParkKind::WaitWake)
            return true;
    return false;
}

bool SimulatedUsbDevice::SignalWake(NTSTATUS status) {
    Parked entry;
    if (!impl_->TakeParked(ParkKind::WaitWake, &entry))
        return false;
    impl_->Complete(entry.irp, status, USBD_STATUS_SUCCESS);
    return true;
}

SimulatedUsbDevice::Counters SimulatedUsbDevice::Stats() const {
    // The model may call back into the bus (Kick) while it holds modelMu.
    std::lock_guard<std::mutex> model(impl_->modelMu);
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->counters;
}

bool SimulatedUsbDevice::Configured() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->configured;
}

size_t SimulatedUsbDevice::HeldTransfers() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    size_t count = 0;
    for (const Parked& entry : impl_->parked)
        count += entry.kind != ParkKind::Idle && entry.kind != ParkKind::WaitWake ? 1 : 0;
    return count;
}

DEVICE_POWER_STATE SimulatedUsbDevice::PowerState() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->power;
}

std::vector<DEVICE_POWER_STATE> SimulatedUsbDevice::PowerHistory() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->powerHistory;
}

SYSTEM_POWER_STATE SimulatedUsbDevice::SystemState() const {
    std::lock_guard<std::mutex> guard(impl_->mu);
    return impl_->system;
}

} // namespace kshim
