// Device-control codes: the configuration descriptor, pipe and device resets,
// and the two vendor requests.
#include "driver/linkpod/Device.h"
#include "driver/linkpod/LinkPodInterface.h"

namespace driver::linkpod {
namespace {

NTSTATUS CopyConfigDescriptor(DeviceExtension* ext, PVOID buffer, ULONG outputLength,
                              ULONG_PTR* returned) {
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    PUSB_CONFIGURATION_DESCRIPTOR config = ext->ConfigDescriptor;
    if (config == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    } else if (outputLength < config->wTotalLength || buffer == nullptr) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        RtlCopyMemory(buffer, config, config->wTotalLength);
        *returned = config->wTotalLength;
    }
    KeReleaseSpinLock(&ext->StateLock, irql);
    return status;
}

template <typename T> T ReadLittleEndian(const UCHAR* bytes) {
    T value = 0;
    for (ULONG i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value | (static_cast<T>(bytes[i]) << (8 * i)));
    }
    return value;
}

NTSTATUS VendorRequest(DeviceExtension* ext, PUCHAR block, ULONG inputLength, ULONG outputLength,
                       BOOLEAN deviceToHost, ULONG_PTR* returned) {
    if (block == nullptr || inputLength < kVendorMinimumBuffer ||
        (deviceToHost && outputLength < kVendorMinimumBuffer)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG dataLength = ReadLittleEndian<ULONG>(block + kVendorOffsetLength);
    // The data area must lie inside the buffer the caller passed in.
    if (dataLength > inputLength - kVendorHeaderSize) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* urb = static_cast<PURB>(AllocatePool(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb->UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto& request = urb->UrbControlVendorClassRequest;
    request.RequestTypeReservedBits = block[kVendorOffsetReservedBits];
    request.Request = block[kVendorOffsetRequest];
    request.Value = ReadLittleEndian<USHORT>(block + kVendorOffsetValue);
    request.Index = ReadLittleEndian<USHORT>(block + kVendorOffsetIndex);
    request.TransferBufferLength = dataLength;
    request.TransferBuffer = block + kVendorHeaderSize;
    request.TransferFlags =
        USBD_SHORT_TRANSFER_OK | (deviceToHost ? USBD_TRANSFER_DIRECTION_IN : 0);
    NTSTATUS status = SubmitUrb(ext, urb);
    FreePool(urb);
    // Never report more than the caller's output buffer can take back.
    *returned = outputLength < kVendorReportedBytes ? outputLength : kVendorReportedBytes;
    return status;
}

} // namespace

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (CurrentState(ext) != DeviceState::Running) {
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE);
    }
    // Waited for before the count is taken, as for transfers.
    WaitForIdleToEnd(ext);
    IncrementIo(ext);

    auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR returned = 0;
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kIoctlGetConfigDescriptor:
        status = CopyConfigDescriptor(ext, buffer, outputLength, &returned);
        break;
    case kIoctlResetDevice:
        status = ResetDevice(ext);
        break;
    case kIoctlResetPipe: {
        BOOLEAN isPipe = FALSE;
        USBD_PIPE_INFORMATION pipe;
        const ULONG index = HandlePipe(stack->FileObject, &isPipe);
        if (!isPipe || !LookUpPipe(ext, index, &pipe)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            status = ResetPipe(ext, pipe.PipeHandle);
        }
        break;
    }
    case kIoctlVendorOut:
        status = VendorRequest(ext, buffer, inputLength, outputLength, FALSE, &returned);
        break;
    case kIoctlVendorIn:
        status = VendorRequest(ext, buffer, inputLength, outputLength, TRUE, &returned);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    CompleteRequest(irp, status, returned);
    DecrementIo(ext);
    return status;
}

} // namespace driver::linkpod
