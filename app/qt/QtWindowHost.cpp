#include "app/qt/QtWindowHost.h"

#include "app/ControlIds.h"
#include "app/DialogTemplate.h"
#include "app/qt/Boxes.h"
#include "app/qt/DialogWidgets.h"
#include "app/qt/ProgressWindow.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QShortcut>
#include <QThread>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>

namespace app::qt {

// The dialog's client area: the logic paints after the default painting, and
// a right click offers the About entry that a system menu would hold.
class DialogSurface : public QWidget {
public:
    DialogSurface(QtWindowHost& host, QWidget* parent) : QWidget(parent), host_(host) {}

protected:
    void paintEvent(QPaintEvent* event) override {
        QWidget::paintEvent(event);
        if (host_.logic_)
            host_.logic_->OnPaint();
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        if (host_.menuEntries_.empty() || !host_.logic_)
            return;
        QMenu menu(this);
        for (const auto& [command, text] : host_.menuEntries_) {
            const int id = command;
            menu.addAction(QString::fromStdString(text), this,
                           [this, id] { host_.logic_->OnSysCommand(id); });
        }
        menu.exec(event->globalPos());
    }

private:
    QtWindowHost& host_;
};

// The top-level window: the dialog, and beside it an optional panel.
class HostWindow : public QWidget {
public:
    explicit HostWindow(QtWindowHost& host) : host_(host) {
        layout_ = new QHBoxLayout(this);
        layout_->setContentsMargins(0, 0, 0, 0);
        layout_->setSpacing(0);
        layout_->setSizeConstraint(QLayout::SetFixedSize);
    }
    QHBoxLayout* Layout() const { return layout_; }

protected:
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        host_.OnCloseRequested();
    }

private:
    QtWindowHost& host_;
    QHBoxLayout* layout_;
};

namespace {

constexpr int kCancelResult = 2;

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

QtWindowHost::QtWindowHost(QtHostOptions options)
    : options_(std::move(options)), pictures_(options_.pictureFolder) {
    window_ = new HostWindow(*this);
    window_->setFont(DialogFont());
    surface_ = new DialogSurface(*this, window_);
    const DialogTemplate& main = MainDialogTemplate();
    surface_->setFixedSize(DialogPixelSize(main));
    window_->Layout()->addWidget(surface_, 0, Qt::AlignTop);
    controls_ = BuildControls(main, surface_, pictures_, [this](int id) { OnCommand(id); });
    windowText_ = main.title;
    window_->setWindowTitle(Q(windowText_ + options_.titleSuffix));
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), window_);
    QObject::connect(f1, &QShortcut::activated, this, [this] { TriggerAbout(); });
    qApp->installEventFilter(this);
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     this, [this] { droppingMouse_ = false; });
    previousBoxHost_ = core::SetMessageBoxHost(this);
}

QtWindowHost::~QtWindowHost() {
    StopTimers();
    WaitForWorkers();
    UnregisterDeviceNotification();
    core::SetMessageBoxHost(previousBoxHost_);
    qApp->removeEventFilter(this);
    delete window_;
}

bool QtWindowHost::OnUiThread() const {
    return QThread::currentThread() == thread();
}

void QtWindowHost::Invoke(const std::function<void()>& work) {
    if (OnUiThread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(
        this, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

void QtWindowHost::Start(I_WindowLogic& logic) {
    logic_ = &logic;
    logic_->OnInitDialog();
    if (!ended_)
        window_->show();
}

int QtWindowHost::Run() {
    if (!ended_) {
        QEventLoop loop;
        loop_ = &loop;
        loop.exec();
        loop_ = nullptr;
    }
    StopTimers();
    WaitForWorkers();
    window_->hide();
    return result_;
}

void QtWindowHost::RequestClose() {
    OnCloseRequested();
}

void QtWindowHost::OnCloseRequested() {
    if (!ended_)
        EndDialog(kCancelResult);
}

void QtWindowHost::AddSidePanel(QWidget* panel) {
    window_->Layout()->addWidget(panel, 0, Qt::AlignTop);
}

void QtWindowHost::WaitForWorkers() {
    while (runningWorkers_ > 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    std::lock_guard<std::mutex> hold(workersLock_);
    for (std::thread& worker : workers_)
        worker.join();
    workers_.clear();
}

QWidget* QtWindowHost::Window() const {
    return window_;
}

QWidget* QtWindowHost::Surface() const {
    return surface_;
}

QWidget* QtWindowHost::Control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

std::vector<std::string> QtWindowHost::MenuEntries() const {
    std::vector<std::string> texts;
    for (const auto& entry : menuEntries_)
        texts.push_back(entry.second);
    return texts;
}

void QtWindowHost::TriggerAbout() {
    for (const auto& entry : menuEntries_)
        if (entry.first == ids::kSysCommandAbout && logic_) {
            logic_->OnSysCommand(entry.first);
            return;
        }
}

void QtWindowHost::OnCommand(int id) {
    if (logic_ && !ended_)
        logic_->OnCommand(id);
}

bool QtWindowHost::eventFilter(QObject* watched, QEvent* event) {
    if (droppingMouse_) {
        const QEvent::Type type = event->type();
        const bool click = type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
                           type == QEvent::MouseButtonDblClick;
        auto* widget = qobject_cast<QWidget*>(watched);
        if (click && widget && widget->window() == window_)
            return true;
    }
    return QObject::eventFilter(watched, event);
}

void QtWindowHost::UpdateTextColours() {
    if (!logic_)
        return;
    for (const auto& [id, widget] : controls_) {
        auto* edit = qobject_cast<QLineEdit*>(widget);
        if (!edit)
            continue;
        const bool red = logic_->IsRedText(id);
        if (edit->property("redText").toBool() == red)
            continue;
        edit->setProperty("redText", red);
        QPalette palette = edit->palette();
        palette.setColor(QPalette::Text, red ? QColor(255, 0, 0)
                                             : QApplication::palette(edit).color(QPalette::Text));
        edit->setPalette(palette);
    }
}

void QtWindowHost::StopTimers() {
    for (auto& [id, timer] : timers_)
        timer->stop();
}

// Controls.

std::string QtWindowHost::GetControlText(int id) {
    std::string text;
    Invoke([&] {
        QWidget* w = Control(id);
        QString value;
        if (auto* edit = qobject_cast<QLineEdit*>(w))
            value = edit->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            value = button->text();
        else if (auto* label = qobject_cast<QLabel*>(w))
            value = label->text();
        else if (auto* group = qobject_cast<QGroupBox*>(w))
            value = group->title();
        else if (auto* combo = qobject_cast<QComboBox*>(w))
            value = combo->currentText();
        text = value.toStdString();
    });
    return text;
}

void QtWindowHost::SetControlText(int id, const std::string& text) {
    Invoke([&] {
        QWidget* w = Control(id);
        const QString value = Q(text);
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            if (edit->text() != value) {
                edit->setText(value);
                edit->setCursorPosition(0);
            }
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            button->setText(value);
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            label->setText(value);
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            group->setTitle(value);
        }
    });
}

int QtWindowHost::GetCheck(int id) {
    int checked = 0;
    Invoke([&] {
        if (auto* box = qobject_cast<QCheckBox*>(Control(id)))
            checked = box->isChecked() ? 1 : 0;
    });
    return checked;
}

void QtWindowHost::SetCheck(int id, int checked) {
    Invoke([&] {
        if (auto* box = qobject_cast<QCheckBox*>(Control(id)))
            box->setChecked(checked != 0);
    });
}

void QtWindowHost::EnableControl(int id, bool enable) {
    Invoke([&] {
        if (QWidget* w = Control(id))
            w->setEnabled(enable);
    });
}

bool QtWindowHost::IsControlEnabled(int id) {
    bool enabled = false;
    Invoke([&] {
        if (QWidget* w = Control(id))
            enabled = w->isEnabled();
    });
    return enabled;
}

void QtWindowHost::ShowControl(int id, bool show) {
    Invoke([&] {
        if (QWidget* w = Control(id))
            w->setVisible(show);
    });
}

bool QtWindowHost::IsControlVisible(int id) {
    bool visible = false;
    Invoke([&] {
        if (QWidget* w = Control(id))
            visible = !w->isHidden();
    });
    return visible;
}

Rect QtWindowHost::GetControlRect(int id) {
    Rect rect;
    Invoke([&] {
        if (QWidget* w = Control(id))
            rect = Rect{w->x(), w->y(), w->width(), w->height()};
    });
    return rect;
}

void QtWindowHost::SetControlRect(int id, const Rect& pixels) {
    Invoke([&] {
        if (QWidget* w = Control(id))
            w->setGeometry(pixels.x, pixels.y, pixels.cx, pixels.cy);
    });
}

void QtWindowHost::ResetComboItems(int id) {
    Invoke([&] {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id)))
            combo->clear();
    });
}

void QtWindowHost::AddComboItem(int id, const std::string& text) {
    Invoke([&] {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id)))
            combo->addItem(Q(text));
    });
}

void QtWindowHost::SetComboSelection(int id, int index) {
    Invoke([&] {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id)))
            combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
    });
}

int QtWindowHost::GetComboSelection(int id) {
    int selection = -1;
    Invoke([&] {
        if (auto* combo = qobject_cast<QComboBox*>(Control(id)))
            selection = combo->currentIndex();
    });
    return selection;
}

void QtWindowHost::RepaintControl(int id) {
    Invoke([&] {
        QWidget* w = Control(id);
        if (w && w->isVisible())
            w->repaint();
    });
}

void QtWindowHost::RepaintWindow() {
    Invoke([&] {
        UpdateTextColours();
        if (surface_->isVisible())
            surface_->repaint();
    });
}

void QtWindowHost::DrawBitmap(int id, int bitmapId) {
    Invoke([&] {
        if (auto* lamp = dynamic_cast<LampWidget*>(Control(id)))
            lamp->SetPicture(bitmapId);
        UpdateTextColours();
    });
}

// The window.

std::string QtWindowHost::GetWindowText() {
    std::string text;
    Invoke([&] { text = windowText_; });
    return text;
}

void QtWindowHost::SetWindowText(const std::string& text) {
    Invoke([&] {
        windowText_ = text;
        window_->setWindowTitle(Q(text + options_.titleSuffix));
    });
}

Rect QtWindowHost::GetWindowRect() {
    Rect rect;
    Invoke([&] { rect = Rect{window_->x(), window_->y(), surface_->width(), surface_->height()}; });
    return rect;
}

void QtWindowHost::SetWindowSize(int cx, int cy) {
    Invoke([&] { surface_->setFixedSize(std::max(cx, 1), std::max(cy, 1)); });
}

void QtWindowHost::CenterWindow() {
    Invoke([&] {
        window_->adjustSize();
        if (const QScreen* screen = window_->screen()) {
            const QRect area = screen->availableGeometry();
            window_->move(area.center() - window_->rect().center());
        }
    });
}

bool QtWindowHost::IsMinimized() {
    bool minimized = false;
    Invoke([&] { minimized = window_->isMinimized(); });
    return minimized;
}

// The window manager draws the icon of a minimised window itself.
void QtWindowHost::DrawIconCentered(int) {}

void QtWindowHost::SetIcon(int) {
    Invoke([&] {
        window_->setWindowIcon(pictures_.Icon());
        QApplication::setWindowIcon(pictures_.Icon());
    });
}

std::string QtWindowHost::LoadString(int id) {
    return id == ids::kAboutString ? "&About Burnwright..." : "";
}

// There is no system menu to extend: the entries go to the window's context
// menu, and F1 opens the About entry.
void QtWindowHost::AddSystemMenuEntry(int commandId, const std::string& text) {
    Invoke([&] { menuEntries_.emplace_back(commandId, text); });
}

void QtWindowHost::ShowAboutBox() {
    Invoke([&] { RunAboutBox(window_, pictures_); });
}

bool QtWindowHost::ShowOpenFileDialog(const std::string& filter, const std::string& initialFolder,
                                      std::string& path) {
    bool chosen = false;
    Invoke([&] {
        if (fileAnswer_) {
            const std::optional<std::string> answer = fileAnswer_(filter, initialFolder);
            chosen = answer.has_value();
            if (chosen)
                path = *answer;
            return;
        }
        const QString file = QFileDialog::getOpenFileName(window_, "Open", Q(initialFolder),
                                                          ToFileDialogFilter(filter));
        chosen = !file.isEmpty();
        if (chosen)
            path = file.toStdString();
    });
    return chosen;
}

void QtWindowHost::EndDialog(int result) {
    Invoke([&] {
        result_ = result;
        ended_ = true;
        if (auto* loop = qobject_cast<QEventLoop*>(loop_.data()))
            loop->exit(result);
    });
}

void QtWindowHost::SetTimer(int id, uint32_t periodMs) {
    Invoke([&] {
        std::unique_ptr<QTimer>& timer = timers_[id];
        if (!timer) {
            timer = std::make_unique<QTimer>();
            QObject::connect(timer.get(), &QTimer::timeout, this, [this, id] {
                if (logic_ && !ended_)
                    logic_->OnTimer(id);
            });
        }
        timer->start(static_cast<int>(periodMs));
    });
}

void QtWindowHost::KillTimer(int id) {
    Invoke([&] {
        const auto it = timers_.find(id);
        if (it != timers_.end())
            it->second->stop();
    });
}

// Clicks that arrive before the event loop next runs dry were made while the
// action ran; they are dropped.
void QtWindowHost::DropPendingMouseInput() {
    Invoke([&] { droppingMouse_ = true; });
}

bool QtWindowHost::RegisterDeviceNotification(const std::string&) {
    if (!options_.devices)
        return false;
    options_.devices->SetEventHandler([this](port::DeviceEvent event, const std::string& path) {
        const DeviceChange change = event == port::DeviceEvent::Arrival
                                        ? DeviceChange::Arrival
                                        : DeviceChange::RemoveComplete;
        // The platform reports interface names in capitals.
        const std::string name = Upper(path);
        QMetaObject::invokeMethod(
            this,
            [this, change, name] {
                if (logic_ && !ended_)
                    logic_->OnDeviceChange(change, name);
            },
            Qt::QueuedConnection);
    });
    notifications_ = true;
    return true;
}

void QtWindowHost::UnregisterDeviceNotification() {
    if (notifications_ && options_.devices)
        options_.devices->SetEventHandler(nullptr);
    notifications_ = false;
}

intptr_t QtWindowHost::SendToWindow(unsigned message, uintptr_t wParam, intptr_t lParam) {
    intptr_t answer = 0;
    Invoke([&] {
        if (logic_)
            answer = logic_->OnUserMessage(message, wParam, lParam);
    });
    return answer;
}

void QtWindowHost::StartThread(std::function<void()> body) {
    std::lock_guard<std::mutex> hold(workersLock_);
    ++runningWorkers_;
    workers_.emplace_back([this, body = std::move(body)] {
        try {
            body();
        } catch (const std::exception& error) {
            core::ShowMessageBox(error.what(), "Burnwright", core::kMbOk | core::kMbIconError);
        }
        --runningWorkers_;
        // Wakes WaitForWorkers.
        QMetaObject::invokeMethod(
            this, [] {}, Qt::QueuedConnection);
    });
}

std::unique_ptr<I_ProgressWindow> QtWindowHost::CreateProgressWindow(int templateId) {
    const DialogTemplate* dialog = FindDialogTemplate(templateId);
    if (!dialog)
        return nullptr;
    port::Clock& clock = options_.progressClock ? *options_.progressClock : port::SystemClock();
    return std::make_unique<ProgressWindow>(*this, *dialog, clock);
}

int QtWindowHost::ShowMessageBox(const std::string& text, const std::string& caption,
                                 unsigned flags) {
    int answer = core::kIdOk;
    Invoke([&] {
        if (boxAnswer_) {
            answer = boxAnswer_(text, flags);
            return;
        }
        answer = RunMessageBox(window_->isVisible() ? window_ : nullptr, text, caption, flags);
    });
    return answer;
}

} // namespace app::qt
