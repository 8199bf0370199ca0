// A progress window (dialog 103 or 150) for the Qt host. The window logic
// may create and drive it from a worker thread: the object belongs to that
// thread, its widgets to the user-interface thread, and every widget call is
// carried there and waited for. Its timers fall due on a port::Clock and fire
// only from PumpOneMessage, on the owning thread.
#pragma once

#include "app/DialogTemplate.h"
#include "app/WindowHost.h"
#include "app/qt/Pictures.h"
#include "port/Clock.h"

#include <QWidget>

#include <functional>
#include <map>

namespace app::qt {

class QtWindowHost;

class ProgressWindow : public I_ProgressWindow {
public:
    ProgressWindow(QtWindowHost& host, const DialogTemplate& dialog, port::Clock& clock);
    ~ProgressWindow() override;
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    void ShowNoActivate() override;
    void Hide() override;
    void SetText(int controlId, const std::string& text) override;
    void SetRange(int controlId, int low, int high) override;
    void SetPos(int controlId, int position) override;
    void SetStep(int controlId, int step) override;
    void StepIt(int controlId) override;
    void Repaint() override;
    void SetTimer(int timerId, uint32_t periodMs, std::function<void(int)> onTimer) override;
    void KillTimer(int timerId) override;
    void PumpOneMessage() override;

    // The top-level widget (user-interface thread).
    QWidget* Widget() const { return window_; }

private:
    struct Timer {
        uint32_t period;
        uint64_t due;
        std::function<void(int)> onTimer;
    };

    QtWindowHost& host_;
    port::Clock& clock_;
    QWidget* window_ = nullptr;
    std::map<int, QWidget*> controls_;
    std::map<int, int> steps_;
    std::map<int, Timer> timers_;
};

} // namespace app::qt
