#include "cli/console/ConsoleHost.h"

#include "app/ControlIds.h"
#include "app/UpdateCheck.h"
#include "core/MessageHost.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <thread>

namespace cli {
namespace {

using Steady = std::chrono::steady_clock;

// A progress window on standard error: a bar redrawn in place on a terminal,
// one line per change of its percentage or text otherwise. Its timers run on
// real time and fire from PumpOneMessage, as the window's do.
class ConsoleProgressWindow : public app::I_ProgressWindow {
public:
    ConsoleProgressWindow(ConsoleHost& host, int templateId)
        : host_(host),
          title_(templateId == app::ids::kLoadProgressDialog ? "Loading..." : "Updating...") {}
    ~ConsoleProgressWindow() override { EndBar(); }

    void ShowNoActivate() override {
        shown_ = true;
        Draw();
    }
    void Hide() override {
        EndBar();
        shown_ = false;
    }
    void SetText(int id, const std::string& text) override {
        // The update window's status line; the load window's percent text
        // repeats the position.
        if (id == app::ids::kUpdateStatus) {
            title_ = text;
            Draw();
        }
    }
    void SetRange(int, int low, int high) override {
        low_ = low;
        high_ = std::max(low + 1, high);
    }
    void SetPos(int, int position) override {
        pos_ = position;
        Draw();
    }
    void SetStep(int, int step) override { step_ = step; }
    void StepIt(int) override {
        pos_ = std::min(high_, pos_ + step_);
        Draw();
    }
    void Repaint() override {}
    void SetTimer(int id, uint32_t periodMs, std::function<void(int)> onTimer) override {
        timers_[id] = Timer{periodMs, Steady::now() + std::chrono::milliseconds(periodMs),
                            std::move(onTimer)};
    }
    void KillTimer(int id) override { timers_.erase(id); }
    void PumpOneMessage() override {
        const auto now = Steady::now();
        for (auto& [id, timer] : timers_) {
            if (timer.due > now)
                continue;
            timer.due = now + std::chrono::milliseconds(timer.period);
            const auto handler = timer.onTimer; // the handler may kill the timer
            handler(id);
            return;
        }
    }

private:
    struct Timer {
        uint32_t period;
        Steady::time_point due;
        std::function<void(int)> onTimer;
    };

    int Percent() const { return (pos_ - low_) * 100 / (high_ - low_); }

    void Draw() {
        if (!shown_)
            return;
        const int percent = Percent();
        if (percent == drawnPercent_ && title_ == drawnTitle_)
            return;
        drawnPercent_ = percent;
        drawnTitle_ = title_;
        if (host_.ProgressIsBar()) {
            const int filled = percent * 30 / 100;
            host_.Progress("\r[" + std::string(static_cast<size_t>(filled), '#') +
                           std::string(static_cast<size_t>(30 - filled), '.') + "] " +
                           std::to_string(percent) + "% " + title_ + "\x1b[K");
            open_ = true;
        } else {
            host_.Progress(title_ + " " + std::to_string(percent) + "%\n");
        }
    }
    void EndBar() {
        if (open_)
            host_.Progress("\n");
        open_ = false;
    }

    ConsoleHost& host_;
    std::string title_;
    bool shown_ = false;
    bool open_ = false;
    int low_ = 0, high_ = 100, pos_ = 0, step_ = 10;
    int drawnPercent_ = -1;
    std::string drawnTitle_;
    std::map<int, Timer> timers_;
};

constexpr uint32_t kBusyRetryMs = 500;
constexpr const char* kUninitializedHead = "The writer buffer hasn't been initialized!";

bool IsQuestion(unsigned buttons) {
    return buttons == core::kMbOkCancel || buttons == core::kMbYesNo;
}

// The status texts that start a stage, with the stage's name. A pass's
// steps come in this order; a rank not above the last one starts a pass.
struct StageText {
    const char* text;
    const char* name;
    int passRank; // -1: a stage of a load
};
constexpr StageText kStages[] = {
    {"Loading...Erase...", "erase the writer buffer", -1},
    {"Loading...Blank Check ... ", "blank check of the writer buffer", -1},
    {"Loading...Program ...", "transfer", -1},
    {"Loading...Verify ... ", "the writer verifies its buffer", -1},
    {"Blank Check ... ", "Blank Check", 0},
    {"Program ...", "Program", 1},
    {"Verify ... ", "Verify", 2},
    {"Trim IHRC ... ", "Trim IHRC", 3},
};

} // namespace

QuestionKind ClassifyQuestion(const std::string& text) {
    if (text.rfind(kUninitializedHead, 0) == 0)
        return QuestionKind::UninitializedBuffer;
    if (text == app::kUpdatePrompt)
        return QuestionKind::FirmwareOffer;
    if (text == app::kUpdateBusyPrompt)
        return QuestionKind::UpdateBusy;
    return QuestionKind::Routine;
}

const char* AcceptingOption(QuestionKind kind) {
    switch (kind) {
    case QuestionKind::UninitializedBuffer:
        return "--program-uninitialized";
    case QuestionKind::FirmwareOffer:
        return "--update-firmware";
    case QuestionKind::UpdateBusy:
        return "--wait-for-update";
    default:
        return "--yes";
    }
}

ConsoleHost::ConsoleHost(port::ManualClock& timerClock, ConsoleOptions options, std::ostream& err)
    : HeadlessHost(timerClock), options_(std::move(options)), err_(err),
      bar_(isatty(STDERR_FILENO) != 0) {}

void ConsoleHost::Wait(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    AdvanceTime(ms);
}

bool ConsoleHost::QuestionFailed() {
    std::lock_guard<std::mutex> hold(lock_);
    return questionFailed_;
}

std::string ConsoleHost::FailedQuestion() {
    std::lock_guard<std::mutex> hold(lock_);
    return failedQuestion_;
}

bool ConsoleHost::ErrorShown() {
    std::lock_guard<std::mutex> hold(lock_);
    return errorShown_;
}

std::vector<std::string> ConsoleHost::Messages() {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
}

void ConsoleHost::Progress(const std::string& line) {
    if (options_.quiet)
        return;
    std::lock_guard<std::mutex> hold(lock_);
    err_ << line << std::flush;
}

void ConsoleHost::SetStageDetails(const std::string& loadTransfer, const std::string& verifyWait,
                                  int stepsPerPass) {
    std::lock_guard<std::mutex> hold(stageLock_);
    loadTransfer_ = loadTransfer;
    verifyWait_ = verifyWait;
    stepsPerPass_ = stepsPerPass;
    passNumber_ = 0;
    stepNumber_ = 0;
    lastStepRank_ = 99;
    lastStatus_.clear();
}

void ConsoleHost::SetControlText(int id, const std::string& text) {
    HeadlessHost::SetControlText(id, text);
    if (id < app::ids::kStatusTextBase || id >= app::ids::kStatusTextBase + app::ids::kSocketCount)
        return;
    std::string line;
    {
        // Every ticked socket gets the same text when a stage starts: the
        // first one tells.
        std::lock_guard<std::mutex> hold(stageLock_);
        if (text == lastStatus_)
            return;
        lastStatus_ = text;
        line = StageLine(text);
    }
    if (!line.empty())
        Progress(bar_ ? "\r" + line + "\x1b[K\n" : line + "\n");
}

std::string ConsoleHost::StageLine(const std::string& text) {
    for (const StageText& stage : kStages) {
        if (text != stage.text)
            continue;
        std::string line;
        if (stage.passRank < 0) {
            line = std::string("Load: ") + stage.name;
            if (std::string(stage.text) == "Loading...Program ...")
                line += " " + loadTransfer_;
            if (std::string(stage.text) == "Loading...Verify ... " && !verifyWait_.empty())
                line += " (" + verifyWait_ + ")";
        } else {
            if (stage.passRank <= lastStepRank_) {
                ++passNumber_;
                stepNumber_ = 0;
            }
            lastStepRank_ = stage.passRank;
            ++stepNumber_;
            line = "Pass " + std::to_string(passNumber_) + ": step " + std::to_string(stepNumber_) +
                   " of " + std::to_string(stepsPerPass_) + ": " + stage.name;
        }
        return line;
    }
    return {};
}

int ConsoleHost::Ask(const std::string& text, unsigned buttons, QuestionKind kind) {
    const bool okCancel = buttons == core::kMbOkCancel;
    const int accept = okCancel ? core::kIdOk : core::kIdYes;
    const int decline = okCancel ? core::kIdCancel : core::kIdNo;
    const char* option = AcceptingOption(kind);
    bool accepted = false;
    switch (kind) {
    case QuestionKind::Routine:
        accepted = options_.yes;
        break;
    case QuestionKind::UninitializedBuffer:
        accepted = options_.programUninitialized;
        break;
    case QuestionKind::FirmwareOffer:
        accepted = options_.updateFirmware || (options_.updateCommand && options_.yes);
        if (!accepted && !options_.updateCommand) {
            // Only `firmware update` changes the writer's firmware unasked.
            err_ << "(answered No: this command changes no firmware; " << option
                 << " accepts the offer)\n";
            return decline;
        }
        if (options_.updateCommand)
            option = "--yes";
        break;
    case QuestionKind::UpdateBusy:
        accepted = options_.waitForUpdate;
        break;
    }
    if (accepted) {
        err_ << "(answered " << (okCancel ? "OK" : "Yes") << " by " << option << ")\n";
        return accept;
    }
    if (options_.askTerminal && isatty(STDIN_FILENO)) {
        err_ << (okCancel ? "[OK/Cancel] " : "[Yes/No] ") << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        std::transform(answer.begin(), answer.end(), answer.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (answer == "y" || answer == "yes" || answer == "ok" || answer == "o")
            return accept;
        failedQuestion_ = text;
        questionFailed_ = true;
        return decline;
    }
    if (kind == QuestionKind::Routine)
        err_ << "burnwright-cli: this question needs an answer, and there is no terminal to ask;"
                " run with --yes to answer "
             << (okCancel ? "OK" : "Yes") << ".\n";
    else
        err_ << "burnwright-cli: declined: this question warns of a problem, and --yes answers "
                "only routine confirmations; "
             << option << " answers " << (okCancel ? "OK" : "Yes") << ".\n";
    failedQuestion_ = text;
    questionFailed_ = true;
    return decline;
}

int ConsoleHost::ShowMessageBox(const std::string& text, const std::string&, unsigned flags) {
    const QuestionKind kind = ClassifyQuestion(text);
    // Yes to "another program is updating" asks again at once; in a window
    // the operator's click paces that, here a pause does, and the question
    // is shown once. A stop ends the wait.
    if (kind == QuestionKind::UpdateBusy && options_.waitForUpdate && busyShown_.exchange(true)) {
        if (options_.stopping && options_.stopping())
            return core::kIdNo;
        std::this_thread::sleep_for(std::chrono::milliseconds(kBusyRetryMs));
        return core::kIdYes;
    }
    std::lock_guard<std::mutex> hold(lock_);
    messages_.push_back(text);
    if ((flags & 0xF0) == core::kMbIconError)
        errorShown_ = true;
    err_ << text << "\n";
    const unsigned buttons = flags & 0x0F;
    if (!IsQuestion(buttons))
        return core::kIdOk;
    return Ask(text, buttons, kind);
}

std::unique_ptr<app::I_ProgressWindow> ConsoleHost::CreateProgressWindow(int templateId) {
    return std::make_unique<ConsoleProgressWindow>(*this, templateId);
}

} // namespace cli
