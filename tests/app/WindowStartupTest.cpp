// Start-up, attach, body selection, the socket layout and plug/unplug of the
// main window, on the headless host over the simulated writer.
#include "tests/app/WindowFixture.h"

#include "app/DialogTemplate.h"
#include "app/WindowLayout.h"
#include "engine/Packets.h"
#include "image/BodyTable.h"

#include <gmock/gmock.h>

namespace apptest {
namespace {

using app::ids::kBodyCombo;
using ::testing::Contains;
using ::testing::ElementsAre;
namespace keys = core::settings;

constexpr int kDeveloperOnly[] = {1123, 1014, 1001, 1015, 1017, 1104, 1105, 1041,
                                  1116, 1076, 1073, 1078, 1100, 1107, 1072, 1077};

int TemplateHeight() {
    const app::DialogTemplate& main = app::MainDialogTemplate();
    return app::ToPixels({0, 0, main.cx, main.cy}).cy;
}

size_t Body12Length() {
    return image::FindSizeRule(12)->lengths[0];
}

using WindowStartup = WindowTest;

TEST_F(WindowStartup, FirstRunOutsideDeveloperModeCompactsAndRestoresFromTheSettings) {
    Setting(keys::kFile, keys::kDeviceBodyIndex, "12");
    Setting(keys::kGeneral, keys::kOtpCounterOk, "41");
    Setting(keys::kGeneral, keys::kOtpCounterFail, "3");
    writer->RemoveChip(4);
    StartWindow();

    EXPECT_EQ(host->WindowTitle(), "MERiL Burnwright V4.00");
    EXPECT_EQ(Setting(keys::kGeneral, keys::kTitle), "MERiL Burnwright V4.00");
    core::C_Profiler settings(folder.SettingsPath());
    EXPECT_THAT(settings.GetSectionLines(keys::kGeneral), Contains("DevelopVersion"));
    EXPECT_EQ(Setting(keys::kGeneral, keys::kDevelopVersion), "");
    EXPECT_THAT(host->Events(), Contains("menu 16 &About Burnwright..."));
    // Compacted by 90 and in the single-socket layout.
    EXPECT_EQ(host->WindowSize().cy, TemplateHeight() - 90 - 170);
    for (int id : kDeveloperOnly)
        EXPECT_FALSE(host->Visible(id)) << id;
    EXPECT_FALSE(host->Visible(1357));
    EXPECT_FALSE(host->Enabled(app::ids::kIhrcTrim));
    // The writer holds no block: body and counters come from the settings.
    EXPECT_EQ(host->Control(kBodyCombo).items.size(), 35u);
    EXPECT_EQ(host->Control(kBodyCombo).selection, 12);
    EXPECT_EQ(host->Text(app::ids::kOkCount), "41");
    EXPECT_EQ(host->Text(app::ids::kFailCount), "3");
    EXPECT_EQ(writer->PassCount(), 41);
    // Attached: every socket with a chip ticked, lamps grey.
    EXPECT_EQ(SocketBoxes(), "1111011111111111");
    EXPECT_EQ(host->Control(app::ids::kLampBase).picture, app::ids::kBitmapGrey);
    EXPECT_TRUE(host->BoxTexts().empty());
}

TEST_F(WindowStartup, DeveloperModeShowsItsControlsWithTitleAndVersion) {
    Setting(keys::kGeneral, keys::kDevelopVersion, "MERiL_TB7");
    Setting(keys::kGeneral, keys::kTitle, "Line 3");
    Setting(keys::kGeneral, keys::kVersion, "7.1");
    Setting(keys::kFile, keys::kDeviceBodyIndex, "20");
    StartWindow();

    EXPECT_EQ(host->WindowTitle(), "Line 3 7.1");
    EXPECT_EQ(host->WindowSize().cy, TemplateHeight() - 170);
    for (int id : kDeveloperOnly)
        EXPECT_TRUE(host->Visible(id)) << id;
    EXPECT_TRUE(host->Enabled(app::ids::kIhrcTrim));
    // Body 20 by the start-up table: IHRC Trim shown and ticked; the OTP
    // information buttons belong to it in developer mode.
    EXPECT_TRUE(host->Visible(app::ids::kIhrcTrim));
    EXPECT_EQ(host->Check(app::ids::kIhrcTrim), 1);
    EXPECT_TRUE(host->Visible(app::ids::kGetOtpInfo));
}

TEST_F(WindowStartup, TitleWithoutVersionKeepsTheTemplateCaption) {
    Setting(keys::kGeneral, keys::kTitle, "Line 3");
    StartWindow();
    EXPECT_EQ(host->WindowTitle(), "MERiL Burnwright");
}

TEST_F(WindowStartup, BodyAndCountersComeFromTheWritersBlockAndAreWrittenBack) {
    engine::InfoBlockContent content;
    content.bodySeries = 5; // KT260, body 20
    content.bodyType = 4116;
    content.blankCheck = true;
    content.program = true;
    content.verify = false;
    content.passCounter = 1234;
    content.failCounter = 56;
    writer->SetInformation(engine::BuildInfoBlock(content));
    Setting(keys::kFile, keys::kDeviceBodyIndex, "12");
    StartWindow();

    EXPECT_EQ(host->Control(kBodyCombo).selection, 20);
    EXPECT_EQ(host->Text(app::ids::kOkCount), "1234");
    EXPECT_EQ(Setting(keys::kGeneral, keys::kOtpCounterOk), "1234");
    EXPECT_EQ(Setting(keys::kGeneral, keys::kOtpCounterFail), "56");
    EXPECT_EQ(writer->FailCount(), 56);
    EXPECT_EQ(host->Check(app::ids::kOpBlankCheck), 1);
    EXPECT_EQ(host->Check(app::ids::kOpProgram), 1);
    EXPECT_EQ(host->Check(app::ids::kOpVerify), 0);
    EXPECT_EQ(host->Check(app::ids::kSelectAllOperations), 0);
}

TEST_F(WindowStartup, BodyIndexZeroAsksForABodyAtStartAndFromTheList) {
    StartWindow();
    EXPECT_THAT(host->BoxTexts(), ElementsAre("Please Select Chip Body!"));

    Setting(keys::kFile, keys::kDeviceBodyIndex, "");
    host->SelectBody(12);
    EXPECT_EQ(Setting(keys::kFile, keys::kDeviceBodyIndex), "12");
    host->AnswerFileDialog(std::nullopt);
    host->AdvanceTime(1); // the file dialog follows the body change at once
    EXPECT_EQ(host->FileDialogs().size(), 1u);
    EXPECT_FALSE(host->Enabled(app::ids::kLoadToWriterBuffer));

    host->ClearRecord();
    host->SelectBody(0);
    EXPECT_THAT(host->BoxTexts(), ElementsAre("Please Select Chip Body!"));
    EXPECT_EQ(host->Control(kBodyCombo).selection, 12);
    EXPECT_EQ(Setting(keys::kFile, keys::kDeviceBodyIndex), "12");
    EXPECT_TRUE(host->ActiveTimers().empty());
}

TEST_F(WindowStartup, BodyChangeFollowsItsOwnTrimTable) {
    StartWindow();
    host->SelectBody(28); // hidden at start-up's table only for some; shown and ticked here
    EXPECT_TRUE(host->Visible(app::ids::kIhrcTrim));
    EXPECT_EQ(host->Check(app::ids::kIhrcTrim), 1);
    host->SelectBody(31);
    EXPECT_TRUE(host->Visible(app::ids::kIhrcTrim));
    EXPECT_EQ(host->Check(app::ids::kIhrcTrim), 0);
    host->SelectBody(12);
    EXPECT_FALSE(host->Visible(app::ids::kIhrcTrim));
    EXPECT_FALSE(host->Visible(app::ids::kLvdTrim));
}

TEST_F(WindowStartup, MultiDeviceGrowsTheWindowAndTheSingleLayoutComesBack) {
    StartWindow();
    const int single = host->WindowSize().cy;
    const app::Rect edit = host->Control(app::ids::kStatusTextBase).rect;
    const app::Rect counter = host->Control(app::ids::kOkCount).rect;

    host->Click(app::ids::kMultiDevice);
    EXPECT_EQ(host->WindowSize().cy, single + 170);
    EXPECT_TRUE(host->Visible(1371));
    EXPECT_TRUE(host->Visible(app::ids::kSelectAllSockets));
    EXPECT_EQ(host->Control(app::ids::kStatusTextBase).rect.cx, edit.cx - 215);
    EXPECT_EQ(host->Control(app::ids::kOkCount).rect.y, counter.y + 170);

    host->Click(app::ids::kMultiDevice);
    EXPECT_EQ(host->WindowSize().cy, single);
    EXPECT_FALSE(host->Visible(1371));
    EXPECT_EQ(host->Control(app::ids::kStatusTextBase).rect, edit);
}

TEST_F(WindowStartup, UnplugDetachesAndReplugReattachesThroughTheDriver) {
    Setting(keys::kFile, keys::kDeviceBodyIndex, "12");
    ThroughDriver();
    StartWindow();
    const std::string image = WriteImage("unplug.bin", Body12Length());
    host->AnswerFileDialog(image);
    host->Click(app::ids::kOpen);
    ASSERT_EQ(host->Text(app::ids::kFileName), image);
    ASSERT_TRUE(host->Enabled(app::ids::kLoadToWriterBuffer));

    bus->Unplug(writer->Member());
    Settle();
    EXPECT_EQ(host->Text(app::ids::kFileName), "");
    EXPECT_FALSE(host->Enabled(app::ids::kLoadToWriterBuffer));
    EXPECT_FALSE(host->Enabled(app::ids::kResetCounter));

    writer->RemoveChip(7);
    bus->Plug(writer->Member());
    Settle();
    EXPECT_EQ(SocketBoxes(), "1111111011111111");
    EXPECT_EQ(host->Text(app::ids::kFileName), "");
    EXPECT_FALSE(host->Enabled(app::ids::kLoadToWriterBuffer));
    EXPECT_EQ(host->WindowTitle(), "MERiL Burnwright V4.00");
}

TEST_F(WindowStartup, ArrivalDuringAFirmwareUpdateChangesNothing) {
    StartWindow();
    writer->RemoveChip(2);
    dlg->State().firmwareUpdating = 1;
    host->DeviceEvent(app::DeviceChange::Arrival, writer->InterfacePath());
    EXPECT_EQ(SocketBoxes(), "1111111111111111");
    dlg->State().firmwareUpdating = 0;
    host->DeviceEvent(app::DeviceChange::Arrival, writer->InterfacePath());
    EXPECT_EQ(SocketBoxes(), "1101111111111111");
}

TEST_F(WindowStartup, NoWriterShowsTheLinkMessageAndWaitsForAWriter) {
    bus->RemoveWriter(writer->Member());
    StartWindow();
    EXPECT_THAT(host->BoxTexts(),
                ElementsAre("Error!\n\nCan't find MERiL USB device. Please re-plug in it."));
    EXPECT_EQ(host->Boxes()[0].flags, unsigned(core::kMbOk));
    EXPECT_FALSE(host->Enabled(app::ids::kLoadToWriterBuffer));
    EXPECT_EQ(dlg->State().bufferStale.load(), 1);
    // The boot loader's fallback found nothing: the link waits for a writer,
    // not for any device of the family.
    EXPECT_EQ(dlg->Link().GetBodyType(), usb::kIceBodyWriter);
}

} // namespace
} // namespace apptest
