#include "tests/app/WindowFixture.h"

#include "core/Profiler.h"
#ifdef BURNWRIGHT_KERNEL_STACK
#include "driver/simstack/KernelStack.h"
#endif
#include "sim/SimDeviceIo.h"
#include "usb/ProcessLink.h"

#include <filesystem>

namespace apptest {

void WindowTest::SetUp() {
    std::filesystem::copy_file(BURNWRIGHT_PROFILE, folder.File("OTPBodyProfile.xml"));
    bus = std::make_shared<sim::Bus>(clock);
    writer = bus->AddWriterWithChips();
}

void WindowTest::TearDown() {
    if (host)
        host->WaitIdle();
    dlg.reset();
    host.reset();
    usb::InstallLinkBackend(nullptr);
}

// The user-mode kernel is built where the driver's own build runs; elsewhere
// the route through the driver is the in-process writer.
std::unique_ptr<port::DeviceIo> WindowTest::Backend() const {
#ifdef BURNWRIGHT_KERNEL_STACK
    if (throughDriver_)
        return std::make_unique<driver::simstack::KernelStack>(bus);
#endif
    return std::make_unique<sim::SimDeviceIo>(bus);
}

void WindowTest::StartWindow() {
    usb::InstallLinkBackend(Backend(), clock);
    host = std::make_unique<app::headless::HeadlessHost>(clock, usb::LinkBackend());
    app::WindowServices services;
    services.clock = &clock;
    services.progressClock = &progressClock;
    services.localTime = [this] { return today; };
    dlg = std::make_unique<app::CBurnwrightDlg>(*host, services);
    host->AnswerBoxes(startupAnswers);
    host->Start(*dlg);
}

void WindowTest::Settle() {
#ifdef BURNWRIGHT_KERNEL_STACK
    if (auto* kernel = dynamic_cast<driver::simstack::KernelStack*>(usb::LinkBackend()))
        kernel->Settle();
#endif
    host->WaitIdle();
}

void WindowTest::Setting(const char* section, const char* key, const std::string& value) {
    core::C_Profiler(folder.SettingsPath()).WriteString(section, key, value.c_str());
}

std::string WindowTest::Setting(const char* section, const char* key) {
    return core::C_Profiler(folder.SettingsPath()).GetString(section, key);
}

std::string WindowTest::WriteImage(const std::string& name, size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 37) ^ (i >> 8));
    // No development-environment information word before the end.
    bytes[length - 6] = 0;
    bytes[length - 5] = 0;
    const std::string path = folder.File(name);
    testsupport::ProgramFolder::Write(path, bytes);
    return path;
}

std::string WindowTest::SocketBoxes() {
    std::string boxes;
    for (int i = 0; i < 16; ++i)
        boxes += host->Check(app::ids::kSocketBoxBase + i) ? '1' : '0';
    return boxes;
}

} // namespace apptest
