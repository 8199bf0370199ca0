#include "app/qt/ProgressWindow.h"

#include "app/ControlIds.h"
#include "app/qt/DialogWidgets.h"
#include "app/qt/QtWindowHost.h"

#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>

#include <algorithm>

namespace app::qt {

ProgressWindow::ProgressWindow(QtWindowHost& host, const DialogTemplate& dialog, port::Clock& clock)
    : host_(host), clock_(clock) {
    host_.Invoke([&] {
        // Dialog 150 has no caption and belongs to the main window; the load
        // window (103) is a window of its own, without parent.
        Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowDoesNotAcceptFocus;
        if (*dialog.title)
            flags |= Qt::WindowTitleHint;
        const bool owned = dialog.id == ids::kUpdateProgressDialog;
        window_ = new QWidget(owned ? host_.Window() : nullptr, flags);
        window_->setAttribute(Qt::WA_ShowWithoutActivating);
        window_->setWindowTitle(QString::fromUtf8(dialog.title));
        window_->setFixedSize(DialogPixelSize(dialog));
        window_->setFont(DialogFont());
        controls_ = BuildControls(dialog, window_, host_.GetPictures(), [](int) {});
        const QScreen* screen = host_.Window()->screen();
        if (screen) {
            const QRect area = screen->availableGeometry();
            window_->move(area.center() - window_->rect().center());
        }
    });
}

ProgressWindow::~ProgressWindow() {
    host_.Invoke([&] { delete window_; });
}

void ProgressWindow::ShowNoActivate() {
    host_.Invoke([&] { window_->show(); });
}

void ProgressWindow::Hide() {
    host_.Invoke([&] { window_->hide(); });
}

void ProgressWindow::SetText(int controlId, const std::string& text) {
    host_.Invoke([&] {
        if (auto* label = qobject_cast<QLabel*>(controls_[controlId]))
            label->setText(QString::fromStdString(text));
    });
}

void ProgressWindow::SetRange(int controlId, int low, int high) {
    host_.Invoke([&] {
        if (auto* bar = qobject_cast<QProgressBar*>(controls_[controlId]))
            bar->setRange(low, high);
    });
}

void ProgressWindow::SetPos(int controlId, int position) {
    host_.Invoke([&] {
        if (auto* bar = qobject_cast<QProgressBar*>(controls_[controlId]))
            bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
    });
}

void ProgressWindow::SetStep(int controlId, int step) {
    steps_[controlId] = step;
}

void ProgressWindow::StepIt(int controlId) {
    const int step = steps_.count(controlId) ? steps_[controlId] : 10;
    host_.Invoke([&] {
        if (auto* bar = qobject_cast<QProgressBar*>(controls_[controlId]))
            bar->setValue(std::min(bar->maximum(), bar->value() + step));
    });
}

void ProgressWindow::Repaint() {
    host_.Invoke([&] {
        if (window_->isVisible())
            window_->repaint();
    });
}

void ProgressWindow::SetTimer(int timerId, uint32_t periodMs, std::function<void(int)> onTimer) {
    timers_[timerId] = Timer{periodMs, clock_.NowMs() + periodMs, std::move(onTimer)};
}

void ProgressWindow::KillTimer(int timerId) {
    timers_.erase(timerId);
}

void ProgressWindow::PumpOneMessage() {
    const uint64_t now = clock_.NowMs();
    for (auto& [id, timer] : timers_) {
        if (timer.due > now)
            continue;
        timer.due = now + timer.period;
        const auto handler = timer.onTimer; // the handler may kill its timer
        handler(id);
        return;
    }
}

} // namespace app::qt
