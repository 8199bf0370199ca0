// Basic kernel types with fixed widths, calling-convention and annotation macros.
// These headers let the driver build unchanged as an ordinary Linux program over
// the user-mode kernel; WCHAR is a 16-bit UTF-16 unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifndef NTAPI
#define NTAPI
#endif
#ifndef NTKERNELAPI
#define NTKERNELAPI
#endif
#ifndef FASTCALL
#define FASTCALL
#endif
#ifndef DECLSPEC_IMPORT
#define DECLSPEC_IMPORT
#endif
#ifndef FORCEINLINE
#define FORCEINLINE inline
#endif
#ifndef __stdcall
#define __stdcall
#endif
#ifndef __fastcall
#define __fastcall
#endif
#define IN
#define OUT
#define OPTIONAL
#define CONST const

// Source annotations carry no meaning here.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_z_
#define _In_reads_(x)
#define _In_reads_bytes_(x)
#define _In_reads_bytes_opt_(x)
#define _Out_writes_(x)
#define _Out_writes_bytes_(x)
#define _Out_writes_bytes_opt_(x)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Use_decl_annotations_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(x)
#define _When_(a, b)
#define _At_(a, b)
#define _Pre_satisfies_(x)
#define _Post_satisfies_(x)
#define _Function_class_(x)
#define _Dispatch_type_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_requires_same_
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(a, b)
#define _IRQL_restores_global_(a, b)
#define _IRQL_always_function_min_(x)
#define _IRQL_always_function_max_(x)
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _Acquires_exclusive_lock_(x)
#define _Releases_exclusive_lock_(x)
#define _Analysis_assume_(x)
#define _Kernel_requires_resource_held_(x)
#define _Post_maybenull_
#define _Post_writable_byte_size_(x)
#define _Ret_maybenull_
#define _Ret_range_(a, b)
#define _Interlocked_operand_
#define _Inout_updates_bytes_(x)
#define __drv_aliasesMem
#define __drv_freesMem(x)
#define __drv_allocatesMem(x)
#define __drv_maxIRQL(x)
#define __drv_requiresIRQL(x)
#define __drv_setsIRQL(x)
#define __drv_savesIRQL
#define __drv_restoresIRQL
#define __drv_dispatchType(x)
#define __drv_completionType(x)
#define __drv_functionClass(x)
#define __drv_when(a, b)

typedef void VOID;
typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef char CCHAR;
typedef int16_t CSHORT;
typedef int16_t SHORT;
typedef uint8_t UCHAR;
typedef uint8_t BYTE;
typedef uint8_t BOOLEAN;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t SIZE_T;
typedef uintptr_t KAFFINITY;
typedef char16_t WCHAR;
typedef int32_t NTSTATUS;

typedef UCHAR* PUCHAR;
typedef BOOLEAN* PBOOLEAN;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef NTSTATUS* PNTSTATUS;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL nullptr
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without terminator
    USHORT MaximumLength; // bytes of the buffer
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID* PCGUID;
typedef const GUID& REFGUID;

inline bool operator==(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator!=(const GUID& a, const GUID& b) {
    return !(a == b);
}
#define IsEqualGUID(a, b) (*(a) == *(b))
#define InlineIsEqualGUID(a, b) (*(a) == *(b))

#ifdef INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                 \
    extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#elif !defined(DEFINE_GUID)
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern "C" const GUID name
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define CONTAINING_RECORD(address, type, field)                                                    \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARGUMENT_PRESENT(p) ((p) != NULL)
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define ALIGN_UP_BY(length, alignment)                                                             \
    (((ULONG_PTR)(length) + (alignment)-1) & ~((ULONG_PTR)(alignment)-1))
#define MAXULONG 0xFFFFFFFFu
#define MAXUSHORT 0xFFFFu
#define MAXLONG 0x7FFFFFFF
#define MAXUCHAR 0xFFu
#define ANSI_NULL ((CHAR)0)
#define UNICODE_NULL ((WCHAR)0)

// Fields that the kernel packs to pointer size on 64-bit systems.
#define POINTER_ALIGNMENT alignas(8)

typedef CCHAR KPROCESSOR_MODE;
enum _MODE { KernelMode, UserMode, MaximumMode };
typedef enum _MODE MODE;
