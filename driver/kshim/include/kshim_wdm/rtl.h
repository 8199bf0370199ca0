// Pool, memory and string helpers of the runtime library, and the registry.
#pragma once

#include "kshim_wdm/ke.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512
} POOL_TYPE;

#define RtlCopyMemory(d, s, n) std::memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) std::memmove((d), (s), (n))
#define RtlZeroMemory(d, n) std::memset((d), 0, (n))
#define RtlFillMemory(d, n, f) std::memset((d), (f), (n))
#define RtlEqualMemory(a, b, n) (std::memcmp((a), (b), (n)) == 0)

// Registry value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

// RtlQueryRegistryValues: where the path is rooted and how each entry is read.
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_OPTIONAL 0x80000000u
#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

typedef NTSTATUS RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                            ULONG ValueLength, PVOID Context,
                                            PVOID EntryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE* PRTL_QUERY_REGISTRY_ROUTINE;

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define STANDARD_RIGHTS_ALL 0x001F0000

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

extern "C" {
NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI VOID ExFreePool(PVOID P);
NTKERNELAPI VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

NTKERNELAPI VOID RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source);
NTKERNELAPI VOID RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTKERNELAPI NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                    PCUNICODE_STRING Source);
NTKERNELAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTKERNELAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive);
NTKERNELAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                          BOOLEAN CaseInSensitive);
NTKERNELAPI VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTKERNELAPI NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                            PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                            PVOID Environment);

NTKERNELAPI NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                     KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                     PVOID KeyValueInformation, ULONG Length,
                                     PULONG ResultLength);
NTKERNELAPI NTSTATUS ZwClose(HANDLE Handle);
}
