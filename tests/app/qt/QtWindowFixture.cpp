#include "tests/app/qt/QtWindowFixture.h"

#include "core/Profiler.h"
#include "image/BodyTable.h"
#include "sim/SimDeviceIo.h"
#include "usb/ProcessLink.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <filesystem>

namespace qttest {

void QtWindowTest::SetUp() {
    std::filesystem::copy_file(BURNWRIGHT_PROFILE, folder.File("OTPBodyProfile.xml"));
    core::C_Profiler(folder.SettingsPath()).WriteString("File", "DeviceBodyIndex", "12");
    bus = std::make_shared<sim::Bus>(clock);
    writer = bus->AddWriterWithChips();
}

void QtWindowTest::TearDown() {
    if (host) {
        host->RequestClose();
        host->Run();
    }
    dlg.reset();
    host.reset();
    usb::InstallLinkBackend(nullptr);
}

void QtWindowTest::StartWindow() {
    usb::InstallLinkBackend(std::make_unique<sim::SimDeviceIo>(bus), clock);
    app::qt::QtHostOptions options;
    options.devices = usb::LinkBackend();
    options.progressClock = &clock;
    options.pictureFolder = BURNWRIGHT_PICTURES;
    options.titleSuffix = " [SIMULATED WRITER]";
    host = std::make_unique<app::qt::QtWindowHost>(options);
    app::WindowServices services;
    services.clock = &clock;
    services.progressClock = &clock;
    services.localTime = [] { return port::LocalTime{2026, 12, 9, 14, 5, 7, 0}; };
    dlg = std::make_unique<app::CBurnwrightDlg>(*host, services);
    host->Start(*dlg);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(host->Window()));
}

void QtWindowTest::WaitIdle() {
    QElapsedTimer waited;
    waited.start();
    while (host->RunningWorkers() > 0 && waited.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::processEvents();
    ASSERT_EQ(host->RunningWorkers(), 0) << "a worker thread did not end";
}

void QtWindowTest::RunDry() {
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
}

void QtWindowTest::Click(int id) {
    RunDry(); // an operator's clicks come one at a time
    QWidget* widget = host->Control(id);
    ASSERT_NE(widget, nullptr) << id;
    QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(8, widget->height() / 2));
}

void QtWindowTest::AnswerNextBox(int button) {
    auto* poll = new QTimer(host->Window());
    QObject::connect(poll, &QTimer::timeout, poll, [this, poll, button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        lastBoxText = box->text().toStdString();
        poll->deleteLater();
        box->button(static_cast<QMessageBox::StandardButton>(button))->click();
    });
    poll->start(10);
}

std::string QtWindowTest::WriteImage() {
    const size_t length = image::FindSizeRule(12)->lengths[0];
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 37) ^ (i >> 8));
    bytes[length - 6] = 0;
    bytes[length - 5] = 0;
    const std::string path = folder.File("qt.bin");
    testsupport::ProgramFolder::Write(path, bytes);
    return path;
}

QImage QtWindowTest::Render(const std::string& name) {
    QCoreApplication::processEvents();
    QImage image = host->Surface()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QDir().mkpath(BURNWRIGHT_PICTURE_OUT);
    image.save(QString::fromStdString(std::string(BURNWRIGHT_PICTURE_OUT) + "/" + name + ".png"));
    return image;
}

} // namespace qttest
