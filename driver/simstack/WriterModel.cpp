#include "driver/simstack/WriterModel.h"

namespace driver::simstack {
namespace {

thread_local int g_insideTransfer = 0;

struct TransferScope {
    TransferScope() { ++g_insideTransfer; }
    ~TransferScope() { --g_insideTransfer; }
};

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
    out[at] = static_cast<uint8_t>(value & 0xFF);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

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
    // USB 2.0, vendor-specific class, one configuration, 64-byte control pipe.
    std::vector<uint8_t> d = {18, 1, 0, 2, 0xFF, 0, 0, 64, 0, 0, 0, 0, 0, 1, 1, 2, 3, 1};
    Put16(d, 8, writer_->Config().vendorId);
    Put16(d, 10, writer_->Config().productId);
    return d;
}

std::vector<uint8_t> WriterModel::ConfigurationDescriptor() {
    std::vector<uint8_t> c = {
        9, 2,    0,
        0, 1,    1,
        0, 0x80, 50, // configuration, bus powered 100 mA
        9, 4,    0,
        0, 2,    0xFF,
        0, 0,    0, // interface 0 with two endpoints
        7, 5,    kInEndpoint,
        2, 0,    0,
        0, // bulk IN
        7, 5,    kOutEndpoint,
        2, 0,    0,
        0, // bulk OUT
    };
    Put16(c, 2, static_cast<uint16_t>(c.size()));
    Put16(c, 22, kMaxPacket);
    Put16(c, 29, kMaxPacket);
    return c;
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
