#include "app/ProgressDialogs.h"

#include "app/ControlIds.h"
#include "core/Errors.h"

#include <chrono>

namespace app {

C_UpdateWriterVersionProgCtrl::C_UpdateWriterVersionProgCtrl(I_WindowHost& host)
    : window_(host.CreateProgressWindow(ids::kUpdateProgressDialog)) {
    window_->SetRange(ids::kUpdateProgressBar, 0, 100);
    window_->SetStep(ids::kUpdateProgressBar, 25);
    window_->SetPos(ids::kUpdateProgressBar, 0);
}

void C_UpdateWriterVersionProgCtrl::Step() {
    window_->StepIt(ids::kUpdateProgressBar);
}

void C_UpdateWriterVersionProgCtrl::SetStatus(const std::string& text) {
    window_->SetText(ids::kUpdateStatus, text);
}

LoadProgressBar::LoadProgressBar(I_WindowHost& host, port::Clock& clock)
    : window_(host.CreateProgressWindow(ids::kLoadProgressDialog)), clock_(clock) {}

void LoadProgressBar::Start(int total, const std::string&, int rate) {
    window_->ShowNoActivate();
    increment_ = rate * 200;
    limit_ = 100;
    total_ = total;
    accumulated_ = 0;
    window_->SetRange(ids::kLoadProgressBar, 0, 100);
    SetPos(0);
    if (total <= increment_)
        SetPos(95);
    timerRunning_ = true;
    window_->SetTimer(0, 200, [this](int id) { OnTimer(id); });
    window_->Repaint();
}

void LoadProgressBar::SetPos(int percent) {
    if (percent == limit_ && timerRunning_) {
        window_->KillTimer(0);
        timerRunning_ = false;
    }
    position_ = percent;
    window_->SetPos(ids::kLoadProgressBar, percent);
    window_->SetText(ids::kLoadPercent, std::to_string(percent) + "%");
    window_->PumpOneMessage();
}

void LoadProgressBar::OnTick() {
    if (total_ == 0)
        return;
    accumulated_ += increment_;
    // 64 bits: a 6 MB image would wrap the 32-bit product near its end.
    const auto p = static_cast<int>(static_cast<uint64_t>(static_cast<uint32_t>(accumulated_)) *
                                    200u / static_cast<uint32_t>(total_));
    position_ = p;
    if (p < limit_) {
        SetPos(p - p % 5);
    } else {
        SetPos(95);
        if (timerRunning_) {
            window_->KillTimer(0);
            timerRunning_ = false;
        }
    }
}

void LoadProgressBar::Finish() {
    SetPos(limit_);
    clock_.SleepMs(500);
    window_->Hide();
}

void LoadProgressBar::OnTimer(int timerId) {
    if (timerId == 0) {
        OnTick();
        window_->PumpOneMessage();
    } else if (timerId == 1) {
        window_->KillTimer(1);
        window_->Hide();
    }
}

namespace {
std::atomic<LoadProgressBar*> currentBar{nullptr};
} // namespace

LoadProgressBar* CurrentLoadProgressBar() {
    return currentBar.load();
}

void LoadSignal::Finished() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        finished_ = true;
    }
    changed_.notify_all();
}

bool LoadSignal::IsFinished() {
    std::lock_guard<std::mutex> hold(lock_);
    return finished_;
}

void LoadSignal::WaitFor(uint32_t ms) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return finished_; });
}

void RunLoadProgress(I_WindowHost& host, port::Clock& clock, const std::atomic<int>& loading,
                     const std::shared_ptr<LoadSignal>& signal, int total) {
    auto bar = std::make_unique<LoadProgressBar>(host, clock);
    currentBar = bar.get();
    try {
        bar->Start(total, kLoadingText, kLoadProgressRate);
        while (loading && !signal->IsFinished()) {
            bar->OnTick();
            signal->WaitFor(kLoadProgressStepMs);
        }
        bar->Finish();
    } catch (core::C_BasicError* error) {
        std::unique_ptr<core::C_BasicError> owned(error);
        owned->ShowMessage();
    }
    // A later load's window may be published already.
    LoadProgressBar* mine = bar.get();
    currentBar.compare_exchange_strong(mine, nullptr);
}

} // namespace app
