// OTP operations over a scripted link: end addresses, status checks, failed
// transfers and the read-back file.
#include "tests/engine/EngineFixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace enginetest {
namespace {

using namespace engine;

class OTPOperations : public EngineTest {};

TEST_F(OTPOperations, BlankCheckAndTrimsCoverTheWholeOTP) {
    UseImage(1000, 0, 0x10);
    Enable(0x00F0);
    ExpectMasked(AddressCommand(kCmdBlankCheckOTP, kOtpEnd, kFwBody), 0x00F0);
    ExpectStatusAllOK();
    EXPECT_EQ(otp->BlankCheckOTP(), 1);
    ExpectMasked(AddressCommand(kCmdTrimIHRC, kOtpEnd, kFwBody), 0x00F0);
    ExpectStatusAllOK();
    EXPECT_EQ(otp->TrimIHRC(), 1);
    ExpectMasked(AddressCommand(kCmdTrimLVD, kOtpEnd, kFwBody), 0x00F0);
    ExpectStatusAllOK();
    EXPECT_EQ(otp->TrimLVD(), 1);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(OTPOperations, ProgramAndVerifyEndAtTheLastUnitClampedToTheOTP) {
    struct Case {
        int lastUnit;
        uint32_t end;
    };
    // -1 is an empty image: as an unsigned address it exceeds the OTP too.
    for (const Case c : {Case{0x10, 0x10}, Case{0xFFF, 0xFFF}, Case{0x1000, 0xFFF},
                         Case{0x7FFFFFFF, 0xFFF}, Case{-1, 0xFFF}}) {
        SCOPED_TRACE(c.lastUnit);
        UseImage(64, 0, c.lastUnit);
        Enable(0x0001);
        ExpectMasked(AddressCommand(kCmdProgramOTP, c.end, kFwBody), 0x0001);
        ExpectStatusAllOK();
        EXPECT_EQ(otp->ProgramOTP(), 1);
        ExpectMasked(AddressCommand(kCmdVerifyOTP, c.end, kFwBody), 0x0001);
        ExpectStatusAllOK();
        EXPECT_EQ(otp->VerifyOTP(), 1);
        EXPECT_EQ(link.Remaining(), 0u);
    }
}

TEST_F(OTPOperations, StatusCheckLooksOnlyAtEnabledSockets) {
    UseImage(64);
    std::array<uint8_t, kSocketCount> states = AllStates(kSocketOK);
    states[8] = kSocketFail;

    Enable(0x00FF); // socket 8 disabled: its failure does not count
    ExpectMasked(AddressCommand(kCmdBlankCheckOTP, kOtpEnd, kFwBody), 0x00FF);
    ExpectStatus(states);
    EXPECT_EQ(otp->BlankCheckOTP(), 1);

    Enable(0x0100);
    ExpectMasked(AddressCommand(kCmdBlankCheckOTP, kOtpEnd, kFwBody), 0x0100);
    ExpectStatus(states);
    EXPECT_EQ(otp->BlankCheckOTP(), 0);
    EXPECT_EQ(otp->GetSocketStates()[8], kSocketFail);

    Enable(0); // no socket: mask 0 and nothing can fail
    ExpectMasked(AddressCommand(kCmdBlankCheckOTP, kOtpEnd, kFwBody), 0);
    ExpectStatus(AllStates(kSocketFail));
    EXPECT_EQ(otp->BlankCheckOTP(), 1);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(OTPOperations, FailedStatusTransferIsAFailureWithTheLinksMessage) {
    UseImage(64);
    Enable(0xFFFF);
    ExpectMasked(AddressCommand(kCmdProgramOTP, 0x100, kFwBody), 0xFFFF);
    link.ExpectWrite(CommandPacket(kCmdReadStatus));
    link.ExpectFailedRead(64);
    EXPECT_EQ(otp->ProgramOTP(), 0);
    EXPECT_EQ(otp->GetMessage(), ScriptedLink::kReadFailText);
    EXPECT_EQ(otp->GetSocketStates(), AllStates(kSocketInit));

    ExpectMasked(AddressCommand(kCmdVerifyOTP, 0x100, kFwBody), 0xFFFF);
    link.ExpectWrite(CommandPacket(kCmdReadStatus), false);
    EXPECT_EQ(otp->VerifyOTP(), 0);
    EXPECT_EQ(otp->GetMessage(), ScriptedLink::kWriteFailText);
}

// The sockets' earlier states say nothing about a step that never reached the
// writer: they read Init, so a window shows no OK for it.
TEST_F(OTPOperations, FailedCommandSendsNeitherMaskNorStatusAndLeavesNoSocketOK) {
    UseImage(64);
    Enable(0x0007); // a lone mask packet would read as command 0x07
    link.ExpectWrite(AddressCommand(kCmdBlankCheckOTP, kOtpEnd, kFwBody));
    link.ExpectWrite(SocketMaskPacket(0x0007));
    ExpectStatusAllOK();
    ASSERT_EQ(otp->BlankCheckOTP(), 1);
    link.ExpectWrite(AddressCommand(kCmdProgramOTP, 0x100, kFwBody), false);
    EXPECT_EQ(otp->ProgramOTP(), 0);
    EXPECT_EQ(link.Written().size(), 4u);
    EXPECT_EQ(otp->GetSocketStates(), AllStates(kSocketInit));
}

TEST_F(OTPOperations, ReadOTPSavesTheChipIntoTheProgramFolder) {
    UseImage(64);
    Enable(0x0001);
    link.ExpectWrite(AddressCommand(kCmdReadOTP, kOtpEnd, kFwBody)); // no mask packet
    link.ExpectRead(Bytes(kReadBack, 0xAA));
    ExpectStatusAllOK();
    EXPECT_EQ(otp->ReadOTP("ReadOTPData.OTP.bin"), 1);
    EXPECT_EQ(testsupport::ProgramFolder::Read(folder.File("ReadOTPData.OTP.bin")),
              std::string(kReadBack, '\xAA'));
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(OTPOperations, FailedReadKeepsTheEarlierReadBackFile) {
    UseImage(64);
    const std::string earlier = "an earlier good read-back";
    testsupport::ProgramFolder::Write(folder.File("ReadOTPData.OTP.bin"), earlier);
    link.ExpectWrite(AddressCommand(kCmdReadOTP, kOtpEnd, kFwBody));
    link.ExpectFailedRead(kReadBack);
    EXPECT_EQ(otp->ReadOTP("ReadOTPData.OTP.bin"), 0);
    EXPECT_EQ(otp->GetMessage(), ScriptedLink::kReadFailText);
    EXPECT_EQ(testsupport::ProgramFolder::Read(folder.File("ReadOTPData.OTP.bin")), earlier);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(OTPOperations, ReadOTPIntoAFolderThatCannotTakeTheFileFails) {
    UseImage(64);
    link.ExpectWrite(AddressCommand(kCmdReadOTP, kOtpEnd, kFwBody));
    link.ExpectRead(Bytes(kReadBack, 0x11));
    ExpectStatusAllOK();
    EXPECT_EQ(otp->ReadOTP("no-such-folder/ReadOTPData.OTP.bin"), 0);
    EXPECT_NE(otp->GetMessage().find("Can't open file"), std::string::npos);
}

TEST_F(OTPOperations, ScanSocketsReadsTheStatesItFinds) {
    std::array<uint8_t, kSocketCount> states = AllStates(kSocketInit);
    states[0] = kSocketOK;
    states[9] = kSocketOK;
    link.ExpectWrite(CommandPacket(kCmdScanSockets));
    ExpectStatus(states);
    EXPECT_EQ(otp->ScanSockets(), 1);
    EXPECT_EQ(otp->GetSocketStates(), states);
}

TEST_F(OTPOperations, SetCountersSendsSixteenBitsEachAndReturnsTheWrite) {
    link.ExpectWrite(SetCountersCommand(1234, 0x1170));
    EXPECT_EQ(otp->SetCounters(1234, 70000), 1);
    link.ExpectWrite(SetCountersCommand(1, 2), false);
    EXPECT_EQ(otp->SetCounters(1, 2), 0);
    EXPECT_EQ(link.Remaining(), 0u);
}

TEST_F(OTPOperations, WithoutABodyImageOperationsSendNothing) {
    otp->SelectBody(0);
    EXPECT_EQ(otp->GetImage(), nullptr);
    EXPECT_EQ(otp->LoadBuffer(), 0);
    EXPECT_EQ(otp->ProgramOTP(), 0);
    EXPECT_EQ(otp->ReadOTP("x.bin"), 0);
    EXPECT_EQ(otp->SetInfo(0), 0);
    EXPECT_EQ(otp->GetMessage(), kNoBodySelected);
    EXPECT_TRUE(link.Written().empty());
}

TEST_F(OTPOperations, BodyWithoutOTPSizeSendsNoWrappedAddress) {
    otp->SelectBody(33);
    Enable(0xFFFF);
    testsupport::ProgramFolder::Write(folder.File("ReadOTPData.OTP.bin"), "kept");
    EXPECT_EQ(otp->BlankCheckOTP(), 0);
    EXPECT_EQ(otp->ProgramOTP(), 0);
    EXPECT_EQ(otp->TrimIHRC(), 0);
    EXPECT_EQ(otp->ReadOTP("ReadOTPData.OTP.bin"), 0);
    EXPECT_EQ(otp->GetMessage(), kNoBodySelected);
    EXPECT_TRUE(link.Written().empty());
    EXPECT_EQ(testsupport::ProgramFolder::Read(folder.File("ReadOTPData.OTP.bin")), "kept");
}

} // namespace
} // namespace enginetest
