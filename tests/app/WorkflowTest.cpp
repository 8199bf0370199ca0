// The operator's day on the headless host: open, load, passes with their log
// lines and counters, stress runs, the information record and the service
// commands, over the simulated writer.
#include "tests/app/WindowFixture.h"

#include "app/InfoRecordBuilder.h"
#include "image/BodyTable.h"

#include <gmock/gmock.h>

namespace apptest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace ids = app::ids;
namespace keys = core::settings;

class WorkflowTest : public WindowTest {
protected:
    // Developer mode (the OTP log is written only there) on body 12.
    void StartOnBody12() {
        Setting(keys::kGeneral, keys::kDevelopVersion, "MERiL_TB7");
        Setting(keys::kFile, keys::kDeviceBodyIndex, "12");
        StartWindow();
        host->ClearRecord();
    }
    std::string OpenImage() {
        const std::string path = WriteImage("day.bin", image::FindSizeRule(12)->lengths[0]);
        host->AnswerFileDialog(path);
        host->Click(ids::kOpen);
        return path;
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
    std::string Log() { return testsupport::ProgramFolder::Read(dlg->OtpLog().FilePath()); }
};

TEST_F(WorkflowTest, OpenLoadAndPassThroughTheDriverCountAndLogEveryStep) {
    writer->RemoveChip(4);
    writer->FailSocket(9, sim::Operation::Verify);
    ThroughDriver();
    StartOnBody12();
    const std::string path = OpenImage();
    EXPECT_EQ(host->Text(ids::kFileName), path);
    EXPECT_EQ(host->Text(ids::kLength), std::to_string(image::FindSizeRule(12)->lengths[0]));
    EXPECT_EQ(Setting(keys::kFile, keys::kLastOpenFileName), path);
    EXPECT_EQ(dlg->State().bufferStale.load(), 1);

    Load();
    EXPECT_THAT(host->BoxTexts(), ElementsAre("Load the bin file to the WriterBuffer now ?"));
    EXPECT_EQ(dlg->State().bufferLoaded.load(), 1);
    EXPECT_EQ(dlg->State().bufferStale.load(), 0);
    EXPECT_THAT(host->Text(ids::kLength), HasSubstr(" Bytes"));
    EXPECT_EQ(host->Text(ids::kStatusTextBase), "Loading...Verify ... OK");
    EXPECT_EQ(host->Text(ids::kTimeLabel), "Load Time");
    EXPECT_EQ(host->Check(ids::kSelectAllOperations), 1);
    EXPECT_TRUE(host->Enabled(ids::kProgram));
    EXPECT_EQ(SocketBoxes(), "1111011111111111");

    Pass();
    EXPECT_EQ(Log(),
              "========================================\r\n"
              "  1 Blank Check OTP:\tOK:  15 Fail:   0 Init:   1 Time:0.0000\t\t 14:05:07\t\t\r\n"
              "  1 Program OTP:\t\tOK:  15 Fail:   0 Init:   1 Time:0.0000\t\t 14:05:07\t\t\r\n"
              "  1 Verify OTP:\t\t\tOK:  14 Fail:   1 Init:   1 Time:0.0000\t\t 14:05:07\t\t\r\n");
    EXPECT_EQ(host->Text(ids::kOkCount), "14");
    EXPECT_EQ(host->Text(ids::kFailCount), "1");
    EXPECT_EQ(Setting(keys::kGeneral, keys::kOtpCounterOk), "14");
    EXPECT_EQ(writer->PassCount(), 14);
    EXPECT_EQ(writer->FailCount(), 1);
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 9), "Verify ... Fail");
    EXPECT_EQ(host->Control(ids::kLampBase + 9).picture, ids::kBitmapRed);
    EXPECT_TRUE(dlg->IsRedText(ids::kStatusTextBase + 9));
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 4), "");
    EXPECT_EQ(host->Text(ids::kTimeLabel), "Program Time");
    EXPECT_FALSE(writer->ChipAt(0)->IsBlank());
}

TEST_F(WorkflowTest, RefusedImagesLeaveTheOpenImageAndLoadAsTheyWere) {
    StartOnBody12();
    const std::string good = OpenImage();
    const std::string wrongSize = WriteImage("short.bin", image::FindSizeRule(12)->lengths[0] - 1);
    host->AnswerFileDialog(wrongSize);
    host->Click(ids::kOpen);
    host->AnswerFileDialog(folder.File("missing.bin"));
    host->Click(ids::kOpen);
    EXPECT_THAT(host->BoxTexts(), ElementsAre("File size does not match the OTP size!",
                                              "The File \"missing.bin\" cannot be read whole!"));
    EXPECT_EQ(host->Text(ids::kFileName), good);
    EXPECT_EQ(Setting(keys::kFile, keys::kLastOpenFileName), good);
    EXPECT_FALSE(host->Enabled(ids::kLoadToWriterBuffer));
}

TEST_F(WorkflowTest, PassesThatDoNothingOrAreCancelledSendNothingAndLogNothing) {
    StartOnBody12();
    OpenImage();
    Pass(); // nothing ticked
    EXPECT_EQ(Log(), "");

    host->Click(ids::kOpBlankCheck); // Blank Check alone: no separator, no summary
    Pass();
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(host->Text(ids::kStatusTextBase), "Blank Check ... OK");

    host->Click(ids::kSelectAllOperations);
    host->AnswerBoxes({core::kIdCancel});
    Pass();
    EXPECT_THAT(host->BoxTexts(),
                ElementsAre("The writer buffer hasn't been initialized! \n\nDo you want to program "
                            "however?"));
    EXPECT_EQ(host->Boxes()[0].caption, "Program");
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(dlg->State().bufferStale.load(), 1);
    EXPECT_TRUE(writer->ChipAt(0)->IsBlank());
}

TEST_F(WorkflowTest, CountersWrapAtTenThousandAndBlankFailuresKeepThem) {
    Setting(keys::kGeneral, keys::kOtpCounterOk, "9998");
    Setting(keys::kGeneral, keys::kOtpCounterFail, "9999");
    for (int socket = 5; socket < 16; ++socket)
        writer->RemoveChip(socket);
    writer->FailSocket(0, sim::Operation::Program);
    StartOnBody12();
    OpenImage();
    Load();
    Pass();
    EXPECT_EQ(host->Text(ids::kOkCount), "2");   // 9998 + 4
    EXPECT_EQ(host->Text(ids::kFailCount), "0"); // 9999 + 1

    writer->FailSocket(1, sim::Operation::BlankCheck);
    for (int socket = 2; socket < 5; ++socket)
        writer->FailSocket(socket, sim::Operation::BlankCheck);
    // Socket 1's box, cleared by the failed chip, ticked again in the 16-socket layout.
    host->Click(ids::kMultiDevice);
    host->Click(ids::kSelectAllSockets);
    ASSERT_EQ(SocketBoxes(), "1111111111111111");
    Pass();
    EXPECT_EQ(Setting(keys::kGeneral, keys::kOtpCounterOk), "2");
    EXPECT_EQ(Setting(keys::kGeneral, keys::kOtpCounterFail), "0");
    EXPECT_THAT(Log(), HasSubstr("  2 Blank Check OTP:\tOK:   0 Fail:  16 Init:   0"));
    EXPECT_THAT(Log(), ::testing::Not(HasSubstr("  2 Program OTP:")));
}

TEST_F(WorkflowTest, StressRunOfThreeWritesTotalsAndAStopWritesThemOneIntervalLater) {
    StartOnBody12();
    OpenImage();
    Load();
    host->Type(ids::kStressCount, "3");
    host->Click(ids::kStress);
    EXPECT_EQ(host->Text(ids::kStress), "Stop !");
    for (int i = 0; i < 3; ++i) {
        host->AdvanceTime(1500);
        host->WaitIdle();
    }
    host->AdvanceTime(1);
    host->WaitIdle();
    host->AdvanceTime(100); // a retry, should the last pass still run
    EXPECT_EQ(host->Text(ids::kStress), "Test Start");
    EXPECT_EQ(host->Text(ids::kStressCount), "0");
    // The chips programmed by the first pass are no longer blank: the next
    // two passes stop after their blank check.
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("  3 Blank Check OTP:\tOK:   0 Fail:  16 Init:   0"));
    EXPECT_THAT(log, HasSubstr("\r\n\r\n\r\nTotal Blank Check:\t OK:  16 Fail:  32 Init:   0\r\n"
                               "Total Program:\t\t OK:  16 Fail:   0 Init:   0\r\n"
                               "Total Verify:\t\t OK:  16 Fail:   0 Init:   0\r\n"));
    host->Click(ids::kStress); // the count is 0: nothing happens
    EXPECT_EQ(host->Text(ids::kStress), "Test Start");

    host->Type(ids::kStressCount, "5");
    host->Click(ids::kStress);
    host->AdvanceTime(1500);
    host->WaitIdle();
    host->Click(ids::kStress); // "Stop !"
    host->AdvanceTime(1500);
    host->WaitIdle();
    host->AdvanceTime(100);
    EXPECT_EQ(host->Text(ids::kStressCount), "4");
    EXPECT_THAT(Log(), HasSubstr("Total Blank Check:\t OK:   0 Fail:  16 Init:   0\r\n"));
}

TEST_F(WorkflowTest, LoadWhoseEraseLeavesNoSocketOkStopsThere) {
    StartOnBody12();
    OpenImage();
    for (int socket = 0; socket < 16; ++socket)
        writer->FailSocket(socket, sim::Operation::EraseBuffer);
    Load();
    EXPECT_EQ(dlg->State().bufferLoaded.load(), 0);
    EXPECT_EQ(dlg->State().bufferStale.load(), 1);
    EXPECT_EQ(host->Text(ids::kStatusTextBase), "Loading...Erase...Fail");
    EXPECT_EQ(SocketBoxes(), "0000000000000000");
    EXPECT_TRUE(writer->BufferOf(0).empty() || writer->BufferOf(0)[0] == 0xFF);
}

TEST_F(WorkflowTest, ServiceCommandsAnswerForTheirBodiesOnly) {
    StartOnBody12();
    host->SelectBody(16); // KT330
    host->AnswerFileDialog(std::nullopt);
    host->AdvanceTime(1);
    host->ClearRecord();
    host->Click(ids::kGetOtpInfo);
    host->Click(ids::kSetOtpInfo);
    EXPECT_THAT(host->BoxTexts(),
                ElementsAre("This button just for KL500 | KS300!",
                            "This button just for KL500 | KS300 | KT330 | KT320 !"));

    // The lamp test walks the pictures on a timer; a second press shows
    // every lamp again as the window last set it.
    host->RunOnUi([&] { dlg->OnCommand(ids::kLampTest); });
    host->AdvanceTime(10 * 17);
    EXPECT_EQ(host->Control(ids::kLampBase).picture, ids::kBitmapBlue);
    EXPECT_EQ(host->Control(ids::kLampBase + 15).picture, ids::kBitmapRed);
    host->RunOnUi([&] { dlg->OnCommand(ids::kLampTest); });
    for (int socket : {0, 15})
        EXPECT_EQ(host->Control(ids::kLampBase + socket).picture, ids::kBitmapGrey); // attached
    EXPECT_EQ(host->ActiveTimers().count(ids::kTimerLampTest), 0u);

    bus->Unplug(writer->Member());
    host->WaitIdle();
    host->ClearRecord();
    host->Click(ids::kReadData);
    ASSERT_EQ(host->BoxTexts().size(), 1u);
    EXPECT_THAT(host->BoxTexts()[0], ::testing::Not(HasSubstr("You can check file")));
}

TEST(InfoRecord, BytesFromTheControlsTheImageTheSettingsAndTheDate) {
    app::InfoRecordInputs in;
    in.bodyName = " kt330 ";
    in.securityEnabled = true;
    in.securityDigit = "A";
    in.imageCheckSum = 0x12345678;
    in.writerVersion = {0x0109, 0x0203, 0, 0, 0, 0};
    in.today = {2026, 12, 9, 0, 0, 0, 0};
    in.codeNumberEnabled = true;
    in.codeNumberText = "9999";
    EXPECT_THAT(BuildInfoRecord(in), ElementsAre(0xFA, 0x56, 0x78, 0x00, 0x00, 0x03, 0x09, 0xAC,
                                                 0x09, 0xFF, 0xFF, 0xFF, 0x99, 0x99));
    in.version = "1.2";
    in.securityEnabled = false;
    in.codeNumberEnabled = false;
    in.bodyName = " KM120 ";
    in.today.day = 25;
    const auto r = BuildInfoRecord(in);
    EXPECT_EQ(r[0], 0x00);
    EXPECT_EQ(r[3], 0x01);
    EXPECT_EQ(r[4], 0x02);
    EXPECT_EQ(r[8], 0x25);
    EXPECT_EQ(r[12], 0x00);
    in.version = "1A";
    EXPECT_EQ(BuildInfoRecord(in)[3], 0x00);
    EXPECT_EQ(BuildInfoRecord(in)[4], 0x1A);
    EXPECT_TRUE(app::IsInfoRecordBody(" kl500 "));
    EXPECT_FALSE(app::IsInfoRecordBody(" KD100 "));
}

} // namespace
} // namespace apptest
