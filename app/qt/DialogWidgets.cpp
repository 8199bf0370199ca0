#include "app/qt/DialogWidgets.h"

#include "app/ControlIds.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>

#include <cstdlib>
#include <vector>

namespace app::qt {

LampWidget::LampWidget(const Pictures& pictures, int bitmapId, QWidget* parent)
    : QWidget(parent), pictures_(pictures), bitmapId_(bitmapId) {}

void LampWidget::SetPicture(int bitmapId) {
    if (bitmapId == bitmapId_)
        return;
    bitmapId_ = bitmapId;
    update();
}

void LampWidget::paintEvent(QPaintEvent*) {
    const QPixmap picture = pictures_.Lamp(bitmapId_);
    if (picture.isNull())
        return;
    QPainter painter(this);
    painter.drawPixmap(QRect(0, 0, 16, 16), picture, QRect(0, 0, 16, 16));
}

QFont DialogFont() {
    QFont font("DejaVu Sans Condensed");
    font.setPixelSize(10);
    return font;
}

QSize DialogPixelSize(const DialogTemplate& dialog) {
    const Rect client = ToPixels({0, 0, dialog.cx, dialog.cy});
    return QSize(client.cx, client.cy);
}

namespace {

QString Text(const char* caption) {
    return QString::fromUtf8(caption);
}

// Read-only edits look like the window behind them, as the platform draws
// them, so an operator sees at once which fields take typing.
void MakeReadOnly(QLineEdit* edit) {
    edit->setReadOnly(true);
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    edit->setPalette(palette);
}

QWidget* MakeControl(const ControlTemplate& c, QWidget* surface, const Pictures& pictures,
                     const std::function<void(int)>& onCommand) {
    const int id = c.id;
    switch (c.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton: {
        auto* button = new QPushButton(Text(c.caption), surface);
        button->setAutoDefault(false);
        button->setDefault(c.kind == ControlKind::DefPushButton);
        QObject::connect(button, &QPushButton::clicked, surface,
                         [onCommand, id] { onCommand(id); });
        return button;
    }
    case ControlKind::CheckBox: {
        auto* box = new QCheckBox(Text(c.caption), surface);
        QObject::connect(box, &QCheckBox::clicked, surface, [onCommand, id] { onCommand(id); });
        return box;
    }
    case ControlKind::GroupBox: {
        auto* group = new QGroupBox(Text(c.caption), surface);
        group->setAttribute(Qt::WA_TransparentForMouseEvents);
        return group;
    }
    case ControlKind::Edit: {
        auto* edit = new QLineEdit(Text(c.caption), surface);
        if (c.readOnly)
            MakeReadOnly(edit);
        QObject::connect(edit, &QLineEdit::textEdited, surface, [onCommand, id] { onCommand(id); });
        return edit;
    }
    case ControlKind::Static:
        return new QLabel(Text(c.caption), surface);
    case ControlKind::Bitmap:
        return new LampWidget(pictures, std::atoi(c.caption), surface);
    case ControlKind::Icon: {
        auto* label = new QLabel(surface);
        label->setPixmap(pictures.Icon().pixmap(32, 32));
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case ControlKind::ComboBox: {
        auto* combo = new QComboBox(surface);
        combo->setMaxVisibleItems(20);
        QObject::connect(combo, &QComboBox::activated, surface, [onCommand, id] { onCommand(id); });
        return combo;
    }
    case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(surface);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
    }
    }
    return nullptr;
}

} // namespace

std::map<int, QWidget*> BuildControls(const DialogTemplate& dialog, QWidget* surface,
                                      const Pictures& pictures,
                                      const std::function<void(int)>& onCommand) {
    std::map<int, QWidget*> controls;
    std::vector<QWidget*> groups;
    for (const ControlTemplate& c : dialog.controls) {
        QWidget* widget = MakeControl(c, surface, pictures, onCommand);
        const Rect r = ToPixels(c.dlu);
        widget->setGeometry(r.x, r.y, r.cx, r.cy);
        widget->setEnabled(c.enabled);
        widget->setVisible(c.visible);
        widget->setFont(DialogFont());
        if (c.kind == ControlKind::GroupBox)
            groups.push_back(widget);
        controls.emplace(c.id, widget); // keeps the first control without an id
    }
    for (QWidget* group : groups)
        group->lower();
    return controls;
}

} // namespace app::qt
