// Message boxes, shown by whatever front-end runs the program: the window
// implements this host with real boxes, the command line and tests with their
// own. Everything below the window layer shows boxes only through here.
#pragma once

#include <string>

namespace core {

// Button and icon flags, with the values of the platform's message-box call.
enum MessageBoxFlags : unsigned {
    kMbOk = 0x00,
    kMbOkCancel = 0x01,
    kMbYesNo = 0x04,
    kMbIconError = 0x10,
    kMbIconQuestion = 0x20,
    kMbIconWarning = 0x30,
    kMbIconInformation = 0x40,
};

// Answers, with the platform's values.
enum MessageBoxAnswer : int {
    kIdOk = 1,
    kIdCancel = 2,
    kIdYes = 6,
    kIdNo = 7,
};

class I_MessageBoxHost {
public:
    virtual ~I_MessageBoxHost() = default;
    // Shows a modal box and blocks until it is answered; returns the answer.
    virtual int ShowMessageBox(const std::string& text, const std::string& caption,
                               unsigned flags) = 0;
};

// The host every box goes to. Until a front-end installs one, boxes are
// written to standard error and answered with OK, or No/Cancel where the box
// asks, so nothing is done on the operator's behalf.
I_MessageBoxHost& MessageBoxHost();
// Installs `host` (not owned; null restores the default) and returns the old one.
I_MessageBoxHost* SetMessageBoxHost(I_MessageBoxHost* host);

// Shorthand for MessageBoxHost().ShowMessageBox.
int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags);

} // namespace core
