#include "app/UpdateCheck.h"

#include "app/ControlIds.h"
#include "app/ProgressDialogs.h"
#include "core/MessageHost.h"
#include "port/NamedMutex.h"

#include <algorithm>

namespace app {
namespace {

bool FirstFourZero(const WriterVersion& version) {
    return std::all_of(version.begin(), version.begin() + 4, [](uint16_t n) { return n == 0; });
}

bool FirstFourEqual(const WriterVersion& a, const WriterVersion& b) {
    return std::equal(a.begin(), a.begin() + 4, b.begin());
}

int Ask(const char* text) {
    return core::ShowMessageBox(text, kAppCaption, core::kMbYesNo);
}

} // namespace

bool UpdateCheck::PollWriterVersion(WriterVersion& writerVersion) {
    for (int attempt = 0; attempt < kVersionPollAttempts && FirstFourZero(writerVersion);
         ++attempt) {
        if (attempt > 0)
            clock_.SleepMs(kVersionPollIntervalMs);
        updater_.GetWriterVersion(writerVersion.data());
    }
    return !FirstFourZero(writerVersion);
}

int UpdateCheck::Run(const std::string& firmwarePath, WriterVersion& writerVersion,
                     std::atomic<int>& updating) {
    if (!PollWriterVersion(writerVersion))
        return 1;
    firmware::C_C51BinFile& firmware = updater_.GetFirmware();
    firmware.SetFileName(firmwarePath.c_str());
    // No file beside the program: nothing to offer. A file that cannot be a
    // firmware image is refused before anything is sent, with the check it
    // fails: a writer that took it would run no application.
    if (!firmware.Exists())
        return 1;
    if (const std::string problem = firmware.ImageProblem(); !problem.empty()) {
        core::ShowMessageBox(problem + kFirmwareNotChanged, kAppCaption, core::kMbOk);
        return 1;
    }
    WriterVersion fileVersion{};
    if (!firmware.GetVersion(fileVersion.data()) || FirstFourZero(fileVersion))
        return 1;
    if (FirstFourEqual(writerVersion, fileVersion))
        return 1;

    updating = 1;
    if (Ask(kUpdatePrompt) != core::kIdYes) {
        updating = 0;
        return 0;
    }
    port::NamedMutex exclusive;
    for (;;) {
        const port::NamedMutex::Outcome outcome = exclusive.Create(kUpdateMutexName);
        if (outcome == port::NamedMutex::Outcome::Created)
            break;
        if (outcome == port::NamedMutex::Outcome::Failed) {
            // Not another program updating, and asking again would fail the
            // same way: the reason, and no update.
            core::ShowMessageBox(exclusive.Error() + kUpdateNotRunText, kAppCaption, core::kMbOk);
            updating = 0;
            return 1;
        }
        if (Ask(kUpdateBusyPrompt) != core::kIdYes) {
            updating = 0;
            host_.EndDialog(kExitResult);
            return 0;
        }
    }

    C_UpdateWriterVersionProgCtrl progress(host_);
    progress.Show();
    progress.Step();
    progress.SetStatus(kUpdateAppText);
    bool updated = updater_.UpdateApp() != 0;
    progress.Step();
    clock_.SleepMs(kUpdateStepWaitMs);
    if (updated) {
        progress.SetStatus(kUpdateBootText);
        updated = updater_.UpdateBoot() != 0;
    }
    if (updated) {
        writerVersion = fileVersion;
        progress.Step();
        clock_.SleepMs(kUpdateStepWaitMs);
        progress.Step();
    }
    link_.Close();
    exclusive.Close();
    const std::string message = updated ? std::string(kUpdateSuccess) : updater_.GetMessage();
    core::ShowMessageBox(message, kAppCaption, core::kMbOk);
    progress.Hide();
    updating = 0;
    return 1;
}

} // namespace app
