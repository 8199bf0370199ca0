// Socket-state commands, the information block operations and body
// selection over a scripted link.
#include "tests/engine/EngineFixture.h"

#include <gtest/gtest.h>

#include <typeinfo>

namespace enginetest {
namespace {

using namespace engine;

class SocketStates : public EngineTest {
protected:
    // Puts `states` into the engine through a status check.
    void LoadStates(const std::array<uint8_t, kSocketCount>& states) {
        ExpectStatus(states);
        otp->ReadStatus();
    }
};

TEST_F(SocketStates, StartAllOKAndDisabled) {
    EXPECT_EQ(otp->GetSocketStates(), AllStates(kSocketOK));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(otp->IsSocketEnabled(i), 0);
    EXPECT_EQ(otp->CountSockets(kSocketOK), 0);
}

TEST_F(SocketStates, ResetKeepsPassedAndFailedSocketsAsOK) {
    std::array<uint8_t, kSocketCount> states = AllStates(kSocketInit);
    states[0] = kSocketOK;
    states[1] = kSocketFail;
    states[2] = kSocketInit;
    states[3] = kSocketBusy;
    LoadStates(states);
    Enable(0xFFFF);

    std::array<uint8_t, kSocketCount> sent = AllStates(kSocketInit);
    sent[0] = kSocketOK;
    sent[1] = kSocketOK;
    ExpectMasked(SocketStatesCommand(sent), 0x0003);
    EXPECT_EQ(otp->ResetSocketStates(), 1);
    EXPECT_EQ(otp->IsSocketEnabled(0), 1);
    EXPECT_EQ(otp->IsSocketEnabled(1), 1);
    EXPECT_EQ(otp->IsSocketEnabled(2), 0);
    EXPECT_EQ(otp->IsSocketEnabled(3), 0);
    EXPECT_EQ(otp->GetSocketStates()[1], kSocketOK);
    EXPECT_EQ(otp->GetSocketStates()[3], kSocketBusy);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(SocketStates, SendStatesClearsDisabledSockets) {
    std::array<uint8_t, kSocketCount> states = AllStates(kSocketFail);
    states[5] = kSocketBusy;
    LoadStates(states);
    Enable(0x0021);
    std::array<uint8_t, kSocketCount> sent = AllStates(kSocketInit);
    sent[0] = kSocketFail;
    sent[5] = kSocketBusy;
    ExpectMasked(SocketStatesCommand(sent), 0x0021);
    EXPECT_EQ(otp->SendSocketStates(), 1);
    EXPECT_EQ(otp->GetSocketStates(), sent);
}

TEST_F(SocketStates, SetAllSendsOneStateAndEnablesEverySocket) {
    struct Case {
        int kind;
        uint8_t sent;
    };
    for (const Case c : {Case{0, 1}, Case{1, 2}, Case{2, 3}, Case{3, 0}, Case{4, 0}, Case{-1, 0}}) {
        SCOPED_TRACE(c.kind);
        Enable(0);
        ExpectMasked(SocketStatesCommand(AllStates(c.sent)), 0xFFFF);
        EXPECT_EQ(otp->SetAllSocketStates(c.kind), 1);
        EXPECT_EQ(otp->GetSocketStates(), AllStates(kSocketOK)); // unchanged
    }
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(SocketStates, SelectPassedAndCount) {
    std::array<uint8_t, kSocketCount> states = AllStates(kSocketFail);
    states[4] = kSocketOK;
    states[7] = kSocketOK;
    LoadStates(states);
    Enable(0xFFFF);
    EXPECT_EQ(otp->CountSockets(kSocketFail), 14);
    otp->SelectPassed(0); // no change
    EXPECT_EQ(otp->CountSockets(kSocketFail), 14);
    otp->SelectPassed(1);
    EXPECT_EQ(otp->CountSockets(kSocketFail), 0);
    EXPECT_EQ(otp->CountSockets(kSocketOK), 2);
    EXPECT_EQ(otp->IsSocketEnabled(4), 1);
    EXPECT_EQ(otp->IsSocketEnabled(5), 0);
}

class InfoOperations : public EngineTest {
protected:
    InfoBlockBytes ExpectedBlock(bool blank, bool program, bool verify) {
        InfoBlockContent c;
        c.bodySeries = kSeries;
        c.bodyType = kType;
        c.imageSize = 1000;
        c.imageCheckSum = 0x00ABCDEF;
        c.fwBody = kFwBody;
        c.blankCheck = blank;
        c.program = program;
        c.verify = verify;
        c.lastUnit = 0x100;
        c.passCounter = 7;
        c.failCounter = 3;
        return BuildInfoBlock(c);
    }
    void ExpectReadBack(const InfoBlockBytes& block) {
        link.ExpectWrite(AddressCommand(kCmdGetInfo, 192, kInfoModeDefault));
        link.ExpectWrite(Packet{});
        link.ExpectRead(block);
        ExpectStatusAllOK();
    }
    void SetUp() override {
        EngineTest::SetUp();
        UseImage(1000);
        otp->SetPassCounter(7);
        otp->SetFailCounter(3);
    }
};

TEST_F(InfoOperations, GetInfoKeepsAndSavesTheBlock) {
    const InfoBlockBytes block = ExpectedBlock(true, true, true);
    ExpectReadBack(block);
    EXPECT_EQ(otp->GetInfo(1), 1);
    EXPECT_EQ(otp->GetInfoBlock().Bytes(), block);
    EXPECT_EQ(otp->GetInfoBlock().PassCounter(), 7);
    const std::string saved = testsupport::ProgramFolder::Read(folder.File(kGetInfoFile));
    EXPECT_EQ(saved, std::string(block.begin(), block.end()));

    link.ExpectWrite(AddressCommand(kCmdGetOTPInfo, 192, kInfoModeDefault));
    link.ExpectWrite(Packet{});
    link.ExpectRead(ExpectedBlock(false, false, false));
    ExpectStatusAllOK();
    EXPECT_EQ(otp->GetOTPInfo2(1), 1);
    EXPECT_TRUE(std::filesystem::exists(folder.File(kGetOTPInfoFile)));
    EXPECT_EQ(otp->GetInfoBlock().BlankCheckOp(), 0xFF);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(InfoOperations, FailedGetInfoKeepsTheLastGoodBlock) {
    EXPECT_TRUE(otp->GetInfoBlock().HoldsNothing());
    const InfoBlockBytes block = ExpectedBlock(true, false, true);
    ExpectReadBack(block);
    ASSERT_EQ(otp->GetInfo(0), 1);
    link.ExpectWrite(AddressCommand(kCmdGetInfo, 192, kInfoModeDefault));
    link.ExpectWrite(Packet{});
    link.ExpectFailedRead(192);
    EXPECT_EQ(otp->GetInfo(1), 0);
    EXPECT_EQ(otp->GetInfoBlock().Bytes(), block);
    EXPECT_FALSE(std::filesystem::exists(folder.File(kGetInfoFile)));
}

TEST_F(InfoOperations, SetInfoSendsTheSelectedPassOperationsAndVerifies) {
    otp->SetOption(kOptionBlankCheck, 1);
    otp->SetOption(kOptionProgram, 0);
    otp->SetOption(kOptionVerify, 1);
    const InfoBlockBytes block = ExpectedBlock(true, false, true);
    EXPECT_EQ(block[0x43], 0x1E);
    EXPECT_EQ(block[0x49], 0xFF);
    EXPECT_EQ(block[0x4E], 0x20);
    link.ExpectWrite(AddressCommand(kCmdSetInfo, 192));
    link.ExpectWrite(block);
    ExpectReadBack(block);
    EXPECT_EQ(otp->SetInfo(1), 1);
    EXPECT_EQ(testsupport::ProgramFolder::Read(folder.File(kSetInfoFile)),
              std::string(block.begin(), block.end()));
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(InfoOperations, ReadBackThatDiffersIsAFailedWrite) {
    const InfoBlockBytes block = ExpectedBlock(false, false, false);
    InfoBlockBytes other = block;
    other[0x84] ^= 1;
    link.ExpectWrite(AddressCommand(kCmdSetInfo, 192));
    link.ExpectWrite(block);
    ExpectReadBack(other);
    EXPECT_EQ(otp->SetInfo(0), 0);
    EXPECT_EQ(otp->GetMessage(), kWriteInfoFailed);
}

TEST_F(InfoOperations, WriterThatStoresNothingAcceptsAnyWrite) {
    const InfoBlockBytes block = ExpectedBlock(false, false, false);
    InfoBlockBytes nothing{};
    nothing[3] = 0xAA;
    link.ExpectWrite(AddressCommand(kCmdSetInfo, 192));
    link.ExpectWrite(block);
    ExpectReadBack(nothing);
    EXPECT_EQ(otp->SetInfo(0), 1);
}

TEST_F(InfoOperations, FailedReadBackIsAFailureWithTheLinksMessage) {
    const InfoBlockBytes block = ExpectedBlock(false, false, false);
    ExpectReadBack(block); // an earlier read of the very same block
    ASSERT_EQ(otp->GetInfo(0), 1);
    link.ExpectWrite(AddressCommand(kCmdSetInfo, 192));
    link.ExpectWrite(block);
    link.ExpectWrite(AddressCommand(kCmdGetInfo, 192, kInfoModeDefault));
    link.ExpectWrite(Packet{});
    link.ExpectFailedRead(192);
    EXPECT_EQ(otp->SetInfo(0), 0);
    EXPECT_EQ(otp->GetMessage(), ScriptedLink::kReadFailText);
}

TEST_F(InfoOperations, SetOTPInfoCarriesTheRecordAndItsEntryByte) {
    InfoRecord record{};
    for (size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<uint8_t>(0x30 + i);
    InfoBlockContent c;
    InfoBlockBytes expected = ExpectedBlock(false, false, false);
    std::copy(record.begin(), record.end(), expected.begin() + 0x20);
    StampInfoCheckSums(expected);

    link.ExpectWrite(AddressCommand(kCmdSetOTPInfo, 192, 0x05));
    link.ExpectWrite(expected);
    ExpectReadBack(expected);
    EXPECT_EQ(otp->SetOTPInfo(1, record), 1);
    EXPECT_TRUE(std::filesystem::exists(folder.File(kSetOTPInfoFile)));

    link.ExpectWrite(AddressCommand(kCmdSetOTPInfo, 192, 0x07));
    link.ExpectWrite(expected);
    ExpectReadBack(expected);
    EXPECT_EQ(otp->SetOTPInfo2(0, record), 1);
    EXPECT_EQ(link.Remaining(), 0u);
}

class BodySelection : public EngineTest {};

TEST_F(BodySelection, RowsOfOneClassAndInvalidIndexes) {
    otp->SelectBody(16);
    ASSERT_NE(otp->GetImage(), nullptr);
    const std::type_info& kt310 = typeid(*otp->GetImage());
    otp->SelectBody(17);
    EXPECT_EQ(typeid(*otp->GetImage()), kt310);
    otp->SelectBody(18);
    EXPECT_EQ(typeid(*otp->GetImage()), kt310);
    otp->SelectBody(21);
    const std::type_info& kt250 = typeid(*otp->GetImage());
    otp->SelectBody(34);
    EXPECT_EQ(typeid(*otp->GetImage()), kt250);
    EXPECT_NE(kt250, kt310);

    for (int index : {0, 35, -1}) {
        otp->SelectBody(index);
        EXPECT_EQ(otp->GetImage(), nullptr) << index;
        EXPECT_EQ(otp->GetBodyCatalogue()->GetCurrentIndex(), index);
    }
}

TEST_F(BodySelection, EveryValidIndexGetsItsOwnBodysImage) {
    for (int index = 1; index <= 34; ++index) {
        otp->SelectBody(index);
        ASSERT_NE(otp->GetImage(), nullptr) << index;
        EXPECT_EQ(otp->GetImage()->BodyIndex(), index);
    }
}

TEST_F(BodySelection, ReselectingKeepsTheOpenFile) {
    const std::string path = folder.File("prog.bin");
    testsupport::ProgramFolder::Write(path, std::string(64, '\x01'));
    otp->SelectBody(12);
    ASSERT_EQ(otp->GetImage()->SetFileName(path), 1);
    otp->SelectBody(26);
    EXPECT_EQ(otp->GetImage()->GetFileName(), path);
    otp->SelectBody(0);
    otp->SelectBody(26); // the path went with the image
    EXPECT_EQ(otp->GetImage()->GetFileName(), "");
}

TEST_F(BodySelection, BodyParametersComeFromTheSelectedBody) {
    otp->SelectBody(3); // OTPSize 5 KB, FwBody 3 in the test profile
    Enable(0x0001);
    link.ExpectWrite(AddressCommand(kCmdBlankCheckOTP, 5 * 1024 - 1, 3));
    link.ExpectWrite(SocketMaskPacket(1));
    ExpectStatusAllOK();
    EXPECT_EQ(otp->BlankCheckOTP(), 1);
}

TEST_F(BodySelection, InitWiresTheEngine) {
    EXPECT_EQ(otp->GetLink(), &link);
    EXPECT_EQ(otp->GetProgramFolder(), folder.Folder().string() + "/");
    ASSERT_NE(otp->GetUpdater(), nullptr);
    EXPECT_EQ(otp->GetFirmwareImage(), &otp->GetUpdater()->GetFirmware());
    EXPECT_NE(otp->GetImage(), nullptr); // the plain image before any body
    EXPECT_TRUE(usb::IsUnlimitedWait());
    EXPECT_EQ(otp->GetBodyCatalogue()->GetCount(), 35);
}

} // namespace
} // namespace enginetest
