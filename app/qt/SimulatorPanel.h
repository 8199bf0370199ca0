// The simulator panel: shown only when the program runs on a simulated
// writer, beside the main window and plainly marked. It acts on the same
// simulated bus the program talks to: per socket insert a blank chip, remove
// the chip, make the next program or verify of the chip fail; unplug and plug
// the writer; put the writer in its boot loader.
#pragma once

#include "sim/Bus.h"

#include <QFrame>

#include <array>
#include <memory>

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

namespace app::qt {

class SimulatorPanel : public QFrame {
public:
    // Acts on the first writer of `bus` (member 0 when there is one).
    SimulatorPanel(std::shared_ptr<sim::Bus> bus, QWidget* parent = nullptr);

    // The socket the socket buttons act on (0..15).
    void SelectSocket(int socket);
    void InsertBlankChip();
    void RemoveChip();
    void FailNextProgram();
    void FailNextVerify();
    void TogglePlugged();
    void EnterBootLoader();
    // Reads the writer's state into the panel (also every half second).
    void Refresh();
    // One line per socket as the panel shows it, e.g. "#3 blank".
    QString SocketLine(int socket) const;

private:
    std::shared_ptr<sim::Writer> TheWriter() const;

    std::shared_ptr<sim::Bus> bus_;
    QComboBox* socket_ = nullptr;
    QPushButton* plug_ = nullptr;
    QLabel* writerState_ = nullptr;
    QLabel* notice_ = nullptr;
    std::array<QLabel*, 16> chips_{};
    QTimer* refresh_ = nullptr;
};

} // namespace app::qt
