// The engine and the firmware updater against the simulated writer, through
// the real writer link and the writer's driver in the user-mode kernel: whole
// passes over 16 sockets with mixed chips, failed transfers, the information
// block and firmware updates. The kernel's verifier must find nothing.
#include "driver/simstack/KernelStack.h"
#include "engine/OTP.h"
#include "image/BodyTable.h"
#include "image/Layouts.h"
#include "sim/Bus.h"
#include "sim/Firmware.h"
#include "tests/engine/EngineFixture.h"
#include "usb/USBInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace enginetest {
namespace {

using namespace engine;

constexpr int kBody = 12;      // plain copy, 16 KB files, 0x4000 units
constexpr int kMissing = 2;    // no chip
constexpr int kProgrammed = 5; // a chip programmed before
constexpr int kBadVerify = 9;  // a chip that fails verify

TEST(SimulatedWriterSize, HoldsTheLargestImagesOfEveryBody) {
    size_t largestWord = 0, largestChip = 0;
    for (const image::BodyLayout& b : image::BodyLayouts()) {
        uint32_t file = 0;
        for (const image::SizeRule* r = image::FindSizeRule(b.index); r;
             r = r->alsoIndex ? image::FindSizeRule(r->alsoIndex) : nullptr) {
            file = std::max(file, r->upTo);
            for (uint32_t length : r->lengths)
                file = std::max(file, length);
        }
        const bool pads = b.family == image::Family::SixBitSwapped;
        const size_t chip = b.units ? b.units : size_t{file} / 4 * 3;
        const size_t word =
            b.units || pads ? image::layout::WordImageSize(chip, b.group, pads) : size_t{file};
        largestWord = std::max(largestWord, word);
        largestChip = std::max(largestChip, chip);
    }
    EXPECT_EQ(largestWord, sim::kBufferCapacity);
    EXPECT_EQ(largestChip, sim::kMaxChipSize);
}

class SimulatedWriter : public testsupport::ProgramFolderTest {
protected:
    void SetUp() override {
        WriteTestProfile(folder);
        bus = std::make_shared<sim::Bus>(clock);
        // An instance of its own: the link claims a writer by it, system-wide,
        // and tests run in parallel processes.
        sim::WriterConfig config;
        config.instance = "7&e5&" + std::to_string(std::random_device{}()) + "&0";
        writer = bus->AddWriter(config);
        io = std::make_unique<driver::simstack::KernelStack>(bus);
        link = std::make_unique<usb::C_USBInfo>(io.get(), clock, result);
        otp = std::make_unique<C_OTP>(*link, clock, result);
        link->SetBodyType(usb::kIceBodyWriter);
    }

    void TearDown() override {
        otp.reset();
        link.reset();
        io->Settle();
        for (const auto& finding : io->Findings())
            ADD_FAILURE() << "verifier: " << kshim::CheckName(finding.check) << ": "
                          << finding.detail;
        testsupport::ProgramFolderTest::TearDown();
    }

    void InsertMixedChips() {
        for (int i = 0; i < 16; ++i)
            if (i != kMissing)
                writer->InsertChip(i);
        sim::Chip used;
        used.SetContents(std::vector<uint8_t>(14 * 1024, 0x00));
        writer->InsertChip(kProgrammed, used);
        writer->FailSocket(kBadVerify, sim::Operation::Verify);
    }

    // Body 12 with a 16 KB image file in the program folder.
    void OpenImage() {
        std::string bytes(0x4000, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 5 + 3);
        testsupport::ProgramFolder::Write(folder.File("prog.bin"), bytes);
        otp->SelectBody(kBody);
        ASSERT_EQ(otp->GetImage()->SetFileName(folder.File("prog.bin")), 1);
    }

    // Attach as the main window does: scan, read, keep the sockets with chips.
    void Attach() {
        ASSERT_EQ(otp->ScanSockets(), 1);
        ASSERT_EQ(otp->ReadStatus(), 1);
        ASSERT_EQ(otp->ResetSocketStates(), 1);
    }

    uint8_t State(int socket) { return otp->GetSocketStates()[socket]; }

    // What a chip must hold after programming: the chip image up to the
    // program end address (the body's OTP is smaller than its image in the
    // test profile), blank beyond.
    std::vector<uint8_t> ExpectedChip() {
        const uint32_t otpEnd = 14 * 1024 - 1;
        const uint32_t end =
            std::min(static_cast<uint32_t>(otp->GetImage()->GetLastUnit()), otpEnd);
        const uint8_t* chipImage = otp->GetImage()->GetChipImage();
        std::vector<uint8_t> chip(otpEnd + 1, 0xFF);
        for (uint32_t a = 0; a <= end; ++a)
            chip[a] = chipImage[a];
        return chip;
    }

    core::C_Result result;
    port::ManualClock clock;
    std::shared_ptr<sim::Bus> bus;
    std::shared_ptr<sim::Writer> writer;
    std::unique_ptr<driver::simstack::KernelStack> io;
    std::unique_ptr<usb::C_USBInfo> link;
    std::unique_ptr<C_OTP> otp;
};

TEST_F(SimulatedWriter, FullPassOverSixteenSocketsWithMixedChips) {
    InsertMixedChips();
    OpenImage();
    Attach();
    EXPECT_EQ(State(kMissing), kSocketInit);
    EXPECT_EQ(otp->IsSocketEnabled(kMissing), 0);
    EXPECT_EQ(otp->CountSockets(kSocketOK), 15);
    EXPECT_EQ(io->Stats().arrivals, 1u);

    ASSERT_EQ(otp->LoadBuffer(), 1) << otp->GetMessage();
    ASSERT_EQ(otp->VerifyBuffer(kBody), 1);
    const uint8_t* words = otp->GetImage()->GetWordImage();
    const std::vector<uint8_t> buffer = writer->BufferOf(0);
    ASSERT_GE(buffer.size(), 0x6000u);
    EXPECT_TRUE(std::equal(words, words + 0x6000, buffer.begin()));

    otp->SelectPassed(0);
    EXPECT_EQ(otp->BlankCheckOTP(), 0); // the programmed chip is not blank
    EXPECT_EQ(State(kProgrammed), kSocketFail);
    EXPECT_EQ(otp->CountSockets(kSocketOK), 14);

    otp->SelectPassed(1);
    EXPECT_EQ(otp->IsSocketEnabled(kProgrammed), 0);
    EXPECT_EQ(otp->ProgramOTP(), 1);
    otp->SelectPassed(1);
    EXPECT_EQ(otp->VerifyOTP(), 0);
    EXPECT_EQ(State(kBadVerify), kSocketFail);
    const int passed = otp->CountSockets(kSocketOK);
    EXPECT_EQ(passed, 13);
    EXPECT_EQ(otp->SendSocketStates(), 1);
    EXPECT_EQ(writer->StateOf(kBadVerify), sim::SocketState::Fail);

    const std::vector<uint8_t> expected = ExpectedChip();
    for (int i = 0; i < 16; ++i) {
        if (i == kMissing || i == kProgrammed)
            continue;
        const auto chip = writer->ChipAt(i);
        ASSERT_TRUE(chip.has_value()) << i;
        EXPECT_EQ(chip->Contents(), expected) << "socket " << i;
    }
    EXPECT_EQ(writer->ChipAt(kProgrammed)->Contents(), std::vector<uint8_t>(14 * 1024, 0x00));

    otp->SetPassCounter(passed);
    otp->SetFailCounter(otp->CountSockets(kSocketFail));
    EXPECT_EQ(otp->SetCounters(passed, 1), 1);
    EXPECT_EQ(writer->PassCount(), passed);
    EXPECT_EQ(writer->FailCount(), 1);

    otp->SelectPassed(1);
    ASSERT_EQ(otp->ReadOTP("ReadOTPData.OTP.bin"), 1) << otp->GetMessage();
    const std::string back = testsupport::ProgramFolder::Read(folder.File("ReadOTPData.OTP.bin"));
    EXPECT_EQ(back, std::string(expected.begin(), expected.end()));
    EXPECT_EQ(io->BusTransfers(), writer->TransferCount())
        << "every transfer of the pass crossed LINKPOD and the kernel's bus";
}

TEST_F(SimulatedWriter, SecondPassFindsTheChipsProgrammed) {
    for (int i = 0; i < 16; ++i)
        writer->InsertChip(i);
    OpenImage();
    Attach();
    ASSERT_EQ(otp->LoadBuffer(), 1);
    ASSERT_EQ(otp->ProgramOTP(), 1);
    ASSERT_EQ(otp->VerifyOTP(), 1);
    EXPECT_EQ(otp->BlankCheckOTP(), 0);
    EXPECT_EQ(otp->CountSockets(kSocketFail), 16);
    EXPECT_EQ(otp->VerifyOTP(), 1); // the contents are still right
}

TEST_F(SimulatedWriter, FailedStatusReadIsReportedAsAFailure) {
    InsertMixedChips();
    OpenImage();
    Attach();
    ASSERT_EQ(otp->LoadBuffer(), 1);
    // The next read is the status reply of the program step.
    writer->AddTransportFault({sim::TransportFaultKind::ReadFails, 0, sim::Direction::Read, 1, 0});
    EXPECT_EQ(otp->ProgramOTP(), 0);
    EXPECT_FALSE(otp->GetMessage().empty());
    EXPECT_EQ(otp->GetSocketStates(), AllStates(kSocketInit));
    // The link finds the writer again and the next step works.
    otp->ResetSocketStates();
    EXPECT_EQ(otp->ReadStatus(), 1);
}

TEST_F(SimulatedWriter, ReadBackOfAFailingChipKeepsTheEarlierFile) {
    InsertMixedChips();
    OpenImage();
    Attach();
    ASSERT_EQ(otp->LoadBuffer(), 1);
    otp->ProgramOTP();
    for (int i = 0; i < 16; ++i)
        otp->SetSocketEnabled(i, i == 0);
    ASSERT_EQ(otp->ReadOTP("ReadOTPData.OTP.bin"), 1) << otp->GetMessage();
    const std::string good = testsupport::ProgramFolder::Read(folder.File("ReadOTPData.OTP.bin"));
    ASSERT_EQ(good.size(), 14u * 1024u);
    const std::vector<uint8_t> expected = ExpectedChip();
    EXPECT_EQ(good, std::string(expected.begin(), expected.end()));

    writer->FailSocket(0, sim::Operation::ReadOtp);
    EXPECT_EQ(otp->ReadOTP("ReadOTPData.OTP.bin"), 0);
    EXPECT_FALSE(otp->GetMessage().empty());
    EXPECT_EQ(testsupport::ProgramFolder::Read(folder.File("ReadOTPData.OTP.bin")), good);
}

TEST_F(SimulatedWriter, InformationBlockIsStoredAndReadBack) {
    InsertMixedChips();
    OpenImage();
    Attach();
    ASSERT_EQ(otp->GetInfo(0), 1);
    EXPECT_TRUE(otp->GetInfoBlock().HoldsNothing()); // nothing stored yet

    otp->SetOption(kOptionBlankCheck, 1);
    otp->SetOption(kOptionVerify, 1);
    otp->SetPassCounter(41);
    otp->SetFailCounter(2);
    ASSERT_EQ(otp->SetInfo(1), 1) << otp->GetMessage();
    const auto stored = writer->Information();
    ASSERT_TRUE(stored.has_value());
    const std::string saved = testsupport::ProgramFolder::Read(folder.File(kSetInfoFile));
    EXPECT_EQ(std::string(stored->begin(), stored->end()), saved);

    ASSERT_EQ(otp->GetInfo(0), 1);
    const InfoBlock& block = otp->GetInfoBlock();
    EXPECT_EQ(block.PassCounter(), 41);
    EXPECT_EQ(block.FailCounter(), 2);
    EXPECT_EQ(block.BlankCheckOp(), 0x1E);
    EXPECT_EQ(block.ProgramOp(), 0xFF);
    EXPECT_EQ(block.VerifyOp(), 0x20);
    EXPECT_EQ(block.BodyType(), 0x100 + kBody);
}

TEST_F(SimulatedWriter, RejectedUpdateRecoversWithASecondUpdate) {
    const std::vector<uint8_t> image = sim::BuildFirmwareImage({2, 0, 0, 7, 0, 0});
    const std::string path = folder.File(firmware::kFirmwareFileName);
    testsupport::ProgramFolder::Write(path, std::string(image.begin(), image.end()));
    firmware::C_FWUpdate& updater = *otp->GetUpdater();
    updater.GetFirmware().SetFileName(path);
    link->SetBodyType(usb::kIceBodyFirmwareUpdate);
    ASSERT_EQ(link->EnsureOpen(), 1) << link->GetMessage();

    // The writer does not acknowledge the application: the update stops there.
    writer->AddTransportFault({sim::TransportFaultKind::ReadFails, 0, sim::Direction::Read, 1, 0});
    EXPECT_EQ(updater.Update(), 0);
    EXPECT_EQ(updater.GetMessage(), firmware::kUpdateAppFailed);
    EXPECT_TRUE(writer->InBootLoader());

    EXPECT_EQ(updater.Update(), 1) << updater.GetMessage();
    EXPECT_FALSE(writer->InBootLoader());
    std::string version;
    ASSERT_EQ(updater.GetWriterVersionString(version), 1);
    EXPECT_EQ(version, "0002.0000.0000.0007");
    EXPECT_EQ(updater.IsAppCurrent(), 1);
    EXPECT_GE(clock.SleptMs(), 1500u);
}

} // namespace
} // namespace enginetest
