// A progress window (dialogs 103 and 150) as a modeless dialog of the thread
// that creates it. It has no message loop of its own: its timers fire when
// PumpOneMessage lets one of its messages through.
#pragma once

#include "app/WindowHost.h"

#include <windows.h>

#include <functional>
#include <map>

namespace app::win32 {

class Win32ProgressWindow : public I_ProgressWindow {
public:
    // Hidden and centred on the screen; `parent` may be null.
    Win32ProgressWindow(HINSTANCE instance, const DialogTemplate& dialog, HWND parent);
    ~Win32ProgressWindow() override;
    Win32ProgressWindow(const Win32ProgressWindow&) = delete;
    Win32ProgressWindow& operator=(const Win32ProgressWindow&) = delete;

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

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND window_ = nullptr;
    std::map<int, std::function<void(int)>> timers_;
};

} // namespace app::win32
