// A small WDM function driver used to exercise the user-mode kernel. It is
// correct unless a flaw is chosen; each flaw breaks exactly one rule the
// verifier checks, so that a test proves the check catches it.
#pragma once

#include "driver/kshim/Kernel.h"

namespace kshimtest {

enum class Flaw {
    None,
    CompleteTwice,             // create completes the request twice
    PendingNotMarked,          // read returns STATUS_PENDING without marking
    MarkedNotPending,          // create marks pending, completes, returns success
    ReturnWithoutCompleting,   // cleanup returns success and completes later
    CompletionLostPending,     // read returns the lower status, routine drops pending
    PassedDownAfterCompletion, // create completes, then passes down
    CancelRoutineAtCompletion, // create completes with a cancel routine set
    PowerAtDispatch,           // power requests passed down at dispatch level
    NestedLocks,               // lock test takes B while holding A
    LocksOutOfOrder,           // ... and releases A before B
    WaitWithLock,              // waits while holding a spin lock
    IrqlLeft,                  // control request returns at dispatch level
    Untagged,                  // pool without a tag
    WrongTag,                  // pool with another tag
    LeakAtUnload,              // driver entry's block is not freed at unload
    KeepsIoAtRemoval,          // a bulk read of its own stays in flight at removal
    StillInitializing,         // add-device leaves DO_DEVICE_INITIALIZING
    BadFree,                   // frees memory that is not pool
    OutputOverrun,             // reports more bytes than the output buffer holds
    OwnIrpReachesTop,          // its own IRP's routine does not take it back
    WorkItemTwice,             // queues a work item that is still queued
    TimerLeftSet,              // deletes the device with its timer still set
    PartialMdlOutside,         // builds a partial MDL beyond its source
    UrbLongerThanBuffer,       // bulk URB longer than its MDL
    WmiStillRegistered,        // deletes the device without WMI deregistration
    NoStartNextPower,          // passes power requests on without starting the next
    PagedPoolAtDispatch,       // pool test allocates paged pool under a spin lock
    PageableCodeAtDispatch,    // lock test runs pageable code under a spin lock
    PnpAtDispatch,             // Plug and Play requests passed down at dispatch level
    DeletedWhileAttached,      // removal deletes the device without detaching it
    ExecutablePool,            // pool test allocates executable non-paged pool
    TouchAfterDelete,          // removal sets an event of the extension after deleting the device
    CallAfterDetach,           // removal sends a request to the lower device after detaching
    PassiveAtDispatch,         // lock test enables the interface under a spin lock
    CancelLockNested,          // lock test takes the cancel spin lock while holding its own
    CancelLockTwice,           // lock test takes the cancel spin lock twice
    SkipWithoutStartNext,      // power requests skipped down without starting the next
    OwnIrpForgotten,           // its own IRP's routine takes it back and nothing frees it
    PowerIrpReclaimed,         // its own device power IRP is taken back and never completed
    SharedCompletionScratch,   // transfer completions pass the byte count through one global
};

// The class of the interface the driver registers.
extern const GUID kTestInterface;
// The WMI block the driver exposes: one ULONG, writable.
extern const GUID kTestWmiBlock;
constexpr ULONG kTestTag = 0x74736554; // 'tseT'

constexpr ULONG IOCTL_TEST_COUNT = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, 0);
constexpr ULONG IOCTL_TEST_LOCKS = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, 0);
constexpr ULONG IOCTL_TEST_VENDOR = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, 0);
constexpr ULONG IOCTL_TEST_POOL = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, 0);
constexpr ULONG IOCTL_TEST_WORKITEM = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, 0);
constexpr ULONG IOCTL_TEST_OWN_IRP = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, 0);
constexpr ULONG IOCTL_TEST_OWN_READ = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_BUFFERED, 0);
constexpr ULONG IOCTL_TEST_RESET_PIPE = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x807, METHOD_BUFFERED, 0);
constexpr ULONG IOCTL_TEST_TIMER = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x808, METHOD_BUFFERED, 0);
constexpr ULONG IOCTL_TEST_POWER_SELF = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x809, METHOD_BUFFERED, 0);

void SetFlaw(Flaw flaw);
// Timer DPC runs counted by IOCTL_TEST_TIMER's periodic timer.
LONG TimerTicks();

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

} // namespace kshimtest
