// Device state under its lock, the outstanding-I/O count with its stop and
// remove events, and the synchronous hand-offs to the lower driver.
#include "driver/linkpod/Device.h"

namespace driver::linkpod {
namespace {

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT /*device*/, PIRP /*irp*/, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The waiting caller still owns the request and completes it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

DeviceState CurrentState(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    DeviceState state = ext->State;
    KeReleaseSpinLock(&ext->StateLock, irql);
    return state;
}

VOID SetState(DeviceExtension* ext, DeviceState state, QueueState queue) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    ext->PreviousState = ext->State;
    ext->State = state;
    ext->Queue = queue;
    KeReleaseSpinLock(&ext->StateLock, irql);
}

VOID SetQueueState(DeviceExtension* ext, QueueState queue) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    ext->Queue = queue;
    KeReleaseSpinLock(&ext->StateLock, irql);
}

VOID RestorePreviousState(DeviceExtension* ext, QueueState queue) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    DeviceState current = ext->State;
    ext->State = ext->PreviousState;
    ext->PreviousState = current;
    ext->Queue = queue;
    KeReleaseSpinLock(&ext->StateLock, irql);
}

namespace {

// Under the I/O-count lock: no Io count is held.
BOOLEAN IoDrained(const DeviceExtension* ext) {
    return ext->OutstandingIo - ext->LifecycleCounts <= 1;
}

struct DrainWaiter {
    LIST_ENTRY Link;
    KEVENT Drained;
};

} // namespace

LONG IncrementIo(DeviceExtension* ext, CountKind kind) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    LONG count = 0;
    // Removal has let the count reach 0 and is deleting the device.
    if (ext->OutstandingIo > 0) {
        count = ++ext->OutstandingIo;
        if (kind == CountKind::Lifecycle) {
            ++ext->LifecycleCounts;
        }
        if (count == 2) {
            KeClearEvent(&ext->StopEvent);
        }
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    return count;
}

LONG DecrementIo(DeviceExtension* ext, CountKind kind) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    LONG count = --ext->OutstandingIo;
    if (kind == CountKind::Lifecycle) {
        --ext->LifecycleCounts;
    }
    if (count == 1) {
        KeSetEvent(&ext->StopEvent, IO_NO_INCREMENT, FALSE);
    }
    if (count == 0) {
        KeSetEvent(&ext->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    // Each hold waits on its own event: one set releases every one of them.
    while (!IsListEmpty(&ext->IoDrainWaiters) && IoDrained(ext)) {
        PLIST_ENTRY entry = RemoveHeadList(&ext->IoDrainWaiters);
        KeSetEvent(&CONTAINING_RECORD(entry, DrainWaiter, Link)->Drained, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    return count;
}

LONG OutstandingIo(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    LONG count = ext->OutstandingIo;
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    return count;
}

VOID WaitForIoToDrain(DeviceExtension* ext) {
    DrainWaiter waiter;
    KeInitializeEvent(&waiter.Drained, NotificationEvent, FALSE);
    KIRQL irql;
    KeAcquireSpinLock(&ext->IoCountLock, &irql);
    const BOOLEAN drained = IoDrained(ext);
    if (!drained) {
        InsertTailList(&ext->IoDrainWaiters, &waiter.Link);
    }
    KeReleaseSpinLock(&ext->IoCountLock, irql);
    if (!drained) {
        KeWaitForSingleObject(&waiter.Drained, Executive, KernelMode, FALSE, nullptr);
    }
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ForwardAndWait(DeviceExtension* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS SubmitInternal(DeviceExtension* ext, ULONG code, PVOID argument) {
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, ext->LowerDevice, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = argument;

    IncrementIo(ext);
    NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    DecrementIo(ext);
    return status;
}

NTSTATUS SubmitUrb(DeviceExtension* ext, PURB urb) {
    return SubmitInternal(ext, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

} // namespace driver::linkpod
