// The window logic's host on a console: the headless host's user-interface
// thread and controls, with message boxes shown on standard error and
// answered from the options (--yes) or, on a terminal, by the user; progress
// windows drawn as a bar on a terminal or as plain lines otherwise; and the
// window's timers run in step with real time whenever the command waits.
#pragma once

#include "app/headless/HeadlessHost.h"

#include <atomic>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

namespace cli {

// Who answers which question. Routine confirmations (load the buffer now?)
// are answered by --yes; a question that warns of a problem is declined
// unless its own option accepts it.
struct ConsoleOptions {
    bool yes = false;                  // routine confirmations: OK / Yes
    bool quiet = false;                // no progress
    bool askTerminal = true;           // ask on a terminal what no option answers
    bool programUninitialized = false; // "The writer buffer hasn't been initialized!"
    bool updateFirmware = false;       // the start-up offer to update the writer's firmware
    bool updateCommand = false;        // `firmware update`: the offer is what was asked for
    bool waitForUpdate = false;        // "Another ... is updating": wait for it
    // A stop was asked for: a wait for another program's update ends.
    std::function<bool()> stopping;
};

// The questions the window asks, and the option that accepts each.
enum class QuestionKind { Routine, UninitializedBuffer, FirmwareOffer, UpdateBusy };
QuestionKind ClassifyQuestion(const std::string& text);
const char* AcceptingOption(QuestionKind kind);

class ConsoleHost : public app::headless::HeadlessHost {
public:
    ConsoleHost(port::ManualClock& timerClock, ConsoleOptions options, std::ostream& err);

    // Lets `ms` of real time pass, then fires every window timer that fell due.
    void Wait(uint32_t ms);

    // A question was declined, or could not be asked; its text.
    bool QuestionFailed();
    std::string FailedQuestion();
    // Whether a box reported an error (the engine's failures are shown so).
    bool ErrorShown();
    // Every box text shown since the start, in order.
    std::vector<std::string> Messages();

    // Status lines of the command itself, on standard error unless quiet.
    void Progress(const std::string& line);
    bool ProgressIsBar() const { return bar_; }
    std::ostream& Err() { return err_; }

    // What the load and the pass are about to do, for the stage lines: the
    // bytes a load transfers, how the writer's verify of its buffer is
    // waited for, and how many steps a pass has.
    void SetStageDetails(const std::string& loadTransfer, const std::string& verifyWait,
                         int stepsPerPass);

    int ShowMessageBox(const std::string& text, const std::string& caption,
                       unsigned flags) override;
    // Status texts also tell which stage of a load or a pass starts.
    void SetControlText(int id, const std::string& text) override;
    std::unique_ptr<app::I_ProgressWindow> CreateProgressWindow(int templateId) override;

private:
    int Ask(const std::string& text, unsigned buttons, QuestionKind kind);
    // The line that says which stage a status text starts; empty for none.
    std::string StageLine(const std::string& text);

    ConsoleOptions options_;
    std::ostream& err_;
    bool bar_;
    std::mutex lock_;
    std::vector<std::string> messages_;
    std::string failedQuestion_;
    bool questionFailed_ = false;
    bool errorShown_ = false;
    std::atomic<bool> busyShown_{false};
    // Stage lines.
    std::mutex stageLock_;
    std::string lastStatus_;
    std::string loadTransfer_, verifyWait_;
    int stepsPerPass_ = 0;
    int passNumber_ = 0, stepNumber_ = 0, lastStepRank_ = 99;
};

} // namespace cli
