#include "tests/app/WindowFixture.h"

#include "core/Profiler.h"
#ifdef BURNWRIGHT_KERNEL_STACK
#include "driver/simstack/KernelStack.h"
#endif
#include "sim/SimDeviceIo.h"
#include "usb/ProcessLink.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace apptest {
namespace {

void Pause() {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
}

} // namespace

void WindowTest::SetUp() {
    std::filesystem::copy_file(BURNWRIGHT_PROFILE, folder.File("OTPBodyProfile.xml"));
    bus = std::make_shared<sim::Bus>(clock);
    writer = bus->AddWriterWithChips();
}

void WindowTest::TearDown() {
    gate->Open();
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
        return std::make_unique<GatedDeviceIo>(std::make_unique<driver::simstack::KernelStack>(bus),
                                               gate);
#endif
    return std::make_unique<GatedDeviceIo>(std::make_unique<sim::SimDeviceIo>(bus), gate);
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
    auto* gated = dynamic_cast<GatedDeviceIo*>(usb::LinkBackend());
    if (auto* kernel = dynamic_cast<driver::simstack::KernelStack*>(&gated->Inner()))
        kernel->Settle();
#endif
    host->WaitIdle();
}

bool WindowTest::WaitForWriterHeld() {
    for (;;) {
        if (gate->Waiting() > 0)
            return true;
        if (host->Idle() && gate->Waiting() == 0)
            return false;
        Pause();
    }
}

bool WindowTest::UiSettlesWhileHeld() {
    usb::TransferLock& lock = usb::USBInfo()->Transfer().Lock();
    for (;;) {
        if (host->UiIdle())
            return true;
        if (lock.Waiters() > 0)
            return false;
        Pause();
    }
}

void WindowTest::LetOne() {
    const uint64_t before = gate->Passed();
    gate->Let(1);
    while (gate->Passed() == before)
        Pause();
}

int WindowTest::StepThroughHeld(const std::function<void()>& atEachTransfer) {
    int transfers = 0;
    while (WaitForWriterHeld()) {
        if (atEachTransfer)
            atEachTransfer();
        LetOne();
        ++transfers;
    }
    return transfers;
}

const std::vector<int>& WindowTest::ActionControls() {
    namespace ids = app::ids;
    static const std::vector<int> controls{
        ids::kLoadToWriterBuffer, ids::kVerifyBuffer, ids::kProgramFlash,
        ids::kBufferBlankCheck,   ids::kEraseFlash,   ids::kSingleProgram,
        ids::kSingleVerify,       ids::kBlankCheck,   ids::kProgram,
        ids::kResetCounter,       ids::kOpen,         ids::kGetOtpInfo,
        ids::kSetOtpInfo,         ids::kSetInfo,      ids::kGetInfo,
        ids::kBodyCombo,          ids::kReadData,
    };
    return controls;
}

std::vector<int> WindowTest::EnabledActionControls() {
    std::vector<int> enabled;
    for (int id : ActionControls())
        if (host->Enabled(id))
            enabled.push_back(id);
    return enabled;
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
