// The window's standard boxes: message boxes with the platform's buttons and
// answers, the open-file dialog's filter, and the About box (dialog 100).
#pragma once

#include "app/qt/Pictures.h"

#include <QString>
#include <QWidget>

#include <string>

namespace app::qt {

// Shows a modal message box; `flags` and the answer use the values of
// core::MessageBoxFlags and core::MessageBoxAnswer. A box closed without a
// button (Escape, the window's close button) answers Cancel or No where the
// box asks, else OK, so nothing is done on the operator's behalf.
int RunMessageBox(QWidget* parent, const std::string& text, const std::string& caption,
                  unsigned flags);

// "Name|pattern;pattern|Name|pattern|" to the file dialog's "Name (pattern
// pattern);;Name (pattern)". A trailing "(...)" in a name is replaced by the
// patterns; a name without patterns or a pattern list without a name is
// dropped; what remains empty becomes "All Files (*)".
QString ToFileDialogFilter(const std::string& filter);

// The About box, built from dialog 100 and run modally.
void RunAboutBox(QWidget* parent, const Pictures& pictures);

} // namespace app::qt
