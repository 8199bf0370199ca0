// Remote wake: at most one wait-wake request, its completion, and cancelling
// it so that exactly one of the two paths completes it.
#include "driver/linkpod/Device.h"

namespace driver::linkpod {
namespace {

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

VOID WaitWakeFinished(PDEVICE_OBJECT /*device*/, UCHAR /*minor*/, POWER_STATE /*state*/,
                      PVOID context, PIO_STATUS_BLOCK ioStatus) {
    auto* ext = static_cast<DeviceExtension*>(context);
    InterlockedExchange(&ext->WaitWakeOutstanding, 0);
    const NTSTATUS status = ioStatus->Status;
    const BOOLEAN inD0 = ext->DevicePower == PowerDeviceD0;
    KeSetEvent(&ext->WaitWakeFinished, IO_NO_INCREMENT, FALSE);
    if (!NT_SUCCESS(status) || inD0) {
        return;
    }
    RequestOwnDevicePower(ext, PowerDeviceD0, FALSE);
    if (ext->WakeEnabled) {
        IssueWaitWake(ext);
    }
}

} // namespace

VOID ClearWaitWakeFlags(DeviceExtension* ext) {
    InterlockedExchange(&ext->WaitWakeOutstanding, 0);
    InterlockedExchange(&ext->WaitWakeCancelled, 0);
}

NTSTATUS IssueWaitWake(DeviceExtension* ext) {
    if (InterlockedExchange(&ext->WaitWakeOutstanding, 1) != 0) {
        return STATUS_DEVICE_BUSY;
    }
    InterlockedExchange(&ext->WaitWakeCancelled, 0);
    KeClearEvent(&ext->WaitWakeFinished);
    POWER_STATE target;
    target.SystemState = ext->Capabilities.SystemWake;
    NTSTATUS status =
        PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_WAIT_WAKE, target, WaitWakeFinished, ext,
                          const_cast<PIRP*>(&ext->WaitWakeIrp));
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&ext->WaitWakeOutstanding, 0);
        KeSetEvent(&ext->WaitWakeFinished, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

NTSTATUS HandleWaitWakeIrp(DeviceExtension* ext, PIRP irp) {
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, WaitWakeIrpDone, ext, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(irp);
    PoCallDriver(ext->LowerDevice, irp);
    DecrementIo(ext);
    return STATUS_PENDING;
}

VOID CancelWaitWake(DeviceExtension* ext) {
    PIRP irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->WaitWakeIrp), nullptr));
    if (irp == nullptr) {
        return;
    }
    IoCancelIrp(irp);
    if (InterlockedExchange(&ext->WaitWakeCancelled, 1) != 0) {
        CompleteRequest(irp, STATUS_CANCELLED);
    }
    // The request's final callback must have run before the record may go.
    KeWaitForSingleObject(&ext->WaitWakeFinished, Executive, KernelMode, FALSE, nullptr);
}

} // namespace driver::linkpod
