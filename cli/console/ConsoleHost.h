// The window logic's host on a console: the headless host's user-interface
// thread and controls, with message boxes shown on standard error and
// answered from the options (--yes) or, on a terminal, by the user; progress
// windows drawn as a bar on a terminal or as plain lines otherwise; and the
// window's timers run in step with real time whenever the command waits.
#pragma once

#include "app/headless/HeadlessHost.h"

#include <atomic>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

namespace cli {

struct ConsoleOptions {
    bool yes = false;                // answer every question with OK or Yes
    bool quiet = false;              // no progress
    bool askTerminal = true;         // ask on a terminal when --yes is not given
    bool declineUpdateOffer = false; // answer the firmware update offer with No
};

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

    int ShowMessageBox(const std::string& text, const std::string& caption,
                       unsigned flags) override;
    std::unique_ptr<app::I_ProgressWindow> CreateProgressWindow(int templateId) override;

private:
    int Ask(const std::string& text, unsigned buttons);

    ConsoleOptions options_;
    std::ostream& err_;
    bool bar_;
    std::mutex lock_;
    std::vector<std::string> messages_;
    std::string failedQuestion_;
    bool questionFailed_ = false;
    bool errorShown_ = false;
    std::atomic<bool> busyShown_{false};
};

} // namespace cli
