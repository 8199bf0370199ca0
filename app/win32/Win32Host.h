// The Windows host of the window logic: the main window is a modal dialog
// built from template 102, its controls are real Win32 controls, timers are
// window timers, and a worker thread's control calls and requests are sent to
// the dialog, so they run on its thread and block the worker until done.
#pragma once

#include "app/WindowHost.h"
#include "core/MessageHost.h"
#include "port/DeviceIo.h"

#include <windows.h>

#include <dbt.h>

// The window logic's names, not the platform's character-set macros.
#undef GetWindowText
#undef SetWindowText
#undef LoadString
#undef RegisterDeviceNotification
#undef GetMessage

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace app::win32 {

// Private messages of the main dialog.
inline constexpr UINT kMsgInvoke = WM_APP + 1;      // lParam: std::function<void()>*
inline constexpr UINT kMsgDeviceEvent = WM_APP + 2; // a simulated bus's notification

class Win32Host : public I_WindowHost, public core::I_MessageBoxHost {
public:
    // `devices` is the writer link's backend: a backend other than the
    // system's own has its notifications delivered as device-change messages.
    Win32Host(HINSTANCE instance, port::DeviceIo* devices);
    ~Win32Host() override;
    Win32Host(const Win32Host&) = delete;
    Win32Host& operator=(const Win32Host&) = delete;

    // Runs the main dialog modally on the calling thread with `logic` behind
    // it; returns the dialog's result once it has closed and every worker
    // thread has ended.
    int RunModal(I_WindowLogic& logic);

    // I_WindowHost.
    std::string GetControlText(int id) override;
    void SetControlText(int id, const std::string& text) override;
    int GetCheck(int id) override;
    void SetCheck(int id, int checked) override;
    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) override;
    void ShowControl(int id, bool show) override;
    bool IsControlVisible(int id) override;
    Rect GetControlRect(int id) override;
    void SetControlRect(int id, const Rect& pixels) override;
    void ResetComboItems(int id) override;
    void AddComboItem(int id, const std::string& text) override;
    void SetComboSelection(int id, int index) override;
    int GetComboSelection(int id) override;
    void RepaintControl(int id) override;
    void RepaintWindow() override;
    void DrawBitmap(int id, int bitmapId) override;
    std::string GetWindowText() override;
    void SetWindowText(const std::string& text) override;
    Rect GetWindowRect() override;
    void SetWindowSize(int cx, int cy) override;
    void CenterWindow() override;
    bool IsMinimized() override;
    void DrawIconCentered(int iconId) override;
    void SetIcon(int iconId) override;
    std::string LoadString(int id) override;
    void AddSystemMenuEntry(int commandId, const std::string& text) override;
    void ShowAboutBox() override;
    bool ShowOpenFileDialog(const std::string& filter, const std::string& initialFolder,
                            std::string& path) override;
    void EndDialog(int result) override;
    void SetTimer(int id, uint32_t periodMs) override;
    void KillTimer(int id) override;
    void DropPendingMouseInput() override;
    bool RegisterDeviceNotification(const std::string& interfaceClass) override;
    void UnregisterDeviceNotification() override;
    intptr_t SendToWindow(unsigned message, uintptr_t wParam, intptr_t lParam) override;
    void StartThread(std::function<void()> body) override;
    std::unique_ptr<I_ProgressWindow> CreateProgressWindow(int templateId) override;

    // core::I_MessageBoxHost.
    int ShowMessageBox(const std::string& text, const std::string& caption,
                       unsigned flags) override;

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void OnDeviceChange(WPARAM event, const DEV_BROADCAST_HDR* header);
    void DrawLamp(const DRAWITEMSTRUCT& item);
    // Runs `work` on the dialog's thread; from a worker, waits for it.
    void Invoke(const std::function<void()>& work);
    bool OnUiThread() const { return ::GetCurrentThreadId() == uiThread_; }
    HWND Control(int id) const;
    HBITMAP Picture(int bitmapId);

    HINSTANCE instance_;
    port::DeviceIo* devices_;
    core::I_MessageBoxHost* previousBoxHost_;
    I_WindowLogic* logic_ = nullptr;
    HWND dialog_ = nullptr;
    DWORD uiThread_ = 0;
    HDEVNOTIFY notification_ = nullptr;
    bool busEvents_ = false;
    // Dialog thread: the host itself is changing a control's text.
    int writingControls_ = 0;
    std::map<int, int> lamps_;        // lamp control -> picture
    std::map<int, HBITMAP> pictures_; // loaded pictures
    HICON icon_ = nullptr;

    std::mutex workersLock_;
    std::vector<std::thread> workers_;
};

} // namespace app::win32
