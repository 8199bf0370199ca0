#include "app/qt/SimulatorPanel.h"

#include "app/qt/DialogWidgets.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace app::qt {
namespace {

constexpr int kSockets = 16;
constexpr int kRefreshMs = 500;

QPushButton* Button(const char* text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

} // namespace

SimulatorPanel::SimulatorPanel(std::shared_ptr<sim::Bus> bus, QWidget* parent)
    : QFrame(parent), bus_(std::move(bus)) {
    setObjectName("simulatorPanel");
    setFont(DialogFont());
    setFrameShape(QFrame::StyledPanel);
    setStyleSheet("#simulatorPanel { background: #fff4c2; border-left: 3px solid #c08a00; }");
    setFixedWidth(230);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(4);
    auto* banner = new QLabel("SIMULATED WRITER", this);
    QFont bold = DialogFont();
    bold.setBold(true);
    bold.setPixelSize(13);
    banner->setFont(bold);
    banner->setAlignment(Qt::AlignCenter);
    banner->setStyleSheet("color: #7a4a00;");
    layout->addWidget(banner);
    auto* explain =
        new QLabel("No real writer is used. These buttons act on the simulated one.", this);
    explain->setWordWrap(true);
    layout->addWidget(explain);

    writerState_ = new QLabel(this);
    layout->addWidget(writerState_);
    auto* writerRow = new QGridLayout;
    plug_ = Button("Unplug", this);
    auto* boot = Button("Boot loader", this);
    writerRow->addWidget(plug_, 0, 0);
    writerRow->addWidget(boot, 0, 1);
    layout->addLayout(writerRow);

    auto* socketRow = new QGridLayout;
    socketRow->addWidget(new QLabel("Socket", this), 0, 0);
    socket_ = new QComboBox(this);
    for (int i = 0; i < kSockets; ++i)
        socket_->addItem(QString("#%1").arg(i + 1));
    socketRow->addWidget(socket_, 0, 1);
    auto* insert = Button("Insert blank chip", this);
    auto* remove = Button("Remove chip", this);
    auto* failProgram = Button("Fail next program", this);
    auto* failVerify = Button("Fail next verify", this);
    socketRow->addWidget(insert, 1, 0);
    socketRow->addWidget(remove, 1, 1);
    socketRow->addWidget(failProgram, 2, 0);
    socketRow->addWidget(failVerify, 2, 1);
    layout->addLayout(socketRow);

    auto* chips = new QGridLayout;
    chips->setVerticalSpacing(0);
    for (int i = 0; i < kSockets; ++i) {
        chips_[i] = new QLabel(this);
        chips->addWidget(chips_[i], i % 8, i / 8);
    }
    layout->addLayout(chips);
    notice_ = new QLabel(this);
    notice_->setWordWrap(true);
    layout->addWidget(notice_);

    connect(plug_, &QPushButton::clicked, this, [this] { TogglePlugged(); });
    connect(boot, &QPushButton::clicked, this, [this] { EnterBootLoader(); });
    connect(insert, &QPushButton::clicked, this, [this] { InsertBlankChip(); });
    connect(remove, &QPushButton::clicked, this, [this] { RemoveChip(); });
    connect(failProgram, &QPushButton::clicked, this, [this] { FailNextProgram(); });
    connect(failVerify, &QPushButton::clicked, this, [this] { FailNextVerify(); });

    refresh_ = new QTimer(this);
    connect(refresh_, &QTimer::timeout, this, [this] { Refresh(); });
    refresh_->start(kRefreshMs);
    Refresh();
}

std::shared_ptr<sim::Writer> SimulatorPanel::TheWriter() const {
    const auto writers = bus_->Writers();
    return writers.empty() ? nullptr : writers.front();
}

void SimulatorPanel::SelectSocket(int socket) {
    socket_->setCurrentIndex(socket);
}

void SimulatorPanel::InsertBlankChip() {
    if (auto writer = TheWriter()) {
        writer->InsertChip(socket_->currentIndex());
        notice_->setText(QString("Blank chip in %1.").arg(socket_->currentText()));
    }
    Refresh();
}

void SimulatorPanel::RemoveChip() {
    if (auto writer = TheWriter()) {
        writer->RemoveChip(socket_->currentIndex());
        notice_->setText(QString("%1 is empty.").arg(socket_->currentText()));
    }
    Refresh();
}

void SimulatorPanel::FailNextProgram() {
    if (auto writer = TheWriter()) {
        writer->FailSocket(socket_->currentIndex(), sim::Operation::Program, 1);
        notice_->setText(QString("The next program of %1 fails.").arg(socket_->currentText()));
    }
}

void SimulatorPanel::FailNextVerify() {
    if (auto writer = TheWriter()) {
        writer->FailSocket(socket_->currentIndex(), sim::Operation::Verify, 1);
        notice_->setText(QString("The next verify of %1 fails.").arg(socket_->currentText()));
    }
}

void SimulatorPanel::TogglePlugged() {
    if (auto writer = TheWriter()) {
        if (writer->Plugged())
            bus_->Unplug(writer->Member());
        else
            bus_->Plug(writer->Member());
    }
    Refresh();
}

void SimulatorPanel::EnterBootLoader() {
    if (auto writer = TheWriter()) {
        sim::FirmwareModel firmware = writer->Firmware();
        firmware.appValid = false;
        firmware.inBootLoader = true;
        writer->SetFirmware(firmware);
        notice_->setText("The writer runs its boot loader until its firmware is updated.");
    }
    Refresh();
}

QString SimulatorPanel::SocketLine(int socket) const {
    const auto writer = TheWriter();
    QString state = "-";
    if (writer) {
        const std::optional<sim::Chip> chip = writer->ChipAt(socket);
        state = !chip ? "empty" : chip->IsBlank() ? "blank" : "programmed";
    }
    return QString("#%1 %2").arg(socket + 1).arg(state);
}

void SimulatorPanel::Refresh() {
    const auto writer = TheWriter();
    if (!writer) {
        writerState_->setText("No writer on the bus.");
        plug_->setEnabled(false);
        return;
    }
    const bool plugged = writer->Plugged();
    writerState_->setText(QString("Writer: %1%2")
                              .arg(plugged ? "plugged in" : "unplugged")
                              .arg(writer->InBootLoader() ? ", boot loader" : ""));
    plug_->setText(plugged ? "Unplug" : "Plug in");
    for (int i = 0; i < kSockets; ++i)
        chips_[i]->setText(SocketLine(i));
}

} // namespace app::qt
