// The simulated bus: URB execution, fates, parking and deferred completion.
#include "driver/kshim/src/UsbBusImpl.h"

namespace kshim {

using namespace bus;

UrbFate SimulatedUsbDevice::Impl::Decide() {
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

PUCHAR SimulatedUsbDevice::Impl::Buffer(PVOID buffer, PMDL mdl, ULONG length, bool& tooShort) {
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

Outcome SimulatedUsbDevice::Impl::Descriptor(PURB urb) {
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

Outcome SimulatedUsbDevice::Impl::Select(PURB urb) {
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

SimulatedUsbDevice::Impl::BulkEntry
SimulatedUsbDevice::Impl::BulkEntryLocked(PVOID pipeHandle) const {
    BulkEntry entry;
    auto found = pipes.find(pipeHandle);
    entry.known = found != pipes.end();
    if (entry.known)
        entry.pipe = found->second;
    entry.plugged = plugged;
    entry.power = power;
    return entry;
}

Outcome SimulatedUsbDevice::Impl::Bulk(PURB urb, UrbFate fate) {
    BulkEntry entry;
    {
        std::lock_guard<std::mutex> guard(mu);
        entry = BulkEntryLocked(urb->UrbBulkOrInterruptTransfer.PipeHandle);
    }
    return Bulk(urb, fate, entry);
}

Outcome SimulatedUsbDevice::Impl::Bulk(PURB urb, UrbFate fate, const BulkEntry& entry) {
    auto& request = urb->UrbBulkOrInterruptTransfer;
    if (!entry.known)
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
    const Pipe& pipe = entry.pipe;
    if (!entry.plugged)
        return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
    if (entry.power != PowerDeviceD0)
        return {STATUS_DEVICE_NOT_READY, USBD_STATUS_DEV_NOT_RESPONDING};
    if (pipe.halted)
        return {STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED};
    bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != (USB_ENDPOINT_DIRECTION_IN(pipe.endpoint) != 0))
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
    bool tooShort;
    PUCHAR data = Buffer(request.TransferBuffer, request.TransferBufferMDL,
                         request.TransferBufferLength, tooShort);
    if (tooShort) {
        state->Violate(Check::UrbBufferTooShort, "bulk transfer of " +
                                                     std::to_string(request.TransferBufferLength) +
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

Outcome SimulatedUsbDevice::Impl::Vendor(PURB urb, UrbFate fate) {
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
    setup.bmRequestType =
        static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x40 | (request.RequestTypeReservedBits & 0x1F));
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

Outcome SimulatedUsbDevice::Impl::PipeRequest(PURB urb) {
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

void SimulatedUsbDevice::Impl::Complete(PIRP irp, NTSTATUS status, USBD_STATUS usbd) {
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
void SimulatedUsbDevice::Impl::Park(Parked entry) {
    IoMarkIrpPending(entry.irp);
    std::unique_lock<std::mutex> guard(mu);
    IoSetCancelRoutine(entry.irp, bus::Cancel);
    if (__atomic_load_n(&entry.irp->Cancel, __ATOMIC_SEQ_CST) &&
        IoSetCancelRoutine(entry.irp, nullptr)) {
        guard.unlock();
        Complete(entry.irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return;
    }
    parked.push_back(entry);
    if (entry.kind == ParkKind::Deferred)
        StartDrain(guard);
}

void SimulatedUsbDevice::Impl::StartDrain(std::unique_lock<std::mutex>&) {
    if (draining)
        return;
    draining = true;
    state->Spawn([this] { Drain(); });
}

void SimulatedUsbDevice::Impl::Drain() {
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

// Executes a URB request, or parks it again on a Nak. The completion runs
// on a thread of its own: completion routines of different requests run
// at once, as on a machine with several processors.
void SimulatedUsbDevice::Impl::Run(PIRP irp, UrbFate fate) {
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
    state->Spawn([this, irp, outcome] { Complete(irp, outcome.status, outcome.usbd); });
}

NTSTATUS SimulatedUsbDevice::Impl::SubmitUrb(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (!urb) {
        Complete(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    USHORT function = urb->UrbHeader.Function;
    const bool bulk = function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    const bool dataStage = bulk || function == URB_FUNCTION_VENDOR_DEVICE;
    const size_t needed = bulk ? sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)
                               : sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    // A transfer is counted, given its fate and, for bulk, reads the device's
    // state in one look.
    UrbFate fate = UrbFate::Normal;
    BulkEntry entry;
    {
        std::lock_guard<std::mutex> guard(mu);
        counters.urbsByFunction[function]++;
        if (bulk) {
            entry = BulkEntryLocked(urb->UrbBulkOrInterruptTransfer.PipeHandle);
            if (entry.known)
                counters.transfersByEndpoint[entry.pipe.endpoint]++;
        }
        if (dataStage && urb->UrbHeader.Length >= needed)
            fate = (function == URB_FUNCTION_VENDOR_DEVICE && !plan.vendorToo)
                       ? (hold ? UrbFate::Held : UrbFate::Normal)
                       : Decide();
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
        if (urb->UrbHeader.Length < needed) {
            outcome = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
            break;
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
        outcome = bulk ? Bulk(urb, fate, entry) : Vendor(urb, fate);
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

bool SimulatedUsbDevice::Impl::TakeParked(ParkKind kind, Parked* out) {
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

} // namespace kshim
