// One simulated writer as a USB device node under umockdev: the usbfs requests
// that libusb makes on it (claims, URB submit, reap and discard, halts,
// control transfers) answered by the writer's firmware (sim::Writer), so the
// real, unmodified libusb in any process of the testbed talks to it.
//
// Bulk URBs on 0x02 and 0x81 are the writer's writes and reads. A transfer the
// writer holds (its timeout faults) stays in flight until the host discards
// it; one it refuses stalls the endpoint, which then fails every URB until the
// host clears the halt. Vendor requests are recorded and stalled: the writer
// answers none. Every client (an open file of a process) has its own URBs and
// claims, dropped when it closes.
//
// The handler runs on umockdev's worker thread; the other members may be
// called from any thread.
#pragma once

#include "sim/Bus.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace sim::umock {

// A control request as it reached the device.
struct ControlRecord {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> data; // what a host-to-device request carried
};

struct UsbfsCounters {
    uint64_t ioctls = 0;             // every request of every client
    uint64_t bulkUrbs = 0;           // bulk URBs submitted
    uint64_t emptyReaps = 0;         // reaps with nothing to hand back
    uint64_t clearHalts = 0;         // halts cleared by the host
    uint64_t claims = 0;             // successful claims of interface 0
    uint64_t discards = 0;           // URBs the host took back (cancels, time limits)
    std::set<const void*> claimants; // the clients that claimed it
};

class UsbfsDevice {
public:
    // The writer as plugged now; `bus` gets each host transfer's start for
    // its wire timing. `port` and `address` place it on bus `busNumber`.
    UsbfsDevice(std::shared_ptr<Writer> writer, std::shared_ptr<Bus> bus, uint8_t busNumber,
                uint8_t port, uint8_t address);
    ~UsbfsDevice();
    UsbfsDevice(const UsbfsDevice&) = delete;
    UsbfsDevice& operator=(const UsbfsDevice&) = delete;

    UMockdevIoctlBase* Handler() const { return handler_; }
    const std::string& DeviceNode() const { return node_; } // /dev/bus/usb/BBB/DDD
    const std::string& SysfsPath() const { return sysfs_; } // /sys/devices/...
    // The device in udev's database format, for umockdev_testbed_add_from_string.
    std::string Record() const;

    // The device left: URBs in flight end with "no device", later requests fail.
    void Gone();
    // Interface 0 held by someone outside the testbed: "usbfs" for another
    // program, or a kernel driver's name; empty frees it.
    void HoldInterface(const std::string& holder);

    std::vector<ControlRecord> ControlRequests() const;
    UsbfsCounters Counters() const;

private:
    struct Urb {
        UMockdevIoctlData* urb = nullptr;    // the client's URB, a local copy
        UMockdevIoctlData* buffer = nullptr; // its data
        UMockdevIoctlClient* client = nullptr;
    };

    static int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    void Handle(UMockdevIoctlClient* client);
    void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Bulk(Urb& urb);
    void Control(Urb& urb);
    void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void Claim(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool claim);
    void Finish(Urb& urb, int status, size_t length); // mutex_ held
    void Release(Urb& urb);

    const std::shared_ptr<Writer> writer_;
    const std::shared_ptr<Bus> bus_;
    const uint64_t generation_;
    const uint8_t busNumber_, port_, address_;
    std::string node_, sysfs_;
    UMockdevIoctlBase* handler_ = nullptr;

    // Set when the device is built: the handler's thread reads it first, so
    // the thread sanitizer sees the hand-over that umockdev's own (not
    // instrumented) thread start and registration make.
    std::atomic<bool> built_{false};
    mutable std::mutex mutex_;
    bool gone_ = false;
    std::vector<Urb> inFlight_;
    std::map<UMockdevIoctlClient*, std::deque<Urb>> finished_;
    UMockdevIoctlClient* claimedBy_ = nullptr;
    std::string holder_;
    std::set<uint8_t> halted_;
    std::vector<ControlRecord> controls_;
    UsbfsCounters counters_;
};

} // namespace sim::umock
