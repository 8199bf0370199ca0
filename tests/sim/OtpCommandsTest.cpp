// OTP commands over the sockets of a mask: chips take the chip image of the
// word image in the buffer and only lose bits, per-socket states, the
// interleaved status reply, read-back, scan and state setting.
#include "SimHost.h"

#include <algorithm>

namespace simtest {
namespace {

constexpr uint32_t kOtpSize = 4096;
constexpr uint32_t kEnd = kOtpSize - 1;
constexpr uint8_t kBody = 12; // byte addresses, groups of two chip bytes

Bytes Image(size_t size, uint8_t seed) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = uint8_t(seed + i * 7);
    return image;
}

// The word image of a chip image in groups of `group` bytes and a check byte.
Bytes WordImage(const Bytes& chip, size_t group = 2) {
    Bytes word;
    for (size_t at = 0; at < chip.size(); at += group) {
        uint8_t sum = 0;
        for (size_t i = at; i < at + group; ++i) {
            word.push_back(chip[i]);
            sum = uint8_t(sum + chip[i]);
        }
        word.push_back(sum);
    }
    return word;
}

class SimOtpCommands : public SimHostTest {
protected:
    // Erase, load the word image of `chip` and program it into the sockets of `mask`.
    void Burn(const Bytes& chip, uint16_t mask) {
        SendMasked(Packet({0x22}), mask);
        LoadBuffer(WordImage(chip), mask);
        SendMasked(AddressPacket(0x1F, uint32_t(chip.size() - 1), kBody), mask);
    }
};

TEST_F(SimOtpCommands, BlankChipsPassBlankCheckAndGrowToTheAddressReached) {
    SendMasked(AddressPacket(0x1E, kEnd, kBody), 0x0003);
    const auto states = Status();
    EXPECT_EQ(states[0], 1);
    EXPECT_EQ(states[1], 1);
    EXPECT_EQ(states[2], 0) << "a socket outside the mask keeps its state";
    ASSERT_TRUE(writer_->ChipAt(0));
    EXPECT_EQ(writer_->ChipAt(0)->Size(), kOtpSize);
    EXPECT_EQ(writer_->ChipAt(0)->LastBodyCode(), kBody);
    EXPECT_FALSE(writer_->ChipAt(2)->Sized());
    EXPECT_EQ(writer_->LastMask(), 0x0003);
}

TEST_F(SimOtpCommands, ProgramVerifyAndReprogramOnlyMoveBitsAwayFromBlank) {
    const Bytes image = Image(1000, 3);
    Burn(image, 0x0001);
    EXPECT_EQ(Status()[0], 1);
    SendMasked(AddressPacket(0x20, 999, kBody), 0x0001);
    EXPECT_EQ(Status()[0], 1);
    SendMasked(AddressPacket(0x1E, kEnd, kBody), 0x0001);
    EXPECT_EQ(Status()[0], 3) << "a programmed chip is not blank";
    // The same data again is fine: no bit has to come back.
    SendMasked(AddressPacket(0x1F, 999, kBody), 0x0001);
    EXPECT_EQ(Status()[0], 1);
    // Other data needs cleared bits set again: program and then verify fail.
    Bytes other = image;
    other[10] = uint8_t(image[10] | 0x01 | 0x80) == image[10] ? uint8_t(~image[10]) : 0xFF;
    Burn(other, 0x0001);
    EXPECT_EQ(Status()[0], 3);
    SendMasked(AddressPacket(0x20, 999, kBody), 0x0001);
    EXPECT_EQ(Status()[0], 3);
    const auto chip = writer_->ChipAt(0);
    EXPECT_EQ(chip->Contents()[10], image[10] & other[10]);
}

// Chips that held one array take a step together into one array (sixteen
// chips programmed together hold one copy); a chip that held other bytes
// takes the step on its own.
TEST_F(SimOtpCommands, ChipsThatTakeAStepTogetherShareTheirArrayOnlyWithEqualChips) {
    const Bytes image = Image(1000, 5);
    Bytes other = image;
    for (auto& b : other)
        b = uint8_t(~b);
    Burn(other, 0x0004);
    Burn(image, 0x0007);
    auto states = Status();
    EXPECT_EQ(states[0], 1);
    EXPECT_EQ(states[1], 1);
    EXPECT_EQ(states[2], 3) << "other data was burnt into socket 2 first";
    EXPECT_TRUE(writer_->ChipAt(0)->SameContentsAs(*writer_->ChipAt(1)));
    EXPECT_FALSE(writer_->ChipAt(2)->SameContentsAs(*writer_->ChipAt(0)));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), writer_->ChipAt(1)->Contents().begin()));
    EXPECT_EQ(writer_->ChipAt(2)->Contents()[0], uint8_t(image[0] & other[0]));
    // Every chip counts its own trim, shared array or not.
    SendMasked(AddressPacket(0x32, kEnd, kBody), 0x0003);
    EXPECT_EQ(writer_->ChipAt(0)->IhrcTrims(), 1u);
    EXPECT_EQ(writer_->ChipAt(1)->IhrcTrims(), 1u);
    EXPECT_EQ(writer_->ChipAt(2)->IhrcTrims(), 0u);
}

// The chip holds the chip image: the buffer's check bytes are checked and
// left out, and a buffer with a wrong one burns nothing.
TEST_F(SimOtpCommands, ProgramStripsTheCheckBytesAndRefusesAWrongOne) {
    // Chip bytes 01 02 03 04 05 06 in the word image 01 02 03 03 04 07 05 06 0B.
    const Bytes word{0x01, 0x02, 0x03, 0x03, 0x04, 0x07, 0x05, 0x06, 0x0B};
    SendMasked(Packet({0x22}), 0x0003);
    LoadBuffer(word, 0x0001);
    Bytes wrong = word;
    wrong[5] = 0x08;
    LoadBuffer(wrong, 0x0002);
    SendMasked(AddressPacket(0x1F, 5, kBody), 0x0003);
    auto states = Status();
    EXPECT_EQ(states[0], 1);
    EXPECT_EQ(states[1], 3);
    EXPECT_EQ(writer_->ChipAt(0)->Contents(), (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}));
    EXPECT_TRUE(writer_->ChipAt(1)->IsBlank());
    SendMasked(AddressPacket(0x20, 5, kBody), 0x0003);
    states = Status();
    EXPECT_EQ(states[0], 1);
    EXPECT_EQ(states[1], 3);
    // An erased buffer holds no valid word image: nothing is programmed.
    SendMasked(Packet({0x22}), 0x0004);
    SendMasked(AddressPacket(0x1F, 5, kBody), 0x0004);
    EXPECT_EQ(Status()[2], 3);
}

// Bodies 2 to 5 address their OTP by 24-bit word: an address covers three
// chip bytes, in groups of three with a check byte.
TEST_F(SimOtpCommands, WordAddressedBodiesCoverThreeBytesPerAddress) {
    const Bytes chip = Image(12, 1);
    SendMasked(Packet({0x22}), 0x0001);
    LoadBuffer(WordImage(chip, 3), 0x0001);
    SendMasked(AddressPacket(0x1F, 3, 2), 0x0001);
    EXPECT_EQ(Status()[0], 1);
    EXPECT_EQ(writer_->ChipAt(0)->Contents(), chip);
    Send(AddressPacket(0x2E, 3, 2));
    const Bytes read = ReceiveOk(16);
    EXPECT_TRUE(std::equal(chip.begin(), chip.end(), read.begin()));
    EXPECT_EQ(read[12], 0xFF);
}

// A body code the firmware does not know: it cannot tell the chip image
// from the buffer, and refuses every OTP command.
TEST_F(SimOtpCommands, UnknownBodyCodeFailsEveryOtpCommand) {
    for (uint8_t command : {0x1E, 0x1F, 0x20, 0x32, 0x33}) {
        SendMasked(AddressPacket(command, 15, 0x2C), 0x0001);
        EXPECT_EQ(Status()[0], 3) << int(command);
    }
    EXPECT_TRUE(writer_->ChipAt(0)->IsBlank());
    Send(AddressPacket(0x2E, 15, 0));
    Bytes none;
    EXPECT_EQ(Receive(16, none), Outcome::Failed);
}

TEST_F(SimOtpCommands, MissingChipFailsAndChipTooSmallFails) {
    writer_->RemoveChip(1);
    writer_->InsertChip(2, 1024);
    SendMasked(AddressPacket(0x1E, kEnd, kBody), 0x0007);
    const auto states = Status();
    EXPECT_EQ(states[0], 1);
    EXPECT_EQ(states[1], 3);
    EXPECT_EQ(states[2], 3);
    SendMasked(AddressPacket(0x1E, 1023, kBody), 0x0004);
    EXPECT_EQ(Status()[2], 1);
}

TEST_F(SimOtpCommands, StatusReplyInterleavesSocketsAndEightOn) {
    writer_->RemoveChip(8);
    SendMasked(AddressPacket(0x1E, kEnd, kBody), 0x0101);
    Send(Packet({0x07}));
    const Bytes r = ReceiveOk(64);
    EXPECT_EQ(r[0], 1) << "socket 0 at byte 0";
    EXPECT_EQ(r[1], 3) << "socket 8 at byte 1";
    EXPECT_EQ(r[2], 0) << "socket 1 at byte 2";
    for (size_t i = 16; i < 64; ++i)
        EXPECT_EQ(r[i], 0) << i;
}

TEST_F(SimOtpCommands, ReadOtpStreamsTheFirstMaskedChipThenBlank) {
    const Bytes image = Image(300, 9);
    writer_->RemoveChip(0);
    Burn(image, 0x0002);
    SendMasked(AddressPacket(0x1E, 511, kBody), 0x0006);
    Send(AddressPacket(0x2E, 511, kBody));
    const Bytes read = ReceiveOk(2048);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), read.begin()));
    for (size_t i = 300; i < read.size(); ++i)
        ASSERT_EQ(read[i], 0xFF) << i;
    // No chip anywhere: nothing to read, the read stalls.
    for (int i = 0; i < 16; ++i)
        writer_->RemoveChip(i);
    Send(AddressPacket(0x2E, 511, kBody));
    Bytes none;
    EXPECT_EQ(Receive(2048, none), Outcome::Failed);
}

TEST_F(SimOtpCommands, TrimsNeedAChipAndCount) {
    writer_->RemoveChip(1);
    SendMasked(AddressPacket(0x32, kEnd, kBody), 0x0003);
    auto states = Status();
    EXPECT_EQ(states[0], 1);
    EXPECT_EQ(states[1], 3);
    SendMasked(AddressPacket(0x33, kEnd, kBody), 0x0001);
    EXPECT_EQ(writer_->ChipAt(0)->IhrcTrims(), 1u);
    EXPECT_EQ(writer_->ChipAt(0)->LvdTrims(), 1u);
    EXPECT_TRUE(writer_->ChipAt(0)->IsBlank()) << "trims do not touch the OTP array";
}

TEST_F(SimOtpCommands, ScanMarksSocketsWithChipsOkAndSetStatesTakesValidBytes) {
    writer_->RemoveChip(5);
    Send(Packet({0x26}));
    auto states = Status();
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(states[i], i == 5 ? 0 : 1) << i;
    Bytes set = Packet({0x28, 1, 2, 3, 0, 9});
    SendMasked(set, 0x000F);
    states = Status();
    EXPECT_EQ((std::vector<int>(states.begin(), states.begin() + 6)),
              (std::vector<int>{1, 2, 3, 0, 1, 0}))
        << "socket 4 keeps its OK from the scan for the invalid byte 9";
}

TEST_F(SimOtpCommands, CountersAreKept) {
    Send(Packet({0x27, 0x34, 0x12, 0x02, 0x01}));
    EXPECT_EQ(writer_->PassCount(), 0x1234);
    EXPECT_EQ(writer_->FailCount(), 0x0102);
}

TEST_F(SimOtpCommands, OperationTimeShowsAsBusyOnVirtualTime) {
    sim::Timings timings;
    timings.otpOperationMs = 500;
    writer_->SetTimings(timings);
    SendMasked(AddressPacket(0x1E, kEnd, kBody), 0x0001);
    EXPECT_EQ(Status()[0], 2);
    clock_.Advance(499);
    EXPECT_EQ(writer_->StateOf(0), sim::SocketState::Busy);
    clock_.Advance(1);
    EXPECT_EQ(Status()[0], 1);
}

} // namespace
} // namespace simtest
