// One user of the writer at a time, on the headless host over the simulated
// writer: a pass, a load and a stress tick hold the writer from their start to
// their last exchange; meanwhile every action control is disabled, every
// action the logic is asked for is refused, a writer arrival waits, and an
// unplugged writer leaves the window detached whatever the worker does after.
#include "tests/app/WindowFixture.h"

#include "image/BodyTable.h"
#include "usb/ProcessLink.h"

#include <gmock/gmock.h>

namespace apptest {
namespace {

namespace ids = app::ids;
namespace keys = core::settings;

class BusyRule : public WindowTest {
protected:
    // Body 12 in the 16-socket layout with an image open; developer mode
    // shows every action button.
    void StartOpened(bool developer = true) {
        if (developer)
            Setting(keys::kGeneral, keys::kDevelopVersion, keys::kDevelopPassword);
        Setting(keys::kFile, keys::kDeviceBodyIndex, "12");
        StartWindow();
        host->Click(ids::kMultiDevice);
        host->AnswerFileDialog(WriteImage("busy.bin", image::FindSizeRule(12)->lengths[0]));
        host->Click(ids::kOpen);
    }
    void Load() {
        host->AnswerBoxes({core::kIdOk});
        host->Click(ids::kLoadToWriterBuffer);
    }
    // At every transfer it holds, no action control is enabled.
    void StepThroughWithControlsDisabled() {
        int transfer = 0;
        StepThroughHeld([&] {
            EXPECT_THAT(EnabledActionControls(), ::testing::IsEmpty()) << "transfer " << transfer;
            ++transfer;
        });
        EXPECT_GT(transfer, 0);
    }
};

TEST_F(BusyRule, EveryActionWaitsForAPassUntilItsLastExchange) {
    StartOpened();
    Load();
    host->WaitIdle();
    writer->RemoveChip(15);
    gate->Close();
    host->Click(ids::kProgram);
    ASSERT_TRUE(WaitForWriterHeld());
    const uint64_t before = writer->TransferCount();

    // The logic refuses each action itself, whatever a host lets through.
    for (int id : ActionControls()) {
        host->RunLater([this, id] { dlg->OnCommand(id); });
        ASSERT_TRUE(UiSettlesWhileHeld()) << "control " << id << " used the writer";
    }
    // A body change is taken back: the pass reads the image object.
    image::C_OTPBinFile* image = dlg->Engine().GetImage();
    host->RunLater([this] {
        host->SetComboSelection(ids::kBodyCombo, 16);
        dlg->OnCommand(ids::kBodyCombo);
    });
    ASSERT_TRUE(UiSettlesWhileHeld());
    EXPECT_EQ(host->Control(ids::kBodyCombo).selection, 12);
    EXPECT_EQ(dlg->Engine().GetImage(), image);
    // A writer arriving is attached after the pass.
    host->RunLater(
        [this] { dlg->OnDeviceChange(app::DeviceChange::Arrival, writer->InterfacePath()); });
    ASSERT_TRUE(UiSettlesWhileHeld());
    EXPECT_EQ(writer->TransferCount(), before);

    // Every later exchange, the closing 0x28, 0x27 and 0x25 and the attach
    // included, with the action controls disabled.
    StepThroughWithControlsDisabled();
    EXPECT_EQ(host->Text(ids::kOkCount), "15");
    EXPECT_EQ(SocketBoxes(), "1111111111111110"); // attached again: socket 16 is empty
    EXPECT_TRUE(host->Enabled(ids::kProgram));
    EXPECT_FALSE(host->Enabled(ids::kLoadToWriterBuffer)); // the attach closed the file
}

TEST_F(BusyRule, ALoadStartedBetweenStressPassesHoldsTheNextPassBack) {
    StartOpened();
    Load();
    host->WaitIdle();
    host->Type(ids::kStressCount, "2");
    host->Click(ids::kStress);
    host->AdvanceTime(1500);
    host->WaitIdle();
    ASSERT_EQ(host->Text(ids::kStressCount), "1");

    gate->Close();
    Load();
    ASSERT_TRUE(WaitForWriterHeld());
    host->AdvanceTime(1500); // the tick finds the writer in use
    EXPECT_FALSE(dlg->IsPassRunning());
    EXPECT_EQ(host->Text(ids::kStressCount), "1");
    StepThroughWithControlsDisabled();
    EXPECT_EQ(host->Text(ids::kStatusTextBase), "Loading...Verify ... OK");

    gate->Open();
    host->AdvanceTime(50);
    host->WaitIdle();
    host->AdvanceTime(50);
    EXPECT_EQ(host->Text(ids::kStressCount), "0");
    EXPECT_EQ(host->Text(ids::kStress), "Test Start");
    EXPECT_EQ(dlg->StepRecords(0).size(), 2u);
}

TEST_F(BusyRule, AWriterUnpluggedDuringALoadLeavesTheWindowDetached) {
    StartOpened(false);
    gate->Close();
    Load();
    ASSERT_TRUE(WaitForWriterHeld());
    bus->Unplug(writer->Member());
    ASSERT_TRUE(UiSettlesWhileHeld());
    EXPECT_EQ(host->Text(ids::kFileName), "");

    gate->Open();
    host->WaitIdle();
    // Detached whatever the load did after the writer left.
    EXPECT_TRUE(dlg->IsDetached());
    for (int id : {ids::kLoadToWriterBuffer, ids::kResetCounter, ids::kSelectAllOperations,
                   ids::kOpProgram, ids::kOpVerify})
        EXPECT_FALSE(host->Enabled(id)) << id;
    EXPECT_EQ(host->Check(ids::kSelectAllOperations), 0);
    EXPECT_EQ(host->Check(ids::kOpProgram), 0);
    EXPECT_EQ(host->Text(ids::kFileName), "");
    Setting(keys::kGeneral, keys::kOtpCounterOk, "77");
    host->RunOnUi([this] { dlg->OnCommand(ids::kResetCounter); });
    EXPECT_EQ(Setting(keys::kGeneral, keys::kOtpCounterOk), "77");
}

// The window never waits for a worker: a removal that arrives while the
// pass searches for the writer again (after a failed write, with the link
// held) is taken at once, not when the search ends.
TEST_F(BusyRule, ARemovalWhileAPassSearchesForTheWriterIsTakenAtOnce) {
    StartOpened();
    Load();
    host->WaitIdle();
    sim::TransportFault fault;
    fault.kind = sim::TransportFaultKind::WriteFails;
    fault.direction = sim::Direction::Write;
    fault.atTransfer = writer->TransferCount() + 1;
    writer->AddTransportFault(fault);
    gate->Close();
    host->Click(ids::kProgram);
    ASSERT_TRUE(WaitForWriterHeld());
    while (usb::USBInfo()->IsOpened())
        ASSERT_TRUE((LetOne(), WaitForWriterHeld()));
    bus->Unplug(writer->Member());
    ASSERT_TRUE(UiSettlesWhileHeld());
    EXPECT_TRUE(dlg->IsDetached());
    gate->Open();
    host->WaitIdle();
    EXPECT_FALSE(host->Enabled(ids::kLoadToWriterBuffer));
    EXPECT_EQ(host->Text(ids::kOkCount), "0");
}

// The counts and their edits change together: a box clicked at any moment of
// a pass reads back the counts the pass made, never the ones before.
TEST_F(BusyRule, ABoxClickedAtEveryExchangeOfAPassKeepsItsCounts) {
    StartOpened();
    Load();
    host->WaitIdle();
    gate->Close();
    host->Click(ids::kProgram);
    StepThroughHeld([this] {
        host->ClickLater(ids::kSocketBoxBase + 15);
        host->ClickLater(ids::kSocketBoxBase + 15);
        ASSERT_TRUE(UiSettlesWhileHeld());
    });
    EXPECT_EQ(host->Text(ids::kOkCount), "16");
    EXPECT_EQ(Setting(keys::kGeneral, keys::kOtpCounterOk), "16");
    EXPECT_EQ(writer->PassCount(), 16);
    EXPECT_EQ(SocketBoxes(), "1111111111111111");
}

} // namespace
} // namespace apptest
