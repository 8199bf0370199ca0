// Test fixture: a simulated bus on virtual time, reached the way the program
// reaches it, through the "sim" device backend and its pipe paths.
#pragma once

#include "port/Clock.h"
#include "sim/Bus.h"
#include "sim/SimDeviceIo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;
using Outcome = port::DeviceHandle::Outcome;

// A 64-byte packet with `head` at its start and zeros after.
Bytes Packet(std::initializer_list<uint8_t> head);
// A command packet whose bytes 1..4 hold `value` little-endian and byte 5 `code`.
Bytes AddressPacket(uint8_t command, uint32_t value, uint8_t code = 0);
Bytes MaskPacket(uint16_t mask);
uint16_t Le16(const Bytes& bytes, size_t at);
uint32_t Le32(const Bytes& bytes, size_t at);
std::string Dump(const Bytes& bytes);

class SimHostTest : public ::testing::Test {
protected:
    SimHostTest();

    // Writes to the writer's OUT pipe; expects the write to succeed.
    void Send(const Bytes& bytes, const std::shared_ptr<sim::Writer>& writer = nullptr);
    // Reads `size` bytes from the IN pipe.
    Outcome Receive(size_t size, Bytes& reply, uint32_t timeoutMs = 0,
                    const std::shared_ptr<sim::Writer>& writer = nullptr);
    Bytes ReceiveOk(size_t size, const std::shared_ptr<sim::Writer>& writer = nullptr);
    // A masked command followed by its mask packet.
    void SendMasked(const Bytes& command, uint16_t mask);
    // The status reply decoded into 16 socket states.
    std::vector<int> Status();
    // Loads `image` into the buffers of `mask` (0x23 + data, in 64-byte writes).
    void LoadBuffer(const Bytes& image, uint16_t mask);

    port::ManualClock clock_;
    std::shared_ptr<sim::Bus> bus_;
    std::unique_ptr<sim::SimDeviceIo> io_;
    std::shared_ptr<sim::Writer> writer_;
};

} // namespace simtest
