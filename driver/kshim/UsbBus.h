// The simulated USB bus driver: a physical device object below the function
// driver that executes the driver's URBs and internal requests against a device
// model, and can delay, fail, stall, shorten or hold transfers on a seeded plan.
#pragma once

#include "driver/kshim/Host.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kshim {

struct UsbSetup {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// What one transfer did on the wire: its USB status and the bytes moved.
struct UsbResult {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint32_t length = 0;
    static UsbResult Ok(uint32_t length) { return {USBD_STATUS_SUCCESS, length}; }
    // No data yet: the bus keeps the transfer until the model calls Kick().
    static UsbResult Nak() { return {USBD_STATUS_PENDING, 0}; }
    static UsbResult Stall() { return {USBD_STATUS_STALL_PID, 0}; }
};

// A device on the bus. Every call comes at dispatch level from a bus thread and
// must not block; they never overlap for one device.
class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;
    virtual std::vector<uint8_t> DeviceDescriptor() = 0;
    // The full configuration: configuration, interface and endpoint descriptors.
    virtual std::vector<uint8_t> ConfigurationDescriptor() = 0;
    virtual std::vector<uint8_t> StringDescriptor(uint8_t index, uint16_t language);
    virtual UsbResult BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) = 0;
    virtual UsbResult BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) = 0;
    // A control transfer; `data` holds setup.wLength bytes in either direction.
    virtual UsbResult Control(const UsbSetup& setup, uint8_t* data) = 0;
    virtual void ResetPipe(uint8_t endpoint);
    virtual void ResetPort();
    virtual void Configured(bool configured);
    virtual void PowerChanged(DEVICE_POWER_STATE state);
};

// What the bus does with one transfer.
enum class UrbFate {
    Normal,    // executed at once in the caller's thread
    Deferred,  // executed and completed later on a bus thread
    Fail,      // fails at once with the plan's failure status
    FailLater, // fails the same way, later on a bus thread
    Stall,     // the endpoint stalls and stays halted until reset
    Short,     // moves half the bytes
    Never,     // held until cancelled or its pipe is aborted
    Held,      // held until ReleaseHeld(), then executed
};

// The seeded schedule of fates for bulk transfers (and vendor requests when
// `vendorToo`). Probabilities are drawn in the order fail, stall, short,
// never, deferred; `script` fixes the fate of the n-th transfer (1-based).
struct FaultPlan {
    uint32_t seed = 1;
    double fail = 0;
    double stall = 0;
    double shortened = 0;
    double never = 0;
    double deferred = 0;
    std::map<uint64_t, UrbFate> script;
    bool vendorToo = false;
    // What a failing transfer completes with.
    NTSTATUS failStatus = STATUS_UNSUCCESSFUL;
    USBD_STATUS failUsbd = USBD_STATUS_DEV_NOT_RESPONDING;
};

class SimulatedUsbDevice {
public:
    SimulatedUsbDevice(Kernel& kernel, UsbDeviceModel& model, FaultPlan plan = {});
    ~SimulatedUsbDevice();
    SimulatedUsbDevice(const SimulatedUsbDevice&) = delete;
    SimulatedUsbDevice& operator=(const SimulatedUsbDevice&) = delete;

    PDEVICE_OBJECT Pdo() const;
    UsbDeviceModel& Model() { return model_; }
    // Registry key of this device instance and the base of its interface paths.
    std::string InstanceKey() const;
    std::string InterfaceBase() const;

    // What IRP_MN_QUERY_CAPABILITIES returns; tests may change it before start.
    DEVICE_CAPABILITIES& Capabilities();
    void SetFaultPlan(FaultPlan plan);
    void RefuseAttach(bool refuse);
    // Every transfer from now waits until ReleaseHeld() (in-flight tests).
    void HoldTransfers(bool hold);
    void ReleaseHeld();
    // Retries bulk IN transfers the model answered with Nak.
    void Kick();

    // Cable and port.
    void Unplug();
    bool Plugged() const;
    void SetPort(bool connected, bool enabled);

    // Idle notification: when `atOnce`, the callback runs as soon as the request
    // arrives; otherwise on FireIdleCallback().
    void SetIdleCallbackAtOnce(bool atOnce);
    bool IdleRequestPending() const;
    bool FireIdleCallback();
    bool CompleteIdleRequest(NTSTATUS status);

    // Device set-power requests: when held, each waits at the bus (as a port
    // that takes its time to suspend or resume) until ReleaseDevicePower(),
    // which carries out those held at that moment in arrival order and returns
    // how many there were.
    void HoldDevicePower(bool hold);
    size_t HeldDevicePower() const;
    size_t ReleaseDevicePower();

    // Remote wake.
    bool WaitWakePending() const;
    bool SignalWake(NTSTATUS status = STATUS_SUCCESS);

    struct Counters {
        uint64_t bulk = 0;
        uint64_t control = 0;
        uint64_t pipeResets = 0;
        uint64_t aborts = 0;
        uint64_t portResets = 0;
        uint64_t portStatusQueries = 0;
        uint64_t selects = 0;
        uint64_t idleRequests = 0;
        uint64_t waitWakes = 0;
        uint64_t descriptorReads = 0;
        std::map<USHORT, uint64_t> urbsByFunction;     // every URB received
        std::map<UCHAR, uint64_t> transfersByEndpoint; // bulk transfers received
    };
    Counters Stats() const;
    bool Configured() const;
    size_t HeldTransfers() const;  // transfers parked for any reason
    size_t ParkedRequests() const; // every request the bus holds: transfers, idle, wake, power
    DEVICE_POWER_STATE PowerState() const;
    std::vector<DEVICE_POWER_STATE> PowerHistory() const;
    SYSTEM_POWER_STATE SystemState() const;

    struct Impl;

private:
    UsbDeviceModel& model_;
    std::unique_ptr<Impl> impl_;
};

} // namespace kshim
