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
constexpr const char* kBufferCheckText = "Verify WriterBuffer ... ";
// A stress tick or end that finds the writer in use looks again this soon.
constexpr uint32_t kStressRetryMs = 50;

int WrapCounter(int value) {
    return value > 9999 ? value - 10000 : value;
}

} // namespace

void CBurnwrightDlg::OnProgram() {
    // One user of the writer at a time: a press while an action holds it
    // does nothing.
    if (!TryBeginAction(true))
        return;
    passRunning_ = true;
    host_.StartThread([this] { PassThread(); });
}

void CBurnwrightDlg::ClearEnabledStates() {
    // A command that never reaches the writer must not leave the sockets as
    // an earlier step left them: each enabled socket reads Init until the
    // writer's status says otherwise.
    for (int i = 0; i < ids::kSocketCount; ++i)
        if (otp_->IsSocketEnabled(i))
            otp_->SetSocketState(i, engine::kSocketInit);
}

std::array<uint8_t, ids::kSocketCount> CBurnwrightDlg::TakeStep() {
    std::array<uint8_t, ids::kSocketCount> before{};
    const auto& states = otp_->GetSocketStates();
    for (int i = 0; i < ids::kSocketCount; ++i)
        before[i] = otp_->IsSocketEnabled(i) ? kTakesPart : states[i];
    ClearEnabledStates();
    return before;
}

void CBurnwrightDlg::EndStep(const std::array<uint8_t, ids::kSocketCount>& before) {
    // The status reply gives every socket's state on the writer; a socket
    // that took no part in the step keeps what the window knew of it, so it
    // cannot come back OK from an older result.
    for (int i = 0; i < ids::kSocketCount; ++i)
        if (before[i] != kTakesPart)
            otp_->SetSocketState(i, before[i]);
    InitOutsideAction();
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
    const auto before = TakeStep();
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
    EndStep(before);
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

bool CBurnwrightDlg::CheckBuffersBeforeProgram() {
    // Program and verify take each chip's data from its socket's writer
    // buffer. Where this window has not seen the buffer hold the open image
    // (nothing loaded here, a failed load, another image since), the writer
    // checks the buffers against the image first, and only sockets whose
    // buffer holds it go on.
    bool unknown = false;
    for (int i = 0; i < ids::kSocketCount; ++i)
        unknown = unknown || (actionSockets_[i] && !bufferHolds_[i]);
    if (!unknown)
        return false;
    state_.passingSocketsOnly = 0;
    SelectAmongAction(false);
    SetStatusTextOnAll(kBufferCheckText);
    const auto before = TakeStep();
    try {
        otp_->VerifyBuffer(SelectedBody());
    } catch (core::C_BasicError* error) {
        std::unique_ptr<core::C_BasicError> owned(error);
        owned->ShowMessage();
    }
    EndStep(before);
    AppendStatusOnAll("Status");
    const auto& states = otp_->GetSocketStates();
    for (int i = 0; i < ids::kSocketCount; ++i)
        if (actionSockets_[i])
            bufferHolds_[i] = states[i] == engine::kSocketOK;
    RememberHeldImage();
    return true;
}

void CBurnwrightDlg::PassThread() {
    ActionEnd end(*this);
    WindowState& s = state_;
    Refresh(true);
    // The pass's choices as they stand when it starts: a box clicked while it
    // runs is for the next pass.
    const bool blankCheck = s.blankCheck != 0;
    const bool program = s.program != 0;
    const bool verify = s.verify != 0;
    const bool ihrc = s.ihrcTrim != 0;
    const bool lvd = s.lvdTrim != 0;
    const bool trims = program || verify || ihrc || lvd;
    if (!blankCheck && !trims)
        return;
    if (blankCheck && !trims) {
        SingleOperation(0);
        return;
    }
    PrepareImage(true);
    CheckHeldImage();
    if (s.bufferStale &&
        core::ShowMessageBox(kStaleBufferQuestion, "Program", core::kMbOkCancel) != core::kIdOk)
        return;

    s.bufferStale = 0;
    s.timeLabel.Set("Program Time");
    Refresh(false);
    SynchroniseCheckBoxes();
    // The sockets ticked now are the pass's; no other socket takes part in
    // any step or count, whatever the writer reports for it.
    for (int i = 0; i < ids::kSocketCount; ++i)
        actionSockets_[i] = otp_->IsSocketEnabled(i) ? 1 : 0;
    s.showElapsed = 0;
    EnableActionControls(false, true);
    log_->Write(kPassSeparator);

    uint32_t total = 0;
    bool stepRan = false;
    bool carryOn = true;
    std::array<bool, ids::kSocketCount> programmed{};
    auto anyPassing = [this] {
        for (uint8_t state : otp_->GetSocketStates())
            if (state == engine::kSocketOK)
                return true;
        return false;
    };
    // Times one step, on the wire timeline too when there is one; after the
    // first step (or the buffer check) only passing sockets take part.
    std::optional<uint64_t> wire;
    auto step = [&](auto&& run) {
        s.passingSocketsOnly = stepRan ? 1 : 0;
        SelectAmongAction(stepRan);
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
    if (carryOn && CheckBuffersBeforeProgram()) {
        stepRan = true;
        carryOn = anyPassing();
    }
    if (go() && blankCheck) {
        const uint32_t t = step([&] { SingleOperation(0); });
        carryOn = anyPassing();
        SummaryLine(0, t, wire);
    }
    if (go()) {
        if (program) {
            const uint32_t t = step([&] {
                for (int i = 0; i < ids::kSocketCount; ++i)
                    programmed[i] = otp_->IsSocketEnabled(i) != 0;
                SingleOperation(1);
            });
            carryOn = anyPassing();
            SummaryLine(1, t, wire);
        }
        if (go() && verify) {
            const uint32_t t = step([&] { SingleOperation(2); });
            carryOn = anyPassing();
            SummaryLine(2, t, wire);
        }
        s.passingSocketsOnly = 0;
        if (go() && ihrc) {
            const uint32_t t = step([&] { SingleOperation(3); });
            carryOn = anyPassing();
            SummaryLine(2, t, wire);
        }
        if (go() && lvd) {
            const uint32_t t = step([&] {
                const auto before = TakeStep();
                otp_->TrimLVD();
                EndStep(before);
            });
            SummaryLine(2, t, wire);
        }
    }
    s.passingSocketsOnly = 0;
    // Every chip the pass tried to program counts: OK when it came through
    // every later step, failed otherwise. A chip blank check refused was not
    // programmed and is no failed chip.
    int passed = 0;
    int failed = 0;
    const auto& states = otp_->GetSocketStates();
    for (int i = 0; i < ids::kSocketCount; ++i) {
        if (!programmed[i])
            continue;
        if (states[i] == engine::kSocketOK)
            ++passed;
        else
            ++failed;
    }

    if (program || verify || ihrc) {
        SynchroniseCheckBoxes();
        otp_->SendSocketStates();
    }
    if (program) {
        SynchroniseCheckBoxes();
        // The counts and their edits change together, so that no read-back of
        // the controls in between takes the old count back.
        int ok = 0;
        int fail = 0;
        OnUi([&] {
            s.okCount = WrapCounter(s.okCount + passed);
            s.failCount = WrapCounter(s.failCount + failed);
            ok = s.okCount;
            fail = s.failCount;
            UpdateData(false);
        });
        if (!settings_->SetCounters(ok, fail))
            core::ShowMessageBox(core::Format(kCountersNotSaved, settings_->GetFilePath().c_str()),
                                 kAppCaption, core::kMbOk);
        otp_->SetPassCounter(ok);
        otp_->SetFailCounter(fail);
        otp_->SetCounters(ok, fail);
    }
    Refresh(false);
    otp_->SetInfo(s.developerMode);
    s.showElapsed = 1;
    EnableActionControls(true, true);
    OnUi([&] {
        s.elapsedText.Set(core::Format("%.3f", total / 1000.0));
        UpdateData(false);
    });
}

void CBurnwrightDlg::OnResetCounter() {
    UpdateData(true);
    state_.okCount = 0;
    state_.failCount = 0;
    UpdateData(false);
    try {
        if (!settings_->SetCounters(0, 0))
            core::ShowMessageBox(core::Format(kCountersNotSaved, settings_->GetFilePath().c_str()),
                                 kAppCaption, core::kMbOk);
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
    if (busy_) {
        // The writer is in use (the pass before, or a load started between
        // two passes): wait for it without blocking the window, and start the
        // next pass as soon as it is free.
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
