// Writer-buffer operations over a scripted link: load, verify with its wait
// modes, erase and blank check.
#include "tests/engine/EngineFixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace enginetest {
namespace {

using namespace engine;

class WriterBuffer : public EngineTest {
protected:
    // The load exchange of an image of `size` bytes padded to `length`.
    void ExpectLoad(const FakeImage& image, size_t length, uint16_t mask) {
        ExpectMasked(AddressCommand(kCmdLoadBuffer, static_cast<uint32_t>(length)), mask);
        Bytes block(length, 0xFF);
        std::copy(image.words.begin(), image.words.end(), block.begin());
        for (size_t at = 0; at < length; at += 64)
            link.ExpectWrite(Bytes(block.begin() + at, block.begin() + at + 64));
    }
};

TEST_F(WriterBuffer, LoadPadsToTheNextMultipleOf256With0xFF) {
    struct Case {
        size_t size, length, writes;
    };
    for (const Case c : {Case{1000, 1024, 16}, Case{512, 512, 8}, Case{513, 768, 12}}) {
        SCOPED_TRACE(c.size);
        const size_t before = link.Written().size();
        FakeImage& image = UseImage(c.size);
        Enable(0x0003);
        ExpectLoad(image, c.length, 0x0003);
        ExpectStatusAllOK();
        EXPECT_EQ(otp->LoadBuffer(), 1);
        EXPECT_EQ(link.Remaining(), 0u);
        EXPECT_EQ(link.Written().size() - before, 2 + c.writes + 1);
    }
}

TEST_F(WriterBuffer, LoadOf513BytesEndsWith255BytesOf0xFF) {
    UseImage(513);
    Enable(0x0001);
    ExpectLoad(static_cast<FakeImage&>(*otp->GetImage()), 768, 0x0001);
    ExpectStatusAllOK();
    ASSERT_EQ(otp->LoadBuffer(), 1);
    Bytes sent;
    for (size_t i = 2; i < 14; ++i)
        sent.insert(sent.end(), link.Written()[i].begin(), link.Written()[i].end());
    ASSERT_EQ(sent.size(), 768u);
    EXPECT_EQ(sent[512], static_cast<uint8_t>(512 * 3 + 1));
    EXPECT_EQ(std::count(sent.begin() + 513, sent.end(), 0xFF), 255);
}

TEST_F(WriterBuffer, LoadStopsAtTheFirstFailedWrite) {
    UseImage(1024);
    Enable(0xFFFF);
    ExpectMasked(AddressCommand(kCmdLoadBuffer, 1024), 0xFFFF);
    const auto& words = static_cast<FakeImage&>(*otp->GetImage()).words;
    link.ExpectWrite(Bytes(words.begin(), words.begin() + 64));
    link.ExpectWrite(Bytes(words.begin() + 64, words.begin() + 128), false);
    EXPECT_EQ(otp->LoadBuffer(), 0);
    EXPECT_EQ(link.Remaining(), 0u);
    EXPECT_EQ(link.Written().size(), 4u); // no further data, no status
    EXPECT_EQ(otp->GetMessage(), ScriptedLink::kWriteFailText);
}

TEST_F(WriterBuffer, LoadWhoseCommandFailsSendsNoMaskAndNoData) {
    UseImage(256);
    Enable(0x0007);
    link.ExpectWrite(AddressCommand(kCmdLoadBuffer, 256), false);
    EXPECT_EQ(otp->LoadBuffer(), 0);
    EXPECT_EQ(link.Written().size(), 1u);
}

TEST_F(WriterBuffer, VerifyWithoutWaitChecksOnce) {
    UseImage(1000, 0xA1B2C3D4);
    Enable(0x0001);
    usb::SetUnlimitedWait(false);
    ExpectMasked(VerifyBufferCommand(1000, 0xA1B2C3D4, kFwBody), 0x0001);
    ExpectStatusAllOK();
    EXPECT_EQ(otp->VerifyBuffer(3), 1);
    EXPECT_EQ(clock.SleptMs(), 0u);
    EXPECT_TRUE(usb::IsUnlimitedWait());
}

TEST_F(WriterBuffer, VerifyPollsEvery2500msUntilNoSocketFails) {
    UseImage(1000);
    Enable(0x0001);
    ExpectMasked(VerifyBufferCommand(1000, 0x00ABCDEF, kFwBody), 0x0001);
    ExpectStatus(AllStates(kSocketFail));
    ExpectStatus(AllStates(kSocketFail));
    ExpectStatusAllOK();
    EXPECT_EQ(otp->VerifyBuffer(kWaitPoll), 1);
    EXPECT_EQ(clock.SleptMs(), 3u * 2500u);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(WriterBuffer, VerifyPollingGivesUpAfter50Rounds) {
    UseImage(1000);
    Enable(0x0004);
    std::array<uint8_t, kSocketCount> states = AllStates(kSocketOK);
    states[2] = kSocketFail;
    ExpectMasked(VerifyBufferCommand(1000, 0x00ABCDEF, kFwBody), 0x0004);
    for (int round = 0; round < 50; ++round)
        ExpectStatus(states);
    usb::SetUnlimitedWait(false);
    EXPECT_EQ(otp->VerifyBuffer(kWaitPoll), 0);
    EXPECT_EQ(clock.SleptMs(), 125000u);
    EXPECT_EQ(link.Remaining(), 0u);
    EXPECT_TRUE(usb::IsUnlimitedWait());
}

TEST_F(WriterBuffer, VerifyLongWaitSleeps30sThenChecksOnce) {
    UseImage(1000);
    Enable(0x0004);
    std::array<uint8_t, kSocketCount> states = AllStates(kSocketOK);
    states[2] = kSocketFail;
    ExpectMasked(VerifyBufferCommand(1000, 0x00ABCDEF, kFwBody), 0x0004);
    ExpectStatus(states);
    EXPECT_EQ(otp->VerifyBuffer(kWaitLong), 0);
    EXPECT_EQ(clock.SleptMs(), 30000u);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(WriterBuffer, ImageWhoseFileIsGoneIsNotLoaded) {
    const std::string path = folder.File("gone.bin");
    otp->SelectBody(12);
    // Gone before anything was read, and gone after the open read it whole.
    for (const bool readFirst : {false, true}) {
        SCOPED_TRACE(readFirst);
        testsupport::ProgramFolder::Write(path, std::string(0x4000, '\x5A'));
        ASSERT_EQ(otp->GetImage()->SetFileName(path), 1);
        if (readFirst) {
            ASSERT_NE(otp->GetImage()->GetWordImage(), nullptr);
        }
        std::filesystem::remove(path);
        Enable(0x0001);
        EXPECT_EQ(otp->LoadBuffer(), 0);
        EXPECT_EQ(otp->VerifyBuffer(0), 0);
        EXPECT_EQ(otp->BlankCheckBuffer(), 0);
        EXPECT_EQ(otp->GetMessage(), "The File \"gone\" does not exist!");
        EXPECT_TRUE(link.Written().empty());
    }
}

TEST_F(WriterBuffer, EmptyImageIsNeverLoadedOrChecked) {
    UseImage(0);
    Enable(0x0001);
    EXPECT_EQ(otp->LoadBuffer(), 0);
    EXPECT_EQ(otp->VerifyBuffer(0), 0);
    EXPECT_EQ(otp->BlankCheckBuffer(), 0);
    EXPECT_EQ(otp->GetMessage(), kEmptyImage);
    // An empty file on disk.
    const std::string path = folder.File("empty.bin");
    testsupport::ProgramFolder::Write(path, "");
    otp->SelectBody(12);
    ASSERT_EQ(otp->GetImage()->SetFileName(path), 1);
    EXPECT_EQ(otp->LoadBuffer(), 0);
    EXPECT_EQ(otp->GetMessage(), kEmptyImage);
    EXPECT_TRUE(link.Written().empty());
}

TEST_F(WriterBuffer, EraseAndBlankCheck) {
    UseImage(777);
    Enable(0x8001);
    ExpectMasked(CommandPacket(kCmdEraseBuffer), 0x8001);
    ExpectStatusAllOK();
    EXPECT_EQ(otp->EraseBuffer(), 1);
    ExpectMasked(AddressCommand(kCmdBlankCheckBuffer, 777), 0x8001);
    ExpectStatusAllOK();
    EXPECT_EQ(otp->BlankCheckBuffer(), 1);
    EXPECT_EQ(link.Remaining(), 0u);
}

} // namespace
} // namespace enginetest
