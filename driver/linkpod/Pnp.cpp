// Plug and Play dispatch: the device's state machine from start to removal,
// and its capabilities.
#include "driver/linkpod/Device.h"

namespace driver::linkpod {
namespace {

NTSTATUS PassDown(DeviceExtension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->LowerDevice, irp);
}

NTSTATUS HandleStart(DeviceExtension* ext, PIRP irp) {
    NTSTATUS status = ForwardAndWait(ext, irp);
    if (NT_SUCCESS(status)) {
        status = ConfigureDevice(ext);
    }
    if (NT_SUCCESS(status)) {
        status = IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE);
    }
    if (NT_SUCCESS(status)) {
        SetState(ext, DeviceState::Running, QueueState::Allow);
        ClearWaitWakeFlags(ext);
        if (ext->WakeEnabled) {
            IssueWaitWake(ext);
        }
        if (ext->PlatformLevel == 0 && ext->IdleRegistryEnabled) {
            InterlockedExchange(&ext->IdleEnabled, 1);
            StartIdleTimer(ext);
        }
    } else {
        ReleaseConfiguration(ext);
    }
    return CompleteRequest(irp, status);
}

// Query stop and query remove: hold requests and wait until none is in flight.
NTSTATUS HandleQuery(DeviceExtension* ext, PIRP irp, DeviceState pending) {
    SetState(ext, pending, QueueState::Hold);
    DecrementIo(ext, CountKind::Lifecycle);
    KeWaitForSingleObject(&ext->StopEvent, Executive, KernelMode, FALSE, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(ext, irp);
}

NTSTATUS HandleCancel(DeviceExtension* ext, PIRP irp, DeviceState pending) {
    if (CurrentState(ext) != pending) {
        return CompleteRequest(irp, STATUS_SUCCESS);
    }
    NTSTATUS status = ForwardAndWait(ext, irp);
    if (NT_SUCCESS(status)) {
        RestorePreviousState(ext, QueueState::Allow);
    }
    return CompleteRequest(irp, status);
}

NTSTATUS HandleStop(DeviceExtension* ext, PIRP irp) {
    StopIdleSuspend(ext);
    CancelWaitWake(ext);
    SetState(ext, DeviceState::Stopped, QueueState::Hold);
    ReleaseConfiguration(ext);
    irp->IoStatus.Status = UnconfigureDevice(ext);
    return PassDown(ext, irp);
}

// What surprise removal and removal share: stop everything that reaches the device.
VOID Disconnect(DeviceExtension* ext) {
    CancelWaitWake(ext);
    StopIdleSuspend(ext);
    SetState(ext, DeviceState::SurpriseRemoved, QueueState::Fail);
    IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
    AbortOpenPipes(ext);
}

NTSTATUS HandleSurpriseRemoval(DeviceExtension* ext, PIRP irp) {
    Disconnect(ext);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(ext, irp);
}

NTSTATUS HandleRemove(DeviceExtension* ext, PIRP irp) {
    if (CurrentState(ext) != DeviceState::SurpriseRemoved) {
        Disconnect(ext);
    }
    SetState(ext, DeviceState::Removed, QueueState::Fail);
    IoWMIRegistrationControl(ext->Self, WMIREG_ACTION_DEREGISTER);
    // Its own count and the initial one; from 0 on no count is taken again.
    DecrementIo(ext, CountKind::Lifecycle);
    DecrementIo(ext);
    KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    // The decrement that set the event still held the lock; once it is free
    // nothing touches the record any more.
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    ReleaseConfiguration(ext);

    irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = ext->LowerDevice;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    RtlFreeUnicodeString(&ext->InterfaceName);
    IoDetachDevice(lower);
    IoDeleteDevice(ext->Self);
    return status;
}

DEVICE_POWER_STATE PowerDownLevelFrom(const DEVICE_CAPABILITIES& caps) {
    DEVICE_POWER_STATE level = PowerDeviceUnspecified;
    for (int system = PowerSystemSleeping1; system <= PowerSystemSleeping3; ++system) {
        if (caps.DeviceState[system] < PowerDeviceD3) {
            level = caps.DeviceState[system];
        }
    }
    if (level == PowerDeviceUnspecified || level == PowerDeviceD0) {
        level = PowerDeviceD2;
    }
    return level;
}

NTSTATUS HandleQueryCapabilities(DeviceExtension* ext, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
    }
    caps->SurpriseRemovalOK = TRUE;
    NTSTATUS status = ForwardAndWait(ext, irp);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(&ext->Capabilities, caps, sizeof(DEVICE_CAPABILITIES));
        ext->PowerDownLevel = PowerDownLevelFrom(ext->Capabilities);
        caps->SurpriseRemovalOK = TRUE;
    }
    return CompleteRequest(irp, status);
}

} // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (CurrentState(ext) == DeviceState::Removed) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING);
    }
    if (IncrementIo(ext, CountKind::Lifecycle) == 0) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING);
    }
    if (stack->MinorFunction != IRP_MN_START_DEVICE) {
        CancelIdleRequestIfBusy(ext);
    }

    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = HandleStart(ext, irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        // The query gives up its own count while it waits.
        return HandleQuery(ext, irp, DeviceState::StopPending);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return HandleQuery(ext, irp, DeviceState::RemovePending);
    case IRP_MN_CANCEL_STOP_DEVICE:
        status = HandleCancel(ext, irp, DeviceState::StopPending);
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = HandleCancel(ext, irp, DeviceState::RemovePending);
        break;
    case IRP_MN_STOP_DEVICE:
        status = HandleStop(ext, irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = HandleSurpriseRemoval(ext, irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        // Removal drops its own count and the initial one before it waits.
        return HandleRemove(ext, irp);
    case IRP_MN_QUERY_CAPABILITIES:
        status = HandleQueryCapabilities(ext, irp);
        break;
    default:
        status = PassDown(ext, irp);
        break;
    }
    DecrementIo(ext, CountKind::Lifecycle);
    return status;
}

} // namespace driver::linkpod
