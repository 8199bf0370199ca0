// Byte-exact checks of the writer's packets and of the information block.
#include "engine/Packets.h"
#include "tests/engine/ScriptedLink.h"

#include <gtest/gtest.h>

namespace engine {
namespace {

using enginetest::HexDump;

// Compares a built packet with the expected leading bytes (the rest must be
// zero) and dumps both on a mismatch.
void ExpectPacket(const Packet& built, std::initializer_list<uint8_t> head) {
    Packet expected{};
    std::copy(head.begin(), head.end(), expected.begin());
    EXPECT_EQ(built, expected) << "expected:\n"
                               << HexDump(expected.data(), expected.size()) << "\nbuilt:\n"
                               << HexDump(built.data(), built.size());
}

TEST(WriterPackets, CommandsCarryTheirFieldsLittleEndianAndZerosElsewhere) {
    ExpectPacket(CommandPacket(kCmdReadStatus), {0x07});
    ExpectPacket(CommandPacket(kCmdScanSockets), {0x26});
    ExpectPacket(CommandPacket(kCmdEraseBuffer), {0x22});
    // End address and firmware body code.
    ExpectPacket(AddressCommand(kCmdBlankCheckOTP, 0x00000FFF, 0x12),
                 {0x1E, 0xFF, 0x0F, 0x00, 0x00, 0x12});
    ExpectPacket(AddressCommand(kCmdProgramOTP, 0x01020304, 0x80),
                 {0x1F, 0x04, 0x03, 0x02, 0x01, 0x80});
    ExpectPacket(AddressCommand(kCmdReadOTP, 0xFFFFFFFF, 0x00), {0x2E, 0xFF, 0xFF, 0xFF, 0xFF});
    // Lengths, with and without the mode byte.
    ExpectPacket(AddressCommand(kCmdLoadBuffer, 0x400), {0x23, 0x00, 0x04, 0x00, 0x00});
    ExpectPacket(AddressCommand(kCmdSetInfo, 192), {0x25, 0xC0});
    ExpectPacket(AddressCommand(kCmdGetInfo, 192, kInfoModeDefault), {0x2A, 0xC0, 0, 0, 0, 0x05});
    ExpectPacket(AddressCommand(kCmdSetOTPInfo, 192, kInfoModeAlternate),
                 {0x1C, 0xC0, 0, 0, 0, 0x07});
    ExpectPacket(VerifyBufferCommand(0x00012345, 0xA1B2C3D4, 0x21),
                 {0x24, 0x45, 0x23, 0x01, 0x00, 0xD4, 0xC3, 0xB2, 0xA1, 0x21});
    ExpectPacket(SetCountersCommand(0x1234, 0xFFFE), {0x27, 0x34, 0x12, 0xFE, 0xFF});
}

TEST(WriterPackets, SocketStatesPutSocketIAtByteOnePlusI) {
    std::array<uint8_t, kSocketCount> states{};
    for (size_t i = 0; i < kSocketCount; ++i)
        states[i] = static_cast<uint8_t>(i % 4);
    ExpectPacket(SocketStatesCommand(states),
                 {0x28, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3});
}

TEST(WriterPackets, MaskPacketHasNoCommandCode) {
    ExpectPacket(SocketMaskPacket(0x8001), {0x01, 0x80});
    ExpectPacket(SocketMaskPacket(0xFFFF), {0xFF, 0xFF});
    ExpectPacket(SocketMaskPacket(0), {});
}

TEST(WriterPackets, StatusReplyInterleavesTheTwoHalvesOfTheSockets) {
    Packet reply{};
    reply[1] = kSocketFail;
    auto states = DecodeStatusReply(reply);
    EXPECT_EQ(states[8], kSocketFail);
    EXPECT_EQ(states[1], kSocketInit);

    for (size_t i = 0; i < 8; ++i) {
        reply[2 * i] = static_cast<uint8_t>(0x10 + i);
        reply[2 * i + 1] = static_cast<uint8_t>(0x20 + i);
    }
    states = DecodeStatusReply(reply);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(states[i], 0x10 + i) << "socket " << i;
        EXPECT_EQ(states[i + 8], 0x20 + i) << "socket " << i + 8;
    }
    EXPECT_EQ(EncodeStatusReply(states), reply);
}

TEST(WriterPackets, SocketStateTexts) {
    EXPECT_STREQ(SocketStateText(0), "Init");
    EXPECT_STREQ(SocketStateText(1), "OK");
    EXPECT_STREQ(SocketStateText(2), "Busy");
    EXPECT_STREQ(SocketStateText(3), "Fail");
    EXPECT_STREQ(SocketStateText(4), "?");
}

InfoBlockContent SampleContent() {
    InfoBlockContent c;
    c.bodySeries = 0x5C;
    c.bodyType = 0x1234;
    c.imageSize = 0x00012345;
    c.imageCheckSum = 0x00ABCDEF;
    c.fwBody = 0x21;
    c.blankCheck = true;
    c.program = false;
    c.verify = true;
    c.lastUnit = 0x48D1;
    c.passCounter = 1234;
    c.failCounter = 56;
    return c;
}

TEST(InformationBlock, EveryFieldAndChecksumIsWhereTheWriterReadsIt) {
    InfoBlockBytes expected{};
    const std::initializer_list<std::pair<size_t, uint8_t>> bytes = {
        // section 1: header, body codes, image size and sum, firmware code, filler
        {0x00, 0x00},
        {0x01, 0x00},
        {0x02, 0x01},
        {0x03, 0x5C},
        {0x04, 0x34},
        {0x05, 0x12},
        {0x06, 0x45},
        {0x07, 0x23},
        {0x08, 0x01},
        {0x09, 0x00},
        {0x0A, 0xEF},
        {0x0B, 0xCD},
        {0x0C, 0xAB},
        {0x0D, 0x00},
        {0x0E, 0x21},
        {0x0F, 0xFF},
        {0x10, 0xFF},
        {0x11, 0xFF},
        {0x12, 0xFF},
        // checksums, computed by hand from the bytes of each section
        {0x3C, 0x83},
        {0x3D, 0x14},
        {0x7C, 0xEB},
        {0x7D, 0x04},
        {0xBC, 0x90},
        {0xBD, 0x02},
        // section 2: blank check and verify selected, program not
        {0x41, 0x40},
        {0x42, 0x02},
        {0x43, 0x1E},
        {0x44, 0xD1},
        {0x45, 0x48},
        {0x48, 0x21},
        {0x49, 0xFF},
        {0x4A, 0xD1},
        {0x4B, 0x48},
        {0x4E, 0x20},
        {0x4F, 0xD1},
        {0x50, 0x48},
        // section 3: counters
        {0x81, 0x80},
        {0x82, 0x03},
        {0x83, 0xFF},
        {0x84, 0xD2},
        {0x85, 0x04},
        {0x86, 0x38},
    };
    for (const auto& [at, value] : bytes)
        expected[at] = value;
    for (size_t at = 0x20; at <= 0x2C; ++at)
        expected[at] = 0xFF;

    const InfoBlockBytes built = BuildInfoBlock(SampleContent());
    EXPECT_EQ(built, expected) << "expected:\n"
                               << HexDump(expected.data(), expected.size()) << "\nbuilt:\n"
                               << HexDump(built.data(), built.size());
}

TEST(InformationBlock, RecordVariantReplacesTheRecordAreaOnly) {
    InfoBlockContent c = SampleContent();
    InfoRecord record{};
    for (size_t i = 0; i < kInfoRecordSize; ++i)
        record[i] = static_cast<uint8_t>(0xA0 + i);
    c.record = record;
    const InfoBlockBytes built = BuildInfoBlock(c);
    for (size_t i = 0; i < kInfoRecordSize; ++i)
        EXPECT_EQ(built[0x20 + i], 0xA0 + i);
    EXPECT_EQ(built[0x2E], 0x00);
    EXPECT_EQ(built[0x2F], 0x00);
    EXPECT_EQ(built[0x1F], 0x00);
    EXPECT_EQ(GetLE32(&built[0x3C]), InfoSectionCheckSum(built, 0));
    // Sections 2 and 3 are those of the plain variant.
    const InfoBlockBytes plain = BuildInfoBlock(SampleContent());
    EXPECT_TRUE(std::equal(built.begin() + 64, built.end(), plain.begin() + 64));
}

TEST(InformationBlock, PassOperationsNotSelectedRead0xFF) {
    InfoBlockContent c = SampleContent();
    c.blankCheck = false;
    c.program = true;
    c.verify = false;
    const InfoBlockBytes built = BuildInfoBlock(c);
    EXPECT_EQ(built[0x43], 0xFF);
    EXPECT_EQ(built[0x49], 0x1F);
    EXPECT_EQ(built[0x4E], 0xFF);
}

TEST(InformationBlock, ZeroSectionsCarryChecksumZeroAndSumsAreUnsigned) {
    InfoBlockBytes block{};
    block[0x3C] = 0x55; // a stale checksum is overwritten
    StampInfoCheckSums(block);
    EXPECT_EQ(block, InfoBlockBytes{});

    block.fill(0xFF);
    StampInfoCheckSums(block);
    for (size_t s = 0; s < 3; ++s)
        EXPECT_EQ(GetLE32(&block[s * 64 + 60]), 60u * 255u) << "section " << s;
}

TEST(InformationBlock, ViewsReadTheFieldsOfABlock) {
    const InfoBlock view(BuildInfoBlock(SampleContent()));
    EXPECT_FALSE(view.HoldsNothing());
    EXPECT_EQ(view.BodySeries(), 0x5C);
    EXPECT_EQ(view.BodyType(), 0x1234);
    EXPECT_EQ(view.PassCounter(), 1234);
    EXPECT_EQ(view.FailCounter(), 56);
    EXPECT_EQ(view.BlankCheckOp(), 0x1E);
    EXPECT_EQ(view.ProgramOp(), 0xFF);
    EXPECT_EQ(view.VerifyOp(), 0x20);
    EXPECT_TRUE(InfoBlock().HoldsNothing());
}

} // namespace
} // namespace engine
