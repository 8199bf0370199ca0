#include "app/headless/HeadlessHost.h"

#include "app/ControlIds.h"

#include <algorithm>
#include <cctype>
#include <future>

namespace app::headless {
namespace {

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// A progress window: everything it is asked to do goes to the host's record;
// its timers fall due on the host's clock and fire from PumpOneMessage.
class HeadlessProgressWindow : public I_ProgressWindow {
public:
    HeadlessProgressWindow(HeadlessHost& host, int templateId)
        : host_(host), prefix_(std::to_string(templateId) + " ") {
        Record("create");
    }
    ~HeadlessProgressWindow() override { Record("destroy"); }

    void ShowNoActivate() override { Record("show"); }
    void Hide() override { Record("hide"); }
    void SetText(int id, const std::string& text) override {
        Record("text " + std::to_string(id) + " " + text);
    }
    void SetRange(int id, int low, int high) override {
        Record("range " + std::to_string(id) + " " + std::to_string(low) + "-" +
               std::to_string(high));
    }
    void SetPos(int id, int position) override {
        pos_ = position;
        Record("pos " + std::to_string(id) + " " + std::to_string(position));
    }
    void SetStep(int id, int step) override {
        step_ = step;
        Record("step " + std::to_string(id) + " " + std::to_string(step));
    }
    void StepIt(int id) override {
        pos_ = std::min(100, pos_ + step_);
        Record("pos " + std::to_string(id) + " " + std::to_string(pos_));
    }
    void Repaint() override {}
    void SetTimer(int id, uint32_t periodMs, std::function<void(int)> onTimer) override {
        timers_[id] = Timer{periodMs, host_.Clock().NowMs() + periodMs, std::move(onTimer)};
        Record("timer " + std::to_string(id) + " " + std::to_string(periodMs));
    }
    void KillTimer(int id) override {
        if (timers_.erase(id))
            Record("kill " + std::to_string(id));
    }
    void PumpOneMessage() override {
        const uint64_t now = host_.Clock().NowMs();
        for (auto& [id, timer] : timers_) {
            if (timer.due > now)
                continue;
            timer.due = now + timer.period;
            const auto handler = timer.onTimer; // the handler may kill the timer
            handler(id);
            return;
        }
    }

private:
    struct Timer {
        uint32_t period;
        uint64_t due;
        std::function<void(int)> onTimer;
    };
    void Record(const std::string& event) { host_.RecordProgress(prefix_ + event); }

    HeadlessHost& host_;
    std::string prefix_;
    int pos_ = 0;
    int step_ = 10;
    std::map<int, Timer> timers_;
};

} // namespace

HeadlessHost::HeadlessHost(port::ManualClock& clock, port::DeviceIo* devices)
    : clock_(clock), devices_(devices) {
    previousBoxHost_ = core::SetMessageBoxHost(this);
    const DialogTemplate& main = MainDialogTemplate();
    for (const ControlTemplate& c : main.controls) {
        if (controls_.count(c.id))
            continue; // the first control without an id answers for all of them
        ControlState state;
        state.kind = c.kind;
        state.text = c.kind == ControlKind::Bitmap ? std::string() : c.caption;
        state.picture = c.kind == ControlKind::Bitmap ? std::atoi(c.caption) : 0;
        state.enabled = c.enabled;
        state.visible = c.visible;
        state.rect = ToPixels(c.dlu);
        controls_[c.id] = state;
    }
    const Rect client = ToPixels({0, 0, main.cx, main.cy});
    window_ = {0, 0, client.cx, client.cy};
    windowText_ = main.title;
    uiThread_ = std::thread([this] { UiLoop(); });
    uiThreadId_ = uiThread_.get_id();
}

HeadlessHost::~HeadlessHost() {
    // No device event reaches a host on its way out.
    if (notifications_ && devices_)
        devices_->SetEventHandler(nullptr);
    WaitIdle();
    {
        std::lock_guard<std::mutex> hold(queueLock_);
        stopping_ = true;
        queueChanged_.notify_all();
    }
    uiThread_.join();
    core::SetMessageBoxHost(previousBoxHost_);
}

void HeadlessHost::UiLoop() {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> hold(queueLock_);
            queueChanged_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            task = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
        }
        task.work();
        if (task.done)
            task.done->set_value();
        {
            std::lock_guard<std::mutex> hold(queueLock_);
            busy_ = false;
        }
        queueChanged_.notify_all();
    }
}

void HeadlessHost::Post(std::function<void()> work) {
    // Told under the lock: a thread that posts (a device event) is done with
    // the host once the lock is released.
    std::lock_guard<std::mutex> hold(queueLock_);
    queue_.push_back({std::move(work), nullptr});
    queueChanged_.notify_all();
}

void HeadlessHost::Invoke(const std::function<void()>& work) {
    if (OnUiThread()) {
        work();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    {
        std::lock_guard<std::mutex> hold(queueLock_);
        queue_.push_back({work, done});
    }
    queueChanged_.notify_all();
    finished.wait();
}

void HeadlessHost::Start(I_WindowLogic& logic) {
    logic_ = &logic;
    RunOnUi([this] { logic_->OnInitDialog(); });
}

void HeadlessHost::RunOnUi(const std::function<void()>& work) {
    Invoke(work);
}

void HeadlessHost::RunLater(std::function<void()> work) {
    Post(std::move(work));
}

void HeadlessHost::ClickLater(int id) {
    Post([this, id] { ClickNow(id); });
}

void HeadlessHost::ClickNow(int id) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ControlState& c = At(id);
        if (!c.enabled || !c.visible)
            return;
        if (c.kind == ControlKind::CheckBox)
            c.check = c.check ? 0 : 1;
    }
    logic_->OnCommand(id);
}

bool HeadlessHost::UiIdle() {
    std::lock_guard<std::mutex> hold(queueLock_);
    return queue_.empty() && !busy_;
}

bool HeadlessHost::Idle() {
    {
        std::lock_guard<std::mutex> hold(workersLock_);
        if (runningWorkers_ != 0)
            return false;
    }
    return UiIdle();
}

void HeadlessHost::Click(int id) {
    RunOnUi([this, id] { ClickNow(id); });
}

void HeadlessHost::SelectBody(int index) {
    RunOnUi([this, index] {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ControlState& c = At(ids::kBodyCombo);
            if (!c.enabled || !c.visible)
                return;
            c.selection = index;
            c.text = index >= 0 && index < static_cast<int>(c.items.size()) ? c.items[index] : "";
        }
        logic_->OnCommand(ids::kBodyCombo);
    });
}

void HeadlessHost::Type(int id, const std::string& text) {
    RunOnUi([this, id, text] {
        {
            std::lock_guard<std::mutex> hold(lock_);
            At(id).text = text;
        }
        logic_->OnCommand(id);
    });
}

void HeadlessHost::DeviceEvent(DeviceChange change, const std::string& interfacePath) {
    // The platform reports interface names in capitals.
    const std::string name = Upper(interfacePath);
    RunOnUi([this, change, name] { logic_->OnDeviceChange(change, name); });
}

void HeadlessHost::SysCommand(int commandId) {
    RunOnUi([this, commandId] { logic_->OnSysCommand(commandId); });
}

void HeadlessHost::AdvanceTime(uint64_t ms) {
    const uint64_t target = clock_.NowMs() + ms;
    for (;;) {
        int due = 0;
        uint64_t when = 0;
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (const auto& [id, at] : timerDue_)
                if (at <= target && (due == 0 || at < when)) {
                    due = id;
                    when = at;
                }
            if (due != 0)
                timerDue_[due] = std::max(when, clock_.NowMs()) + timers_[due];
        }
        if (due == 0)
            break;
        if (when > clock_.NowMs())
            clock_.Advance(when - clock_.NowMs());
        RunOnUi([this, due] {
            bool live = false;
            {
                std::lock_guard<std::mutex> hold(lock_);
                live = timers_.count(due) != 0;
            }
            if (live)
                logic_->OnTimer(due);
        });
    }
    if (target > clock_.NowMs())
        clock_.Advance(target - clock_.NowMs());
}

void HeadlessHost::WaitIdle() {
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(workersLock_);
            workersChanged_.wait(hold, [this] { return runningWorkers_ == 0; });
            for (std::thread& t : workers_)
                t.join();
            workers_.clear();
        }
        std::unique_lock<std::mutex> hold(queueLock_);
        queueChanged_.wait(hold, [this] { return queue_.empty() && !busy_; });
        std::lock_guard<std::mutex> workers(workersLock_);
        if (runningWorkers_ == 0)
            return;
    }
}

void HeadlessHost::AnswerBoxes(std::vector<int> answers) {
    std::lock_guard<std::mutex> hold(lock_);
    boxAnswers_.insert(boxAnswers_.end(), answers.begin(), answers.end());
}

void HeadlessHost::AnswerFileDialog(std::optional<std::string> path) {
    std::lock_guard<std::mutex> hold(lock_);
    fileAnswers_.push_back(std::move(path));
}

size_t HeadlessHost::PendingFileAnswers() {
    std::lock_guard<std::mutex> hold(lock_);
    return fileAnswers_.size();
}

void HeadlessHost::DropFileAnswers() {
    std::lock_guard<std::mutex> hold(lock_);
    fileAnswers_.clear();
}

void HeadlessHost::SetBoxHook(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> hold(lock_);
    boxHook_ = std::move(hook);
}

void HeadlessHost::SetBoxAnswerer(std::function<int(const std::string&, unsigned)> answerer) {
    std::lock_guard<std::mutex> hold(lock_);
    boxAnswerer_ = std::move(answerer);
}

ControlState& HeadlessHost::At(int id) {
    return controls_[id];
}

void HeadlessHost::Record(const std::string& event) {
    events_.push_back(event);
}

ControlState HeadlessHost::Control(int id) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = controls_.find(id);
    return it == controls_.end() ? ControlState{} : it->second;
}

std::vector<BoxRecord> HeadlessHost::Boxes() {
    std::lock_guard<std::mutex> hold(lock_);
    return boxes_;
}

std::vector<std::string> HeadlessHost::BoxTexts() {
    std::vector<std::string> texts;
    for (const BoxRecord& box : Boxes())
        texts.push_back(box.text);
    return texts;
}

void HeadlessHost::ClearRecord() {
    std::lock_guard<std::mutex> hold(lock_);
    boxes_.clear();
    events_.clear();
    progressEvents_.clear();
    fileDialogs_.clear();
}

std::vector<std::string> HeadlessHost::Events() {
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
}

std::vector<std::string> HeadlessHost::FileDialogs() {
    std::lock_guard<std::mutex> hold(lock_);
    return fileDialogs_;
}

std::map<int, uint32_t> HeadlessHost::ActiveTimers() {
    std::lock_guard<std::mutex> hold(lock_);
    return timers_;
}

std::string HeadlessHost::WindowTitle() {
    std::lock_guard<std::mutex> hold(lock_);
    return windowText_;
}

Rect HeadlessHost::WindowSize() {
    std::lock_guard<std::mutex> hold(lock_);
    return window_;
}

std::optional<int> HeadlessHost::DialogResult() {
    std::lock_guard<std::mutex> hold(lock_);
    return dialogResult_;
}

std::vector<std::string> HeadlessHost::ProgressEvents() {
    std::lock_guard<std::mutex> hold(lock_);
    return progressEvents_;
}

int HeadlessHost::AboutBoxes() {
    std::lock_guard<std::mutex> hold(lock_);
    return aboutBoxes_;
}

void HeadlessHost::RecordProgress(const std::string& event) {
    std::lock_guard<std::mutex> hold(lock_);
    progressEvents_.push_back(event);
}

// Control calls: carried to the user-interface thread, as on a desktop.

std::string HeadlessHost::GetControlText(int id) {
    std::string text;
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        text = At(id).text;
    });
    return text;
}

void HeadlessHost::SetControlText(int id, const std::string& text) {
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        ControlState& c = At(id);
        if (c.text == text)
            return;
        c.text = text;
        Record("text " + std::to_string(id) + " " + text);
    });
}

int HeadlessHost::GetCheck(int id) {
    int check = 0;
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        check = At(id).check;
    });
    return check;
}

void HeadlessHost::SetCheck(int id, int checked) {
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        At(id).check = checked ? 1 : 0;
    });
}

void HeadlessHost::EnableControl(int id, bool enable) {
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        ControlState& c = At(id);
        if (c.enabled != enable)
            Record("enable " + std::to_string(id) + " " + std::to_string(enable ? 1 : 0));
        c.enabled = enable;
    });
}

bool HeadlessHost::IsControlEnabled(int id) {
    bool enabled = false;
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        enabled = At(id).enabled;
    });
    return enabled;
}

void HeadlessHost::ShowControl(int id, bool show) {
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        ControlState& c = At(id);
        if (c.visible != show)
            Record("show " + std::to_string(id) + " " + std::to_string(show ? 1 : 0));
        c.visible = show;
    });
}

bool HeadlessHost::IsControlVisible(int id) {
    bool visible = false;
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        visible = At(id).visible;
    });
    return visible;
}

Rect HeadlessHost::GetControlRect(int id) {
    Rect rect;
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        rect = At(id).rect;
    });
    return rect;
}

void HeadlessHost::SetControlRect(int id, const Rect& pixels) {
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        At(id).rect = pixels;
    });
}

void HeadlessHost::ResetComboItems(int id) {
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        At(id).items.clear();
        At(id).selection = -1;
        At(id).text.clear();
    });
}

void HeadlessHost::AddComboItem(int id, const std::string& text) {
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        At(id).items.push_back(text);
    });
}

void HeadlessHost::SetComboSelection(int id, int index) {
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        ControlState& c = At(id);
        c.selection = index >= 0 && index < static_cast<int>(c.items.size()) ? index : -1;
        c.text = c.selection >= 0 ? c.items[c.selection] : "";
    });
}

int HeadlessHost::GetComboSelection(int id) {
    int selection = -1;
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        selection = At(id).selection;
    });
    return selection;
}

void HeadlessHost::RepaintControl(int) {}

void HeadlessHost::RepaintWindow() {}

void HeadlessHost::DrawBitmap(int id, int bitmapId) {
    Invoke([&] {
        std::lock_guard<std::mutex> hold(lock_);
        ControlState& c = At(id);
        if (c.picture != bitmapId)
            Record("lamp " + std::to_string(id) + " " + std::to_string(bitmapId));
        c.picture = bitmapId;
    });
}

std::string HeadlessHost::GetWindowText() {
    std::lock_guard<std::mutex> hold(lock_);
    return windowText_;
}

void HeadlessHost::SetWindowText(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    windowText_ = text;
    Record("title " + text);
}

Rect HeadlessHost::GetWindowRect() {
    std::lock_guard<std::mutex> hold(lock_);
    return window_;
}

void HeadlessHost::SetWindowSize(int cx, int cy) {
    std::lock_guard<std::mutex> hold(lock_);
    window_.cx = cx;
    window_.cy = cy;
}

std::string HeadlessHost::LoadString(int id) {
    return id == ids::kAboutString ? "&About Burnwright..." : "";
}

void HeadlessHost::AddSystemMenuEntry(int commandId, const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    Record("menu " + std::to_string(commandId) + " " + text);
}

void HeadlessHost::ShowAboutBox() {
    std::lock_guard<std::mutex> hold(lock_);
    ++aboutBoxes_;
}

bool HeadlessHost::ShowOpenFileDialog(const std::string& filter, const std::string& initialFolder,
                                      std::string& path) {
    std::lock_guard<std::mutex> hold(lock_);
    fileDialogs_.push_back(filter + "|" + initialFolder);
    if (fileAnswers_.empty())
        return false;
    std::optional<std::string> answer = fileAnswers_.front();
    fileAnswers_.pop_front();
    if (!answer)
        return false;
    path = *answer;
    return true;
}

void HeadlessHost::EndDialog(int result) {
    std::lock_guard<std::mutex> hold(lock_);
    dialogResult_ = result;
}

void HeadlessHost::SetTimer(int id, uint32_t periodMs) {
    std::lock_guard<std::mutex> hold(lock_);
    timers_[id] = periodMs;
    timerDue_[id] = clock_.NowMs() + periodMs;
}

void HeadlessHost::KillTimer(int id) {
    std::lock_guard<std::mutex> hold(lock_);
    timers_.erase(id);
    timerDue_.erase(id);
}

void HeadlessHost::DropPendingMouseInput() {}

bool HeadlessHost::RegisterDeviceNotification(const std::string&) {
    if (!devices_)
        return false;
    devices_->SetEventHandler([this](port::DeviceEvent event, const std::string& path) {
        const DeviceChange change = event == port::DeviceEvent::Arrival
                                        ? DeviceChange::Arrival
                                        : DeviceChange::RemoveComplete;
        const std::string name = Upper(path);
        Post([this, change, name] { logic_->OnDeviceChange(change, name); });
    });
    notifications_ = true;
    return true;
}

void HeadlessHost::UnregisterDeviceNotification() {
    if (notifications_ && devices_)
        devices_->SetEventHandler(nullptr);
    notifications_ = false;
}

intptr_t HeadlessHost::SendToWindow(unsigned message, uintptr_t wParam, intptr_t lParam) {
    intptr_t answer = 0;
    Invoke([&] { answer = logic_->OnUserMessage(message, wParam, lParam); });
    return answer;
}

void HeadlessHost::StartThread(std::function<void()> body) {
    std::lock_guard<std::mutex> hold(workersLock_);
    ++runningWorkers_;
    workers_.emplace_back([this, body = std::move(body)] {
        body();
        {
            std::lock_guard<std::mutex> done(workersLock_);
            --runningWorkers_;
        }
        workersChanged_.notify_all();
    });
}

std::unique_ptr<I_ProgressWindow> HeadlessHost::CreateProgressWindow(int templateId) {
    return std::make_unique<HeadlessProgressWindow>(*this, templateId);
}

int HeadlessHost::ShowMessageBox(const std::string& text, const std::string& caption,
                                 unsigned flags) {
    std::function<void(const std::string&)> hook;
    std::function<int(const std::string&, unsigned)> answerer;
    {
        std::lock_guard<std::mutex> hold(lock_);
        hook = boxHook_;
        answerer = boxAnswers_.empty() ? boxAnswerer_ : nullptr;
    }
    if (hook)
        hook(text);
    const int chosen = answerer ? answerer(text, flags) : 0;
    std::lock_guard<std::mutex> hold(lock_);
    int answer = 0;
    const unsigned buttons = flags & 0x0F;
    if (!boxAnswers_.empty()) {
        answer = boxAnswers_.front();
        boxAnswers_.pop_front();
    } else if (answerer) {
        answer = chosen;
    } else {
        answer = buttons == core::kMbYesNo      ? core::kIdNo
                 : buttons == core::kMbOkCancel ? core::kIdCancel
                                                : core::kIdOk;
    }
    boxes_.push_back({text, caption, flags, answer});
    Record("box " + text);
    return answer;
}

} // namespace app::headless
