// Shared setup for the driver tests: a user-mode kernel with every verifier
// check on, a loopback device on the simulated bus, LINKPOD loaded and added
// above it. Any verifier finding fails the running test; at the end the device
// is removed, the driver unloaded and nothing may be left alive.
#pragma once

#include "driver/kshim/DriverHost.h"
#include "driver/kshim/Files.h"
#include "driver/kshim/Registry.h"
#include "driver/linkpod/Device.h"
#include "tests/driver/linkpod/kernel/LoopbackModel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace linkpodtest {

using driver::linkpod::DeviceExtension;
using driver::linkpod::DeviceState;

struct Options {
    ModelShape shape;
    bool idleSuspend = false;
    // IoIsWdmVersionAvailable answers yes up to wdmMajor.wdmMinor; by default
    // a platform with the no-execute pool, so executable pool is a finding.
    UCHAR wdmMajor = 6;
    UCHAR wdmMinor = 0x30;
    kshim::FaultPlan plan;
    // Sleep-state device states the bus reports for S1..S3, and the wake levels.
    DEVICE_POWER_STATE sleepStates[3] = {PowerDeviceD2, PowerDeviceD3, PowerDeviceD3};
    SYSTEM_POWER_STATE systemWake = PowerSystemSleeping3;
    DEVICE_POWER_STATE deviceWake = PowerDeviceD2;
};

class LinkPodTest : public ::testing::Test {
protected:
    LinkPodTest();
    void TearDown() override;

    // Loads the driver and adds the device (not started).
    void Boot(const Options& options = {});
    // Boot, then capabilities and start; expects success.
    void StartDevice(const Options& options = {});

    DeviceExtension* Ext() const;
    // The device and queue states read under the driver's state lock, for
    // waiting on a state another thread is changing.
    DeviceState LockedState() const;
    driver::linkpod::QueueState LockedQueue() const;
    kshim::DeviceNode& Node() const { return *node_; }
    kshim::SimulatedUsbDevice& Bus() const { return *bus_; }
    LoopbackModel& Model() const { return *model_; }
    kshim::Kernel& K() { return kernel_; }

    static GUID InterfaceGuid();
    // Enabled interface paths of the writer class.
    static std::vector<std::string> Paths();
    // Opens the first interface path followed by `name`.
    NTSTATUS Open(const std::string& name, std::unique_ptr<kshim::FileHandle>* handle);
    std::unique_ptr<kshim::FileHandle> OpenOrFail(const std::string& name);

    // Waits until every kernel thread is idle.
    void Settle();
    // Removes the device the way the system does from any state, closing nothing.
    void RemoveDevice();

    kshim::Kernel kernel_;
    std::unique_ptr<LoopbackModel> model_;
    std::unique_ptr<kshim::SimulatedUsbDevice> bus_;
    std::unique_ptr<kshim::DriverHost> host_;
    kshim::DeviceNode* node_ = nullptr;
    // Checks that need a finding to happen switch this off for that finding.
    bool failOnViolation_ = true;
};

// Polls `condition` until it holds or `limit` of real time has passed; for
// states another thread reaches on its own.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

// Buffers of a given length with a recognisable pattern.
std::vector<uint8_t> Pattern(size_t length, uint8_t seed = 1);

} // namespace linkpodtest
