// The full-speed timing model: frames at their edges, the host turnaround,
// the writer's programming time, and how it is switched on.
#include "sim/WireModel.h"
#include "sim/Bus.h"
#include "sim/StateFile.h"

#include <gtest/gtest.h>

namespace simtest {
namespace {

class WireModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::WireSettings settings;
        settings.on = true;
        settings.turnaroundMs = 0;
        settings.programNsPerByte = 2500;
        wire.Configure(settings);
    }
    // Wire milliseconds one call of `step` takes.
    template <class Step> uint64_t Took(Step step) {
        const uint64_t before = wire.NowMs();
        step();
        return wire.NowMs() - before;
    }

    port::ManualClock clock{5000};
    sim::WireModel wire{clock};
};

TEST_F(WireModelTest, TransfersTakeWholeFramesOfNineteenPackets) {
    EXPECT_EQ(Took([&] { wire.Carry(0, 19 * 64, 0); }), 1u);
    EXPECT_EQ(Took([&] { wire.Carry(0, 20 * 64, 0); }), 2u);
    EXPECT_EQ(Took([&] { wire.Carry(0, 38 * 64, 0); }), 2u);
    // A short packet ends the transfer: 19 full packets and 1 byte are 20.
    EXPECT_EQ(Took([&] { wire.Carry(0, 19 * 64 + 1, 0); }), 2u);
    EXPECT_EQ(Took([&] { wire.Carry(0, 18 * 64 + 63, 0); }), 1u);
    // A zero-length or refused transfer still takes its frame.
    EXPECT_EQ(Took([&] { wire.Carry(0, 0, 0); }), 1u);
    EXPECT_EQ(clock.NowMs(), 5000u + wire.NowMs()) << "the bus clock moves with the wire";
}

TEST_F(WireModelTest, TurnaroundAndProgrammingDelayTheNextTransfer) {
    sim::WireSettings settings = wire.Settings();
    settings.turnaroundMs = 3;
    wire.Configure(settings);
    // The host waits its turnaround; a stage the driver re-arms does not.
    EXPECT_EQ(Took([&] {
                  wire.HostStarts();
                  wire.Carry(0, 64, 0);
              }),
              4u);
    EXPECT_EQ(Took([&] { wire.Carry(0, 64, 0); }), 1u);

    // A 4000-byte step at 2.5 us per byte keeps writer 1 busy for 10 ms past
    // the command's frame; writer 2 is not held up by it.
    EXPECT_EQ(Took([&] { wire.Carry(1, 64, 4000); }), 1u);
    EXPECT_EQ(Took([&] { wire.Carry(2, 64, 0); }), 1u);
    EXPECT_EQ(Took([&] { wire.Carry(1, 64, 0); }), 10u);

    settings.on = false;
    wire.Configure(settings);
    EXPECT_EQ(Took([&] { wire.Carry(0, 1 << 20, 0); }), 0u);
}

TEST(WireSettingsText, ReadsWhatItWritesAndNamesWhatItRefuses) {
    sim::WireSettings settings;
    std::string error;
    ASSERT_TRUE(sim::ParseWireSettings("turnaround-ms=2,program-ns-per-byte=40", settings, error));
    EXPECT_TRUE(settings.on);
    EXPECT_EQ(settings.turnaroundMs, 2u);
    EXPECT_EQ(settings.programNsPerByte, 40u);
    sim::WireSettings back;
    ASSERT_TRUE(sim::ParseWireSettings(sim::FormatWireSettings(settings), back, error));
    EXPECT_EQ(back, settings);
    ASSERT_TRUE(sim::ParseWireSettings("on", back, error));
    EXPECT_EQ(back.turnaroundMs, 1u);
    ASSERT_TRUE(sim::ParseWireSettings("off", back, error));
    EXPECT_FALSE(back.on);

    EXPECT_FALSE(sim::ParseWireSettings("turnaround-ms=fast", back, error));
    EXPECT_NE(error.find("turnaround-ms=fast"), std::string::npos) << error;
    EXPECT_FALSE(sim::ParseWireSettings("speed=3", back, error));
    EXPECT_NE(error.find("\"speed\""), std::string::npos) << error;
    EXPECT_FALSE(back.on) << "a refused text changes nothing";

    // The state file keeps the setting; a file without the line is off.
    std::vector<sim::SavedWriter> writers(1);
    sim::WireSettings read;
    ASSERT_TRUE(sim::ParseState(sim::FormatState(writers, &settings), writers, error, &read))
        << error;
    EXPECT_EQ(read, settings);
    ASSERT_TRUE(sim::ParseState(sim::FormatState(writers), writers, error, &read)) << error;
    EXPECT_FALSE(read.on);
}

} // namespace
} // namespace simtest
