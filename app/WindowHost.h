// The window logic's view of a toolkit, and the toolkit's view of the logic.
//
// The logic (CBurnwrightDlg and the progress dialogs) keeps the window's state
// and decides everything; a host builds the dialogs from the templates, owns
// the widgets and the user-interface thread, and maps widgets and events onto
// the calls below. The Qt window, the Windows program, the command line and
// the headless test host are all hosts.
//
// Threads. The user-interface thread runs every handler of I_WindowLogic.
// Controls belong to that thread: a control call made from another thread is
// carried to the user-interface thread and blocks the caller until it has
// run there (as a message sent to a control of another thread does), so the
// user-interface thread must never wait for a worker thread. Message boxes go
// through core::I_MessageBoxHost, from any thread.
#pragma once

#include "app/DialogTemplate.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace app {

// A progress window (dialogs 103 and 150), built by the host from its
// template. It belongs to the thread that created it; every call is made
// from that thread and returns at once.
class I_ProgressWindow {
public:
    virtual ~I_ProgressWindow() = default; // destroys the window

    virtual void ShowNoActivate() = 0;
    virtual void Hide() = 0;
    virtual void SetText(int controlId, const std::string& text) = 0;
    virtual void SetRange(int controlId, int low, int high) = 0;
    virtual void SetPos(int controlId, int position) = 0;
    virtual void SetStep(int controlId, int step) = 0;
    virtual void StepIt(int controlId) = 0;
    virtual void Repaint() = 0;
    // Window timers: `onTimer` runs on the owning thread, from PumpOneMessage
    // only (the window has no message loop of its own).
    virtual void SetTimer(int timerId, uint32_t periodMs, std::function<void(int)> onTimer) = 0;
    virtual void KillTimer(int timerId) = 0;
    // Lets one pending message of the window through (a due timer among
    // them); returns at once when none is pending.
    virtual void PumpOneMessage() = 0;
};

enum class DeviceChange { Arrival, RemoveComplete };

class I_WindowHost {
public:
    virtual ~I_WindowHost() = default;

    // Controls of the main window by id (ids::kStatic reaches the first
    // control without an id). Any thread; blocks a worker thread until the
    // user-interface thread has run the call. Unknown ids are ignored (read
    // as empty, 0 or an empty rectangle).
    virtual std::string GetControlText(int id) = 0;
    virtual void SetControlText(int id, const std::string& text) = 0;
    virtual int GetCheck(int id) = 0; // 0 or 1
    virtual void SetCheck(int id, int checked) = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    virtual bool IsControlEnabled(int id) = 0;
    virtual void ShowControl(int id, bool show) = 0;
    virtual bool IsControlVisible(int id) = 0;
    // Position and size in pixels of the window's client area.
    virtual Rect GetControlRect(int id) = 0;
    virtual void SetControlRect(int id, const Rect& pixels) = 0;
    // The combo box's list: emptied, appended to, selected by index (-1: none).
    virtual void ResetComboItems(int id) = 0;
    virtual void AddComboItem(int id, const std::string& text) = 0;
    virtual void SetComboSelection(int id, int index) = 0;
    virtual int GetComboSelection(int id) = 0;
    // Repaints one control, or the whole window, before returning.
    virtual void RepaintControl(int id) = 0;
    virtual void RepaintWindow() = 0;
    // Paints picture `bitmapId` (143-146) into the 16 x 16 pixels at the top
    // left of control `id`, with the colour RGB(0, 128, 128) transparent.
    virtual void DrawBitmap(int id, int bitmapId) = 0;

    // The main window itself. User-interface thread; never block.
    virtual std::string GetWindowText() = 0;
    virtual void SetWindowText(const std::string& text) = 0;
    virtual Rect GetWindowRect() = 0; // the whole window, in screen pixels
    virtual void SetWindowSize(int cx, int cy) = 0;
    virtual void CenterWindow() = 0;
    virtual bool IsMinimized() = 0;
    virtual void DrawIconCentered(int iconId) = 0;
    virtual void SetIcon(int iconId) = 0;
    // The text of string resource `id`; empty when there is none.
    virtual std::string LoadString(int id) = 0;
    // A separator and an entry that sends OnSysCommand(commandId).
    virtual void AddSystemMenuEntry(int commandId, const std::string& text) = 0;
    // Runs the About box (dialog 100) modally; blocks until it closes.
    virtual void ShowAboutBox() = 0;
    // The open-file dialog, modal. `filter` is in the "Name|pattern;...|"
    // form. True with the chosen path; false when cancelled.
    virtual bool ShowOpenFileDialog(const std::string& filter, const std::string& initialFolder,
                                    std::string& path) = 0;
    // Ends the modal main dialog with `result`; the host returns from its
    // run loop once the current handler returns.
    virtual void EndDialog(int result) = 0;

    // Window timers: OnTimer(id) every `periodMs` until killed. User-interface
    // thread; never block.
    virtual void SetTimer(int id, uint32_t periodMs) = 0;
    virtual void KillTimer(int id) = 0;
    // Drops the mouse input queued for the window, so clicks made while an
    // action ran never start another. Any thread.
    virtual void DropPendingMouseInput() = 0;

    // Arrival and removal of members of a device-interface class, delivered
    // as OnDeviceChange on the user-interface thread. False when the host
    // cannot watch devices.
    virtual bool RegisterDeviceNotification(const std::string& interfaceClass) = 0;
    virtual void UnregisterDeviceNotification() = 0;

    // Sends a window message (ids::kMsgRefresh, ids::kMsgLamp) to the logic's
    // OnUserMessage and returns its answer. Any thread; from a worker it
    // blocks until the user-interface thread has handled it.
    virtual intptr_t SendToWindow(unsigned message, uintptr_t wParam, intptr_t lParam) = 0;
    // Starts a worker thread running `body`; returns at once. The host joins
    // its workers before it ends. Any thread.
    virtual void StartThread(std::function<void()> body) = 0;
    // A progress window from template 103 or 150, hidden, owned by the
    // calling thread (any thread). The update window (150) has the main
    // window as its parent; the load window (103) has no parent.
    virtual std::unique_ptr<I_ProgressWindow> CreateProgressWindow(int templateId) = 0;
};

// What a host calls on the window logic. User-interface thread only.
class I_WindowLogic {
public:
    virtual ~I_WindowLogic() = default;

    // The dialog is built from its template; start-up. Returns true.
    virtual bool OnInitDialog() = 0;
    // A button or check box clicked, a combo box selection changed, or an
    // edit's text changed by the user.
    virtual void OnCommand(int controlId) = 0;
    virtual void OnSysCommand(int commandId) = 0;
    virtual void OnTimer(int timerId) = 0;
    virtual intptr_t OnUserMessage(unsigned message, uintptr_t wParam, intptr_t lParam) = 0;
    virtual void OnDeviceChange(DeviceChange change, const std::string& interfacePath) = 0;
    // After the host's own painting of the window.
    virtual void OnPaint() = 0;
    // Whether the text of control `id` is drawn red.
    virtual bool IsRedText(int id) = 0;
};

} // namespace app
