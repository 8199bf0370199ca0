// The two progress windows: the firmware update's (dialog 150, four steps of
// 25 %) and the estimated progress of a writer-buffer load (dialog 103),
// which a thread of its own drives while the load runs.
#pragma once

#include "app/WindowHost.h"
#include "port/Clock.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace app {

class C_UpdateWriterVersionProgCtrl {
public:
    // Builds the window from dialog 150: range 0-100, step 25, position 0.
    explicit C_UpdateWriterVersionProgCtrl(I_WindowHost& host);
    void Show() { window_->ShowNoActivate(); }
    void Hide() { window_->Hide(); }
    void Step();
    void SetStatus(const std::string& text);

private:
    std::unique_ptr<I_ProgressWindow> window_;
};

class LoadProgressBar {
public:
    // Builds the hidden window from dialog 103; `clock` paces Finish.
    LoadProgressBar(I_WindowHost& host, port::Clock& clock);

    // Shows the window without activating it and starts timer 0 (200 ms).
    // The text is not shown; the window's own caption says what loads.
    void Start(int total, const std::string& text, int rate);
    // Position in percent; stops timer 0 at the limit.
    void SetPos(int percent);
    void OnTick();
    // 100 %, half a second to read it, then hidden.
    void Finish();
    void OnTimer(int timerId);

    int Limit() const { return limit_; }
    int Position() const { return position_; }
    int Increment() const { return increment_; }
    int Total() const { return total_; }
    int Accumulated() const { return accumulated_; }
    bool TimerRunning() const { return timerRunning_; }
    I_ProgressWindow& Window() { return *window_; }

private:
    std::unique_ptr<I_ProgressWindow> window_;
    port::Clock& clock_;
    int limit_ = 0;
    int position_ = 0;
    int increment_ = 0;
    int total_ = 0;
    int accumulated_ = 0;
    bool timerRunning_ = false;
};

// The load progress thread's current window; null when none runs.
LoadProgressBar* CurrentLoadProgressBar();

// Tells the load progress thread that its load has ended, so that it stops
// waiting for its next step at once. Each load has a signal of its own: a
// later load never takes back the end of an earlier one.
class LoadSignal {
public:
    void Finished();
    bool IsFinished();
    // Waits up to `ms` of real time, or until Finished.
    void WaitFor(uint32_t ms);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool finished_ = false;
};

inline constexpr const char* kLoadingText = "Loading...";
inline constexpr int kLoadProgressRate = 10;
inline constexpr uint32_t kLoadProgressStepMs = 500;

// The load progress thread: a window for `total` bytes, a step every 500 ms
// while `loading` is set and its load has not signalled its end, then
// Finish. The window is published through CurrentLoadProgressBar for its
// lifetime.
void RunLoadProgress(I_WindowHost& host, port::Clock& clock, const std::atomic<int>& loading,
                     const std::shared_ptr<LoadSignal>& signal, int total);

} // namespace app
