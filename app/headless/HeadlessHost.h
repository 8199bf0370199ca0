// A host without a screen, for the window logic's tests and for programs that
// drive the window from a script. It has a real user-interface thread with an
// event queue, so worker threads' synchronous requests behave as on a
// desktop; its timers run on a ManualClock; message boxes and the file
// dialog answer from scripts; and it records everything it was asked to show.
#pragma once

#include "app/DialogTemplate.h"
#include "app/WindowHost.h"
#include "core/MessageHost.h"
#include "port/Clock.h"
#include "port/DeviceIo.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace app::headless {

struct ControlState {
    ControlKind kind = ControlKind::Static;
    std::string text;
    int check = 0;
    bool enabled = true;
    bool visible = true;
    Rect rect;                      // pixels
    std::vector<std::string> items; // combo box entries
    int selection = -1;
    int picture = 0; // the picture last drawn into a lamp
};

struct BoxRecord {
    std::string text;
    std::string caption;
    unsigned flags;
    int answer;
};

class HeadlessHost : public I_WindowHost, public core::I_MessageBoxHost {
public:
    // Timers and progress windows run on `clock`; device notifications come
    // from `devices` (none when null). Installs itself as the message-box host.
    explicit HeadlessHost(port::ManualClock& clock, port::DeviceIo* devices = nullptr);
    // Joins the workers, stops the user-interface thread, restores the
    // message-box host.
    ~HeadlessHost() override;
    HeadlessHost(const HeadlessHost&) = delete;
    HeadlessHost& operator=(const HeadlessHost&) = delete;

    // Builds the main window from template 102 and runs OnInitDialog on the
    // user-interface thread; returns when it has returned.
    void Start(I_WindowLogic& logic);
    // Runs `work` on the user-interface thread and waits for it.
    void RunOnUi(const std::function<void()>& work);
    // What a user does: each runs the handler on the user-interface thread
    // and returns when it has returned (workers it started may go on).
    // Like a user, they do nothing on a disabled or hidden control.
    void Click(int id);         // a check box toggles first
    void SelectBody(int index); // combo selection, then its handler
    void Type(int id, const std::string& text);
    void DeviceEvent(DeviceChange change, const std::string& interfacePath);
    void SysCommand(int commandId);
    // Moves the clock on, firing every timer that falls due on the way.
    void AdvanceTime(uint64_t ms);
    // Waits until every worker thread has ended and the queue is empty.
    void WaitIdle();
    // Queues `work` for the user-interface thread and returns at once.
    void RunLater(std::function<void()> work);
    // Click, queued: the user-interface thread runs it after what is queued.
    void ClickLater(int id);
    // Nothing queued and the user-interface thread waiting for work.
    bool UiIdle();
    // UiIdle, and no worker thread running.
    bool Idle();
    std::thread::id UiThread() const { return uiThreadId_; }

    // Scripts: answers taken from the front; OK, or Cancel/No for a question,
    // when a script runs dry. A file answer of nullopt cancels the dialog.
    void AnswerBoxes(std::vector<int> answers);
    void AnswerFileDialog(std::optional<std::string> path);
    // File dialog answers not taken yet; dropping them.
    size_t PendingFileAnswers();
    void DropFileAnswers();
    // Called with each box's text before it is answered, on the showing thread.
    void SetBoxHook(std::function<void(const std::string&)> hook);
    // Answers the boxes the script leaves unanswered (text and flags given);
    // none: OK, or Cancel/No for a question.
    void SetBoxAnswerer(std::function<int(const std::string&, unsigned)> answerer);

    // The record. Safe from any thread.
    ControlState Control(int id);
    std::string Text(int id) { return Control(id).text; }
    int Check(int id) { return Control(id).check; }
    bool Enabled(int id) { return Control(id).enabled; }
    bool Visible(int id) { return Control(id).visible; }
    std::vector<BoxRecord> Boxes();
    std::vector<std::string> BoxTexts();
    void ClearRecord();
    std::vector<std::string> Events();      // "text 1201 OK", "lamp 1079 145", "show 1104 1", ...
    std::vector<std::string> FileDialogs(); // "filter|folder" of each dialog shown
    std::map<int, uint32_t> ActiveTimers();
    std::string WindowTitle();
    Rect WindowSize();
    std::optional<int> DialogResult();
    std::vector<std::string> ProgressEvents(); // "103 show", "103 pos 1102 95", ...
    int AboutBoxes();

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
    void CenterWindow() override {}
    bool IsMinimized() override { return false; }
    void DrawIconCentered(int) override {}
    void SetIcon(int) override {}
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

    // For the progress windows.
    void RecordProgress(const std::string& event);
    port::ManualClock& Clock() { return clock_; }

private:
    struct Task {
        std::function<void()> work;
        std::shared_ptr<std::promise<void>> done;
    };
    void UiLoop();
    void ClickNow(int id); // on the user-interface thread
    void Post(std::function<void()> work);
    // Runs `work` on the user-interface thread; from a worker, waits for it.
    void Invoke(const std::function<void()>& work);
    bool OnUiThread() const { return std::this_thread::get_id() == uiThreadId_; }
    void Record(const std::string& event);
    ControlState& At(int id); // under lock_

    port::ManualClock& clock_;
    port::DeviceIo* devices_;
    core::I_MessageBoxHost* previousBoxHost_;
    I_WindowLogic* logic_ = nullptr;

    std::mutex queueLock_;
    std::condition_variable queueChanged_;
    std::deque<Task> queue_;
    bool stopping_ = false;
    bool busy_ = false;
    std::thread uiThread_;
    std::thread::id uiThreadId_;

    std::mutex workersLock_;
    std::condition_variable workersChanged_;
    std::vector<std::thread> workers_;
    int runningWorkers_ = 0;

    std::mutex lock_;
    std::map<int, ControlState> controls_;
    std::map<int, uint32_t> timers_;   // id -> period
    std::map<int, uint64_t> timerDue_; // id -> next due time
    std::vector<BoxRecord> boxes_;
    std::deque<int> boxAnswers_;
    std::function<void(const std::string&)> boxHook_;
    std::function<int(const std::string&, unsigned)> boxAnswerer_;
    std::deque<std::optional<std::string>> fileAnswers_;
    std::vector<std::string> fileDialogs_;
    std::vector<std::string> events_;
    std::vector<std::string> progressEvents_;
    std::string windowText_;
    Rect window_;
    std::optional<int> dialogResult_;
    int aboutBoxes_ = 0;
    bool notifications_ = false;
};

} // namespace app::headless
