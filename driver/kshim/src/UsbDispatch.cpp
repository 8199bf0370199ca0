// The simulated bus: dispatch of internal, Plug and Play and power requests.
#include "driver/kshim/src/UsbBusImpl.h"

namespace kshim {

using namespace bus;

NTSTATUS SimulatedUsbDevice::Impl::Internal(PIRP irp) {
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

NTSTATUS SimulatedUsbDevice::Impl::Pnp(PIRP irp) {
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

NTSTATUS SimulatedUsbDevice::Impl::Power(PIRP irp) {
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
            bool held;
            {
                std::lock_guard<std::mutex> guard(mu);
                held = holdPower;
            }
            if (held) {
                Park(Parked{irp, ParkKind::Power});
                return STATUS_PENDING;
            }
            SetDevicePower(irp);
            return STATUS_SUCCESS;
        }
        {
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

void SimulatedUsbDevice::Impl::SetDevicePower(PIRP irp) {
    DEVICE_POWER_STATE target =
        IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
    {
        std::lock_guard<std::mutex> guard(mu);
        power = target;
        powerHistory.push_back(target);
    }
    {
        std::lock_guard<std::mutex> guard(modelMu);
        owner->model_.PowerChanged(target);
    }
    Complete(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

SimulatedUsbDevice::Impl* ImplOf(PDEVICE_OBJECT device) {
    return *static_cast<SimulatedUsbDevice::Impl**>(device->DeviceExtension);
}

NTSTATUS bus::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
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

VOID bus::Cancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    SimulatedUsbDevice::Impl* impl = ImplOf(device);
    bool deferred = false;
    {
        std::lock_guard<std::mutex> guard(impl->mu);
        for (auto it = impl->parked.begin(); it != impl->parked.end(); ++it) {
            if (it->irp == irp) {
                // An idle request whose callback is running completes once the
                // callback has returned, as the hub does.
                if (it->kind == ParkKind::Idle && it->idleRunning) {
                    it->idleCancelled = true;
                    deferred = true;
                } else {
                    impl->parked.erase(it);
                }
                break;
            }
        }
    }
    if (!deferred)
        impl->Complete(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

} // namespace kshim
