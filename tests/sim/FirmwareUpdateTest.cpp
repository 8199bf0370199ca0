// Application and boot updates: a good pair changes the version; a bad or
// interrupted one leaves the boot loader, which still answers detection and
// takes a new update.
#include "SimHost.h"

#include "sim/Firmware.h"

namespace simtest {
namespace {

constexpr uint32_t kKey = 0x5A3C9E17;

void PutLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

uint32_t Sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s += p[i];
    return s;
}

class SimFirmwareUpdate : public SimHostTest {
protected:
    const sim::FirmwareVersion kNew{10, 2, 3, 4, 5, 6};

    // The application step as the updater sends it; true when its
    // one-byte acknowledgement can be read.
    bool SendApp(const Bytes& image, int corrupt = -1) {
        const Bytes app(image.begin() + sim::kBootSize, image.end());
        Bytes header = Packet({0x15, uint8_t(app.size()), uint8_t(app.size() >> 8)});
        PutLe32(header, 3, Sum(app.data(), app.size()));
        PutLe32(header, 7, sim::kMarkerA);
        PutLe32(header, 60, sim::kMarkerB);
        Send(header);
        Bytes sent = app;
        if (corrupt >= 0)
            sent[size_t(corrupt)] ^= 0x01;
        Send(sent);
        Bytes ack;
        return Receive(1, ack) == Outcome::Done;
    }

    void SendBoot(const Bytes& image, bool corrupt = false) {
        Bytes header = Packet({0x18, 0x00, 0x20});
        PutLe32(header, 3, Sum(image.data(), sim::kBootSize));
        PutLe32(header, 60, kKey);
        Send(header);
        Bytes packets(2 * sim::kBootSize, 0);
        for (size_t k = 0; k < sim::kBootSize / 64; ++k) {
            PutLe32(packets, 128 * k, sim::kMarkerA);
            PutLe32(packets, 128 * k + 60, sim::kMarkerB);
            std::copy(image.begin() + 64 * k, image.begin() + 64 * k + 64,
                      packets.begin() + 128 * k + 64);
        }
        if (corrupt)
            packets[64] ^= 0x01;
        Send(packets);
    }

    Bytes Version() {
        Send(Packet({0x0A, 0x01}));
        return ReceiveOk(64);
    }

    // What Open with ICE body type 8 needs: first answer 0, second 0x51.
    bool DetectedAsFamily() {
        Send(Packet({0x0A, 0x40}));
        Bytes first;
        if (Receive(16, first) != Outcome::Done || first.empty() || first[0] != 0)
            return false;
        Send(Packet({0x0A, 0x40}));
        Bytes second;
        return Receive(1, second) == Outcome::Done && second == Bytes{0x51};
    }
};

TEST_F(SimFirmwareUpdate, AGoodUpdateChangesTheVersionAndTheApplicationCheckSum) {
    const Bytes image = sim::BuildFirmwareImage(kNew);
    ASSERT_TRUE(SendApp(image));
    EXPECT_TRUE(writer_->InBootLoader()) << "the writer restarts only after the boot step";
    SendBoot(image);
    EXPECT_FALSE(writer_->InBootLoader());
    const Bytes v = Version();
    EXPECT_EQ(Le16(v, 0), 10);
    EXPECT_EQ(Le16(v, 2), 2);
    EXPECT_EQ(Le16(v, 4), 3);
    EXPECT_EQ(Le16(v, 6), 4);
    EXPECT_EQ(Le16(v, 16), 5);
    EXPECT_EQ(Le16(v, 18), 6);
    EXPECT_EQ(Le32(v, 12), Sum(image.data() + sim::kBootSize, image.size() - sim::kBootSize));
    Send(Packet({0x1B}));
    EXPECT_EQ(ReceiveOk(1), Bytes{7});
}

TEST_F(SimFirmwareUpdate, ABadApplicationChecksumLeavesARecoverableBootLoader) {
    const Bytes image = sim::BuildFirmwareImage(kNew);
    EXPECT_FALSE(SendApp(image, 100)) << "the acknowledgement read fails";
    EXPECT_TRUE(writer_->InBootLoader());
    EXPECT_TRUE(DetectedAsFamily());
    // The boot loader reports level 0, type 0, a version not all zero, and
    // answers no engine command.
    const Bytes v = Version();
    EXPECT_LE(Le16(v, 0), 7);
    EXPECT_NE(Le16(v, 0) | Le16(v, 2) | Le16(v, 4) | Le16(v, 6), 0);
    EXPECT_EQ(Le32(v, 12), 0u);
    Send(Packet({0x1B}));
    EXPECT_EQ(ReceiveOk(1), Bytes{0});
    Send(Packet({0x07}));
    Bytes status;
    EXPECT_EQ(Receive(64, status), Outcome::Failed);
    // A power cycle does not help; a good update does.
    bus_->Unplug(0);
    bus_->Plug(0);
    EXPECT_TRUE(writer_->InBootLoader());
    ASSERT_TRUE(SendApp(image));
    SendBoot(image);
    EXPECT_FALSE(writer_->InBootLoader());
    EXPECT_EQ(Le16(Version(), 0), 10);
}

TEST_F(SimFirmwareUpdate, ABadBootBlockKeepsTheBootLoaderUntilAGoodOne) {
    const Bytes image = sim::BuildFirmwareImage(kNew);
    ASSERT_TRUE(SendApp(image));
    SendBoot(image, true);
    EXPECT_TRUE(writer_->InBootLoader());
    bus_->Unplug(0);
    bus_->Plug(0);
    EXPECT_TRUE(writer_->InBootLoader());
    SendBoot(image);
    EXPECT_FALSE(writer_->InBootLoader());
}

TEST_F(SimFirmwareUpdate, AnUnplugDuringTheApplicationLeavesTheBootLoader) {
    const Bytes image = sim::BuildFirmwareImage(kNew);
    const Bytes app(image.begin() + sim::kBootSize, image.end());
    Bytes header = Packet({0x15, uint8_t(app.size()), uint8_t(app.size() >> 8)});
    PutLe32(header, 3, Sum(app.data(), app.size()));
    PutLe32(header, 7, sim::kMarkerA);
    PutLe32(header, 60, sim::kMarkerB);
    Send(header);
    Send(Bytes(app.begin(), app.begin() + 1000));
    bus_->Unplug(0);
    bus_->Plug(0);
    EXPECT_TRUE(writer_->InBootLoader());
    EXPECT_TRUE(DetectedAsFamily()) << "after power-up the bytes are commands again";
    ASSERT_TRUE(SendApp(image));
    SendBoot(image);
    EXPECT_FALSE(writer_->InBootLoader());
}

// Boot block and application share the controller's 64 KiB of code memory.
TEST_F(SimFirmwareUpdate, AnApplicationMustFitTheCodeMemoryBesideTheBootBlock) {
    const Bytes largest = sim::BuildFirmwareImage(kNew, 0x10000 - sim::kBootSize);
    ASSERT_TRUE(SendApp(largest));
    SendBoot(largest);
    EXPECT_EQ(writer_->Firmware().appSize, 0xE000u);
    EXPECT_FALSE(writer_->InBootLoader());
    // Its size field would hold only the low 16 bits: it is refused all the same.
    EXPECT_FALSE(SendApp(sim::BuildFirmwareImage(kNew, 0x10010)));
    EXPECT_TRUE(writer_->InBootLoader());
}

TEST_F(SimFirmwareUpdate, AnApplicationTooShortToHoldAVersionIsRefused) {
    Bytes image(sim::kBootSize + 0x100, 0x11);
    EXPECT_FALSE(SendApp(image));
    EXPECT_TRUE(writer_->InBootLoader());
}

TEST_F(SimFirmwareUpdate, BuiltImagesCarryTheirVersionBigEndianAt0x6000) {
    const Bytes image = sim::BuildFirmwareImage({1, 2, 3, 4, 0, 0});
    EXPECT_EQ(Bytes(image.begin() + 0x6000, image.begin() + 0x6008),
              (Bytes{0, 1, 0, 2, 0, 3, 0, 4}));
    EXPECT_EQ(sim::FirmwareFromImage(image).version, (sim::FirmwareVersion{1, 2, 3, 4, 0, 0}));
    EXPECT_NE(sim::BuildFirmwareImage({1, 2, 3, 5, 0, 0}), image);
}

} // namespace
} // namespace simtest
