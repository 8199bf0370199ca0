// burnwright: the operator's window. The writer is the one BURNWRIGHT_WRITER
// selects; on a simulated writer the simulator panel sits beside the window
// and the title says so. BURNWRIGHT_QUIT_AFTER_MS=N closes the window (and any
// box it shows) N milliseconds after the program started, for scripted runs;
// SIGTERM and SIGINT close it the same way at once.
#include "app/BurnwrightApp.h"
#include "app/BurnwrightDlg.h"
#include "app/qt/Pictures.h"
#include "app/qt/Program.h"
#include "app/qt/QtWindowHost.h"
#include "app/qt/SimulatorPanel.h"
#include "core/ProgramInfo.h"
#include "driver/simstack/Backend.h"
#include "usb/ProcessLink.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The quit request of a scripted run; -1 when none was made.
int QuitAfterMs() {
    const char* text = std::getenv("BURNWRIGHT_QUIT_AFTER_MS");
    if (!text || !*text)
        return -1;
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    if (*end != '\0' || ms < 0 || ms > 24L * 3600 * 1000) {
        std::fprintf(stderr,
                     "burnwright: BURNWRIGHT_QUIT_AFTER_MS must be a number of milliseconds, "
                     "not \"%s\"; ignored\n",
                     text);
        return -1;
    }
    return static_cast<int>(ms);
}

// A signal handler may only write to a descriptor; the window's thread reads
// the other end and closes the window as its close button would.
int signalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[0], &byte, 1);
}

void CloseOnTerminate(app::qt::QtWindowHost& host) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &host);
    QObject::connect(notifier, &QSocketNotifier::activated, &host, [&host] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[1], &byte, 1);
        app::qt::CloseModalWindows();
        host.RequestClose();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

class QtMainWindow : public app::I_MainWindow {
public:
    int DoModal() override {
        driver::simstack::RegisterDeviceIoBackends();
        usb::USBInfo(); // starts the backend BURNWRIGHT_WRITER names
        port::DeviceIo* io = usb::LinkBackend();
        const std::shared_ptr<sim::Bus> bus = driver::simstack::SimulatedBus(io);

        app::qt::QtHostOptions options;
        options.devices = io;
        options.pictureFolder = app::qt::Pictures::FindFolder(BURNWRIGHT_PICTURES);
        options.titleSuffix = bus ? app::qt::kSimulatedTitleSuffix : "";
        app::qt::QtWindowHost host(options);
        app::CBurnwrightDlg dlg(host);
        if (bus)
            host.AddSidePanel(new app::qt::SimulatorPanel(bus));

        const int quitAfter = QuitAfterMs();
        if (quitAfter >= 0)
            QTimer::singleShot(quitAfter, &host, [&host] {
                app::qt::CloseModalWindows();
                host.RequestClose();
            });
        CloseOnTerminate(host);
        host.Start(dlg);
        return host.Run();
    }
};

} // namespace

int main(int argc, char** argv) {
    if (core::AnswerHelpOrVersion(
            argc, argv, "burnwright",
            "usage: burnwright\n"
            "The operator's window: pick a chip body, open an image, load it into the writer\n"
            "buffer and program, with lamps, counters and timings per socket. It takes no\n"
            "arguments of its own; settings and logs live beside the program. BURNWRIGHT_WRITER "
            "chooses the\n"
            "writer (sim, sim:STATE_FILE, sim-direct, usb); BURNWRIGHT_QUIT_AFTER_MS=N closes the\n"
            "window N milliseconds after the start. burnwright-cli --help covers the command "
            "line.\n"))
        return 0;
    QApplication application(argc, argv);
    app::qt::SetUpApplicationLook();
    app::CBurnwrightApp program([] { return std::make_unique<QtMainWindow>(); });
    program.InitInstance();
    return 0;
}
