// One simulated writer as a device on the kernel's simulated USB bus: its
// descriptors (sim/Descriptors.h) and its two endpoints mapped onto the
// writer's reads and writes.
//
// The writer never blocks a bus thread for a time limit: a transfer that
// would wait out the host's limit is answered "no data yet" and stays with the
// bus until the host cancels it, so the host's own limit ends it exactly as it
// ends a transfer on a real bus. The host's limit for the next transfer of
// each direction is told to the model beforehand (SetHostLimit).
#pragma once

#include "driver/kshim/UsbBus.h"
#include "sim/Writer.h"

#include <atomic>
#include <memory>

namespace driver::simstack {

class WriterModel : public kshim::UsbDeviceModel {
public:
    static constexpr uint8_t kInEndpoint = sim::kEndpointIn;
    static constexpr uint8_t kOutEndpoint = sim::kEndpointOut;

    // The device is the writer as plugged now: transfers fail once the writer
    // has been unplugged since (a new plug makes a new device).
    explicit WriterModel(std::shared_ptr<sim::Writer> writer);

    const std::shared_ptr<sim::Writer>& Writer() const { return writer_; }
    // Milliseconds the host waits for its next transfer in that direction
    // (0: without limit).
    void SetHostLimit(bool in, uint32_t timeoutMs);

    // True on a thread that is inside a call of any writer model: bus events
    // raised there must not wait for the kernel.
    static bool InsideTransfer();

    std::vector<uint8_t> DeviceDescriptor() override;
    std::vector<uint8_t> ConfigurationDescriptor() override;
    std::vector<uint8_t> StringDescriptor(uint8_t index, uint16_t language) override;
    kshim::UsbResult BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override;
    kshim::UsbResult BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override;
    kshim::UsbResult Control(const kshim::UsbSetup& setup, uint8_t* data) override;

private:
    kshim::UsbResult Transfer(bool in, uint8_t* readData, const uint8_t* writeData,
                              uint32_t length);

    std::shared_ptr<sim::Writer> writer_;
    const uint64_t generation_;
    std::atomic<uint32_t> inLimit_{0};
    std::atomic<uint32_t> outLimit_{0};
};

} // namespace driver::simstack
