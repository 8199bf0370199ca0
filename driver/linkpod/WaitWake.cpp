// Remote wake: at most one wait-wake request, its completion, and cancelling
// it so that exactly one of the two paths completes it. A wait-wake request is
// outstanding from its issue until its final callback has finished, and the
// finished event is clear for exactly that time, so that stop and removal can
// wait for the callback whichever path took the request out of the record.
#include "driver/linkpod/Device.h"

namespace driver::linkpod {
namespace {

BOOLEAN WaitWakeAllowed(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->WakeLock, &irql);
    const BOOLEAN allowed = ext->WaitWakeAllowed != 0;
    KeReleaseSpinLock(&ext->WakeLock, irql);
    return allowed;
}

// Ends the outstanding request. The lock is released after the event is set,
// so a waiter that then takes the lock knows this path is done with the record.
VOID FinishWaitWake(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->WakeLock, &irql);
    InterlockedExchange(&ext->WaitWakeOutstanding, 0);
    KeSetEvent(&ext->WaitWakeFinished, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&ext->WakeLock, irql);
}

// Takes the request out of the record and cancels it; the second of this path
// and the completion routine completes it.
VOID TakeAndCancelWaitWake(DeviceExtension* ext) {
    PIRP irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->WaitWakeIrp), nullptr));
    if (irp == nullptr) {
        return;
    }
    IoCancelIrp(irp);
    if (InterlockedExchange(&ext->WaitWakeCancelled, 1) != 0) {
        CompleteRequest(irp, STATUS_CANCELLED);
    }
}

NTSTATUS WaitWakeIrpDone(PDEVICE_OBJECT /*device*/, PIRP irp, PVOID context) {
    auto* ext = static_cast<DeviceExtension*>(context);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->WaitWakeIrp), nullptr) !=
        nullptr) {
        return STATUS_SUCCESS;
    }
    // The cancel path took the request out of the record; the second of the
    // two completes it.
    if (InterlockedExchange(&ext->WaitWakeCancelled, 1) != 0) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        return STATUS_SUCCESS;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID WaitWakeFinished(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                      PIO_STATUS_BLOCK ioStatus);

// Sends a request for which the outstanding flag is already set.
NTSTATUS SendWaitWake(DeviceExtension* ext) {
    POWER_STATE target;
    target.SystemState = ext->Capabilities.SystemWake;
    NTSTATUS status =
        PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_WAIT_WAKE, target, WaitWakeFinished, ext,
                          const_cast<PIRP*>(&ext->WaitWakeIrp));
    if (!NT_SUCCESS(status)) {
        FinishWaitWake(ext);
        return status;
    }
    // A cancel that started before the request was in the record found
    // nothing to cancel; this path does it instead.
    if (!WaitWakeAllowed(ext)) {
        TakeAndCancelWaitWake(ext);
    }
    return status;
}

VOID WaitWakeFinished(PDEVICE_OBJECT /*device*/, UCHAR /*minor*/, POWER_STATE /*state*/,
                      PVOID context, PIO_STATUS_BLOCK ioStatus) {
    auto* ext = static_cast<DeviceExtension*>(context);
    const NTSTATUS status = ioStatus->Status;
    // A stop or removal under way wants neither D0 nor a new request; it
    // waits until this callback has finished.
    if (NT_SUCCESS(status) && DevicePowerOf(ext) != PowerDeviceD0 && WaitWakeAllowed(ext)) {
        RequestOwnDevicePower(ext, PowerDeviceD0, FALSE);
        if (ext->WakeEnabled) {
            // Still outstanding: the new request takes this one's place.
            InterlockedExchange(&ext->WaitWakeCancelled, 0);
            SendWaitWake(ext);
            return;
        }
    }
    FinishWaitWake(ext);
}

} // namespace

VOID ClearWaitWakeFlags(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->WakeLock, &irql);
    InterlockedExchange(&ext->WaitWakeOutstanding, 0);
    InterlockedExchange(&ext->WaitWakeCancelled, 0);
    ext->WaitWakeAllowed = 1;
    KeReleaseSpinLock(&ext->WakeLock, irql);
}

NTSTATUS IssueWaitWake(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->WakeLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (!ext->WaitWakeAllowed) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (InterlockedExchange(&ext->WaitWakeOutstanding, 1) != 0) {
        status = STATUS_DEVICE_BUSY;
    } else {
        InterlockedExchange(&ext->WaitWakeCancelled, 0);
        KeClearEvent(&ext->WaitWakeFinished);
    }
    KeReleaseSpinLock(&ext->WakeLock, irql);
    return NT_SUCCESS(status) ? SendWaitWake(ext) : status;
}

NTSTATUS HandleWaitWakeIrp(DeviceExtension* ext, PIRP irp) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, WaitWakeIrpDone, ext, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(irp);
    PoCallDriver(ext->LowerDevice, irp);
    DecrementIo(ext, CountKind::Lifecycle);
    return STATUS_PENDING;
}

VOID CancelWaitWake(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->WakeLock, &irql);
    ext->WaitWakeAllowed = 0;
    KeReleaseSpinLock(&ext->WakeLock, irql);
    TakeAndCancelWaitWake(ext);
    // Also when the completion routine took the request first: its final
    // callback must have run before the record may change or go.
    KeWaitForSingleObject(&ext->WaitWakeFinished, Executive, KernelMode, FALSE, nullptr);
    KeAcquireSpinLock(&ext->WakeLock, &irql);
    KeReleaseSpinLock(&ext->WakeLock, irql);
}

} // namespace driver::linkpod
