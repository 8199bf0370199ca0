#include "app/qt/Program.h"

#include "app/qt/DialogWidgets.h"

#include <QApplication>
#include <QDialog>
#include <QStyleFactory>

namespace app::qt {

void SetUpApplicationLook() {
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setFont(DialogFont());
}

void CloseModalWindows() {
    // Bounded: a window that refuses to close must not hold the program.
    for (int i = 0; i < 16; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->done(QDialog::Rejected);
        else
            modal->close();
    }
}

} // namespace app::qt
