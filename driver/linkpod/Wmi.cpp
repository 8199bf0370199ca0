// The WMI data block: the debug level (read and write) and the model name.
#include "driver/linkpod/Device.h"
#include "driver/linkpod/WideText.h"

namespace driver::linkpod {
namespace {

// Changes no behaviour; only WMI reads and writes it.
volatile LONG g_debugLevel = 5;

constexpr auto kModelName = Widen("Brindlemo");
constexpr ULONG kDebugLevelItem = 1;
// Debug level, then the name's byte length, then the name.
constexpr ULONG kBlockHeader = sizeof(ULONG) + sizeof(USHORT);

GUID g_blockGuid = {0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};
WMIGUIDREGINFO g_guidList[] = {{&g_blockGuid, 1, 0}};

// The image carries no compiled MOF resource, so none is named: WMI would
// otherwise look for a resource that is not there.
NTSTATUS QueryRegInfo(PDEVICE_OBJECT device, PULONG regFlags, PUNICODE_STRING instanceName,
                      PUNICODE_STRING* registryPath, PUNICODE_STRING mofResourceName,
                      PDEVICE_OBJECT* pdo) {
    (void)instanceName;
    (void)mofResourceName;
    *regFlags = WMIREG_FLAG_INSTANCE_PDO;
    *registryPath = SavedRegistryPath();
    *pdo = ExtensionOf(device)->PhysicalDevice;
    return STATUS_SUCCESS;
}

NTSTATUS QueryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG /*instanceIndex*/,
                        ULONG /*instanceCount*/, PULONG instanceLengths, ULONG bufferAvailable,
                        PUCHAR buffer) {
    const USHORT nameBytes = kModelName.ByteLength();
    const ULONG size = kBlockHeader + nameBytes;
    NTSTATUS status;
    if (guidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (bufferAvailable < size || buffer == nullptr) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        const ULONG level = static_cast<ULONG>(g_debugLevel);
        RtlCopyMemory(buffer, &level, sizeof(ULONG));
        RtlCopyMemory(buffer + sizeof(ULONG), &nameBytes, sizeof(USHORT));
        RtlCopyMemory(buffer + kBlockHeader, kModelName.text, nameBytes);
        if (instanceLengths != nullptr) {
            instanceLengths[0] = size;
        }
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(device, irp, status, size, IO_NO_INCREMENT);
}

NTSTATUS SetDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG /*instanceIndex*/,
                      ULONG bufferSize, PUCHAR buffer) {
    NTSTATUS status;
    if (guidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (bufferSize != sizeof(ULONG)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
    } else {
        ULONG level;
        RtlCopyMemory(&level, buffer, sizeof(ULONG));
        InterlockedExchange(&g_debugLevel, static_cast<LONG>(level));
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(device, irp, status, 0, IO_NO_INCREMENT);
}

NTSTATUS SetDataItem(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG /*instanceIndex*/,
                     ULONG dataItemId, ULONG bufferSize, PUCHAR buffer) {
    NTSTATUS status;
    if (guidIndex != 0) {
        status = STATUS_WMI_GUID_NOT_FOUND;
    } else if (dataItemId != kDebugLevelItem) {
        status = STATUS_WMI_READ_ONLY;
    } else if (bufferSize != sizeof(ULONG)) {
        status = STATUS_INFO_LENGTH_MISMATCH;
    } else {
        ULONG level;
        RtlCopyMemory(&level, buffer, sizeof(ULONG));
        InterlockedExchange(&g_debugLevel, static_cast<LONG>(level));
        status = STATUS_SUCCESS;
    }
    return WmiCompleteRequest(device, irp, status, 0, IO_NO_INCREMENT);
}

} // namespace

VOID InitializeWmi(DeviceExtension* ext) {
    ext->Wmi.GuidCount = sizeof(g_guidList) / sizeof(g_guidList[0]);
    ext->Wmi.GuidList = g_guidList;
    ext->Wmi.QueryWmiRegInfo = QueryRegInfo;
    ext->Wmi.QueryWmiDataBlock = QueryDataBlock;
    ext->Wmi.SetWmiDataBlock = SetDataBlock;
    ext->Wmi.SetWmiDataItem = SetDataItem;
    ext->Wmi.ExecuteWmiMethod = nullptr;
    ext->Wmi.WmiFunctionControl = nullptr;
}

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
    DeviceExtension* ext = ExtensionOf(device);
    if (CurrentState(ext) == DeviceState::Removed) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING);
    }
    if (IncrementIo(ext, CountKind::Lifecycle) == 0) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING);
    }
    SYSCTL_IRP_DISPOSITION disposition = IrpNotCompleted;
    NTSTATUS status = WmiSystemControl(&ext->Wmi, device, irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        break;
    case IrpNotCompleted:
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        break;
    case IrpForward:
    case IrpNotWmi:
    default:
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(ext->LowerDevice, irp);
        break;
    }
    DecrementIo(ext, CountKind::Lifecycle);
    return status;
}

} // namespace driver::linkpod
