// The USB driver library: descriptor walking and configuration requests.
#include "driver/kshim/src/State.h"

#include <usbdlib.h>

using namespace kshim;

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
    auto* begin = static_cast<PUCHAR>(DescriptorBuffer);
    auto* end = begin + TotalLength;
    auto* at = static_cast<PUCHAR>(StartPosition);
    while (at >= begin && at + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > end)
            return nullptr;
        if (DescriptorType == -1 || common->bDescriptorType == DescriptorType)
            return common;
        at += common->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber,
                                    LONG AlternateSetting, LONG InterfaceClass,
                                    LONG InterfaceSubClass, LONG InterfaceProtocol) {
    ULONG total = ConfigurationDescriptor->wTotalLength;
    auto* at = static_cast<PUCHAR>(StartPosition);
    for (;;) {
        auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(USBD_ParseDescriptors(
            ConfigurationDescriptor, total, at, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (!found)
            return nullptr;
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (InterfaceNumber == -1 || found->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || found->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || found->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || found->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || found->bInterfaceProtocol == InterfaceProtocol))
            return found;
        at = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    ULONG count = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        ULONG pipes = entry->InterfaceDescriptor->bNumEndpoints;
        size += GET_USBD_INTERFACE_SIZE(pipes ? pipes : 1);
        ++count;
    }
    if (count == 0)
        return nullptr;
    auto* urb = static_cast<PURB>(KernelPoolForDriver(size));
    if (!urb)
        return nullptr;
    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        ULONG pipes = descriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes ? pipes : 1));
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG p = 0; p < pipes; ++p) {
            info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[p].PipeFlags = 0;
        }
        entry->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                             info->Length);
    }
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);
    return urb;
}

VOID USBD_GetUSBDIVersion(PVOID VersionInformation) {
    auto* words = static_cast<ULONG*>(VersionInformation);
    words[0] = 0x600; // USBDI version
    words[1] = 0x200; // supported USB version
}

} // extern "C"
