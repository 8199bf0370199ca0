#include "tests/driver/kshim/TestUsbModel.h"

namespace kshimtest {

std::vector<uint8_t> TestUsbModel::DeviceDescriptor() {
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 1, 2, 0, 1};
}

std::vector<uint8_t> TestUsbModel::ConfigurationDescriptor() {
    uint8_t attributes = remoteWake_ ? 0xA0 : 0x80;
    return {9, 2, 32, 0, 1,    1, 0,  attributes, 50, 9, 4, 0,    0, 2,  0xFF, 0,
            0, 0, 7,  5, 0x81, 2, 64, 0,          0,  7, 5, 0x02, 2, 64, 0,    0};
}

kshim::UsbResult TestUsbModel::BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) {
    (void)endpoint;
    std::lock_guard<std::mutex> guard(mu_);
    written_.insert(written_.end(), data, data + length);
    pending_.insert(pending_.end(), data, data + length);
    return kshim::UsbResult::Ok(length);
}

kshim::UsbResult TestUsbModel::BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) {
    (void)endpoint;
    std::lock_guard<std::mutex> guard(mu_);
    if (pending_.empty() && nakWhenEmpty_ && length)
        return kshim::UsbResult::Nak();
    uint32_t n = 0;
    while (n < length && !pending_.empty()) {
        data[n++] = pending_.front();
        pending_.pop_front();
    }
    return kshim::UsbResult::Ok(n);
}

kshim::UsbResult TestUsbModel::Control(const kshim::UsbSetup& setup, uint8_t* data) {
    std::lock_guard<std::mutex> guard(mu_);
    lastSetup_ = setup;
    if (setup.bmRequestType & 0x80) {
        for (uint16_t i = 0; i < setup.wLength; ++i)
            data[i] = static_cast<uint8_t>(0xC0 + i);
        lastControl_.assign(data, data + setup.wLength);
    } else {
        lastControl_.assign(data, data + setup.wLength);
    }
    return kshim::UsbResult::Ok(setup.wLength);
}

void TestUsbModel::ResetPipe(uint8_t) {
    std::lock_guard<std::mutex> guard(mu_);
    ++pipeResets_;
}

void TestUsbModel::ResetPort() {
    std::lock_guard<std::mutex> guard(mu_);
    ++portResets_;
}

std::vector<uint8_t> TestUsbModel::Written() {
    std::lock_guard<std::mutex> guard(mu_);
    return written_;
}

void TestUsbModel::Queue(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(mu_);
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

kshim::UsbSetup TestUsbModel::LastSetup() {
    std::lock_guard<std::mutex> guard(mu_);
    return lastSetup_;
}

std::vector<uint8_t> TestUsbModel::LastControlData() {
    std::lock_guard<std::mutex> guard(mu_);
    return lastControl_;
}

int TestUsbModel::PipeResets() {
    std::lock_guard<std::mutex> guard(mu_);
    return pipeResets_;
}

int TestUsbModel::PortResets() {
    std::lock_guard<std::mutex> guard(mu_);
    return portResets_;
}

} // namespace kshimtest
