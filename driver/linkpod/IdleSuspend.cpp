// Idle (selective) suspend: a periodic timer looks for an idle device, a work
// item submits the idle request to the bus, and the bus's callback powers the
// device down. Opens and Plug and Play requests take the request back.
#include "driver/linkpod/Device.h"

namespace driver::linkpod {
namespace {

BOOLEAN DeviceIsIdle(DeviceExtension* ext) {
    return InterlockedCompareExchange(&ext->OpenHandles, 0, 0) == 0 && OutstandingIo(ext) == 1;
}

// Drops one owner of the idle IRP; the last one frees it and only then ends
// the request, so that no new one (whose owners the same count holds) can
// start while an owner of this one still has to let go.
VOID ReleaseIdleIrp(DeviceExtension* ext, PIRP irp) {
    if (InterlockedDecrement(&ext->IdleIrpOwners) == 0) {
        IoFreeIrp(irp);
        InterlockedExchange(&ext->IdleRequestPending, 0);
        KeSetEvent(&ext->NoIdleRequestPending, IO_NO_INCREMENT, FALSE);
    }
}

// The hub's callback: the device may sleep. Whether it must come back to D0
// follows the state it is going to, not the one it was in when the idle
// request ended: an open may take the request back while the power-down is
// still on its way, and then D0 is asked for once the power-down is done.
VOID IdleCallback(PVOID context) {
    auto* ext = static_cast<DeviceExtension*>(context);
#if defined(LINKPOD_REMOVAL_FAULT)
    // The same earlier version (see HoldIoWorker): the state first, then the count.
    if (CurrentState(ext) != DeviceState::Running) {
        return;
    }
    IncrementIo(ext, CountKind::Lifecycle);
#else
    // The count first and held until the outcome is settled: removal cannot
    // pass while it is held, and a count that already reached 0 belongs to a
    // device that removal is deleting.
    if (IncrementIo(ext, CountKind::Lifecycle) == 0) {
        return;
    }
    if (CurrentState(ext) != DeviceState::Running) {
        DecrementIo(ext, CountKind::Lifecycle);
        return;
    }
#endif
    KIRQL irql;
    KeAcquireSpinLock(&ext->IdleLock, &irql);
    // The request has not ended while its callback record is in place.
    const BOOLEAN stillPending = ext->IdleCallbackInfo != nullptr;
    ext->IdlePowerDownInFlight = stillPending;
    ext->IdleWakeAfterPowerDown = FALSE;
    KeReleaseSpinLock(&ext->IdleLock, irql);

    if (stillPending) {
        if (ext->WakeEnabled) {
            IssueWaitWake(ext);
        }
        RequestOwnDevicePower(ext, ext->PowerDownLevel, TRUE);
        KeAcquireSpinLock(&ext->IdleLock, &irql);
        ext->IdlePowerDownInFlight = FALSE;
        const BOOLEAN wake = ext->IdleWakeAfterPowerDown;
        ext->IdleWakeAfterPowerDown = FALSE;
        KeReleaseSpinLock(&ext->IdleLock, irql);
        if (wake && DevicePowerOf(ext) != PowerDeviceD0) {
            RequestOwnDevicePower(ext, PowerDeviceD0, FALSE, &ext->IdleResumed);
        } else if (wake) {
            KeSetEvent(&ext->IdleResumed, IO_NO_INCREMENT, FALSE);
        }
    }
    DecrementIo(ext, CountKind::Lifecycle);
}

NTSTATUS IdleRequestDone(PDEVICE_OBJECT /*device*/, PIRP irp, PVOID context) {
    auto* ext = static_cast<DeviceExtension*>(context);
    const NTSTATUS status = irp->IoStatus.Status;
    const BOOLEAN wantD0 = !NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED &&
                           status != STATUS_POWER_STATE_INVALID;

    KIRQL irql;
    KeAcquireSpinLock(&ext->IdleLock, &irql);
    BOOLEAN requestD0 = FALSE;
    if (wantD0 && ext->IdlePowerDownInFlight) {
        // The callback asks for D0 once its power-down has finished.
        ext->IdleWakeAfterPowerDown = TRUE;
    } else if (wantD0) {
        requestD0 = DevicePowerOf(ext) != PowerDeviceD0;
    }
    // Cleared before the request counts as ended, so that a transfer that
    // waits for both finds the device on its way back.
    if (ext->IdleWakeAfterPowerDown || requestD0) {
        KeClearEvent(&ext->IdleResumed);
    }
    PUSB_IDLE_CALLBACK_INFO info = ext->IdleCallbackInfo;
    ext->IdleCallbackInfo = nullptr;
    PIRP owned = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->IdleIrp), nullptr));
    KeReleaseSpinLock(&ext->IdleLock, irql);
    FreePool(info);
    if (requestD0) {
        RequestOwnDevicePower(ext, PowerDeviceD0, FALSE, &ext->IdleResumed);
    }

    if (IdleSuspendOn(ext)) {
        StartIdleTimer(ext);
    }
    if (owned != nullptr) {
        // No cancel path holds the request: its ownership ends here too.
        InterlockedDecrement(&ext->IdleIrpOwners);
    }
    ReleaseIdleIrp(ext, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID IdleWorker(PDEVICE_OBJECT device, PVOID context) {
    DeviceExtension* ext = ExtensionOf(device);
    if (IdleSuspendOn(ext) && CurrentState(ext) == DeviceState::Running && DeviceIsIdle(ext)) {
        SubmitIdleRequest(ext);
    }
    IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
    KeSetEvent(&ext->NoDpcWorkItemPending, IO_NO_INCREMENT, FALSE);
}

VOID IdleTimerDpc(PKDPC /*dpc*/, PVOID context, PVOID /*arg1*/, PVOID /*arg2*/) {
    auto* ext = static_cast<DeviceExtension*>(context);
    KeClearEvent(&ext->NoDpcWorkItemPending);
    if (IdleSuspendOn(ext) && DeviceIsIdle(ext)) {
        PIO_WORKITEM item = IoAllocateWorkItem(ext->Self);
        if (item != nullptr) {
            IoQueueWorkItem(item, IdleWorker, DelayedWorkQueue, item);
            return;
        }
    }
    KeSetEvent(&ext->NoDpcWorkItemPending, IO_NO_INCREMENT, FALSE);
}

} // namespace

BOOLEAN IdleSuspendOn(DeviceExtension* ext) {
    // Cleared by stop and removal while completions and the DPC look at it.
    return InterlockedCompareExchange(&ext->IdleEnabled, 0, 0) != 0;
}

VOID InitializeIdle(DeviceExtension* ext) {
    KeInitializeDpc(&ext->IdleDpc, IdleTimerDpc, ext);
    KeInitializeTimerEx(&ext->IdleTimer, NotificationTimer);
    KeInitializeEvent(&ext->NoIdleRequestPending, NotificationEvent, TRUE);
    KeInitializeEvent(&ext->NoDpcWorkItemPending, NotificationEvent, TRUE);
}

VOID StartIdleTimer(DeviceExtension* ext) {
    LARGE_INTEGER due;
    due.QuadPart = kIdleFirstDue;
    KeSetTimerEx(&ext->IdleTimer, due, kIdlePeriodMs, &ext->IdleDpc);
}

NTSTATUS SubmitIdleRequest(DeviceExtension* ext) {
    if (DevicePowerOf(ext) != PowerDeviceD0) {
        return STATUS_POWER_STATE_INVALID;
    }
    KIRQL irql;
    KeAcquireSpinLock(&ext->IdleLock, &irql);
    if (InterlockedExchange(&ext->IdleRequestPending, 1) != 0) {
        KeReleaseSpinLock(&ext->IdleLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    KeClearEvent(&ext->NoIdleRequestPending);
    KeReleaseSpinLock(&ext->IdleLock, irql);

    auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(AllocatePool(sizeof(USB_IDLE_CALLBACK_INFO)));
    PIRP irp = info != nullptr ? IoAllocateIrp(ext->LowerDevice->StackSize, FALSE) : nullptr;
    if (irp == nullptr) {
        FreePool(info);
        InterlockedExchange(&ext->IdleRequestPending, 0);
        KeSetEvent(&ext->NoIdleRequestPending, IO_NO_INCREMENT, FALSE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    info->IdleCallback = IdleCallback;
    info->IdleContext = ext;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.Type3InputBuffer = info;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    IoSetCompletionRoutine(irp, IdleRequestDone, ext, TRUE, TRUE, TRUE);

    // In the record before the last check, so that an open arriving from now
    // on finds the request and takes it back.
    KeAcquireSpinLock(&ext->IdleLock, &irql);
    ext->IdleCallbackInfo = info;
    ext->IdleIrpOwners = 2;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->IdleIrp), irp);
    KeReleaseSpinLock(&ext->IdleLock, irql);

    if (!DeviceIsIdle(ext) || DevicePowerOf(ext) != PowerDeviceD0) {
        // Something woke up while the request was being built: undo it. A
        // cancel path that took it first keeps its share until it lets go.
        KeAcquireSpinLock(&ext->IdleLock, &irql);
        PIRP taken = static_cast<PIRP>(
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->IdleIrp), nullptr));
        ext->IdleCallbackInfo = nullptr;
        KeReleaseSpinLock(&ext->IdleLock, irql);
        FreePool(info);
        if (taken != nullptr) {
            InterlockedDecrement(&ext->IdleIrpOwners);
        }
        ReleaseIdleIrp(ext, irp);
        return STATUS_DEVICE_BUSY;
    }

    KeCancelTimer(&ext->IdleTimer);
    return IoCallDriver(ext->LowerDevice, irp);
}

VOID CancelIdleRequestIfBusy(DeviceExtension* ext) {
    if (!ext->IdleRegistryEnabled || DeviceIsIdle(ext)) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&ext->IdleLock, &irql);
    PIRP irp = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->IdleIrp), nullptr));
    KeReleaseSpinLock(&ext->IdleLock, irql);
    if (irp != nullptr) {
        IoCancelIrp(irp);
        ReleaseIdleIrp(ext, irp);
    }
}

VOID WaitForIdleToEnd(DeviceExtension* ext) {
    if (IdleSuspendOn(ext)) {
        KeWaitForSingleObject(&ext->NoIdleRequestPending, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&ext->IdleResumed, Executive, KernelMode, FALSE, nullptr);
    }
}

VOID StopIdleSuspend(DeviceExtension* ext) {
    if (!ext->IdleRegistryEnabled) {
        return;
    }
    InterlockedExchange(&ext->IdleEnabled, 0);
    KeCancelTimer(&ext->IdleTimer);
    // A DPC already queued by the timer must have run before the waits mean anything.
    KeFlushQueuedDpcs();
    KeWaitForSingleObject(&ext->NoDpcWorkItemPending, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&ext->NoIdleRequestPending, Executive, KernelMode, FALSE, nullptr);
    // The idle request's completion may have re-armed the timer meanwhile.
    KeCancelTimer(&ext->IdleTimer);
}

} // namespace driver::linkpod
