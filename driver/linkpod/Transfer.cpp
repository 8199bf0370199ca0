// Reads and writes: each becomes bulk transfers of the caller's buffer, mapped
// in place through a partial MDL and handed to the bus in stages.
#include "driver/linkpod/Device.h"

namespace driver::linkpod {
namespace {

struct TransferContext {
    PURB Urb;
    PMDL Mdl;
    ULONG Remaining;
    ULONG Transferred;
    PUCHAR NextAddress;
    ULONG StageLimit;
    // The length the stage on the bus asked for; fewer bytes end the transfer.
    ULONG StageLength;
    DeviceExtension* Ext;
};

VOID FreeTransfer(TransferContext* transfer) {
    FreePool(transfer->Urb);
    if (transfer->Mdl != nullptr) {
        IoFreeMdl(transfer->Mdl);
    }
    FreePool(transfer);
}

NTSTATUS TransferDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);

VOID ArmStage(PIRP irp, TransferContext* transfer) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = transfer->Urb;
    IoSetCompletionRoutine(irp, TransferDone, transfer, TRUE, TRUE, TRUE);
}

// A limited stage is cut at a packet boundary, so staging never puts a short
// packet on the wire in the middle of the caller's data.
ULONG StageLimit(DeviceExtension* ext, ULONG maximumPacket) {
    const ULONG limit = ext->MaximumStage;
    if (limit == 0xFFFFFFFFu || maximumPacket == 0) {
        return limit;
    }
    return limit < maximumPacket ? maximumPacket : limit - limit % maximumPacket;
}

ULONG NextStage(const TransferContext* transfer, ULONG remaining) {
    return remaining < transfer->StageLimit ? remaining : transfer->StageLimit;
}

NTSTATUS TransferDone(PDEVICE_OBJECT /*device*/, PIRP irp, PVOID context) {
    auto* transfer = static_cast<TransferContext*>(context);
    DeviceExtension* ext = transfer->Ext;
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        const ULONG moved = transfer->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        transfer->Transferred += moved;
        // The next stage starts right after the bytes that moved. A short
        // stage is the end of the transfer: a short packet ends a read, and
        // a device that took fewer bytes takes no more of this request.
        transfer->NextAddress += moved;
        if (transfer->Remaining > 0 && moved == transfer->StageLength) {
            const ULONG stage = NextStage(transfer, transfer->Remaining);
            MmPrepareMdlForReuse(transfer->Mdl);
            IoBuildPartialMdl(irp->MdlAddress, transfer->Mdl, transfer->NextAddress, stage);
            transfer->Remaining -= stage;
            transfer->StageLength = stage;
            transfer->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = stage;
            ArmStage(irp, transfer);
            IoCallDriver(ext->LowerDevice, irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        irp->IoStatus.Information = transfer->Transferred;
    }
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    FreeTransfer(transfer);
    DecrementIo(ext);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (CurrentState(ext) != DeviceState::Running) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE);
    }
    // Waited for before the count is taken: a power-down the idle callback
    // started waits for the counted I/O to drain, and the return to D0 that
    // this wait is for may only come once that power-down is done.
    WaitForIdleToEnd(ext);
    // The dispatch holds its own count so the record outlives this routine.
    IncrementIo(ext);

    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN isPipe = FALSE;
    USBD_PIPE_INFORMATION pipe;
    const ULONG pipeIndex = HandlePipe(stack->FileObject, &isPipe);
    if (!isPipe || !LookUpPipe(ext, pipeIndex, &pipe) || pipe.PipeType != UsbdPipeTypeBulk) {
        status = CompleteRequest(irp, STATUS_INVALID_HANDLE);
        DecrementIo(ext);
        return status;
    }

    auto* transfer = static_cast<TransferContext*>(AllocatePool(sizeof(TransferContext)));
    if (transfer == nullptr) {
        status = CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
        DecrementIo(ext);
        return status;
    }
    const ULONG total = irp->MdlAddress != nullptr ? MmGetMdlByteCount(irp->MdlAddress) : 0;
    if (total == 0) {
        FreePool(transfer);
        status = CompleteRequest(irp, STATUS_SUCCESS);
        DecrementIo(ext);
        return status;
    }

    transfer->StageLimit = StageLimit(ext, pipe.MaximumPacketSize);
    const ULONG stage = NextStage(transfer, total);
    auto* start = static_cast<PUCHAR>(MmGetMdlVirtualAddress(irp->MdlAddress));
    transfer->Ext = ext;
    transfer->Mdl = IoAllocateMdl(start, total, FALSE, FALSE, nullptr);
    transfer->Urb = static_cast<PURB>(AllocatePool(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)));
    if (transfer->Mdl == nullptr || transfer->Urb == nullptr) {
        FreeTransfer(transfer);
        status = CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
        DecrementIo(ext);
        return status;
    }
    IoBuildPartialMdl(irp->MdlAddress, transfer->Mdl, start, stage);

    PURB urb = transfer->Urb;
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe.PipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferFlags =
        USBD_SHORT_TRANSFER_OK |
        (stack->MajorFunction == IRP_MJ_READ ? USBD_TRANSFER_DIRECTION_IN : 0);
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transfer->Mdl;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = stage;
    transfer->Remaining = total - stage;
    transfer->Transferred = 0;
    transfer->NextAddress = start;
    transfer->StageLength = stage;

    ArmStage(irp, transfer);
    IoMarkIrpPending(irp);
    IncrementIo(ext);
    status = IoCallDriver(ext->LowerDevice, irp);
    if (!NT_SUCCESS(status) && status != STATUS_CANCELLED &&
        status != STATUS_DEVICE_NOT_CONNECTED) {
        if (!NT_SUCCESS(ResetPipe(ext, pipe.PipeHandle))) {
            ResetDevice(ext);
        }
    }
    DecrementIo(ext);
    return STATUS_PENDING;
}

} // namespace driver::linkpod
