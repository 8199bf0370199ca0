#include "app/win32/Win32ProgressWindow.h"

#include "app/win32/DialogBuilder.h"

#include <commctrl.h>

namespace app::win32 {

Win32ProgressWindow::Win32ProgressWindow(HINSTANCE instance, const DialogTemplate& dialog,
                                         HWND parent) {
    const DialogResource resource(dialog);
    window_ = ::CreateDialogIndirectParamA(instance, resource.Get(), parent,
                                           &Win32ProgressWindow::DialogProc,
                                           reinterpret_cast<LPARAM>(this));
    if (!window_)
        return;
    RECT r;
    ::GetWindowRect(window_, &r);
    const int x = (::GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2;
    const int y = (::GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2;
    ::SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

Win32ProgressWindow::~Win32ProgressWindow() {
    if (window_)
        ::DestroyWindow(window_);
}

INT_PTR CALLBACK Win32ProgressWindow::DialogProc(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrA(window, GWLP_USERDATA, lParam);
        return TRUE;
    }
    auto* self = reinterpret_cast<Win32ProgressWindow*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self && message == WM_TIMER) {
        const auto it = self->timers_.find(static_cast<int>(wParam));
        if (it != self->timers_.end()) {
            const auto handler = it->second; // the handler may kill the timer
            handler(static_cast<int>(wParam));
        }
        return TRUE;
    }
    return FALSE;
}

void Win32ProgressWindow::ShowNoActivate() {
    ::ShowWindow(window_, SW_SHOWNOACTIVATE);
}

void Win32ProgressWindow::Hide() {
    ::ShowWindow(window_, SW_HIDE);
}

void Win32ProgressWindow::SetText(int controlId, const std::string& text) {
    ::SetDlgItemTextA(window_, controlId, text.c_str());
}

void Win32ProgressWindow::SetRange(int controlId, int low, int high) {
    ::SendDlgItemMessageA(window_, controlId, PBM_SETRANGE32, low, high);
}

void Win32ProgressWindow::SetPos(int controlId, int position) {
    ::SendDlgItemMessageA(window_, controlId, PBM_SETPOS, position, 0);
}

void Win32ProgressWindow::SetStep(int controlId, int step) {
    ::SendDlgItemMessageA(window_, controlId, PBM_SETSTEP, step, 0);
}

void Win32ProgressWindow::StepIt(int controlId) {
    ::SendDlgItemMessageA(window_, controlId, PBM_STEPIT, 0, 0);
}

void Win32ProgressWindow::Repaint() {
    ::RedrawWindow(window_, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void Win32ProgressWindow::SetTimer(int timerId, uint32_t periodMs,
                                   std::function<void(int)> onTimer) {
    timers_[timerId] = std::move(onTimer);
    ::SetTimer(window_, static_cast<UINT_PTR>(timerId), periodMs, nullptr);
}

void Win32ProgressWindow::KillTimer(int timerId) {
    ::KillTimer(window_, static_cast<UINT_PTR>(timerId));
    timers_.erase(timerId);
}

void Win32ProgressWindow::PumpOneMessage() {
    MSG message;
    if (!::PeekMessageA(&message, window_, 0, 0, PM_REMOVE))
        return;
    if (!::IsDialogMessageA(window_, &message)) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}

} // namespace app::win32
