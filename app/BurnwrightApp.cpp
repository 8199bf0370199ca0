#include "app/BurnwrightApp.h"

namespace app {

bool CBurnwrightApp::InitInstance() {
    std::unique_ptr<I_MainWindow> window = makeMainWindow_ ? makeMainWindow_() : nullptr;
    if (!window)
        return false;
    mainWindow_ = window.get();
    modalResult_ = window->DoModal();
    mainWindow_ = nullptr;
    return false;
}

const char* CAboutDlg::Text() {
    return "Burnwright Version 1.0";
}

} // namespace app
