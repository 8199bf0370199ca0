// What the window programs share at start: the Qt application's look, the
// simulated writer's title.
#pragma once

namespace app::qt {

// The style and font every window of the program uses, on every platform.
void SetUpApplicationLook();

// Closes the modal boxes and dialogs open now, as if each was cancelled.
void CloseModalWindows();

// Appended to the window title on a simulated writer.
inline constexpr const char* kSimulatedTitleSuffix = "  [SIMULATED WRITER]";

} // namespace app::qt
