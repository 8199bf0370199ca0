// Writer buffers (erase, blank check, load, verify by size and checksum) and
// the information memory that reads 0xAA at offset 3 until a block is stored.
#include "SimHost.h"

#include "sim/StateFile.h"

#include <tuple>

namespace simtest {
namespace {

uint32_t Sum(const Bytes& bytes, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += i < bytes.size() ? bytes[i] : 0xFF;
    return sum;
}

class SimBuffer : public SimHostTest {};

TEST_F(SimBuffer, ALoadOfAThousandBytesArrivesAsSixteenPacketsAndVerifies) {
    Bytes image(1000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i);
    SendMasked(Packet({0x22}), 0x0003);
    SendMasked(AddressPacket(0x21, 1000), 0x0003);
    EXPECT_EQ(Status()[0], 1) << "erased buffer is blank";
    LoadBuffer(image, 0x0001);
    auto states = Status();
    EXPECT_EQ(states[0], 1);
    EXPECT_EQ(states[1], 1) << "socket 1 took no part in the load";
    const Bytes held = writer_->BufferOf(0);
    ASSERT_EQ(held.size(), 1024u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), held.begin()));
    EXPECT_TRUE(writer_->BufferOf(1).empty());

    Bytes verify = AddressPacket(0x24, 1000);
    const uint32_t sum = Sum(image, 1000);
    verify[5] = uint8_t(sum);
    verify[6] = uint8_t(sum >> 8);
    verify[7] = uint8_t(sum >> 16);
    verify[8] = uint8_t(sum >> 24);
    SendMasked(verify, 0x0003);
    states = Status();
    EXPECT_EQ(states[0], 1);
    EXPECT_EQ(states[1], 3) << "an empty buffer does not match the checksum";
    SendMasked(AddressPacket(0x21, 1000), 0x0001);
    EXPECT_EQ(Status()[0], 3) << "a loaded buffer is not blank";
}

// The writer knows each body's record window: the chip records the host puts
// there differ from chip to chip and do not count against the checksum.
TEST_F(SimBuffer, VerifyCountsTheBodysRecordWindowAsErased) {
    Bytes image(256, 0x01);
    SendMasked(Packet({0x22}), 0x0001);
    LoadBuffer(image, 0x0001);
    const uint32_t windowAsErased = 226 * 0x01 + 30 * 0xFF; // body 1: bytes 60 to 89
    for (const auto& [code, sum, state] :
         {std::tuple{1, windowAsErased, 1}, {1, 256u, 3}, {12, 256u, 1}, {12, windowAsErased, 3}}) {
        Bytes verify = AddressPacket(0x24, 256);
        for (int i = 0; i < 4; ++i)
            verify[5 + i] = uint8_t(sum >> (8 * i));
        verify[9] = uint8_t(code);
        SendMasked(verify, 0x0001);
        EXPECT_EQ(Status()[0], state) << "body code " << code << ", checksum " << sum;
    }
}

TEST_F(SimBuffer, LoadWithoutEraseCombinesAsFlashDoes) {
    LoadBuffer(Bytes(256, 0xF0), 0x0001);
    LoadBuffer(Bytes(256, 0x0F), 0x0001);
    EXPECT_EQ(writer_->BufferOf(0)[0], 0x00);
    SendMasked(Packet({0x22}), 0x0001);
    EXPECT_TRUE(writer_->BufferOf(0).empty());
}

TEST_F(SimBuffer, CommandsAfterTheLoadDataAreCommandsAgain) {
    LoadBuffer(Bytes(256, 0x07), 0x0001);
    // A packet that looks like data but comes after the load is a command.
    Send(Packet({0x1B}));
    EXPECT_EQ(ReceiveOk(1), Bytes{7});
    // A load of 0 bytes ends at once.
    SendMasked(AddressPacket(0x23, 0), 0x0001);
    Send(Packet({0x1B}));
    EXPECT_EQ(ReceiveOk(1), Bytes{7});
}

TEST_F(SimBuffer, AReadDuringAnUnfinishedLoadEndsItSoLaterCommandsWork) {
    SendMasked(AddressPacket(0x23, 1024), 0x0003);
    Send(Bytes(64, 0x00)); // then the host's data writes fail
    Bytes reply;
    EXPECT_EQ(Receive(64, reply), Outcome::Failed) << "the read ends the load and stalls";
    EXPECT_EQ(Status()[0], 3);
    EXPECT_EQ(Status()[1], 3);
    // A masked command whose mask packet never came is dropped the same way.
    Send(AddressPacket(0x1E, 255, 1));
    EXPECT_EQ(Receive(64, reply), Outcome::Failed);
    Send(Packet({0x1B}));
    EXPECT_EQ(ReceiveOk(1), Bytes{7});
}

TEST_F(SimBuffer, LoadBeyondCapacityFailsButSwallowsItsData) {
    const uint32_t tooLong = uint32_t(sim::kBufferCapacity + 256);
    SendMasked(AddressPacket(0x23, tooLong), 0x0001);
    EXPECT_EQ(writer_->StateOf(0), sim::SocketState::Busy);
    Bytes chunk(64 * 1024, 0x00);
    for (uint32_t sent = 0; sent < tooLong; sent += uint32_t(chunk.size()))
        Send(Bytes(chunk.begin(), chunk.begin() + std::min<size_t>(chunk.size(), tooLong - sent)));
    EXPECT_EQ(Status()[0], 3);
    EXPECT_TRUE(writer_->BufferOf(0).empty());
}

TEST_F(SimBuffer, TheLargestImageRunsOnAllSixteenSocketsAndIsKeptOnce) {
    // The largest word image any body makes (body 10: pairs of chip bytes and
    // a check byte), onto blank chips of any size.
    auto chipByte = [](size_t i) { return uint8_t(i * 7 + (i >> 12)); };
    Bytes image(sim::kBufferCapacity);
    for (size_t g = 0, at = 0; at < image.size(); ++g, at += 3) {
        image[at] = chipByte(2 * g);
        image[at + 1] = chipByte(2 * g + 1);
        image[at + 2] = uint8_t(image[at] + image[at + 1]);
    }
    for (int i = 0; i < 16; ++i)
        writer_->InsertChip(i);
    SendMasked(Packet({0x22}), 0xFFFF);
    SendMasked(AddressPacket(0x23, uint32_t(image.size())), 0xFFFF);
    for (size_t at = 0; at < image.size(); at += 64 * 1024)
        Send(Bytes(image.begin() + at, image.begin() + at + 64 * 1024));
    Bytes verify = AddressPacket(0x24, uint32_t(image.size()));
    const uint32_t sum = Sum(image, image.size());
    for (int i = 0; i < 4; ++i)
        verify[5 + i] = uint8_t(sum >> (8 * i));
    SendMasked(verify, 0xFFFF);
    EXPECT_EQ(Status(), std::vector<int>(16, 1));
    SendMasked(AddressPacket(0x1F, uint32_t(sim::kMaxChipSize - 1), 10), 0xFFFF);
    EXPECT_EQ(Status(), std::vector<int>(16, 1));
    EXPECT_EQ(writer_->ChipAt(15)->Contents()[sim::kMaxChipSize - 1],
              chipByte(sim::kMaxChipSize - 1));
    // One copy of the buffer in memory and in the state file.
    const sim::WriterState state = writer_->Snapshot();
    for (int i = 1; i < 16; ++i)
        EXPECT_TRUE(state.sockets[i].buffer.SameBytesAs(state.sockets[0].buffer)) << i;
    const std::string text = sim::FormatState({{writer_->Config(), state, true}});
    EXPECT_LT(text.size(), 3 * (sim::kBufferCapacity + sim::kMaxChipSize));
    std::vector<sim::SavedWriter> back;
    std::string error;
    ASSERT_TRUE(sim::ParseState(text, back, error)) << error;
    EXPECT_TRUE(back[0].state.sockets[9].buffer.SameBytesAs(back[0].state.sockets[0].buffer));
    EXPECT_EQ(back[0].state.sockets[9].buffer.Bytes(), image);
    EXPECT_EQ(back[0].state.sockets[9].chip->Contents(), state.sockets[9].chip->Contents());
}

class SimInformation : public SimHostTest {
protected:
    Bytes Block(uint8_t fill) {
        Bytes block(192, 0);
        for (size_t i = 0; i < 192; ++i)
            block[i] = uint8_t(fill + i);
        return block;
    }
    Bytes Get(uint8_t command) {
        Send(Packet({command, 192, 0, 0, 0, 5}));
        Send(Packet({}));
        return ReceiveOk(192);
    }
};

TEST_F(SimInformation, ReadsAaUntilABlockIsStored) {
    const Bytes empty = Get(0x2A);
    EXPECT_EQ(empty[3], 0xAA);
    EXPECT_EQ(Get(0x1D)[3], 0xAA);
    EXPECT_FALSE(writer_->Information());
    std::array<uint8_t, 192> stored{};
    stored[3] = 0x07;
    writer_->SetInformation(stored);
    EXPECT_EQ(Get(0x2A)[3], 0x07);
    writer_->SetInformation(std::nullopt);
    EXPECT_EQ(Get(0x2A)[3], 0xAA);
}

TEST_F(SimInformation, BothVariantsShareOneMemory) {
    const Bytes block = Block(1);
    Send(Packet({0x25, 192}));
    Send(block);
    EXPECT_EQ(Get(0x2A), block);
    EXPECT_EQ(Get(0x1D), block);

    const Bytes record = Block(50);
    Send(Packet({0x1C, 192, 0, 0, 0, 7}));
    Send(Bytes(record.begin(), record.begin() + 64));
    Send(Bytes(record.begin() + 64, record.end()));
    EXPECT_EQ(Get(0x2A), record);
    EXPECT_EQ(writer_->OtpInformationVariant(), 7);
}

TEST_F(SimInformation, TheZeroPacketAfterAGetIsNotACommand) {
    Send(Packet({0x2A, 192, 0, 0, 0, 5}));
    Send(Packet({0x1B})); // taken as the trailing packet, not as a type query
    EXPECT_EQ(ReceiveOk(192)[3], 0xAA);
}

TEST_F(SimInformation, ABlockOfAnotherLengthIsTakenInButNotStored) {
    Send(Packet({0x25, 64}));
    Send(Block(0));
    EXPECT_FALSE(writer_->Information());
    Send(Packet({0x1B}));
    EXPECT_EQ(ReceiveOk(1), Bytes{7});
}

} // namespace
} // namespace simtest
