// Opening images when the settings file takes nothing, bodies that cannot be
// programmed, and the developer buttons (writer buffer, single operations,
// read-back), on the headless host over the simulated writer.
#include "tests/app/WindowFixture.h"

#include "image/BodyTable.h"
#include "image/OTPBodyProfiler.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>

namespace apptest {
namespace {

using ::testing::ElementsAre;
namespace ids = app::ids;
namespace keys = core::settings;

class OpenAndService : public WindowTest {
protected:
    void StartOnBody12(bool developer = true) {
        if (developer)
            Setting(keys::kGeneral, keys::kDevelopVersion, keys::kDevelopPassword);
        Setting(keys::kFile, keys::kDeviceBodyIndex, "12");
        StartWindow();
        host->Click(ids::kMultiDevice);
    }
    std::string Open(const std::string& name) {
        const std::string path = WriteImage(name, image::FindSizeRule(12)->lengths[0]);
        host->AnswerFileDialog(path);
        host->Click(ids::kOpen);
        return path;
    }
    void Load() {
        host->AnswerBoxes({core::kIdOk});
        host->Click(ids::kLoadToWriterBuffer);
        host->WaitIdle();
    }
    std::vector<uint8_t> Buffer(int socket, size_t length) {
        std::vector<uint8_t> bytes = writer->BufferOf(socket);
        bytes.resize(std::min(bytes.size(), length));
        return bytes;
    }
};

// A settings file that takes no write decides no result: the image opened is
// the one checked, whatever path the file still holds, and counters that
// cannot be kept there are said to be so.
TEST_F(OpenAndService, ASettingsFileThatTakesNothingChangesNoResult) {
    StartOnBody12(false);
    const std::string old = Open("old.bin");
    const std::string image = WriteImage("new.bin", image::FindSizeRule(12)->lengths[0]);
    {
        std::string bytes = testsupport::ProgramFolder::Read(image);
        bytes[0] = static_cast<char>(bytes[0] ^ 0x5A);
        testsupport::ProgramFolder::Write(image, bytes);
    }
    std::filesystem::permissions(folder.SettingsPath(), std::filesystem::perms::owner_read);
    host->AnswerFileDialog(image);
    host->Click(ids::kOpen);
    EXPECT_EQ(Setting(keys::kFile, keys::kLastOpenFileName), old);
    EXPECT_EQ(dlg->Engine().GetImage()->GetFileName(), image);
    EXPECT_EQ(host->Text(ids::kCheckSum),
              core::Format("%X", dlg->Engine().GetImage()->GetCheckSum()));
    Load();
    EXPECT_EQ(host->Text(ids::kStatusTextBase), "Loading...Verify ... OK");

    host->ClearRecord();
    host->Click(ids::kProgram);
    host->WaitIdle();
    EXPECT_THAT(host->BoxTexts(),
                ElementsAre(core::Format(app::kCountersNotSaved, folder.SettingsPath().c_str())));
    EXPECT_EQ(host->Text(ids::kOkCount), "16");
    EXPECT_EQ(writer->PassCount(), 16);
    EXPECT_EQ(Setting(keys::kGeneral, keys::kOtpCounterOk), "0");
}

TEST_F(OpenAndService, ABodyWithoutOtpSizeIsRefusedWhenChosen) {
    std::string profile = testsupport::ProgramFolder::Read(folder.File("OTPBodyProfile.xml"));
    const std::string body13 = "BodyID=\"13\"";
    const size_t at = profile.find("OTPSize=\"", profile.find(body13));
    profile.replace(at, profile.find('"', at + 9) - at + 1, "OTPSize=\"0\"");
    testsupport::ProgramFolder::Write(folder.File("OTPBodyProfile.xml"), profile);
    static std::vector<std::string> reasons;
    reasons.clear();
    const auto previous =
        image::SetProfileReasonSink([](const std::string& reason) { reasons.push_back(reason); });
    StartOnBody12();
    host->ClearRecord();
    host->SelectBody(13);
    image::SetProfileReasonSink(previous);
    EXPECT_THAT(host->BoxTexts(), ElementsAre("Faild to load OTPBodyProfile.xml !"));
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_THAT(reasons[0], ::testing::HasSubstr("body 13"));
    EXPECT_EQ(host->Control(ids::kBodyCombo).selection, 12);
    EXPECT_EQ(Setting(keys::kFile, keys::kDeviceBodyIndex), "12");
    EXPECT_TRUE(host->ActiveTimers().empty()); // no file dialog follows
}

TEST_F(OpenAndService, WriterBufferAndSingleOperationButtonsWorkOnTheTickedSockets) {
    StartOnBody12();
    const std::string path = Open("buttons.bin");
    const size_t length = dlg->Engine().GetImage()->GetWordImageSize();
    for (int socket = 4; socket < 16; ++socket)
        host->Click(ids::kSocketBoxBase + socket);
    host->Click(ids::kProgramFlash);
    const std::vector<uint8_t> loaded = Buffer(0, length);
    EXPECT_EQ(dlg->State().bufferStale.load(), 1); // written, not verified
    host->Click(ids::kVerifyBuffer);
    EXPECT_EQ(host->Text(ids::kStatusTextBase), "Verify WriterBuffer ... OK");
    EXPECT_EQ(dlg->State().bufferLoaded.load(), 1);
    EXPECT_TRUE(dlg->BufferHolds(0));
    EXPECT_FALSE(dlg->BufferHolds(4));

    // The single operations' buttons stay hidden in every layout of the
    // template; a host that shows them reaches the same logic.
    auto press = [this](int id) { host->RunOnUi([this, id] { dlg->OnCommand(id); }); };
    press(ids::kBlankCheck);
    EXPECT_EQ(host->Text(ids::kStatusTextBase), "Blank Check ... OK");
    press(ids::kSingleProgram);
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 3), "Program ...OK");
    press(ids::kSingleVerify);
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 3), "Verify ... OK");
    EXPECT_FALSE(writer->ChipAt(3)->IsBlank());
    EXPECT_TRUE(writer->ChipAt(4)->IsBlank());
    EXPECT_EQ(host->Text(ids::kStatusTextBase + 4), "");

    host->Click(ids::kEraseFlash);
    const std::vector<uint8_t> erased = Buffer(0, length);
    EXPECT_TRUE(std::all_of(erased.begin(), erased.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_NE(loaded, erased);
    EXPECT_FALSE(dlg->BufferHolds(0));
    EXPECT_EQ(dlg->State().bufferStale.load(), 1);
    EXPECT_EQ(host->Text(ids::kFileName), path);
}

// The read-back file is what the box points at whenever it was written, also
// when the closing status check finds another socket in Fail.
TEST_F(OpenAndService, ReadDataPointsAtTheFileWheneverItWasWritten) {
    writer->FailSocket(5, sim::Operation::Program);
    StartOnBody12();
    Open("read.bin");
    Load();
    host->Click(ids::kProgram);
    host->WaitIdle();
    ASSERT_EQ(host->Text(ids::kStatusTextBase + 5), "Program ...Fail");
    host->ClearRecord();
    host->Click(ids::kReadData);
    EXPECT_THAT(host->BoxTexts(), ElementsAre("You can check file ReadOTPData.OTP.bin."));
    EXPECT_EQ(testsupport::ProgramFolder::Read(folder.File("ReadOTPData.OTP.bin")).size(), 16384u);

    writer->RemoveChip(0);
    for (int socket = 1; socket < 16; ++socket)
        writer->RemoveChip(socket);
    std::filesystem::remove(folder.File("ReadOTPData.OTP.bin"));
    host->ClearRecord();
    host->Click(ids::kReadData);
    ASSERT_EQ(host->BoxTexts().size(), 1u);
    EXPECT_THAT(host->BoxTexts()[0], ::testing::Not(::testing::HasSubstr("You can check file")));
    EXPECT_FALSE(std::filesystem::exists(folder.File("ReadOTPData.OTP.bin")));
}

} // namespace
} // namespace apptest
