#include "tests/driver/linkpod/kernel/LoopbackModel.h"

#include <algorithm>

namespace linkpodtest {
namespace {

void Endpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t attributes, uint16_t packet) {
    const uint8_t bytes[] = {7,
                             5,
                             address,
                             attributes,
                             static_cast<uint8_t>(packet & 0xFF),
                             static_cast<uint8_t>(packet >> 8),
                             0};
    out.insert(out.end(), bytes, bytes + sizeof(bytes));
}

void Interface(std::vector<uint8_t>& out, uint8_t number, uint8_t endpoints) {
    const uint8_t bytes[] = {9, 4, number, 0, endpoints, 0xFF, 0, 0, 0};
    out.insert(out.end(), bytes, bytes + sizeof(bytes));
}

} // namespace

LoopbackModel::LoopbackModel(ModelShape shape) : shape_(std::move(shape)) {}

std::vector<uint8_t> LoopbackModel::DeviceDescriptor() {
    return {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 1, 2, 3, 1};
}

std::vector<uint8_t> LoopbackModel::ConfigurationDescriptor() {
    const uint8_t endpoints =
        static_cast<uint8_t>(2 + shape_.extraBulkPipes + (shape_.interruptPipe ? 1 : 0));
    std::vector<uint8_t> body;
    Interface(body, 0, endpoints);
    Endpoint(body, 0x81, 2, 64);
    Endpoint(body, 0x02, 2, 64);
    for (uint8_t i = 0; i < shape_.extraBulkPipes; ++i) {
        Endpoint(body, static_cast<uint8_t>(0x83 + i), 2, 64);
    }
    if (shape_.interruptPipe) {
        Endpoint(body, 0x8F, 3, 8);
    }
    for (uint8_t number : shape_.extraInterfaces) {
        Interface(body, number, 0);
    }
    const uint16_t total = shape_.claimedTotalLength != 0 ? shape_.claimedTotalLength
                                                          : static_cast<uint16_t>(9 + body.size());
    const uint8_t attributes = static_cast<uint8_t>(0x80 | (shape_.remoteWake ? 0x20 : 0));
    const uint8_t header[9] = {9,
                               2,
                               static_cast<uint8_t>(total & 0xFF),
                               static_cast<uint8_t>(total >> 8),
                               static_cast<uint8_t>(1 + shape_.extraInterfaces.size()),
                               1,
                               0,
                               attributes,
                               50};
    std::vector<uint8_t> config(sizeof(header) + body.size());
    std::copy(header, header + sizeof(header), config.begin());
    std::copy(body.begin(), body.end(), config.begin() + sizeof(header));
    return config;
}

kshim::UsbResult LoopbackModel::BulkOut(uint8_t /*endpoint*/, const uint8_t* data,
                                        uint32_t length) {
    std::lock_guard<std::mutex> guard(lock_);
    written_.insert(written_.end(), data, data + length);
    pendingIn_.insert(pendingIn_.end(), data, data + length);
    bulkSizes_.push_back(length);
    return kshim::UsbResult::Ok(length);
}

kshim::UsbResult LoopbackModel::BulkIn(uint8_t /*endpoint*/, uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> guard(lock_);
    bulkSizes_.push_back(length);
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(length, pendingIn_.size()));
    for (uint32_t i = 0; i < count; ++i) {
        data[i] = pendingIn_.front();
        pendingIn_.pop_front();
    }
    return kshim::UsbResult::Ok(count);
}

kshim::UsbResult LoopbackModel::Control(const kshim::UsbSetup& setup, uint8_t* data) {
    std::lock_guard<std::mutex> guard(lock_);
    ControlCall call{setup, {}};
    const bool in = (setup.bmRequestType & 0x80) != 0;
    if (in) {
        const uint32_t count =
            static_cast<uint32_t>(std::min<size_t>(setup.wLength, vendorIn_.size()));
        std::copy(vendorIn_.begin(), vendorIn_.begin() + count, data);
        controls_.push_back(call);
        return kshim::UsbResult::Ok(count);
    }
    call.data.assign(data, data + setup.wLength);
    controls_.push_back(call);
    return kshim::UsbResult::Ok(setup.wLength);
}

std::vector<uint8_t> LoopbackModel::Written() const {
    std::lock_guard<std::mutex> guard(lock_);
    return written_;
}

void LoopbackModel::QueueIn(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    pendingIn_.insert(pendingIn_.end(), bytes.begin(), bytes.end());
}

std::vector<LoopbackModel::ControlCall> LoopbackModel::Controls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return controls_;
}

void LoopbackModel::SetVendorInData(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    vendorIn_ = bytes;
}

std::vector<uint32_t> LoopbackModel::BulkSizes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bulkSizes_;
}

} // namespace linkpodtest
