// The writers of a sim::Bus as USB devices in a umockdev testbed: each plugged
// writer is a device node with its sysfs record on bus 1, at port member + 1,
// answered by its firmware (UsbfsDevice). Plugging and unplugging on the bus
// add and remove the devices with their udev events, so libusb's hot-plug
// sees arrivals and removals; a writer plugged again gets a new device
// address in the same port.
//
// The process must run under umockdev's preload (umockdev-wrapper), with the
// sanitizer runtimes, when there are any, first in LD_PRELOAD. Child processes
// started while the testbed lives inherit it (UMOCKDEV_DIR and the preload
// are in the environment), and their requests reach this process's writers.
// One testbed per process at a time; its files are a fresh temporary folder.
#pragma once

#include "sim/Bus.h"
#include "sim/umockdev/UsbfsDevice.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace sim::umock {

// True when this process runs under umockdev's preload.
bool InMockEnvironment();

class Testbed {
public:
    // Throws std::runtime_error with the reason when the process does not run
    // under umockdev's preload or a device cannot be added.
    explicit Testbed(std::shared_ptr<Bus> bus);
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // The testbed's folder (UMOCKDEV_DIR).
    const std::string& Root() const { return root_; }
    // Blocks until every plug and unplug of the bus so far is in the testbed.
    void Settle();

    // The device of writer `member` as plugged now (counters, control
    // requests, node); null when it is not plugged.
    std::shared_ptr<UsbfsDevice> Device(uint32_t member) const;

private:
    void Add(const std::shared_ptr<Writer>& writer); // on the work thread (or before it runs)
    void Remove(uint32_t member);
    void Post(std::function<void()> job);

    std::shared_ptr<Bus> bus_;
    UMockdevTestbed* testbed_ = nullptr;
    std::string root_;
    uint64_t subscription_ = 0;
    uint8_t nextAddress_ = 2;

    mutable std::mutex devicesLock_;
    std::map<uint32_t, std::shared_ptr<UsbfsDevice>> devices_;
    // Devices that left: their clients may still send requests, answered "gone".
    std::vector<std::shared_ptr<UsbfsDevice>> departed_;

    std::mutex jobsLock_;
    std::condition_variable jobsChanged_;
    std::deque<std::function<void()>> jobs_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace sim::umock
