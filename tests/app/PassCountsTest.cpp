// What a pass touches and counts, on the headless host over the simulated
// writer: only the sockets ticked for it, every chip it tried to program,
// only buffers known to hold the image, and step times on the clock.
#include "tests/app/WindowFixture.h"

#include "image/BodyTable.h"

#include <gmock/gmock.h>

#include <filesystem>

namespace apptest {
namespace {

using ::testing::HasSubstr;
namespace ids = app::ids;
namespace keys = core::settings;

class PassCounts : public WindowTest {
protected:
    void StartOnBody12() {
        Setting(keys::kGeneral, keys::kDevelopVersion, keys::kDevelopPassword);
        Setting(keys::kFile, keys::kDeviceBodyIndex, "12");
        StartWindow();
        host->Click(ids::kMultiDevice);
    }
    void Open() {
        host->AnswerFileDialog(WriteImage("pass.bin", image::FindSizeRule(12)->lengths[0]));
        host->Click(ids::kOpen);
    }
    void Load() {
        host->AnswerBoxes({core::kIdOk});
        host->Click(ids::kLoadToWriterBuffer);
        host->WaitIdle();
    }
    void Pass() {
        host->Click(ids::kProgram);
        host->WaitIdle();
    }
    void SelectAllOperations() {
        if (!host->Check(ids::kSelectAllOperations))
            host->Click(ids::kSelectAllOperations);
    }
    std::string Log() { return testsupport::ProgramFolder::Read(dlg->OtpLog().FilePath()); }
};

TEST_F(PassCounts, UntickedSocketsStayOutOfEveryStepAndCount) {
    StartOnBody12();
    Open();
    Load();
    Pass();
    ASSERT_EQ(host->Text(ids::kOkCount), "16");
    // The operator takes sockets 9-16 out and puts new chips in every socket;
    // the writer still reports 9-16 as they were.
    for (int socket = 8; socket < 16; ++socket)
        host->Click(ids::kSocketBoxBase + socket);
    for (int socket = 0; socket < 16; ++socket) {
        writer->RemoveChip(socket);
        writer->InsertChip(socket);
    }
    host->ClearRecord();
    Pass();
    for (int socket = 8; socket < 16; ++socket) {
        EXPECT_TRUE(writer->ChipAt(socket)->IsBlank()) << socket;
        EXPECT_EQ(host->Text(ids::kStatusTextBase + socket), "") << socket;
        EXPECT_EQ(host->Control(ids::kLampBase + socket).picture, ids::kBitmapGrey) << socket;
    }
    EXPECT_FALSE(writer->ChipAt(0)->IsBlank());
    EXPECT_THAT(Log(), HasSubstr("  2 Verify OTP:\t\t\tOK:   8 Fail:   0 Init:   8"));
    EXPECT_EQ(host->Text(ids::kOkCount), "24");
    EXPECT_EQ(writer->PassCount(), 24);
}

TEST_F(PassCounts, EveryChipThePassTriedToProgramAndNotOkIsAFailedChip) {
    writer->FailSocket(1, sim::Operation::Program);
    writer->FailSocket(2, sim::Operation::Verify);
    writer->FailSocket(3, sim::Operation::BlankCheck); // refused: never programmed
    StartOnBody12();
    Open();
    Load();
    Pass();
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 1), "Program ...Fail");
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 2), "Verify ... Fail");
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 3), "Blank Check ... Fail");
    EXPECT_EQ(host->Text(ids::kOkCount), "13");
    EXPECT_EQ(host->Text(ids::kFailCount), "2");
    EXPECT_EQ(Setting(keys::kGeneral, keys::kOtpCounterFail), "2");
    EXPECT_EQ(writer->FailCount(), 2);
    EXPECT_TRUE(writer->ChipAt(3)->IsBlank());
}

// The writer programs each chip from its socket's buffer. A pass on buffers
// this window never saw hold the image has the writer check them first and
// programs only where they do; a failed load leaves nothing to program.
TEST_F(PassCounts, ABufferNotKnownToHoldTheImageIsCheckedBeforeAnyChipIsProgrammed) {
    StartOnBody12();
    Open();
    SelectAllOperations();
    host->AnswerBoxes({core::kIdOk}); // "program however"
    Pass();
    EXPECT_EQ(host->Text(ids::kStatusTextBase), "Verify WriterBuffer ... Fail");
    EXPECT_TRUE(writer->ChipAt(0)->IsBlank());
    EXPECT_EQ(host->Text(ids::kOkCount), "0");
    EXPECT_EQ(host->Text(ids::kFailCount), "0");

    // A load whose data stops half way leaves the buffers erased and half
    // written: the pass that follows programs nothing.
    sim::TransportFault cut;
    cut.kind = sim::TransportFaultKind::WriteFails;
    cut.direction = sim::Direction::Write;
    cut.atTransfer = writer->TransferCount() + 60;
    writer->AddTransportFault(cut);
    Load();
    ASSERT_EQ(writer->TransportFaultsHit(), 1u);
    EXPECT_EQ(dlg->State().bufferStale.load(), 1);
    host->Click(ids::kSelectAllSockets);
    if (!host->Check(ids::kSelectAllSockets))
        host->Click(ids::kSelectAllSockets);
    SelectAllOperations();
    host->AnswerBoxes({core::kIdOk});
    Pass();
    for (int socket = 0; socket < 16; ++socket)
        EXPECT_TRUE(writer->ChipAt(socket)->IsBlank()) << socket;
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 5), "Verify WriterBuffer ... Fail");
    EXPECT_EQ(host->Text(ids::kOkCount), "0");

    // Loaded whole, the same sockets are programmed without a question.
    Load();
    SelectAllOperations();
    host->ClearRecord();
    Pass();
    EXPECT_TRUE(host->BoxTexts().empty());
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 5), "Verify ... OK");
    EXPECT_EQ(host->Text(ids::kOkCount), "16");
}

// The buffers were loaded with an image whose file is gone by the pass: the
// writer's check of them cannot run, and no socket takes part in any step,
// whatever the writer still reports from the load.
TEST_F(PassCounts, AnImageGoneSinceItsLoadProgramsNothing) {
    StartOnBody12();
    Open();
    Load();
    std::filesystem::remove(dlg->Engine().GetImage()->GetFileName());
    host->AnswerBoxes({core::kIdOk}); // "program however"
    host->ClearRecord();
    Pass();
    for (int socket = 0; socket < 16; ++socket) {
        EXPECT_TRUE(writer->ChipAt(socket)->IsBlank()) << socket;
        EXPECT_EQ(host->Text(ids::kStatusTextBase + socket), "Verify WriterBuffer ... Init");
    }
    EXPECT_THAT(host->BoxTexts(), ::testing::Contains(::testing::HasSubstr("hasn't been")));
    EXPECT_EQ(host->Text(ids::kOkCount), "0");
    EXPECT_EQ(host->Text(ids::kFailCount), "0");
}

TEST_F(PassCounts, StepTimesFollowTheWritersTimeOnTheClock) {
    StartOnBody12();
    Open();
    Load();
    writer->SetTimings({5, 0, 0, 0}); // every transfer takes 5 ms
    host->ClearRecord();
    Pass();
    EXPECT_THAT(Log(), HasSubstr("  1 Blank Check OTP:\tOK:  16 Fail:   0 Init:   0 Time:0.0200"));
    EXPECT_THAT(Log(), HasSubstr("  1 Program OTP:\t\tOK:  16 Fail:   0 Init:   0 Time:0.0200"));
    EXPECT_THAT(Log(), HasSubstr("  1 Verify OTP:\t\t\tOK:  16 Fail:   0 Init:   0 Time:0.0200"));
    EXPECT_EQ(host->Text(ids::kElapsed), "0.060");
    EXPECT_EQ(host->Text(ids::kTimeLabel), "Program Time");
}

} // namespace
} // namespace apptest
