// The firmware update check: when it offers an update, the cross-process
// lock, the progress window, failures, and the start-up of a writer left in
// its boot loader.
#include "app/UpdateCheck.h"

#include "app/headless/HeadlessHost.h"
#include "port/NamedMutex.h"
#include "sim/Firmware.h"
#include "tests/app/WindowFixture.h"
#include "tests/usb/OtherProcess.h"
#include "usb/ProcessLink.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <memory>

namespace apptest {
namespace {

using ::testing::ElementsAre;

// An updater whose writer reports `writer` and whose steps succeed or fail
// as the test says; the firmware file is a real one.
class ScriptedUpdater : public firmware::C_FWUpdate {
public:
    explicit ScriptedUpdater(core::C_Result& result)
        : C_FWUpdate(*usb::USBInfo(), port::SystemClock(), result) {}
    int GetWriterVersion(uint16_t* version) override {
        ++versionRequests;
        std::copy(writer.begin(), writer.end(), version);
        return 1;
    }
    int UpdateApp() override {
        steps.push_back("app");
        if (!appWorks)
            ReportError(firmware::kUpdateAppFailed);
        return appWorks;
    }
    int UpdateBoot() override {
        steps.push_back("boot");
        return 1;
    }

    app::WriterVersion writer{};
    bool appWorks = true;
    int versionRequests = 0;
    std::vector<std::string> steps;
};

class UpdateCheckTest : public testsupport::ProgramFolderTest {
protected:
    void WriteFirmware(const sim::FirmwareVersion& version) {
        const auto image = sim::BuildFirmwareImage(version);
        testsupport::ProgramFolder::Write(firmwarePath, std::string(image.begin(), image.end()));
    }
    int Run() { return check.Run(firmwarePath, record, updating); }

    core::C_Result result;
    port::ManualClock clock;
    app::headless::HeadlessHost host{clock};
    ScriptedUpdater updater{result};
    app::UpdateCheck check{host, updater, *usb::USBInfo(), clock};
    std::string firmwarePath = folder.File("OTP_Controller_C51FW.bin");
    app::WriterVersion record{};
    std::atomic<int> updating{0};
};

TEST_F(UpdateCheckTest, OffersAnUpdateOnlyWhenTheFirstFourNumbersDiffer) {
    struct Case {
        app::WriterVersion writer;
        sim::FirmwareVersion file;
        bool offered;
    } cases[] = {
        {{1, 2, 3, 4, 0, 0}, {1, 2, 3, 5, 0, 0}, true},
        {{1, 2, 3, 4, 0, 0}, {1, 2, 3, 3, 0, 0}, true},
        {{1, 2, 3, 4, 7, 7}, {1, 2, 3, 4, 0, 9}, false},
    };
    for (const Case& c : cases) {
        host.ClearRecord();
        record = {};
        updater.writer = c.writer;
        WriteFirmware(c.file);
        host.AnswerBoxes({core::kIdNo});
        EXPECT_EQ(Run(), c.offered ? 0 : 1);
        EXPECT_EQ(host.BoxTexts().size(), c.offered ? 1u : 0u);
        EXPECT_EQ(updating.load(), 0);
    }
    EXPECT_TRUE(updater.steps.empty());
}

// A file that cannot be a firmware image is refused before anything is sent,
// naming the check it fails; the simulator's own firmware passes every check
// at the shortest, the usual and the longest length.
TEST_F(UpdateCheckTest, AFileThatCannotBeFirmwareIsRefusedWithTheCheckItFails) {
    updater.writer = {9, 1, 0, 0, 0, 0};
    const std::vector<uint8_t> good = sim::BuildFirmwareImage({9, 2, 0, 0, 0, 0});
    std::vector<uint8_t> random(100 * 1024);
    uint32_t seed = 7;
    for (uint8_t& b : random)
        b = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
    std::vector<uint8_t> blankBoot = good;
    std::fill(blankBoot.begin(), blankBoot.begin() + 8192, 0xFF);
    std::vector<uint8_t> zeroVersion = good, fullVersion = good;
    std::fill(zeroVersion.begin() + 0x6000, zeroVersion.begin() + 0x6008, 0x00);
    std::fill(fullVersion.begin() + 0x6000, fullVersion.begin() + 0x6008, 0xFF);
    const std::pair<std::vector<uint8_t>, std::string> cases[] = {
        {random, "it is 102400 bytes long, and a firmware image has 24588 to 65536 bytes."},
        {std::vector<uint8_t>(good.begin(), good.begin() + 0x600B),
         "it is 24587 bytes long, and a firmware image has 24588 to 65536 bytes."},
        {blankBoot, "its boot block (bytes 0 to 8191) is blank, every byte 0xFF."},
        {zeroVersion, "its version (bytes 0x6000 to 0x6007) is all 0x0000."},
        {fullVersion, "its version (bytes 0x6000 to 0x6007) is all 0xFFFF."},
    };
    for (const auto& [bytes, reason] : cases) {
        host.ClearRecord();
        testsupport::ProgramFolder::Write(firmwarePath, std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(Run(), 1);
        EXPECT_THAT(host.BoxTexts(),
                    ElementsAre("OTP_Controller_C51FW.bin cannot be a firmware image: " + reason +
                                "\nThe writer's firmware was not changed."));
    }
    EXPECT_TRUE(updater.steps.empty());
    for (size_t appSize : {size_t{0x400C}, size_t{0x6000}, size_t{0x10000 - 8192}}) {
        host.ClearRecord();
        const auto image = sim::BuildFirmwareImage({9, 2, 0, 0, 0, 0}, appSize);
        testsupport::ProgramFolder::Write(firmwarePath, std::string(image.begin(), image.end()));
        host.AnswerBoxes({core::kIdNo});
        EXPECT_EQ(Run(), 0) << appSize;
        EXPECT_THAT(host.BoxTexts(), ElementsAre(app::kUpdatePrompt));
    }
}

TEST_F(UpdateCheckTest, AcceptedUpdateRunsBothStepsUnderItsProgressWindow) {
    updater.writer = {1, 2, 3, 4, 0, 0};
    WriteFirmware({1, 2, 3, 5, 6, 7});
    host.AnswerBoxes({core::kIdYes});
    EXPECT_EQ(Run(), 1);
    EXPECT_THAT(updater.steps, ElementsAre("app", "boot"));
    EXPECT_THAT(host.BoxTexts(), ElementsAre(app::kUpdatePrompt, app::kUpdateSuccess));
    EXPECT_EQ(record, (app::WriterVersion{1, 2, 3, 5, 6, 7}));
    EXPECT_EQ(clock.SleptMs(), 3000u);
    EXPECT_THAT(host.ProgressEvents(),
                ElementsAre("150 create", "150 range 1120 0-100", "150 step 1120 25",
                            "150 pos 1120 0", "150 show", "150 pos 1120 25",
                            "150 text 1121 Update APP version...", "150 pos 1120 50",
                            "150 text 1121 Update Boot version...", "150 pos 1120 75",
                            "150 pos 1120 100", "150 hide", "150 destroy"));
    EXPECT_EQ(updating.load(), 0);
}

// A failed application step skips the boot step and the last 50 %, not the
// step to 50 % and its wait; every box is a plain one.
TEST_F(UpdateCheckTest, FailedApplicationUpdateShowsTheUpdatersMessageAndKeepsTheRecord) {
    updater.writer = {1, 2, 3, 4, 0, 0};
    updater.appWorks = false;
    WriteFirmware({1, 2, 3, 5, 0, 0});
    host.AnswerBoxes({core::kIdYes});
    EXPECT_EQ(Run(), 1);
    EXPECT_THAT(updater.steps, ElementsAre("app"));
    EXPECT_THAT(host.BoxTexts(), ElementsAre(app::kUpdatePrompt, firmware::kUpdateAppFailed));
    EXPECT_EQ(host.Boxes()[0].flags, unsigned(core::kMbYesNo));
    EXPECT_EQ(host.Boxes()[1].flags, unsigned(core::kMbOk));
    EXPECT_EQ(record, (app::WriterVersion{1, 2, 3, 4, 0, 0}));
    EXPECT_EQ(clock.SleptMs(), 1500u);
    EXPECT_THAT(host.ProgressEvents(),
                ElementsAre("150 create", "150 range 1120 0-100", "150 step 1120 25",
                            "150 pos 1120 0", "150 show", "150 pos 1120 25",
                            "150 text 1121 Update APP version...", "150 pos 1120 50", "150 hide",
                            "150 destroy"));
}

#ifndef _WIN32
// A lock the system cannot give (here its file is a folder) is no other
// program updating: the reason, once, and no update.
TEST_F(UpdateCheckTest, AnUnusableUpdateLockSaysWhyAndUpdatesNothing) {
    updater.writer = {1, 2, 3, 4, 0, 0};
    WriteFirmware({1, 2, 3, 5, 0, 0});
    std::filesystem::create_directories(port::DefaultLockFolder() +
                                        "/burnwright-mutex-MERiLICEFWUpadte.lock");
    host.AnswerBoxes({core::kIdYes, core::kIdYes});
    EXPECT_EQ(Run(), 1);
    ASSERT_EQ(host.BoxTexts().size(), 2u);
    EXPECT_EQ(host.BoxTexts()[1],
              "The claim file burnwright-mutex-MERiLICEFWUpadte.lock is not a plain file; "
              "refused.\nThe firmware was not updated.");
    EXPECT_TRUE(updater.steps.empty());
    EXPECT_EQ(updating.load(), 0);
    EXPECT_FALSE(host.DialogResult());
}
#endif

TEST_F(UpdateCheckTest, MissingFirmwareOrSilentWriterOffersNothing) {
    updater.writer = {1, 2, 3, 4, 0, 0};
    EXPECT_EQ(Run(), 1); // no file beside the program
    updater.writer = {};
    record = {};
    WriteFirmware({1, 2, 3, 5, 0, 0});
    updater.versionRequests = 0;
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(updater.versionRequests, app::kVersionPollAttempts);
    EXPECT_EQ(clock.SleptMs(), (app::kVersionPollAttempts - 1) * app::kVersionPollIntervalMs);
    EXPECT_TRUE(host.BoxTexts().empty());
}

TEST_F(UpdateCheckTest, AnotherProcessUpdatingIsWaitedForOrEndsTheProgram) {
    updater.writer = {1, 2, 3, 4, 0, 0};
    WriteFirmware({1, 2, 3, 5, 0, 0});
    {
        auto other = std::make_unique<usbtest::MutexHolderProcess>(app::kUpdateMutexName);
        ASSERT_TRUE(other->Holds());
        // Yes twice; the other copy finishes while the second question is up.
        int busyQuestions = 0;
        host.SetBoxHook([&](const std::string& text) {
            if (text == app::kUpdateBusyPrompt && ++busyQuestions == 2)
                other.reset();
        });
        host.AnswerBoxes({core::kIdYes, core::kIdYes, core::kIdYes});
        EXPECT_EQ(Run(), 1);
        EXPECT_EQ(busyQuestions, 2);
        EXPECT_THAT(updater.steps, ElementsAre("app", "boot"));
        host.SetBoxHook(nullptr);
    }

    usbtest::MutexHolderProcess other(app::kUpdateMutexName);
    ASSERT_TRUE(other.Holds());
    host.ClearRecord();
    record = {1, 2, 3, 4, 0, 0};
    host.AnswerBoxes({core::kIdYes, core::kIdNo});
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(host.BoxTexts(), ElementsAre(app::kUpdatePrompt, app::kUpdateBusyPrompt));
    EXPECT_EQ(host.DialogResult(), app::kExitResult);
    EXPECT_EQ(updating.load(), 0);
}

using BootLoaderStartup = WindowTest;

TEST_F(BootLoaderStartup, WriterInItsBootLoaderIsUpdatedThenAttached) {
    const sim::FirmwareVersion shipped{9, 2, 0, 0, 0, 0};
    const auto image = sim::BuildFirmwareImage(shipped);
    testsupport::ProgramFolder::Write(folder.File("OTP_Controller_C51FW.bin"),
                                      std::string(image.begin(), image.end()));
    sim::FirmwareModel broken = writer->Firmware();
    broken.inBootLoader = true;
    broken.appValid = false;
    broken.version = sim::kBootLoaderVersion;
    writer->SetFirmware(broken);
    startupAnswers = {core::kIdYes};
    StartWindow();

    EXPECT_THAT(host->BoxTexts(),
                ElementsAre(app::kUpdatePrompt, app::kUpdateSuccess, "Please Select Chip Body!"));
    EXPECT_FALSE(writer->InBootLoader());
    EXPECT_EQ(writer->Firmware().version, shipped);
    EXPECT_EQ(SocketBoxes(), "1111111111111111");
}

} // namespace
} // namespace apptest
