#include "app/qt/Program.h"

#include "app/qt/DialogWidgets.h"
#include "driver/simstack/KernelStack.h"
#include "sim/SimDeviceIo.h"

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

std::shared_ptr<sim::Bus> SimulatedBus(port::DeviceIo* io) {
    if (auto* kernel = dynamic_cast<driver::simstack::KernelStack*>(io))
        return kernel->GetBus();
    if (auto* direct = dynamic_cast<sim::SimDeviceIo*>(io))
        return direct->GetBus();
    return nullptr;
}

} // namespace app::qt
