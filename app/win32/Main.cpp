// burnwright.exe: the window logic in real Win32 dialogs. The writer backend
// comes from BURNWRIGHT_WRITER: the system's driver ("win32") by default, or
// the simulated writer in-process ("sim-direct") to try the program without one.
#include "app/BurnwrightApp.h"
#include "app/BurnwrightDlg.h"
#include "app/win32/Win32Host.h"
#include "sim/SimDeviceIo.h"
#include "usb/ProcessLink.h"

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

namespace {

class MainWindow : public app::I_MainWindow {
public:
    explicit MainWindow(HINSTANCE instance) : instance_(instance) {}
    int DoModal() override {
        usb::USBInfo(); // the link picks its backend before the window asks for it
        app::win32::Win32Host host(instance_, usb::LinkBackend());
        app::CBurnwrightDlg dialog(host);
        return host.RunModal(dialog);
    }

private:
    HINSTANCE instance_;
};

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    sim::RegisterDeviceIoBackend();

    app::CBurnwrightApp application([instance] { return std::make_unique<MainWindow>(instance); });
    application.InitInstance();

    if (SUCCEEDED(com))
        ::CoUninitialize();
    return application.ModalResult() == -1 ? 1 : 0;
}
