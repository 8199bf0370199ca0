// The per-device record of LINKPOD and the routines that share it.
#pragma once

#include "driver/linkpod/KernelApi.h"

namespace driver::linkpod {

// Every allocation carries this tag ("BulK" as stored).
inline constexpr ULONG kPoolTag = 0x4B6C7542u;

// Idle timer: first expiry 5 s after arming (relative, 100 ns units), then this period.
inline constexpr LONGLONG kIdleFirstDue = -50000000LL;
inline constexpr LONG kIdlePeriodMs = 5000;

// Highest interface number tried while looking for the configuration's interfaces.
inline constexpr ULONG kInterfaceNumberLimit = 256;

enum class DeviceState : LONG {
    NotStarted,
    Stopped,
    Running,
    StopPending,
    RemovePending,
    SurpriseRemoved,
    Removed,
};

enum class QueueState : LONG { Hold = 0, Allow = 1, Fail = 2 };

// What an outstanding-I/O count is held for. Io: a request that reaches the
// device (reads, writes, control codes, URBs). Lifecycle: a Plug and Play,
// power or WMI dispatch, or a power IRP the driver asked for itself. Holding
// I/O before the device leaves D0 waits for the Io counts only: the lifecycle
// paths move no data, and some of them wait for that very power IRP.
enum class CountKind : UCHAR { Io, Lifecycle };

struct DeviceExtension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT PhysicalDevice;
    PDEVICE_OBJECT LowerDevice;
    UNICODE_STRING InterfaceName;

    DEVICE_CAPABILITIES Capabilities;

    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
    UCHAR* PipeOpen;

    DeviceState State;
    DeviceState PreviousState;
    QueueState Queue;
    KSPIN_LOCK StateLock;

    LIST_ENTRY RequestList;
    KSPIN_LOCK RequestListLock;

    KEVENT RemoveEvent;
    KEVENT StopEvent;
    LONG OutstandingIo;
    KSPIN_LOCK IoCountLock;
    // Under the I/O-count lock: how many of the counts are lifecycle counts,
    // and the holds of I/O waiting until only those and the initial count are
    // left (each with an event of its own).
    LONG LifecycleCounts;
    LIST_ENTRY IoDrainWaiters;

    SYSTEM_POWER_STATE SystemPower;
    DEVICE_POWER_STATE DevicePower;
    // The system power IRP waiting for the device power IRP it asked for.
    PIRP SystemPowerIrp;

    WMILIB_CONTEXT Wmi;

    LONG IdleRegistryEnabled;
    volatile LONG IdleEnabled;
    volatile LONG IdleRequestPending;
    PIRP volatile IdleIrp;
    PUSB_IDLE_CALLBACK_INFO IdleCallbackInfo;
    volatile LONG IdleIrpOwners;
    KSPIN_LOCK IdleLock;
    KEVENT NoIdleRequestPending;
    KTIMER IdleTimer;
    KDPC IdleDpc;
    KEVENT NoDpcWorkItemPending;
    // Clear while the device, powered down by the idle callback, is on its
    // way back to D0 (notification event, initially set): transfers wait for
    // it as well as for the idle request, so none reaches a sleeping device.
    KEVENT IdleResumed;
    // Under the idle lock: the idle callback's power-down has been asked for
    // and has not finished, and the idle request ended meanwhile in a way
    // that wants D0 back once it has.
    BOOLEAN IdlePowerDownInFlight;
    BOOLEAN IdleWakeAfterPowerDown;

    BOOLEAN WakeEnabled;
    PIRP volatile WaitWakeIrp;
    volatile LONG WaitWakeOutstanding;
    volatile LONG WaitWakeCancelled;
    // Wait-wake may be issued: set at start, cleared when stop or removal
    // cancels it. With the outstanding flag and the event, under the wake lock.
    LONG WaitWakeAllowed;
    KSPIN_LOCK WakeLock;
    // Set while no wait-wake request is between issue and its final callback.
    KEVENT WaitWakeFinished;

    DEVICE_POWER_STATE PowerDownLevel;
    volatile LONG OpenHandles;
    ULONG PlatformLevel;

    // Largest bulk stage handed to the bus at once (the registry's
    // MaximumTransferSize; no limit without one).
    ULONG MaximumStage;
};

inline DeviceExtension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceExtension*>(device->DeviceExtension);
}

// Where each routine may run: "any" is up to dispatch level and never blocks;
// "passive" may block.

// Pool helpers (any): every allocation is tagged, zero-filled and from the
// non-paged pool (no-execute where the system has one) unless paged is asked for.
PVOID AllocatePool(SIZE_T bytes, BOOLEAN paged = FALSE);
VOID FreePool(PVOID memory);
// Chooses the non-paged pool type for the platform (passive; driver entry).
VOID SelectNonPagedPool();

// The device power state: written by power completions, read by the idle,
// wake and power paths on other threads, so always through these (any).
inline DEVICE_POWER_STATE DevicePowerOf(DeviceExtension* ext) {
    return static_cast<DEVICE_POWER_STATE>(
        InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&ext->DevicePower), 0, 0));
}
inline VOID RecordDevicePower(DeviceExtension* ext, DEVICE_POWER_STATE state) {
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&ext->DevicePower), state);
}

// Device state under the state lock (any).
DeviceState CurrentState(DeviceExtension* ext);
VOID SetState(DeviceExtension* ext, DeviceState state, QueueState queue);
VOID SetQueueState(DeviceExtension* ext, QueueState queue);
VOID RestorePreviousState(DeviceExtension* ext, QueueState queue);

// Outstanding-I/O count (any); the decrement that reaches 1 sets the stop
// event, the one that reaches 0 the remove event. A count that has reached 0
// is never taken again: IncrementIo then returns 0 and changes nothing, so
// nothing revives a device that removal is deleting. Otherwise it returns the
// new count. A count is released with the kind it was taken with.
LONG IncrementIo(DeviceExtension* ext, CountKind kind = CountKind::Io);
LONG DecrementIo(DeviceExtension* ext, CountKind kind = CountKind::Io);
LONG OutstandingIo(DeviceExtension* ext);
// Passive: waits until no Io count is held (only lifecycle counts and the
// initial one remain), on an event of the caller's own.
VOID WaitForIoToDrain(DeviceExtension* ext);

// Requests to the lower driver (passive: each waits for completion, except
// CompleteRequest, which is any).
NTSTATUS ForwardAndWait(DeviceExtension* ext, PIRP irp);
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
NTSTATUS SubmitUrb(DeviceExtension* ext, PURB urb);
NTSTATUS SubmitInternal(DeviceExtension* ext, ULONG code, PVOID argument);

// USB configuration (passive, except LookUpPipe, MarkPipeOpen and PipeIsOpen,
// which are any and false for a pipe outside the current table).
NTSTATUS ConfigureDevice(DeviceExtension* ext);
NTSTATUS UnconfigureDevice(DeviceExtension* ext);
VOID ReleaseConfiguration(DeviceExtension* ext);
VOID AbortOpenPipes(DeviceExtension* ext);
BOOLEAN LookUpPipe(DeviceExtension* ext, ULONG index, USBD_PIPE_INFORMATION* pipe);
BOOLEAN MarkPipeOpen(DeviceExtension* ext, ULONG index, BOOLEAN open);
BOOLEAN PipeIsOpen(DeviceExtension* ext, ULONG index);
NTSTATUS ResetPipe(DeviceExtension* ext, USBD_PIPE_HANDLE pipe);
NTSTATUS ResetDevice(DeviceExtension* ext);

// Power. RequestOwnDevicePower holds a lifecycle count until the IRP's
// completion and is any unless it waits; `done`, when given, is set once the
// IRP has completed (or at once when it could not be asked for). IssueWaitWake
// is any (STATUS_DEVICE_BUSY when one is outstanding, STATUS_INVALID_DEVICE_STATE
// when stop or removal cancelled wait-wake); ClearWaitWakeFlags allows it again
// at start; CancelWaitWake is passive and waits for the final callback of the
// last request issued.
NTSTATUS RequestOwnDevicePower(DeviceExtension* ext, DEVICE_POWER_STATE state, BOOLEAN wait,
                               PKEVENT done = nullptr);
NTSTATUS HandleWaitWakeIrp(DeviceExtension* ext, PIRP irp);
NTSTATUS IssueWaitWake(DeviceExtension* ext);
VOID CancelWaitWake(DeviceExtension* ext);
VOID ClearWaitWakeFlags(DeviceExtension* ext);

// Idle suspend. StopIdleSuspend and WaitForIdleToEnd are passive and wait
// (the latter until no idle request is pending and a device the idle callback
// powered down is back in D0); SubmitIdleRequest is passive; the others are any.
VOID InitializeIdle(DeviceExtension* ext);
VOID StartIdleTimer(DeviceExtension* ext);
VOID StopIdleSuspend(DeviceExtension* ext);
VOID CancelIdleRequestIfBusy(DeviceExtension* ext);
VOID WaitForIdleToEnd(DeviceExtension* ext);
NTSTATUS SubmitIdleRequest(DeviceExtension* ext);
BOOLEAN IdleSuspendOn(DeviceExtension* ext);

// WMI (any).
VOID InitializeWmi(DeviceExtension* ext);
PUNICODE_STRING SavedRegistryPath();

// Registry and platform (passive).
ULONG QueryPlatformLevel();
ULONG ReadIdleSuspendEnable();
// MaximumTransferSize from the parameters key; 0xFFFFFFFF without one (or 0).
ULONG ReadMaximumTransferSize();

// The pipe a handle was opened on; FALSE in *isPipe for a handle on the device.
ULONG HandlePipe(PFILE_OBJECT file, BOOLEAN* isPipe);

// Dispatch routines installed by the driver entry.
NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
VOID Unload(PDRIVER_OBJECT driver);

} // namespace driver::linkpod

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
