// Byte-exact checks of the firmware update packets and the version formats.
#include "firmware/FirmwarePackets.h"
#include "tests/engine/ScriptedLink.h"

#include <gtest/gtest.h>

#include <vector>

namespace firmware {
namespace {

using enginetest::HexDump;

void ExpectPacket(const Packet& built, std::initializer_list<std::pair<size_t, uint8_t>> bytes) {
    Packet expected{};
    for (const auto& [at, value] : bytes)
        expected[at] = value;
    EXPECT_EQ(built, expected) << "expected:\n"
                               << HexDump(expected.data(), expected.size()) << "\nbuilt:\n"
                               << HexDump(built.data(), built.size());
}

TEST(FirmwarePackets, VersionRequestCarriesLowSixteenBitsOfTheFileLengthAndTheKey) {
    ExpectPacket(VersionRequest(0x00023456), {{0, 0x0A},
                                              {1, 0x01},
                                              {2, 0x56},
                                              {3, 0x34},
                                              {60, 0x17},
                                              {61, 0x9E},
                                              {62, 0x3C},
                                              {63, 0x5A}});
    ExpectPacket(ModeQuery(), {{0, 0x0A}, {60, 0x17}, {61, 0x9E}, {62, 0x3C}, {63, 0x5A}});
}

TEST(FirmwarePackets, ApplicationHeaderKeepsOnlyLowSixteenBitsOfTheSize) {
    // An application of 0x12345 bytes: the size field wraps, the sum does not.
    ExpectPacket(AppHeader(0x12345, 0x00ABCDEF), {{0, 0x15},
                                                  {1, 0x45},
                                                  {2, 0x23},
                                                  {3, 0xEF},
                                                  {4, 0xCD},
                                                  {5, 0xAB},
                                                  {6, 0x00},
                                                  {7, 0x78},
                                                  {8, 0x56},
                                                  {9, 0x34},
                                                  {10, 0x12},
                                                  {60, 0x21},
                                                  {61, 0x43},
                                                  {62, 0x65},
                                                  {63, 0x87}});
    // An empty application: size 0 and sum 0.
    ExpectPacket(AppHeader(0, 0), {{0, 0x15},
                                   {7, 0x78},
                                   {8, 0x56},
                                   {9, 0x34},
                                   {10, 0x12},
                                   {60, 0x21},
                                   {61, 0x43},
                                   {62, 0x65},
                                   {63, 0x87}});
}

TEST(FirmwarePackets, BootHeaderAndPackets) {
    ExpectPacket(BootHeader(8192, 0x0001FE00), {{0, 0x18},
                                                {1, 0x00},
                                                {2, 0x20},
                                                {3, 0x00},
                                                {4, 0xFE},
                                                {5, 0x01},
                                                {60, 0x17},
                                                {61, 0x9E},
                                                {62, 0x3C},
                                                {63, 0x5A}});

    std::vector<uint8_t> boot(8192);
    for (size_t i = 0; i < boot.size(); ++i)
        boot[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    const std::vector<uint8_t> packets = BuildBootPackets(boot.data(), boot.size());
    ASSERT_EQ(packets.size(), 16384u);
    for (size_t k = 0; k < 128; ++k) {
        const uint8_t* p = &packets[k * 128];
        const std::vector<uint8_t> head(p, p + 64);
        std::vector<uint8_t> expectedHead(64, 0);
        expectedHead[0] = 0x78, expectedHead[1] = 0x56, expectedHead[2] = 0x34;
        expectedHead[3] = 0x12, expectedHead[60] = 0x21, expectedHead[61] = 0x43;
        expectedHead[62] = 0x65, expectedHead[63] = 0x87;
        ASSERT_EQ(head, expectedHead) << "packet " << k << ":\n" << HexDump(p, 64);
        ASSERT_TRUE(std::equal(p + 64, p + 128, &boot[k * 64])) << "packet " << k;
    }
}

TEST(FirmwarePackets, VersionReplyFieldsAndTheirRoundTrip) {
    Packet reply{};
    const uint8_t head[] = {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, 0x34, 0x12,
                            0x78, 0x56, 0xEF, 0xCD, 0x01, 0x00, 0x05, 0x00, 0x06, 0x01};
    std::copy(std::begin(head), std::end(head), reply.begin());
    const VersionReply parsed = ParseVersionReply(reply);
    EXPECT_EQ(parsed.version, (Version{1, 2, 3, 4, 5, 0x106}));
    EXPECT_EQ(parsed.writerValue, 0x56781234u);
    EXPECT_EQ(parsed.writerAppCheckSum, 0x0001CDEFu);
    EXPECT_EQ(EncodeVersionReply(parsed), reply);
}

TEST(FirmwarePackets, FileVersionIsBigEndianAndShownWithFourDigits) {
    std::vector<uint8_t> file(0x6000 + 12, 0);
    const uint8_t stored[] = {0x00, 0x01, 0x00, 0x02, 0x00, 0x03,
                              0x00, 0x04, 0x12, 0x34, 0xFF, 0xFF};
    std::copy(std::begin(stored), std::end(stored), file.begin() + 0x6000);
    Version version{};
    ASSERT_TRUE(ReadFileVersion(file.data(), file.size(), version));
    EXPECT_EQ(version, (Version{1, 2, 3, 4, 0x1234, 0xFFFF}));
    EXPECT_EQ(FormatVersion(version), "0001.0002.0003.0004");
    EXPECT_EQ(FormatVersion(Version{12345, 0, 7, 65535, 0, 0}), "12345.0000.0007.65535");

    // One byte short of the version: nothing is read past the end.
    Version untouched{9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(ReadFileVersion(file.data(), file.size() - 1, untouched));
    EXPECT_EQ(untouched, (Version{9, 9, 9, 9, 9, 9}));
    EXPECT_FALSE(ReadFileVersion(nullptr, 0, untouched));
}

} // namespace
} // namespace firmware
