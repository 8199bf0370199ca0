// The Plug and Play and power managers for one driver: loads it, adds its
// devices above simulated bus devices, and sends them lifecycle, power and WMI
// requests in the orders the system uses. Calls block until the driver
// completes the request; use Async() for requests that wait on other work.
#pragma once

#include "driver/kshim/Host.h"
#include "driver/kshim/UsbBus.h"

#include <future>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace kshim {

class DriverHost;

class DeviceNode {
public:
    enum class PnpState {
        Added,
        Started,
        StopPending,
        Stopped,
        RemovePending,
        SurpriseRemoved,
        Removed,
        Failed
    };

    NTSTATUS AddStatus() const { return addStatus_; }
    PnpState State() const { return state_; }
    // The device object the driver attached above the bus device (null when
    // add-device failed).
    PDEVICE_OBJECT Fdo() const { return fdo_; }
    SimulatedUsbDevice& Bus() { return bus_; }

    // Lifecycle. Each throws std::logic_error when the system would never send
    // that request in the node's state. A failed start is followed by removal;
    // a failed query by the matching cancel, as the system does.
    NTSTATUS Start();
    NTSTATUS QueryStop();
    NTSTATUS CancelStop();
    NTSTATUS Stop();
    NTSTATUS QueryRemove();
    NTSTATUS CancelRemove();
    // Sent once no handle is open on the device any more (else logic_error).
    NTSTATUS Remove();
    // Unplugs the bus device, then sends IRP_MN_SURPRISE_REMOVAL.
    NTSTATUS SurpriseRemove();
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* out = nullptr, USHORT size = 64,
                               USHORT version = 1);
    NTSTATUS SendPnp(UCHAR minor);

    // System power: a query for sleep states, then the set. A vetoed query is
    // followed by a set to the current state and its failure is returned.
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);
    NTSTATUS SendPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    SYSTEM_POWER_STATE SystemState() const { return system_; }
    // The device states the driver reported with PoSetPowerState, in order.
    std::vector<DEVICE_POWER_STATE> ReportedPower() const;

    // WMI, addressed to this device (or to another provider id when given).
    struct WmiReply {
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<uint8_t> data;
        ULONG sizeNeeded = 0;
    };
    WmiReply WmiQuery(const GUID& guid, ULONG dataRoom = 256, ULONG instance = 0,
                      ULONG_PTR provider = 0);
    NTSTATUS WmiSetBlock(const GUID& guid, const std::vector<uint8_t>& data, ULONG instance = 0);
    NTSTATUS WmiSetItem(const GUID& guid, ULONG item, const std::vector<uint8_t>& data,
                        ULONG instance = 0);
    struct WmiRegistration {
        NTSTATUS status = STATUS_SUCCESS;
        std::string registryPath;
        std::string mofResource;
        std::vector<WMIREGGUIDW> guids;
    };
    WmiRegistration WmiRegInfo();
    bool WmiRegistered() const;

    // Runs a request on another thread, for requests that wait on I/O the test
    // still has to finish.
    std::future<NTSTATUS> Async(std::function<NTSTATUS(DeviceNode&)> request);

private:
    friend class DriverHost;
    DeviceNode(DriverHost& host, SimulatedUsbDevice& bus) : host_(host), bus_(bus) {}
    NTSTATUS Send(UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill,
                  IO_STATUS_BLOCK* result = nullptr);
    void Require(bool legal, const char* request) const;
    void AfterRemove();

    DriverHost& host_;
    SimulatedUsbDevice& bus_;
    NTSTATUS addStatus_ = STATUS_SUCCESS;
    PnpState state_ = PnpState::Added;
    PDEVICE_OBJECT fdo_ = nullptr;
    SYSTEM_POWER_STATE system_ = PowerSystemWorking;
    bool capabilitiesQueried_ = false;
};

class DriverHost {
public:
    // The driver's service is `service`; its registry path is
    // "\Registry\Machine\System\CurrentControlSet\Services\<service>".
    DriverHost(Kernel& kernel, PDRIVER_INITIALIZE entry, std::string service);
    ~DriverHost();

    NTSTATUS Load();
    PDRIVER_OBJECT Driver() const { return driver_; }
    // Add-device for a bus device; the node records the outcome.
    DeviceNode& AddDevice(SimulatedUsbDevice& bus);
    // Unloads the driver (the system does this after its last device is
    // removed) and reports what it left alive.
    void Unload();
    bool Loaded() const { return loaded_; }

private:
    friend class DeviceNode;
    void DeviceGone();

    Kernel& kernel_;
    PDRIVER_INITIALIZE entry_;
    std::string service_;
    std::u16string registryPath_;
    PDRIVER_OBJECT driver_ = nullptr;
    bool loaded_ = false;
    std::list<std::unique_ptr<DeviceNode>> nodes_;
};

} // namespace kshim
