// A firmware update cut off after every packet of the application and of the
// boot block: the writer is left on its old application or in its boot
// loader, and the next start-up of the window brings it to the new one,
// every chip as it was.
#include "tests/faults/FaultRig.h"

#include "app/ControlIds.h"
#include "sim/Firmware.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <numeric>

namespace faults {
namespace {

const sim::FirmwareVersion kShipped{9, 2, 0, 0, 0, 0};
constexpr size_t kBootSize = 8192;
constexpr size_t kPacket = 64;

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Sum(const uint8_t* data, size_t length) {
    return std::accumulate(data, data + length, 0u);
}

// The bytes an update puts on the wire, header by header.
struct UpdateWire {
    std::vector<uint8_t> appHeader, app, bootHeader, bootPackets;

    explicit UpdateWire(const std::vector<uint8_t>& file) {
        app.assign(file.begin() + kBootSize, file.end());
        appHeader.assign(kPacket, 0);
        appHeader[0] = 0x15;
        appHeader[1] = static_cast<uint8_t>(app.size());
        appHeader[2] = static_cast<uint8_t>(app.size() >> 8);
        Put32(appHeader, 3, Sum(app.data(), app.size()));
        Put32(appHeader, 7, 0x12345678);
        Put32(appHeader, 60, 0x87654321);
        bootHeader.assign(kPacket, 0);
        bootHeader[0] = 0x18;
        bootHeader[1] = static_cast<uint8_t>(kBootSize);
        bootHeader[2] = static_cast<uint8_t>(kBootSize >> 8);
        Put32(bootHeader, 3, Sum(file.data(), kBootSize));
        Put32(bootHeader, 60, 0x5A3C9E17);
        for (size_t k = 0; k < kBootSize / kPacket; ++k) {
            std::vector<uint8_t> packet(2 * kPacket, 0);
            Put32(packet, 0, 0x12345678);
            Put32(packet, 60, 0x87654321);
            std::copy(file.begin() + k * kPacket, file.begin() + (k + 1) * kPacket,
                      packet.begin() + kPacket);
            bootPackets.insert(bootPackets.end(), packet.begin(), packet.end());
        }
    }
};

class UpdateInterrupted : public ::testing::Test {
protected:
    // Sends `bytes` to the writer in USB packets, stopping after `packets`.
    static void Send(sim::Writer& writer, const std::vector<uint8_t>& bytes, size_t packets) {
        const std::atomic<bool> cancel{false};
        for (size_t at = 0, n = 0; at < bytes.size() && n < packets; at += kPacket, ++n)
            writer.Write(writer.Generation(), bytes.data() + at,
                         std::min(kPacket, bytes.size() - at), 0, cancel);
    }

    // Cuts the update off after `packets` packets of the application (boot
    // false) or of the boot block; returns what the writer was left on.
    static std::string CutAndRestart(const UpdateWire& wire, bool boot, size_t packets,
                                     std::string& failure) {
        Rig rig;
        rig.ShipFirmware(kShipped);
        sim::Writer& writer = *rig.writer;
        // An update writes no chip: the invariant with nothing reported.
        invariant::Observation before;
        before.chips = invariant::ChipsOf(writer);
        const std::atomic<bool> cancel{false};
        Send(writer, wire.appHeader, 1);
        Send(writer, wire.app, boot ? SIZE_MAX : packets);
        if (boot) {
            uint8_t ack = 0;
            writer.Read(writer.Generation(), &ack, 1, 0, cancel);
            Send(writer, wire.bootHeader, 1);
            Send(writer, wire.bootPackets, packets);
        }
        rig.bus->Unplug(writer.Member());
        rig.bus->Plug(writer.Member());
        const sim::FirmwareModel left = writer.Firmware();
        const std::string state = left.inBootLoader                      ? "boot loader"
                                  : left.version == sim::kFactoryVersion ? "old application"
                                  : left.version == kShipped             ? "new application"
                                                                         : "unknown";
        rig.Start({core::kIdYes});
        const sim::FirmwareModel now = writer.Firmware();
        if (now.inBootLoader || now.version != kShipped || !now.appValid)
            failure = "not recovered";
        else if (rig.host->Check(app::ids::kSocketBoxBase) != 1)
            failure = "not attached";
        invariant::Observation after;
        after.chips = invariant::ChipsOf(writer);
        for (const std::string& breach : invariant::Check(before, after, invariant::Report{}))
            failure += breach + "; ";
        return state;
    }
};

TEST_F(UpdateInterrupted, AtEveryPacketTheNextStartUpRecoversTheWriter) {
    const UpdateWire wire(sim::BuildFirmwareImage(kShipped));
    const size_t appPackets = (wire.app.size() + kPacket - 1) / kPacket;
    const size_t bootPackets = wire.bootPackets.size() / kPacket;
    std::map<std::string, int> left;
    int points = 0;
    for (int boot = 0; boot < 2; ++boot) {
        const size_t last = boot ? bootPackets : appPackets;
        for (size_t packets = 0; packets < last; ++packets) {
            std::string failure;
            const std::string state = CutAndRestart(wire, boot != 0, packets, failure);
            ++points;
            ++left[(boot ? "boot: " : "application: ") + state];
            EXPECT_TRUE(state == "old application" || state == "boot loader")
                << (boot ? "boot" : "application") << " packet " << packets << ": " << state;
            EXPECT_EQ(failure, "") << (boot ? "boot" : "application") << " packet " << packets;
        }
    }
    std::printf("update cut at %d points (%zu application, %zu boot packets)\n", points, appPackets,
                bootPackets);
    for (const auto& [state, count] : left)
        std::printf("  left on %-28s %d\n", state.c_str(), count);
}

} // namespace
} // namespace faults
