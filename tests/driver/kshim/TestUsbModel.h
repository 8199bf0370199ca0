// A small USB device for the user-mode kernel's tests: one interface with a
// bulk IN endpoint (0x81) listed first and a bulk OUT endpoint (0x02); what
// is written comes back on reads; vendor requests are recorded and answered
// with a counting pattern.
#pragma once

#include "driver/kshim/UsbBus.h"

#include <deque>
#include <mutex>

namespace kshimtest {

class TestUsbModel : public kshim::UsbDeviceModel {
public:
    explicit TestUsbModel(bool remoteWake = false, bool nakWhenEmpty = false)
        : remoteWake_(remoteWake), nakWhenEmpty_(nakWhenEmpty) {}

    std::vector<uint8_t> DeviceDescriptor() override;
    std::vector<uint8_t> ConfigurationDescriptor() override;
    kshim::UsbResult BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override;
    kshim::UsbResult BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override;
    kshim::UsbResult Control(const kshim::UsbSetup& setup, uint8_t* data) override;
    void ResetPipe(uint8_t endpoint) override;
    void ResetPort() override;

    void SetNakWhenEmpty(bool nak) {
        std::lock_guard<std::mutex> guard(mu_);
        nakWhenEmpty_ = nak;
    }
    std::vector<uint8_t> Written();
    void Queue(const std::vector<uint8_t>& bytes);
    kshim::UsbSetup LastSetup();
    std::vector<uint8_t> LastControlData();
    int PipeResets();
    int PortResets();

private:
    std::mutex mu_;
    bool remoteWake_;
    bool nakWhenEmpty_;
    std::vector<uint8_t> written_;
    std::deque<uint8_t> pending_;
    kshim::UsbSetup lastSetup_;
    std::vector<uint8_t> lastControl_;
    int pipeResets_ = 0;
    int portResets_ = 0;
};

} // namespace kshimtest
