// Programming passes on their own thread, the single operations, counters,
// the summary log lines and stress runs.
#include "app/BurnwrightDlg.h"

#include "core/Errors.h"
#include "core/MessageHost.h"

namespace app {
namespace {

constexpr const char* kStaleBufferQuestion =
    "The writer buffer hasn't been initialized! \n\nDo you want to program however?";
constexpr const char* kPassSeparator = "========================================";
constexpr const char* kSummaryLabels[] = {"Blank Check OTP:\t", "Program OTP:\t\t",
                                          "Verify OTP:\t\t\t"};
constexpr const char* kTotalLabels[] = {"Total Blank Check:\t ", "Total Program:\t\t ",
                                        "Total Verify:\t\t "};
constexpr const char* kOperationTexts[] = {"Blank Check ... ", "Program ...", "Verify ... ",
                                           "Trim IHRC ... "};
// A stress tick or end that finds a pass still running looks again this soon.
constexpr uint32_t kStressRetryMs = 50;

int WrapCounter(int value) {
    return value > 9999 ? value - 10000 : value;
}

} // namespace

void CBurnwrightDlg::OnProgram() {
    // Two passes never run at once on one writer: a press between two steps
    // of a running pass is ignored.
    bool expected = false;
    if (!passRunning_.compare_exchange_strong(expected, true))
        return;
    host_.StartThread([this] { PassThread(); });
}

int CBurnwrightDlg::SingleOperation(int operation) {
    const char* text = kOperationTexts[operation];
    if (operation != 1)
        SetStatusTextOnAll(text);
    if (state_.showElapsed)
        StartTimer();
    EnableActionControls(false, true);
    if (operation == 1)
        SetStatusTextOnAll(text);
    int result = 0;
    try {
        switch (operation) {
        case 0:
            result = otp_->BlankCheckOTP();
            break;
        case 1:
            result = otp_->ProgramOTP();
            break;
        case 2:
            result = otp_->VerifyOTP();
            break;
        default:
            result = otp_->TrimIHRC();
            break;
        }
    } catch (core::C_BasicError* error) {
        std::unique_ptr<core::C_BasicError> owned(error);
        owned->ShowMessage();
        result = 0;
    }
    EnableActionControls(true, true);
    if (state_.showElapsed)
        ShowElapsedSince();
    AppendStatusOnAll("Status");
    return result;
}

void CBurnwrightDlg::SummaryLine(int operation, uint32_t milliseconds,
                                 std::optional<uint64_t> wireMs) {
    StepCounts counts{0, 0, 0, milliseconds};
    for (uint8_t state : otp_->GetSocketStates()) {
        counts.ok += state == engine::kSocketOK;
        counts.fail += state == engine::kSocketFail;
        counts.init += state == engine::kSocketInit;
    }
    size_t number = 0;
    {
        std::lock_guard<std::mutex> hold(resultsLock_);
        results_[operation].push_back(counts);
        if (wireMs)
            wireResults_[operation].push_back(*wireMs);
        number = results_[operation].size();
    }
    const port::LocalTime now = localTime_();
    log_->Write(core::Format("%3d %sOK:%4d Fail:%4d Init:%4d Time:%.4f\t\t %02d:%02d:%02d\t\t",
                             static_cast<int>(number), kSummaryLabels[operation], counts.ok,
                             counts.fail, counts.init, milliseconds / 1000.0, now.hour, now.minute,
                             now.second));
}

std::vector<CBurnwrightDlg::StepCounts> CBurnwrightDlg::StepRecords(int operation) {
    std::lock_guard<std::mutex> hold(resultsLock_);
    return results_[operation];
}

std::vector<uint64_t> CBurnwrightDlg::WireRecords(int operation) {
    std::lock_guard<std::mutex> hold(resultsLock_);
    return wireResults_[operation];
}

void CBurnwrightDlg::PassThread() {
    struct Running {
        std::atomic<bool>& flag;
        ~Running() { flag = false; }
    } running{passRunning_};
    WindowState& s = state_;
    Refresh(true);
    const bool trims = s.program || s.verify || s.ihrcTrim || s.lvdTrim;
    if (!s.blankCheck && !trims)
        return;
    if (s.blankCheck && !trims) {
        SingleOperation(0);
        return;
    }
    PrepareImage(true);
    if (s.bufferStale &&
        core::ShowMessageBox(kStaleBufferQuestion, "Program",
                             core::kMbOkCancel | core::kMbIconQuestion) != core::kIdOk)
        return;

    s.bufferStale = 0;
    s.timeLabel.Set("Program Time");
    Refresh(false);
    SynchroniseCheckBoxes();
    s.showElapsed = 0;
    EnableActionControls(false, true);
    log_->Write(kPassSeparator);

    uint32_t total = 0;
    bool stepRan = false;
    bool programRan = false;
    bool carryOn = true;
    int failed = 0;
    // Failed chips of the whole pass: a chip that failed programming is no
    // longer selected for verify, yet it is a failed chip all the same.
    auto failedChips = [this] {
        int count = 0;
        for (uint8_t state : otp_->GetSocketStates())
            count += state == engine::kSocketFail;
        return count;
    };
    auto anyPassing = [this] {
        for (uint8_t state : otp_->GetSocketStates())
            if (state == engine::kSocketOK)
                return true;
        return false;
    };
    // Times one step, on the wire timeline too when there is one; from the
    // second step on only passing sockets take part.
    std::optional<uint64_t> wire;
    auto step = [&](auto&& run) {
        s.passingSocketsOnly = stepRan ? 1 : 0;
        otp_->SelectPassed(stepRan ? 1 : 0);
        const uint32_t start = TickCount();
        s.startTick = start;
        const uint64_t wireStart = wireTime_ ? wireTime_() : 0;
        run();
        if (wireTime_)
            wire = wireTime_() - wireStart;
        const uint32_t t = TickCount() - start;
        total += t;
        stepRan = true;
        return t;
    };

    // A stop asked for between two steps skips the steps left; the pass
    // still stores what the steps done left (states, counters, block).
    auto go = [&] { return carryOn && !StopRequested(); };
    carryOn = !StopRequested();
    if (carryOn && s.blankCheck) {
        const uint32_t t = step([&] { SingleOperation(0); });
        carryOn = anyPassing();
        SummaryLine(0, t, wire);
    }
    if (go()) {
        if (s.program) {
            const uint32_t t = step([&] { SingleOperation(1); });
            carryOn = anyPassing();
            failed = failedChips();
            SummaryLine(1, t, wire);
            programRan = true;
        }
        if (go() && s.verify) {
            const uint32_t t = step([&] { SingleOperation(2); });
            carryOn = anyPassing();
            if (programRan)
                failed = failedChips();
            SummaryLine(2, t, wire);
        }
        s.passingSocketsOnly = 0;
        if (go() && s.ihrcTrim) {
            const uint32_t t = step([&] { SingleOperation(3); });
            carryOn = anyPassing();
            if (programRan)
                failed = failedChips();
            SummaryLine(2, t, wire);
        }
        if (go() && s.lvdTrim) {
            const uint32_t t = step([&] { otp_->TrimLVD(); });
            if (programRan)
                failed = failedChips();
            SummaryLine(2, t, wire);
        }
    }
    s.passingSocketsOnly = 0;

    if (s.program || s.verify || s.ihrcTrim) {
        SynchroniseCheckBoxes();
        otp_->SendSocketStates();
    }
    if (s.program) {
        SynchroniseCheckBoxes();
        s.okCount = WrapCounter(s.okCount + otp_->CountSockets(engine::kSocketOK));
        s.failCount = WrapCounter(s.failCount + failed);
        settings_->WriteInt(core::settings::kGeneral, core::settings::kOtpCounterOk, s.okCount);
        settings_->WriteInt(core::settings::kGeneral, core::settings::kOtpCounterFail, s.failCount);
        otp_->SetPassCounter(s.okCount);
        otp_->SetFailCounter(s.failCount);
        otp_->SetCounters(s.okCount, s.failCount);
    }
    Refresh(false);
    otp_->SetInfo(s.developerMode);
    s.showElapsed = 1;
    EnableActionControls(true, true);
    s.elapsedText.Set(core::Format("%.3f", total / 1000.0));
    Refresh(false);
}

void CBurnwrightDlg::OnResetCounter() {
    UpdateData(true);
    state_.okCount = 0;
    state_.failCount = 0;
    UpdateData(false);
    try {
        settings_->WriteInt(core::settings::kGeneral, core::settings::kOtpCounterOk, 0);
        settings_->WriteInt(core::settings::kGeneral, core::settings::kOtpCounterFail, 0);
        otp_->SetPassCounter(0);
        otp_->SetFailCounter(0);
        otp_->SetCounters(0, 0);
        SynchroniseCheckBoxes();
        otp_->SetInfo(state_.developerMode);
    } catch (core::C_BasicError* error) {
        std::unique_ptr<core::C_BasicError> owned(error);
        owned->ShowMessage();
    }
    UpdateData(false);
}

void CBurnwrightDlg::OnStress() {
    if (!UpdateData(true) || state_.stressCount == 0)
        return;
    const uint32_t interval = static_cast<uint32_t>(std::max(1, state_.stressInterval.load()));
    if (state_.stressRunning) {
        host_.KillTimer(ids::kTimerStressTick);
        host_.SetTimer(ids::kTimerStressEnd, interval);
        return;
    }
    state_.stressRunning = 1;
    host_.SetControlText(ids::kStress, "Stop !");
    {
        std::lock_guard<std::mutex> hold(resultsLock_);
        for (auto& list : results_)
            list.clear();
        for (auto& list : wireResults_)
            list.clear();
    }
    log_->Clear();
    host_.SetTimer(ids::kTimerStressTick, interval);
}

void CBurnwrightDlg::OnStressTick() {
    host_.KillTimer(ids::kTimerStressTick);
    if (passRunning_) {
        // The pass before is still running: wait for it without blocking the
        // window, and start the next one as soon as it has ended.
        host_.SetTimer(ids::kTimerStressTick, kStressRetryMs);
        return;
    }
    OnProgram();
    state_.stressCount = state_.stressCount - 1;
    UpdateData(false);
    if (state_.stressCount != 0)
        host_.SetTimer(ids::kTimerStressTick,
                       static_cast<uint32_t>(std::max(1, state_.stressInterval.load())));
    else
        host_.SetTimer(ids::kTimerStressEnd, 1);
}

void CBurnwrightDlg::OnStressEnd() {
    host_.KillTimer(ids::kTimerStressEnd);
    if (passRunning_) {
        // The totals count the last pass too.
        host_.SetTimer(ids::kTimerStressEnd, kStressRetryMs);
        return;
    }
    state_.stressRunning = 0;
    host_.SetControlText(ids::kStress, "Test Start");
    log_->Write("\n");
    std::lock_guard<std::mutex> hold(resultsLock_);
    for (int n = 0; n < 3; ++n) {
        StepCounts sum{0, 0, 0, 0};
        for (const StepCounts& c : results_[n]) {
            sum.ok += c.ok;
            sum.fail += c.fail;
            sum.init += c.init;
        }
        log_->Write(std::string(kTotalLabels[n]) +
                    core::Format("OK:%4d Fail:%4d Init:%4d", sum.ok, sum.fail, sum.init));
    }
}

} // namespace app
