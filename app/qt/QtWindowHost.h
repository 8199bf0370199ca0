// The Qt 6 Widgets host of the window logic: the main window (dialog 102)
// built from its template, timers, worker threads, the synchronous requests
// of workers carried to the user-interface thread, message boxes, the file
// dialog, the About box (context menu and F1), progress windows and the
// writer's arrival and removal.
//
// The host lives on the thread that runs the Qt event loop (the
// user-interface thread). Control calls from other threads are queued to it
// and block until they have run; the user-interface thread never waits for a
// worker, except at the end, when it keeps handling their requests while it
// waits for them to finish.
#pragma once

#include "app/WindowHost.h"
#include "app/qt/Pictures.h"
#include "core/MessageHost.h"
#include "port/Clock.h"
#include "port/DeviceIo.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace app::qt {

class HostWindow;
class DialogSurface;

struct QtHostOptions {
    // Device notifications come from here (none when null).
    port::DeviceIo* devices = nullptr;
    // Paces the progress windows' timers; the system clock when null.
    port::Clock* progressClock = nullptr;
    // Folder of the pictures (lamps and icon).
    std::string pictureFolder;
    // Shown after the logic's window text, e.g. " [SIMULATED WRITER]".
    std::string titleSuffix;
};

class QtWindowHost : public QObject, public I_WindowHost, public core::I_MessageBoxHost {
public:
    // Builds the main window from template 102 (hidden) and installs the host
    // as the message-box host. Needs a QApplication.
    explicit QtWindowHost(QtHostOptions options);
    // Joins the workers (handling their requests meanwhile), stops device
    // notifications and restores the message-box host.
    ~QtWindowHost() override;
    QtWindowHost(const QtWindowHost&) = delete;
    QtWindowHost& operator=(const QtWindowHost&) = delete;

    // Runs the logic's start-up and shows the window.
    void Start(I_WindowLogic& logic);
    // Runs the event loop until the dialog ends (EndDialog, or the window
    // closed: Cancel), waits for the workers and returns the result.
    int Run();
    // Asks the window to close as its close button does.
    void RequestClose();
    bool Ended() const { return ended_; }

    // A widget shown beside the dialog in the same window.
    void AddSidePanel(QWidget* panel);
    // Runs `work` on the user-interface thread and waits for it.
    void Invoke(const std::function<void()>& work);
    // Waits, handling events, until every worker thread has ended.
    void WaitForWorkers();
    int RunningWorkers() const { return runningWorkers_.load(); }

    // Scripted answers instead of the file dialog and message boxes, for
    // demonstrations and tests that cannot click; empty restores the dialogs.
    using FileAnswer = std::function<std::optional<std::string>(const std::string& filter,
                                                                const std::string& folder)>;
    using BoxAnswer = std::function<int(const std::string& text, unsigned flags)>;
    void SetFileAnswer(FileAnswer answer) { fileAnswer_ = std::move(answer); }
    void SetBoxAnswer(BoxAnswer answer) { boxAnswer_ = std::move(answer); }

    QWidget* Window() const;  // the top-level window
    QWidget* Surface() const; // the dialog's client area
    QWidget* Control(int id) const;
    const Pictures& GetPictures() const { return pictures_; }
    // The About entries added to the (context) menu so far.
    std::vector<std::string> MenuEntries() const;
    // The logic's command for the About entry (F1 and the context menu).
    void TriggerAbout();

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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class HostWindow;
    friend class DialogSurface;
    bool OnUiThread() const;
    void OnCommand(int id);
    void OnCloseRequested();
    // Status texts are red while the logic says so (a socket whose lamp is red).
    void UpdateTextColours();
    void StopTimers();

    QtHostOptions options_;
    Pictures pictures_;
    core::I_MessageBoxHost* previousBoxHost_ = nullptr;
    I_WindowLogic* logic_ = nullptr;
    HostWindow* window_ = nullptr; // owned (deleted in the destructor)
    QWidget* surface_ = nullptr;
    std::map<int, QWidget*> controls_;
    std::string windowText_;
    std::map<int, std::unique_ptr<QTimer>> timers_;
    std::vector<std::pair<int, std::string>> menuEntries_;
    bool droppingMouse_ = false;
    bool notifications_ = false;
    std::atomic<bool> ended_{false};
    int result_ = 0;
    QPointer<QObject> loop_;
    FileAnswer fileAnswer_;
    BoxAnswer boxAnswer_;

    std::mutex workersLock_;
    std::vector<std::thread> workers_;
    std::atomic<int> runningWorkers_{0};
};

} // namespace app::qt
