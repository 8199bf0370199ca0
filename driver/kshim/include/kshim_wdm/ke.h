// Processor levels, spin locks, dispatcher objects (events, timers), DPCs,
// interlocked operations and doubly linked lists.
#pragma once

#include "kshim_wdm/ntstatus.h"

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _KWAIT_REASON { Executive, FreePage, PageIn, PoolAllocation, Suspended = 5, UserRequest = 6 } KWAIT_REASON;
typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define IO_USB_INCREMENT 2

typedef struct _DISPATCHER_HEADER {
    UCHAR Type; // 0 notification event, 1 synchronisation event, 8/9 timers
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved;
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData; // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime; // absolute, in 100 ns units of the virtual clock
    LIST_ENTRY TimerListEntry;
    struct _KDPC* Dpc;
    LONG Period; // milliseconds, 0 for a one-shot timer
    BOOLEAN Inserted;
} KTIMER, *PKTIMER, *PRKTIMER;

extern "C" {
NTKERNELAPI KIRQL KeGetCurrentIrql(VOID);
NTKERNELAPI VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI VOID KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL KeRaiseIrqlToDpcLevel(VOID);

NTKERNELAPI VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

NTKERNELAPI VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                           KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                            PLARGE_INTEGER Interval);
NTKERNELAPI VOID KeStallExecutionProcessor(ULONG MicroSeconds);

NTKERNELAPI VOID KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
NTKERNELAPI BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN KeReadStateTimer(PKTIMER Timer);

NTKERNELAPI VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                 PVOID DeferredContext);
NTKERNELAPI BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
NTKERNELAPI BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
NTKERNELAPI VOID KeFlushQueuedDpcs(VOID);

NTKERNELAPI VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID KeQueryTickCount(PLARGE_INTEGER TickCount);
NTKERNELAPI ULONG KeQueryTimeIncrement(VOID);

NTKERNELAPI ULONG DbgPrint(PCSTR Format, ...);
NTKERNELAPI ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
NTKERNELAPI VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                              ULONG_PTR P4);
}

#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))
#define KdPrint(x) DbgPrint x
#define KdPrintEx(x) DbgPrintEx x
#define KdBreakPoint() ((void)0)
#define DbgBreakPoint() ((void)0)
#define ASSERT(e) ((void)0)
#define NT_ASSERT(e) ((void)0)

// Interlocked operations: full barriers, like the kernel's.
inline LONG InterlockedIncrement(volatile LONG* v) {
    return __atomic_add_fetch(v, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* v) {
    return __atomic_sub_fetch(v, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* v, LONG value) {
    return __atomic_exchange_n(v, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(volatile LONG* v, LONG value) {
    return __atomic_fetch_add(v, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAdd(volatile LONG* v, LONG value) {
    return __atomic_add_fetch(v, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* v, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(v, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG InterlockedOr(volatile LONG* v, LONG value) {
    return __atomic_fetch_or(v, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(volatile LONG* v, LONG value) {
    return __atomic_fetch_and(v, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedXor(volatile LONG* v, LONG value) {
    return __atomic_fetch_xor(v, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedIncrement64(volatile LONG64* v) {
    return __atomic_add_fetch(v, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(volatile LONG64* v) {
    return __atomic_sub_fetch(v, 1, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange,
                                               PVOID comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

// Doubly linked lists with a head entry.
inline VOID InitializeListHead(PLIST_ENTRY head) {
    head->Flink = head->Blink = head;
}
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) {
    return head->Flink == head;
}
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
    PLIST_ENTRY next = entry->Flink;
    PLIST_ENTRY prev = entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Blink;
    RemoveEntryList(entry);
    return entry;
}
inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY last = head->Blink;
    entry->Flink = head;
    entry->Blink = last;
    last->Flink = entry;
    head->Blink = entry;
}
inline VOID InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY first = head->Flink;
    entry->Flink = first;
    entry->Blink = head;
    first->Blink = entry;
    head->Flink = entry;
}
