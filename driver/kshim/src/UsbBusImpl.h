// Internal state of one simulated bus device, shared by the bus's source files.
#pragma once

#include "driver/kshim/UsbBus.h"

#include "driver/kshim/src/State.h"

#include <list>
#include <random>

namespace kshim {
// What the bus keeps per request and per pipe.
namespace bus {

enum class ParkKind { Deferred, Nak, Never, Held, Idle, WaitWake, Power };

struct Parked {
    PIRP irp;
    ParkKind kind;
    PVOID pipe = nullptr;
    UrbFate fate = UrbFate::Normal;
    USB_IDLE_CALLBACK_INFO idle{};
    bool idleCalled = false;
    // The callback is running; a cancel meanwhile is completed once it returns.
    bool idleRunning = false;
    bool idleCancelled = false;
};

struct Pipe {
    UCHAR endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    USHORT maxPacket = 0;
    bool halted = false;
};

struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    bool nak = false;
};

DRIVER_DISPATCH Dispatch;
DRIVER_CANCEL Cancel;

} // namespace bus

struct SimulatedUsbDevice::Impl {
    using ParkKind = bus::ParkKind;
    using Parked = bus::Parked;
    using Pipe = bus::Pipe;
    using Outcome = bus::Outcome;

    SimulatedUsbDevice* owner = nullptr;
    State* state = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    unsigned instance = 0;
    USHORT vendor = 0;
    USHORT product = 0;

    mutable std::mutex mu;
    std::list<Parked> parked;
    bool draining = false;
    std::map<PVOID, Pipe> pipes;
    uintptr_t nextHandle = 0x5B000000;
    bool configured = false;
    bool plugged = true;
    bool connected = true;
    bool enabled = true;
    bool hold = false;
    bool idleAtOnce = true;
    bool holdPower = false;
    DEVICE_CAPABILITIES caps{};
    FaultPlan plan;
    std::mt19937 random{1};
    uint64_t bulkIndex = 0;
    Counters counters;
    DEVICE_POWER_STATE power = PowerDeviceD0;
    std::vector<DEVICE_POWER_STATE> powerHistory;
    SYSTEM_POWER_STATE system = PowerSystemWorking;
    std::mutex modelMu; // the model sees one call at a time

    UrbFate Decide();
    PUCHAR Buffer(PVOID buffer, PMDL mdl, ULONG length, bool& tooShort);
    Outcome Descriptor(PURB urb);
    Outcome Select(PURB urb);
    // What a bulk transfer reads of the device's state before it moves data,
    // taken with `mu` held.
    struct BulkEntry {
        bool known = false; // the pipe handle names a pipe
        Pipe pipe;
        bool plugged = true;
        DEVICE_POWER_STATE power = PowerDeviceD0;
    };
    BulkEntry BulkEntryLocked(PVOID pipeHandle) const;
    Outcome Bulk(PURB urb, UrbFate fate);
    Outcome Bulk(PURB urb, UrbFate fate, const BulkEntry& entry);
    Outcome Vendor(PURB urb, UrbFate fate);
    Outcome PipeRequest(PURB urb);
    void Complete(PIRP irp, NTSTATUS status, USBD_STATUS usbd);
    // Parks a request with a cancel routine; false when it was cancelled already
    // (then it has been completed as cancelled).
    void Park(Parked entry);
    void StartDrain(std::unique_lock<std::mutex>&);
    void Drain();
    // Executes a URB request and completes it, or parks it again on a Nak.
    void Run(PIRP irp, UrbFate fate);
    NTSTATUS SubmitUrb(PIRP irp);
    NTSTATUS Internal(PIRP irp);
    NTSTATUS Pnp(PIRP irp);
    NTSTATUS Power(PIRP irp);
    // Carries out a device set-power request and completes it.
    void SetDevicePower(PIRP irp);
    bool TakeParked(ParkKind kind, Parked* out);
};

// The bus object behind a physical device object.
SimulatedUsbDevice::Impl* ImplOf(PDEVICE_OBJECT device);

} // namespace kshim
