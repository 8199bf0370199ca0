// A USB device for the driver tests: one interface whose first endpoint is bulk
// IN and second bulk OUT, with bytes written to OUT readable back from IN.
// Options add endpoints, interfaces and remote wake to reach the driver's
// other paths. Calls arrive from bus threads; the model locks its own state.
#pragma once

#include "driver/kshim/UsbBus.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace linkpodtest {

struct ModelShape {
    bool remoteWake = false;
    // Endpoints after bulk IN (0x81) and bulk OUT (0x02): extra bulk IN pipes.
    uint8_t extraBulkPipes = 0;
    // An interrupt IN endpoint after all bulk ones.
    bool interruptPipe = false;
    // Interface numbers of further interfaces (alternate setting 0, no endpoints).
    std::vector<uint8_t> extraInterfaces;
    // Total length the configuration claims, 0 for the real length.
    uint16_t claimedTotalLength = 0;
};

class LoopbackModel : public kshim::UsbDeviceModel {
public:
    explicit LoopbackModel(ModelShape shape = {});

    std::vector<uint8_t> DeviceDescriptor() override;
    std::vector<uint8_t> ConfigurationDescriptor() override;
    kshim::UsbResult BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override;
    kshim::UsbResult BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override;
    kshim::UsbResult Control(const kshim::UsbSetup& setup, uint8_t* data) override;

    // Everything written to the OUT endpoint, in order.
    std::vector<uint8_t> Written() const;
    // Bytes the IN endpoint will return next.
    void QueueIn(const std::vector<uint8_t>& bytes);
    // Control transfers seen, with the OUT data they carried.
    struct ControlCall {
        kshim::UsbSetup setup;
        std::vector<uint8_t> data;
    };
    std::vector<ControlCall> Controls() const;
    // Data the next vendor IN request returns (cut to its length).
    void SetVendorInData(const std::vector<uint8_t>& bytes);
    // Sizes of the bulk transfers as they reached the device.
    std::vector<uint32_t> BulkSizes() const;

private:
    ModelShape shape_;
    mutable std::mutex lock_;
    std::vector<uint8_t> written_;
    std::deque<uint8_t> pendingIn_;
    std::vector<ControlCall> controls_;
    std::vector<uint8_t> vendorIn_;
    std::vector<uint32_t> bulkSizes_;
};

} // namespace linkpodtest
