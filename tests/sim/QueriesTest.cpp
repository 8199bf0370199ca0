// Detection and the link's queries: the answers that make the program take
// the simulated writer for ICE body types 8 and 11.
#include "SimHost.h"

#include "sim/Firmware.h"

namespace simtest {
namespace {

constexpr uint32_t kKey = 0x5A3C9E17;

Bytes Query(std::initializer_list<uint8_t> head) {
    Bytes p = Packet(head);
    p[60] = uint8_t(kKey);
    p[61] = uint8_t(kKey >> 8);
    p[62] = uint8_t(kKey >> 16);
    p[63] = uint8_t(kKey >> 24);
    return p;
}

class SimQueries : public SimHostTest {};

TEST_F(SimQueries, DetectionAnswersZeroToSixteenBytesAndTheFamilyByteToOne) {
    Send(Packet({0x0A, 0x40}));
    const Bytes first = ReceiveOk(16);
    EXPECT_EQ(first[0], 0x00) << Dump(first);
    Send(Packet({0x0A, 0x40}));
    EXPECT_EQ(ReceiveOk(1), Bytes{0x51});
    // The answer is used up by its read: a second read stalls.
    Bytes again;
    EXPECT_EQ(Receive(1, again), Outcome::Failed);
}

TEST_F(SimQueries, LevelIsAboveSevenAndTypeByteIsTheConfiguredOne) {
    Send(Query({0x0A, 0x01}));
    const Bytes reply = ReceiveOk(64);
    EXPECT_GT(Le16(reply, 0), 7) << Dump(reply);
    Send(Query({0x1B}));
    EXPECT_EQ(ReceiveOk(1), Bytes{7});

    sim::WriterConfig six;
    six.deviceType = 6;
    auto other = bus_->AddWriter(six);
    Send(Query({0x1B}), other);
    EXPECT_EQ(ReceiveOk(1, other), Bytes{6});
}

TEST_F(SimQueries, VersionReplyCarriesVersionSerialAndApplicationCheckSum) {
    Send(Query({0x0A, 0x01, 0x00, 0x80}));
    const Bytes r = ReceiveOk(64);
    const auto fw = writer_->Firmware();
    EXPECT_EQ(Le16(r, 0), sim::kFactoryVersion[0]);
    EXPECT_EQ(Le16(r, 2), sim::kFactoryVersion[1]);
    EXPECT_EQ(Le16(r, 4), sim::kFactoryVersion[2]);
    EXPECT_EQ(Le16(r, 6), sim::kFactoryVersion[3]);
    EXPECT_EQ(Le32(r, 8), writer_->Config().serial);
    EXPECT_EQ(Le32(r, 12), fw.appCheckSum);
    EXPECT_NE(fw.appCheckSum, 0u);
    EXPECT_EQ(Le16(r, 16), sim::kFactoryVersion[4]);
    EXPECT_EQ(Le16(r, 18), sim::kFactoryVersion[5]);
    // The factory application is the one BuildFirmwareImage makes for the factory version.
    const auto image = sim::BuildFirmwareImage(sim::kFactoryVersion);
    EXPECT_EQ(sim::FirmwareFromImage(image).appCheckSum, fw.appCheckSum);
}

TEST_F(SimQueries, ModeAnd2FAnd30QueriesAnswer) {
    Send(Query({0x0A}));
    EXPECT_EQ(ReceiveOk(1), Bytes{0x01});
    writer_->RemoveChip(4);
    Send(Query({0x2F}));
    const Bytes q2f = ReceiveOk(10);
    EXPECT_EQ(q2f[0], 16);
    EXPECT_EQ(q2f[1], 15);
    Send(Query({0x30}));
    EXPECT_EQ(ReceiveOk(10)[0], 0x02);
}

TEST_F(SimQueries, ReadsWithoutAnAnswerStallAndLongReadsComeShort) {
    Bytes reply;
    EXPECT_EQ(Receive(64, reply), Outcome::Failed);
    EXPECT_TRUE(reply.empty());
    // A command without a reply leaves nothing to read.
    Send(Packet({0x27, 1, 0, 2, 0}));
    EXPECT_EQ(Receive(1, reply), Outcome::Failed);
    // A reply is delivered in pieces when read in pieces, and a read past its end is short.
    Send(Query({0x1B}));
    EXPECT_EQ(Receive(4, reply), Outcome::Done);
    EXPECT_EQ(reply, Bytes{7});
    Send(Packet({0x07}));
    EXPECT_EQ(Receive(40, reply), Outcome::Done);
    EXPECT_EQ(reply.size(), 40u);
    EXPECT_EQ(Receive(40, reply), Outcome::Done);
    EXPECT_EQ(reply.size(), 24u);
}

TEST_F(SimQueries, ANewCommandDropsTheUnreadReply) {
    Send(Query({0x1B}));
    Send(Packet({0x07}));
    const Bytes status = ReceiveOk(64);
    EXPECT_EQ(status.size(), 64u);
}

} // namespace
} // namespace simtest
