#include "app/qt/Boxes.h"

#include "app/ControlIds.h"
#include "app/DialogTemplate.h"
#include "app/qt/DialogWidgets.h"
#include "core/MessageHost.h"

#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

namespace app::qt {

int RunMessageBox(QWidget* parent, const std::string& text, const std::string& caption,
                  unsigned flags) {
    QMessageBox box(parent);
    box.setWindowTitle(QString::fromStdString(caption));
    box.setText(QString::fromStdString(text));
    switch (flags & 0xF0) {
    case core::kMbIconError:
        box.setIcon(QMessageBox::Critical);
        break;
    case core::kMbIconQuestion:
        box.setIcon(QMessageBox::Question);
        break;
    case core::kMbIconWarning:
        box.setIcon(QMessageBox::Warning);
        break;
    case core::kMbIconInformation:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    const unsigned buttons = flags & 0x0F;
    int fallback = core::kIdOk;
    if (buttons == core::kMbYesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        fallback = core::kIdNo;
    } else if (buttons == core::kMbOkCancel) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
        fallback = core::kIdCancel;
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    switch (clicked ? box.standardButton(clicked) : QMessageBox::NoButton) {
    case QMessageBox::Ok:
        return core::kIdOk;
    case QMessageBox::Cancel:
        return core::kIdCancel;
    case QMessageBox::Yes:
        return core::kIdYes;
    case QMessageBox::No:
        return core::kIdNo;
    default:
        return fallback;
    }
}

QString ToFileDialogFilter(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString name = parts[i].trimmed();
        QStringList patterns = parts[i + 1].split(';', Qt::SkipEmptyParts);
        for (QString& pattern : patterns)
            pattern = pattern.trimmed();
        patterns.removeAll(QString());
        const qsizetype open = name.lastIndexOf('(');
        if (open > 0 && name.endsWith(')'))
            name = name.left(open).trimmed();
        if (name.isEmpty() || patterns.isEmpty())
            continue;
        filters << name + " (" + patterns.join(' ') + ")";
    }
    if (filters.isEmpty())
        filters << "All Files (*)";
    return filters.join(";;");
}

void RunAboutBox(QWidget* parent, const Pictures& pictures) {
    const DialogTemplate& about = AboutDialogTemplate();
    QDialog dialog(parent);
    dialog.setWindowTitle(QString::fromUtf8(about.title));
    dialog.setFixedSize(DialogPixelSize(about));
    const auto controls = BuildControls(about, &dialog, pictures, [&dialog](int id) {
        if (id == ids::kOk)
            dialog.accept();
    });
    if (auto* ok = qobject_cast<QPushButton*>(controls.at(ids::kOk)))
        ok->setFocus();
    dialog.exec();
}

} // namespace app::qt
