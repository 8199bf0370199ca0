// burnwright-window-shot OUTPUT.png: the operator's window after a programming
// run, rendered without a screen. On a simulated writer with chips in 15
// sockets (#5 empty, #10 failing verify) it opens an image for body 12, loads
// it, programs all sockets and saves a picture of the window. The run uses a
// folder of its own beside the program ("demo-window"), made afresh each time.
#include "app/BurnwrightDlg.h"
#include "app/ControlIds.h"
#include "app/qt/Pictures.h"
#include "app/qt/Program.h"
#include "app/qt/QtWindowHost.h"
#include "app/qt/SimulatorPanel.h"
#include "core/MessageHost.h"
#include "core/Profiler.h"
#include "core/ProgramInfo.h"
#include "driver/simstack/Backend.h"
#include "image/BodyTable.h"
#include "port/ProgramPath.h"
#include "usb/ProcessLink.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
namespace ids = app::ids;
constexpr int kBody = 12;

bool WaitIdle(app::qt::QtWindowHost& host) {
    QElapsedTimer waited;
    waited.start();
    while (host.RunningWorkers() > 0 && waited.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCoreApplication::processEvents();
    return host.RunningWorkers() == 0;
}

void Click(app::qt::QtWindowHost& host, int id) {
    if (auto* button = qobject_cast<QAbstractButton*>(host.Control(id)))
        button->click();
}

std::string WriteImage(const fs::path& folder) {
    const size_t length = image::FindSizeRule(kBody)->lengths[0];
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 37) ^ (i >> 8));
    bytes[length - 6] = 0; // no development-environment information word
    bytes[length - 5] = 0;
    const fs::path path = folder / "demo.bin";
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

} // namespace

int main(int argc, char** argv) {
    if (core::AnswerHelpOrVersion(
            argc, argv, "burnwright-window-shot",
            "usage: burnwright-window-shot OUTPUT.png\n"
            "Renders the operator's window after a programming run on a simulated writer (socket "
            "5\n"
            "empty, socket 10 failing verify) into OUTPUT.png, without a screen. The run uses the\n"
            "folder demo-window beside the program, made afresh.\n"))
        return 0;
    if (argc != 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: burnwright-window-shot OUTPUT.png\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    app::qt::SetUpApplicationLook();

    const fs::path stage = fs::path(port::ModuleFolder());
    const fs::path folder = stage / "demo-window";
    std::error_code error;
    fs::remove_all(folder, error);
    fs::create_directories(folder, error);
    if (!fs::copy_file(stage / "OTPBodyProfile.xml", folder / "OTPBodyProfile.xml", error)) {
        std::fprintf(stderr, "burnwright-window-shot: cannot copy OTPBodyProfile.xml into %s: %s\n",
                     folder.string().c_str(), error.message().c_str());
        return 1;
    }
    port::SetModuleFileNameOverride((folder / "burnwright").string());
    core::C_OTPProfiler(core::DefaultSettingsPath()).SetDeviceBodyIndex(kBody);
    const std::string imagePath = WriteImage(folder);

    auto bus = std::make_shared<sim::Bus>();
    auto writer = bus->AddWriterWithChips();
    writer->RemoveChip(4);
    writer->FailSocket(9, sim::Operation::Verify);
    driver::simstack::RegisterDeviceIoBackends(bus);
    usb::SelectLinkBackend("sim");

    app::qt::QtHostOptions options;
    options.devices = usb::LinkBackend();
    options.pictureFolder = app::qt::Pictures::FindFolder(BURNWRIGHT_PICTURES);
    options.titleSuffix = app::qt::kSimulatedTitleSuffix;
    app::qt::QtWindowHost host(options);
    host.SetFileAnswer([&](const std::string&, const std::string&) { return imagePath; });
    host.SetBoxAnswer([](const std::string& text, unsigned) {
        std::printf("  box: %s -> OK\n", text.c_str());
        return core::kIdOk;
    });
    app::CBurnwrightDlg dlg(host);
    auto* panel = new app::qt::SimulatorPanel(bus);
    host.AddSidePanel(panel);
    host.Start(dlg);

    Click(host, ids::kMultiDevice);
    Click(host, ids::kOpen);
    Click(host, ids::kLoadToWriterBuffer);
    WaitIdle(host);
    Click(host, ids::kProgram);
    if (!WaitIdle(host)) {
        std::fprintf(stderr, "burnwright-window-shot: the programming run did not end\n");
        return 1;
    }
    panel->Refresh();
    const QPixmap shot = host.Window()->grab();
    if (!shot.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "burnwright-window-shot: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("  window: OK %s, Fail %s; picture in %s\n",
                host.GetControlText(ids::kOkCount).c_str(),
                host.GetControlText(ids::kFailCount).c_str(), argv[1]);
    host.RequestClose();
    return host.Run() == 2 ? 0 : 1;
}
