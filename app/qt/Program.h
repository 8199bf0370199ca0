// What the window programs share at start: the Qt application's look, the
// writer backend named by BURNWRIGHT_WRITER, and the simulated bus behind it.
#pragma once

#include "port/DeviceIo.h"
#include "sim/Bus.h"

#include <memory>
#include <string>

namespace app::qt {

// The style and font every window of the program uses, on every platform.
void SetUpApplicationLook();

// The simulated bus behind `io` when it is one of the simulated backends;
// null for a real writer.
std::shared_ptr<sim::Bus> SimulatedBus(port::DeviceIo* io);

// Closes the modal boxes and dialogs open now, as if each was cancelled.
void CloseModalWindows();

// Appended to the window title on a simulated writer.
inline constexpr const char* kSimulatedTitleSuffix = "  [SIMULATED WRITER]";

} // namespace app::qt
