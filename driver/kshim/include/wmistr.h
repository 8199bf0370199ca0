// WMI data blocks as they travel in WMI requests.
#pragma once

#include <wdm.h>

#define WNODE_FLAG_ALL_DATA 0x00000001
#define WNODE_FLAG_SINGLE_INSTANCE 0x00000002
#define WNODE_FLAG_SINGLE_ITEM 0x00000004
#define WNODE_FLAG_TOO_SMALL 0x00000020
#define WNODE_FLAG_FIXED_INSTANCE_SIZE 0x00000010
#define WNODE_FLAG_STATIC_INSTANCE_NAMES 0x00000080

#define WMIREG_FLAG_INSTANCE_LIST 0x00000004
#define WMIREG_FLAG_INSTANCE_BASENAME 0x00000008
#define WMIREG_FLAG_INSTANCE_PDO 0x00000020
#define WMIREG_FLAG_EXPENSIVE 0x00000001
#define WMIREG_FLAG_EVENT_ONLY_GUID 0x00000040

#define WMIREG_ACTION_REGISTER 1
#define WMIREG_ACTION_DEREGISTER 2
#define WMIREG_ACTION_REREGISTER 3
#define WMIREG_ACTION_UPDATE_GUIDS 4

typedef struct _WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    ULONG64 HistoricalContext;
    LARGE_INTEGER TimeStamp;
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;

typedef struct _WNODE_SINGLE_INSTANCE {
    WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
    UCHAR VariableData[1];
} WNODE_SINGLE_INSTANCE, *PWNODE_SINGLE_INSTANCE;

typedef struct _WNODE_SINGLE_ITEM {
    WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG ItemId;
    ULONG DataItemOffset;
    ULONG SizeDataItem;
    UCHAR VariableData[1];
} WNODE_SINGLE_ITEM, *PWNODE_SINGLE_ITEM;

typedef struct _WNODE_ALL_DATA {
    WNODE_HEADER WnodeHeader;
    ULONG DataBlockOffset;
    ULONG InstanceCount;
    ULONG OffsetInstanceNameOffsets;
    ULONG FixedInstanceSize;
} WNODE_ALL_DATA, *PWNODE_ALL_DATA;

typedef struct _WNODE_TOO_SMALL {
    WNODE_HEADER WnodeHeader;
    ULONG SizeNeeded;
} WNODE_TOO_SMALL, *PWNODE_TOO_SMALL;

// Registration information a provider returns for IRP_MN_REGINFO. Strings are
// stored at the given offsets as a 16-bit byte count followed by UTF-16 units.
typedef struct {
    GUID Guid;
    ULONG Flags;
    ULONG InstanceCount;
    union {
        ULONG InstanceNameList;
        ULONG BaseNameOffset;
        ULONG_PTR Pdo;
        ULONG_PTR InstanceInfo;
    };
} WMIREGGUIDW, *PWMIREGGUIDW, WMIREGGUID, *PWMIREGGUID;

typedef struct {
    ULONG BufferSize;
    ULONG NextWmiRegInfo;
    ULONG RegistryPath;
    ULONG MofResourceName;
    ULONG GuidCount;
    WMIREGGUIDW WmiRegGuid[1];
} WMIREGINFOW, *PWMIREGINFOW, WMIREGINFO, *PWMIREGINFO;

extern "C" {
NTKERNELAPI NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action);
NTKERNELAPI ULONG IoWMIDeviceObjectToProviderId(PDEVICE_OBJECT DeviceObject);
}
