#include "SimHost.h"

#include <cstdio>

namespace simtest {

Bytes Packet(std::initializer_list<uint8_t> head) {
    Bytes packet(64, 0);
    std::copy(head.begin(), head.end(), packet.begin());
    return packet;
}

Bytes AddressPacket(uint8_t command, uint32_t value, uint8_t code) {
    return Packet({command, uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                   uint8_t(value >> 24), code});
}

Bytes MaskPacket(uint16_t mask) {
    return Packet({uint8_t(mask), uint8_t(mask >> 8)});
}

uint16_t Le16(const Bytes& b, size_t at) {
    return uint16_t(b.at(at) | b.at(at + 1) << 8);
}

uint32_t Le32(const Bytes& b, size_t at) {
    return Le16(b, at) | uint32_t(Le16(b, at + 2)) << 16;
}

std::string Dump(const Bytes& bytes) {
    std::string out;
    char hex[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%02x ", bytes[i]);
        out += hex;
        if (i % 16 == 15)
            out += '\n';
    }
    return out;
}

SimHostTest::SimHostTest()
    : bus_(std::make_shared<sim::Bus>(clock_)), io_(std::make_unique<sim::SimDeviceIo>(bus_)),
      writer_(bus_->AddWriterWithChips()) {}

void SimHostTest::Send(const Bytes& bytes, const std::shared_ptr<sim::Writer>& writer) {
    const auto& target = writer ? writer : writer_;
    auto pipe = io_->Open(target->InterfacePath() + "\\PIPE01");
    ASSERT_NE(pipe, nullptr);
    size_t done = 0;
    ASSERT_EQ(pipe->Write(bytes.data(), bytes.size(), 0, done), Outcome::Done) << Dump(bytes);
    ASSERT_EQ(done, bytes.size());
}

Outcome SimHostTest::Receive(size_t size, Bytes& reply, uint32_t timeoutMs,
                             const std::shared_ptr<sim::Writer>& writer) {
    const auto& target = writer ? writer : writer_;
    auto pipe = io_->Open(target->InterfacePath() + "\\PIPE00");
    reply.assign(size, 0);
    if (!pipe)
        return Outcome::Failed;
    size_t done = 0;
    const Outcome outcome = pipe->Read(reply.data(), size, timeoutMs, done);
    reply.resize(done);
    return outcome;
}

Bytes SimHostTest::ReceiveOk(size_t size, const std::shared_ptr<sim::Writer>& writer) {
    Bytes reply;
    EXPECT_EQ(Receive(size, reply, 0, writer), Outcome::Done);
    EXPECT_EQ(reply.size(), size) << Dump(reply);
    return reply;
}

void SimHostTest::SendMasked(const Bytes& command, uint16_t mask) {
    Send(command);
    Send(MaskPacket(mask));
}

std::vector<int> SimHostTest::Status() {
    Send(Packet({0x07}));
    const Bytes reply = ReceiveOk(64);
    std::vector<int> states(16, -1);
    if (reply.size() == 64)
        for (int i = 0; i < 8; ++i) {
            states[i] = reply[2 * i];
            states[i + 8] = reply[2 * i + 1];
        }
    return states;
}

void SimHostTest::LoadBuffer(const Bytes& image, uint16_t mask) {
    const uint32_t length = uint32_t((image.size() + 255) / 256 * 256);
    SendMasked(AddressPacket(0x23, length), mask);
    Bytes block(length, 0xFF);
    std::copy(image.begin(), image.end(), block.begin());
    for (size_t at = 0; at < length; at += 64)
        Send(Bytes(block.begin() + at, block.begin() + at + 64));
}

} // namespace simtest
