// Whole exchanges in the order the program runs them, one pipe open per
// transfer: finding a writer among several, attaching, loading, a pass,
// the information block and read-back, then a firmware update.
#include "SimHost.h"

#include "sim/Firmware.h"

namespace simtest {
namespace {

class SimSession : public SimHostTest {
protected:
    // The program's acceptance for ICE body type 11 (first answer 0, second
    // 0x51, level above 7, type byte 6 or 7) on member `member`.
    bool AcceptsAsWriterEngine(const std::shared_ptr<sim::Writer>& w) {
        Send(Packet({0x0A, 0x40}), w);
        Bytes first;
        if (Receive(16, first, 500, w) != Outcome::Done || first.at(0) != 0)
            return false;
        Send(Packet({0x0A, 0x40}), w);
        Bytes second;
        if (Receive(1, second, 500, w) != Outcome::Done || second != Bytes{0x51})
            return false;
        Send(Packet({0x0A, 0x01}), w);
        Bytes level;
        if (Receive(64, level, 500, w) != Outcome::Done || Le16(level, 0) <= 7)
            return false;
        Send(Packet({0x1B}), w);
        Bytes type;
        return Receive(1, type, 500, w) == Outcome::Done && (type[0] == 6 || type[0] == 7);
    }
    uint32_t Sum(const Bytes& b) {
        uint32_t s = 0;
        for (auto x : b)
            s += x;
        return s;
    }
};

TEST_F(SimSession, EveryWriterOnABusWithGapsIsFoundAndAccepted) {
    sim::WriterConfig six;
    six.member = 4;
    six.deviceType = 6;
    bus_->AddWriterWithChips(six);
    std::vector<std::string> found;
    for (uint32_t i = 0; i < 100; ++i) {
        std::string path;
        if (io_->InterfaceMember(port::kWriterInterfaceClass, i, path) && io_->Open(path))
            found.push_back(path);
    }
    ASSERT_EQ(found.size(), 2u);
    for (const auto& path : found)
        EXPECT_TRUE(AcceptsAsWriterEngine(bus_->WriterByPath(path))) << path;
}

TEST_F(SimSession, AttachLoadPassInformationAndReadBack) {
    writer_->RemoveChip(2);
    // Attach: scan, status, reset states of sockets with chips.
    Send(Packet({0x26}));
    auto states = Status();
    EXPECT_EQ(states[2], 0);
    uint16_t mask = 0;
    for (int i = 0; i < 16; ++i)
        if (states[i] == 1)
            mask |= uint16_t(1u << i);
    EXPECT_EQ(mask, 0xFFFB);
    writer_->FailSocket(9, sim::Operation::Program);

    // Load the word image of a 342-byte chip image of body 12 (pairs and a
    // check byte), 513 bytes: 768 announced, 12 writes.
    Bytes chip(342);
    for (size_t i = 0; i < chip.size(); ++i)
        chip[i] = uint8_t(0x5A ^ i);
    Bytes image;
    for (size_t i = 0; i < chip.size(); i += 2)
        image.insert(image.end(), {chip[i], chip[i + 1], uint8_t(chip[i] + chip[i + 1])});
    SendMasked(Packet({0x22}), mask);
    SendMasked(AddressPacket(0x21, 513), mask);
    LoadBuffer(image, mask);
    Bytes verify = AddressPacket(0x24, 513);
    const uint32_t sum = Sum(image);
    for (int i = 0; i < 4; ++i)
        verify[5 + i] = uint8_t(sum >> (8 * i));
    SendMasked(verify, mask);
    states = Status();
    for (int i = 0; i < 16; ++i) {
        if (mask & (1u << i)) {
            EXPECT_EQ(states[i], 1) << i;
        }
    }

    // The pass: blank check over the body's OTP, program and verify to the last unit.
    SendMasked(AddressPacket(0x1E, 2047, 12), mask);
    SendMasked(AddressPacket(0x1F, 341, 12), mask);
    states = Status();
    EXPECT_EQ(states[9], 3);
    mask &= uint16_t(~(1u << 9));
    SendMasked(AddressPacket(0x20, 341, 12), mask);
    states = Status();
    for (int i = 0; i < 16; ++i) {
        if (mask & (1u << i)) {
            EXPECT_EQ(states[i], 1) << i;
        }
    }

    // Counters and the information block, read back equal.
    Send(Packet({0x27, 14, 0, 1, 0}));
    Bytes block(192, 0);
    block[3] = 0x21;
    Send(Packet({0x25, 192}));
    Send(block);
    Send(Packet({0x2A, 192, 0, 0, 0, 5}));
    Send(Packet({}));
    EXPECT_EQ(ReceiveOk(192), block);

    // Read back the first chip: the chip image, then blank up to the read size.
    Send(AddressPacket(0x2E, 2047, 12));
    const Bytes read = ReceiveOk(4096);
    EXPECT_TRUE(std::equal(chip.begin(), chip.end(), read.begin()));
    EXPECT_EQ(read[342], 0xFF);
    EXPECT_EQ(read[4095], 0xFF);
}

TEST_F(SimSession, FirmwareUpdateThroughTheBootLoaderFallback) {
    // A failed update leaves the boot loader: type 11 refuses it, the type query says 0.
    Bytes bad = Packet({0x15, 0x10, 0x00});
    Send(bad);
    Bytes ack;
    EXPECT_EQ(Receive(1, ack), Outcome::Failed);
    EXPECT_FALSE(AcceptsAsWriterEngine(writer_));
    Send(Packet({0x1B}));
    EXPECT_EQ(ReceiveOk(1), Bytes{0});
    // The update with a proper image brings the writer engine's writer back.
    const auto image = sim::BuildFirmwareImage({12, 0, 0, 0, 0, 0}, 0x5000);
    const Bytes app(image.begin() + sim::kBootSize, image.end());
    Bytes header = Packet({0x15, uint8_t(app.size()), uint8_t(app.size() >> 8)});
    const uint32_t appSum = Sum(app);
    for (int i = 0; i < 4; ++i) {
        header[3 + i] = uint8_t(appSum >> (8 * i));
        header[7 + i] = uint8_t(sim::kMarkerA >> (8 * i));
        header[60 + i] = uint8_t(sim::kMarkerB >> (8 * i));
    }
    Send(header);
    Send(app);
    EXPECT_EQ(ReceiveOk(1), Bytes{0x01});
    const Bytes boot(image.begin(), image.begin() + sim::kBootSize);
    Bytes bootHeader = Packet({0x18, 0x00, 0x20});
    const uint32_t bootSum = Sum(boot);
    for (int i = 0; i < 4; ++i) {
        bootHeader[3 + i] = uint8_t(bootSum >> (8 * i));
        bootHeader[60 + i] = uint8_t(sim::kRequestKey >> (8 * i));
    }
    Send(bootHeader);
    Bytes packets(16384, 0);
    for (size_t k = 0; k < 128; ++k) {
        for (int i = 0; i < 4; ++i) {
            packets[128 * k + i] = uint8_t(sim::kMarkerA >> (8 * i));
            packets[128 * k + 60 + i] = uint8_t(sim::kMarkerB >> (8 * i));
        }
        std::copy(boot.begin() + 64 * k, boot.begin() + 64 * (k + 1),
                  packets.begin() + 128 * k + 64);
    }
    // The link may cut the packets into pieces of any size.
    for (size_t at = 0; at < packets.size(); at += 1000)
        Send(Bytes(packets.begin() + at, packets.begin() + std::min<size_t>(at + 1000, 16384)));
    EXPECT_TRUE(AcceptsAsWriterEngine(writer_));
    Send(Packet({0x0A, 0x01}));
    EXPECT_EQ(Le16(ReceiveOk(64), 0), 12);
}

} // namespace
} // namespace simtest
