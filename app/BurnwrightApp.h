// Start-up: the application object runs the main window as a modal dialog and
// ends when it closes. No command line is read and nothing is kept in the
// registry.
#pragma once

#include <functional>
#include <memory>

namespace app {

// What start-up needs of a main window: run it modally until it closes.
class I_MainWindow {
public:
    virtual ~I_MainWindow() = default;
    // Blocks until the dialog closes; returns how it was closed.
    virtual int DoModal() = 0;
};

class CBurnwrightApp {
public:
    using WindowFactory = std::function<std::unique_ptr<I_MainWindow>()>;

    explicit CBurnwrightApp(WindowFactory makeMainWindow)
        : makeMainWindow_(std::move(makeMainWindow)) {}

    // Builds the main window, makes it the main window, runs it modally and
    // destroys it. Returns false so that the process ends without a message
    // loop of its own.
    bool InitInstance();

    // The main window while it runs; null before and after.
    I_MainWindow* MainWindow() const { return mainWindow_; }
    // How the main window was closed, after InitInstance.
    int ModalResult() const { return modalResult_; }

private:
    WindowFactory makeMainWindow_;
    I_MainWindow* mainWindow_ = nullptr;
    int modalResult_ = 0;
};

// The about box: dialog 100 with the program icon, one line of text and OK.
struct CAboutDlg {
    static constexpr int kDialogId = 100;
    static constexpr int kIconId = 128;
    static constexpr int kOkButtonId = 1;
    // The one line of text.
    static const char* Text();
};

} // namespace app
