// The device's USB configuration: descriptors, selecting and dropping the
// configuration, the pipe table, and resetting or aborting pipes.
#include "driver/linkpod/Device.h"

namespace driver::linkpod {
namespace {

constexpr UCHAR kRemoteWakeupAttribute = 0x20;
constexpr ULONG kDeviceDescriptorLength = 18;
constexpr ULONG kConfigHeaderLength = 9;

NTSTATUS ReadDescriptor(DeviceExtension* ext, UCHAR type, PVOID buffer, ULONG length,
                        ULONG* received) {
    auto* urb = static_cast<PURB>(AllocatePool(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb->UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb->UrbControlDescriptorRequest.TransferBufferLength = length;
    urb->UrbControlDescriptorRequest.DescriptorType = type;
    NTSTATUS status = SubmitUrb(ext, urb);
    *received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    FreePool(urb);
    return status;
}

NTSTATUS ReadConfiguration(DeviceExtension* ext, PUSB_CONFIGURATION_DESCRIPTOR* result) {
    ULONG received = 0;
    PVOID device = AllocatePool(kDeviceDescriptorLength);
    if (device == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status =
        ReadDescriptor(ext, USB_DEVICE_DESCRIPTOR_TYPE, device, kDeviceDescriptorLength, &received);
    FreePool(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    auto* header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocatePool(kConfigHeaderLength));
    if (header == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ReadDescriptor(ext, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, kConfigHeaderLength,
                            &received);
    const ULONG total = header->wTotalLength;
    FreePool(header);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (received < kConfigHeaderLength || total < kConfigHeaderLength) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    auto* full = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocatePool(total));
    if (full == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ReadDescriptor(ext, USB_CONFIGURATION_DESCRIPTOR_TYPE, full, total, &received);
    if (NT_SUCCESS(status) && (received < total || full->wTotalLength != total)) {
        // A descriptor shorter than it claims would send the parser past the copy.
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (!NT_SUCCESS(status)) {
        FreePool(full);
        return status;
    }
    *result = full;
    return STATUS_SUCCESS;
}

NTSTATUS SelectConfiguration(DeviceExtension* ext, PUSB_CONFIGURATION_DESCRIPTOR config,
                             PUSBD_INTERFACE_INFORMATION* selected) {
    const ULONG wanted = config->bNumInterfaces;
    if (wanted == 0) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        AllocatePool(sizeof(USBD_INTERFACE_LIST_ENTRY) * (wanted + 1)));
    if (list == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG found = 0;
    for (ULONG number = 0; found < wanted && number < kInterfaceNumberLimit; ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            config, config, static_cast<LONG>(number), 0, -1, -1, -1);
        if (descriptor != nullptr) {
            list[found++].InterfaceDescriptor = descriptor;
        }
    }
    if (found < wanted) {
        FreePool(list);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (urb == nullptr) {
        FreePool(list);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; ++i) {
        first->Pipes[i].MaximumTransferSize = 0xFFFFFFFFu;
    }
    NTSTATUS status = SubmitUrb(ext, urb);
    if (NT_SUCCESS(status)) {
        const ULONG needed = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
                             first->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION);
        const ULONG length = first->Length > needed ? first->Length : needed;
        auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocatePool(length));
        if (copy == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(copy, first, needed);
            *selected = copy;
        }
    }
    // The library allocated the request; it is returned the same way.
    ExFreePool(urb);
    FreePool(list);
    return status;
}

} // namespace

NTSTATUS ConfigureDevice(DeviceExtension* ext) {
    PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;
    NTSTATUS status = ReadConfiguration(ext, &config);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PUSBD_INTERFACE_INFORMATION selected = nullptr;
    status = SelectConfiguration(ext, config, &selected);
    UCHAR* pipeOpen = nullptr;
    if (NT_SUCCESS(status)) {
        const ULONG pipes = selected->NumberOfPipes;
        pipeOpen = static_cast<UCHAR*>(AllocatePool(pipes > 0 ? pipes : 1));
        if (pipeOpen == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(status)) {
        FreePool(selected);
        FreePool(config);
        return status;
    }

    ReleaseConfiguration(ext);
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    ext->ConfigDescriptor = config;
    ext->Interface = selected;
    ext->PipeOpen = pipeOpen;
    ext->WakeEnabled = (config->bmAttributes & kRemoteWakeupAttribute) ? TRUE : FALSE;
    KeReleaseSpinLock(&ext->StateLock, irql);
    return STATUS_SUCCESS;
}

VOID ReleaseConfiguration(DeviceExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    PVOID config = ext->ConfigDescriptor;
    PVOID selected = ext->Interface;
    PVOID pipeOpen = ext->PipeOpen;
    ext->ConfigDescriptor = nullptr;
    ext->Interface = nullptr;
    ext->PipeOpen = nullptr;
    KeReleaseSpinLock(&ext->StateLock, irql);
    FreePool(config);
    FreePool(selected);
    FreePool(pipeOpen);
}

NTSTATUS UnconfigureDevice(DeviceExtension* ext) {
    auto* urb = static_cast<PURB>(AllocatePool(sizeof(_URB_SELECT_CONFIGURATION)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
    NTSTATUS status = SubmitUrb(ext, urb);
    FreePool(urb);
    return status;
}

BOOLEAN LookUpPipe(DeviceExtension* ext, ULONG index, USBD_PIPE_INFORMATION* pipe) {
    BOOLEAN found = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    if (ext->Interface != nullptr && index < ext->Interface->NumberOfPipes) {
        *pipe = ext->Interface->Pipes[index];
        found = TRUE;
    }
    KeReleaseSpinLock(&ext->StateLock, irql);
    return found;
}

BOOLEAN MarkPipeOpen(DeviceExtension* ext, ULONG index, BOOLEAN open) {
    BOOLEAN marked = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    if (ext->Interface != nullptr && ext->PipeOpen != nullptr &&
        index < ext->Interface->NumberOfPipes) {
        ext->PipeOpen[index] = open ? 1 : 0;
        marked = TRUE;
    }
    KeReleaseSpinLock(&ext->StateLock, irql);
    return marked;
}

BOOLEAN PipeIsOpen(DeviceExtension* ext, ULONG index) {
    BOOLEAN open = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&ext->StateLock, &irql);
    if (ext->Interface != nullptr && ext->PipeOpen != nullptr &&
        index < ext->Interface->NumberOfPipes) {
        open = ext->PipeOpen[index] != 0;
    }
    KeReleaseSpinLock(&ext->StateLock, irql);
    return open;
}

static NTSTATUS SendPipeRequest(DeviceExtension* ext, USHORT function, USBD_PIPE_HANDLE pipe) {
    auto* urb = static_cast<PURB>(AllocatePool(sizeof(_URB_PIPE_REQUEST)));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = pipe;
    NTSTATUS status = SubmitUrb(ext, urb);
    FreePool(urb);
    return status;
}

VOID AbortOpenPipes(DeviceExtension* ext) {
    USBD_PIPE_INFORMATION pipe;
    for (ULONG index = 0; LookUpPipe(ext, index, &pipe); ++index) {
        if (!PipeIsOpen(ext, index)) {
            continue;
        }
        if (NT_SUCCESS(SendPipeRequest(ext, URB_FUNCTION_ABORT_PIPE, pipe.PipeHandle))) {
            MarkPipeOpen(ext, index, FALSE);
        }
    }
}

NTSTATUS ResetPipe(DeviceExtension* ext, USBD_PIPE_HANDLE pipe) {
    NTSTATUS status = SendPipeRequest(ext, URB_FUNCTION_RESET_PIPE, pipe);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS ResetDevice(DeviceExtension* ext) {
    ULONG portStatus = 0;
    NTSTATUS status = SubmitInternal(ext, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((portStatus & USBD_PORT_ENABLED) || !(portStatus & USBD_PORT_CONNECTED)) {
        return status;
    }
    return SubmitInternal(ext, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

} // namespace driver::linkpod
