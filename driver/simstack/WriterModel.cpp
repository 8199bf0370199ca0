#include "driver/simstack/WriterModel.h"

#include "sim/Descriptors.h"

namespace driver::simstack {
namespace {

thread_local int g_insideTransfer = 0;

struct TransferScope {
    TransferScope() { ++g_insideTransfer; }
    ~TransferScope() { --g_insideTransfer; }
};

} // namespace

WriterModel::WriterModel(std::shared_ptr<sim::Writer> writer)
    : writer_(std::move(writer)), generation_(writer_->Generation()) {}

void WriterModel::SetHostLimit(bool in, uint32_t timeoutMs) {
    (in ? inLimit_ : outLimit_).store(timeoutMs);
}

bool WriterModel::InsideTransfer() {
    return g_insideTransfer != 0;
}

std::vector<uint8_t> WriterModel::DeviceDescriptor() {
    return sim::DeviceDescriptor(writer_->Config());
}

std::vector<uint8_t> WriterModel::ConfigurationDescriptor() {
    return sim::ConfigurationDescriptor();
}

std::vector<uint8_t> WriterModel::StringDescriptor(uint8_t index, uint16_t) {
    return sim::StringDescriptor(writer_->Config(), index);
}

kshim::UsbResult WriterModel::BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) {
    if (endpoint != kOutEndpoint)
        return kshim::UsbResult::Stall();
    return Transfer(false, nullptr, data, length);
}

kshim::UsbResult WriterModel::BulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) {
    if (endpoint != kInEndpoint)
        return kshim::UsbResult::Stall();
    return Transfer(true, data, nullptr, length);
}

kshim::UsbResult WriterModel::Control(const kshim::UsbSetup&, uint8_t*) {
    // The writer answers no vendor requests on its control pipe.
    return kshim::UsbResult::Stall();
}

kshim::UsbResult WriterModel::Transfer(bool in, uint8_t* readData, const uint8_t* writeData,
                                       uint32_t length) {
    if (writer_->Generation() != generation_)
        return {USBD_STATUS_DEVICE_GONE, 0};
    const uint32_t limit = (in ? inLimit_ : outLimit_).load();
    sim::Writer::Transfer result;
    {
        TransferScope inside;
        result = writer_->Submit(in, generation_, readData, writeData, length, limit);
    }
    if (result.pending)
        return kshim::UsbResult::Nak();
    if (result.outcome == sim::Writer::Outcome::Done)
        return kshim::UsbResult::Ok(static_cast<uint32_t>(result.transferred));
    if (writer_->Generation() != generation_)
        return {USBD_STATUS_DEVICE_GONE, 0};
    // The writer refuses (nothing to answer, an injected failure): a stall,
    // which the driver clears with a pipe reset before the next transfer.
    return kshim::UsbResult::Stall();
}

} // namespace driver::simstack
