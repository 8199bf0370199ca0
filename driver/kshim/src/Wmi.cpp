// The WMI library and WMI registration: turns WMI requests into calls of the
// driver's callbacks and completes them with the data they produced.
#include "driver/kshim/src/State.h"

#include <wmilib.h>

using namespace kshim;

namespace {

ULONG PutString(PUCHAR base, ULONG offset, PCUNICODE_STRING text) {
    USHORT bytes = text ? text->Length : 0;
    std::memcpy(base + offset, &bytes, sizeof bytes);
    if (bytes)
        std::memcpy(base + offset + sizeof bytes, text->Buffer, bytes);
    return offset + sizeof bytes + bytes;
}

NTSTATUS Finish(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, ULONG information) {
    (void)device;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, PUCHAR buffer,
                 ULONG size) {
    ULONG flags = 0;
    UNICODE_STRING instance{};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mof{};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = context->QueryWmiRegInfo ? context->QueryWmiRegInfo(device, &flags, &instance,
                                                                          &registryPath, &mof, &pdo)
                                               : STATUS_INVALID_DEVICE_REQUEST;
    if (instance.Buffer)
        ExFreePool(instance.Buffer);
    if (!NT_SUCCESS(status))
        return Finish(device, irp, status, 0);
    ULONG header = static_cast<ULONG>(offsetof(WMIREGINFOW, WmiRegGuid) +
                                      context->GuidCount * sizeof(WMIREGGUIDW));
    ULONG regBytes = 2 + (registryPath ? registryPath->Length : 0);
    ULONG total = header + regBytes + 2 + mof.Length;
    if (total > size) {
        if (size >= sizeof(ULONG))
            std::memcpy(buffer, &total, sizeof total);
        return Finish(device, irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG));
    }
    std::memset(buffer, 0, total);
    auto* info = reinterpret_cast<PWMIREGINFOW>(buffer);
    info->BufferSize = total;
    info->GuidCount = context->GuidCount;
    info->RegistryPath = header;
    info->MofResourceName = PutString(buffer, header, registryPath);
    PutString(buffer, info->MofResourceName, &mof);
    for (ULONG i = 0; i < context->GuidCount; ++i) {
        WMIREGGUIDW& entry = info->WmiRegGuid[i];
        entry.Guid = *context->GuidList[i].Guid;
        entry.Flags = context->GuidList[i].Flags | flags;
        entry.InstanceCount = context->GuidList[i].InstanceCount;
        if (entry.Flags & WMIREG_FLAG_INSTANCE_PDO)
            entry.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
    }
    return Finish(device, irp, STATUS_SUCCESS, total);
}

} // namespace

extern "C" {

NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    State& s = Current();
    s.RequireIrql(PASSIVE_LEVEL, "IoWMIRegistrationControl");
    DeviceRecord* record = RecordOf(DeviceObject);
    std::lock_guard<std::mutex> guard(s.mu);
    switch (Action) {
    case WMIREG_ACTION_REGISTER:
        record->wmiRegistered = true;
        return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
        if (!record->wmiRegistered)
            return STATUS_INVALID_PARAMETER;
        record->wmiRegistered = false;
        return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

ULONG IoWMIDeviceObjectToProviderId(PDEVICE_OBJECT DeviceObject) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(DeviceObject));
}

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition) {
    Current().RequireIrql(PASSIVE_LEVEL, "WmiSystemControl");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    *IrpDisposition = IrpProcessed;
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG size = stack->Parameters.WMI.BufferSize;
    UCHAR minor = stack->MinorFunction;
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
        return RegInfo(WmiLibInfo, DeviceObject, Irp, buffer, size);

    auto* guid = static_cast<LPGUID>(stack->Parameters.WMI.DataPath);
    ULONG index = 0;
    while (index < WmiLibInfo->GuidCount && !(guid && *WmiLibInfo->GuidList[index].Guid == *guid))
        ++index;
    if (index == WmiLibInfo->GuidCount)
        return Finish(DeviceObject, Irp, STATUS_WMI_GUID_NOT_FOUND, 0);
    ULONG instances = WmiLibInfo->GuidList[index].InstanceCount;

    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        if (size < sizeof(WNODE_ALL_DATA))
            return Finish(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, 0);
        auto* node = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        node->DataBlockOffset = static_cast<ULONG>(ALIGN_UP_BY(sizeof(WNODE_ALL_DATA), 8));
        node->InstanceCount = instances;
        ULONG avail = size > node->DataBlockOffset ? size - node->DataBlockOffset : 0;
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, 0, instances,
                                             &node->FixedInstanceSize, avail,
                                             buffer + node->DataBlockOffset);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        auto* node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (size < offsetof(WNODE_SINGLE_INSTANCE, VariableData) || node->DataBlockOffset > size)
            return Finish(DeviceObject, Irp, STATUS_INVALID_PARAMETER, 0);
        if (node->InstanceIndex >= instances)
            return Finish(DeviceObject, Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0);
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, node->InstanceIndex, 1,
                                             &node->SizeDataBlock, size - node->DataBlockOffset,
                                             buffer + node->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto* node = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (size < offsetof(WNODE_SINGLE_INSTANCE, VariableData) ||
            static_cast<uint64_t>(node->DataBlockOffset) + node->SizeDataBlock > size)
            return Finish(DeviceObject, Irp, STATUS_INVALID_PARAMETER, 0);
        if (!WmiLibInfo->SetWmiDataBlock)
            return Finish(DeviceObject, Irp, STATUS_WMI_READ_ONLY, 0);
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, node->InstanceIndex,
                                           node->SizeDataBlock, buffer + node->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto* node = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        if (size < offsetof(WNODE_SINGLE_ITEM, VariableData) ||
            static_cast<uint64_t>(node->DataItemOffset) + node->SizeDataItem > size)
            return Finish(DeviceObject, Irp, STATUS_INVALID_PARAMETER, 0);
        if (!WmiLibInfo->SetWmiDataItem)
            return Finish(DeviceObject, Irp, STATUS_WMI_READ_ONLY, 0);
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, node->InstanceIndex,
                                          node->ItemId, node->SizeDataItem,
                                          buffer + node->DataItemOffset);
    }
    case IRP_MN_ENABLE_EVENTS:
    case IRP_MN_DISABLE_EVENTS:
    case IRP_MN_ENABLE_COLLECTION:
    case IRP_MN_DISABLE_COLLECTION: {
        if (!WmiLibInfo->WmiFunctionControl)
            return Finish(DeviceObject, Irp, STATUS_SUCCESS, 0);
        bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, index,
                                              events ? WmiEventControl : WmiDataBlockControl,
                                              enable ? TRUE : FALSE);
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto* node = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        if (!WmiLibInfo->ExecuteWmiMethod || size < offsetof(WNODE_SINGLE_ITEM, VariableData))
            return Finish(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return WmiLibInfo->ExecuteWmiMethod(
            DeviceObject, Irp, index, node->InstanceIndex, node->ItemId, node->SizeDataItem,
            size - node->DataItemOffset, buffer + node->DataItemOffset);
    }
    default:
        return Finish(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status,
                            ULONG BufferUsed, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG size = stack->Parameters.WMI.BufferSize;
    ULONG information = 0;
    UCHAR minor = stack->MinorFunction;
    if (minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
        ULONG offset = minor == IRP_MN_QUERY_ALL_DATA
                           ? reinterpret_cast<PWNODE_ALL_DATA>(buffer)->DataBlockOffset
                           : reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->DataBlockOffset;
        if (Status == STATUS_BUFFER_TOO_SMALL && size >= sizeof(WNODE_TOO_SMALL)) {
            auto* small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
            small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
            small->SizeNeeded = offset + BufferUsed;
            information = sizeof(WNODE_TOO_SMALL);
        } else if (NT_SUCCESS(Status)) {
            auto* header = reinterpret_cast<PWNODE_HEADER>(buffer);
            header->BufferSize = offset + BufferUsed;
            if (minor == IRP_MN_QUERY_SINGLE_INSTANCE)
                reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->SizeDataBlock = BufferUsed;
            information = offset + BufferUsed;
        }
    } else if (minor != IRP_MN_CHANGE_SINGLE_INSTANCE && minor != IRP_MN_CHANGE_SINGLE_ITEM) {
        information = BufferUsed;
    }
    return Finish(DeviceObject, Irp, Status, information);
}

} // extern "C"
