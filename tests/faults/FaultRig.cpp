#include "tests/faults/FaultRig.h"

#include "app/ControlIds.h"
#include "core/Profiler.h"
#include "driver/simstack/KernelStack.h"
#include "image/BodyTable.h"
#include "sim/Firmware.h"
#include "sim/SimDeviceIo.h"
#include "tests/support/WindowInvariant.h"
#include "usb/ProcessLink.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

namespace faults {
namespace ids = app::ids;
namespace keys = core::settings;

namespace {
// A step that has not ended after this much real time is a hang; the
// supervisor first unplugs the writer, then gives up.
constexpr auto kHangLimit = std::chrono::seconds(20);
constexpr int kBody = 12;

// Thousands of cases each write the settings file several times, and every
// write is flushed to the disk; memory-backed folders keep that cheap while
// the rename that keeps files whole works the same.
[[maybe_unused]] const bool kFoldersInMemory = [] {
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec))
        ::setenv("TMPDIR", "/dev/shm", 0);
    return true;
}();

// Controls that every ended action enables again, attached or not.
constexpr int kAlwaysEnabled[] = {
    ids::kProgram,      ids::kOpen,    ids::kBodyCombo, ids::kBlankCheck, ids::kSingleProgram,
    ids::kSingleVerify, ids::kGetInfo, ids::kSetInfo,   ids::kEraseFlash, ids::kBufferBlankCheck};
} // namespace

std::string FileSnapshot::Of(const std::string& name) const {
    const auto it = files.find(name);
    return it == files.end() ? std::string("<missing>") : it->second;
}

const std::vector<std::string>& KeptFiles() {
    static const std::vector<std::string> names = {
        "Burnwright.ini", "ReadOTPData.OTP.bin", "GetInfo.bin", "GetOTPInfo.bin",
        "SetInfo.bin",    "SetOTPInfo.bin",      "day.bin",
    };
    return names;
}

Rig::Rig(Route route) : route_(route) {
    std::filesystem::copy_file(BURNWRIGHT_PROFILE, folder.File("OTPBodyProfile.xml"));
    bus = std::make_shared<sim::Bus>(clock);
    writer = bus->AddWriterWithChips();
    Setting(keys::kGeneral, keys::kDevelopVersion, keys::kDevelopPassword);
    Setting(keys::kFile, keys::kDeviceBodyIndex, std::to_string(kBody));
    Setting(keys::kGeneral, keys::kOtpCounterOk, "40");
    Setting(keys::kGeneral, keys::kOtpCounterFail, "3");
}

Rig::~Rig() {
    ReleaseTransferLock();
    if (host)
        host->WaitIdle();
    dlg.reset();
    host.reset();
    usb::InstallLinkBackend(nullptr);
}

void Rig::Start(std::vector<int> answers) {
    if (route_ == Route::Driver)
        usb::InstallLinkBackend(std::make_unique<driver::simstack::KernelStack>(bus), clock);
    else
        usb::InstallLinkBackend(std::make_unique<sim::SimDeviceIo>(bus), clock);
    host = std::make_unique<app::headless::HeadlessHost>(clock, usb::LinkBackend());
    app::WindowServices services;
    services.clock = &clock;
    services.progressClock = &progressClock;
    services.localTime = [] { return port::LocalTime{2026, 12, 9, 14, 5, 7, 0}; };
    dlg = std::make_unique<app::CBurnwrightDlg>(*host, services);
    host->AnswerBoxes(std::move(answers));
    if (boxHook)
        host->SetBoxHook(boxHook);
    host->Start(*dlg);
    Settle();
}

void Rig::Restart(std::vector<int> answers) {
    host->WaitIdle();
    dlg.reset();
    host.reset();
    usb::InstallLinkBackend(nullptr);
    boxHook = nullptr;
    Start(std::move(answers));
}

void Rig::OpenImage() {
    const size_t length = image::FindSizeRule(kBody)->lengths[0];
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 37) ^ (i >> 8));
    bytes[length - 6] = 0; // no development-environment information word
    bytes[length - 5] = 0;
    const std::string path = folder.File("day.bin");
    if (!std::filesystem::exists(path))
        testsupport::ProgramFolder::Write(path, bytes);
    host->AnswerFileDialog(path);
    if (host->GetComboSelection(ids::kBodyCombo) != kBody) {
        // The image is body 12's: choosing the body opens the file dialog.
        host->SelectBody(kBody);
        host->WaitIdle();
        host->AdvanceTime(1);
    } else {
        host->Click(ids::kOpen);
    }
    host->WaitIdle();
}

void Rig::Load() {
    host->AnswerBoxes({core::kIdOk});
    host->Click(ids::kLoadToWriterBuffer);
    host->WaitIdle();
}

void Rig::Pass() {
    const size_t first = host->Events().size();
    const invariant::Observation before = Observe();
    host->Click(ids::kProgram);
    host->WaitIdle();
    CheckAction(before, first, true, "pass");
}

void Rig::Stress(int passes) {
    host->Type(ids::kStressCount, std::to_string(passes));
    host->Click(ids::kStress);
    for (int i = 0; i < passes; ++i) {
        const size_t first = host->Events().size();
        const invariant::Observation before = Observe();
        host->AdvanceTime(1500);
        host->WaitIdle();
        CheckAction(before, first, true, "stress pass " + std::to_string(i + 1));
    }
    host->AdvanceTime(1);
    host->WaitIdle();
    host->AdvanceTime(100);
    host->WaitIdle();
}

void Rig::ShipFirmware(const sim::FirmwareVersion& version) {
    const auto image = sim::BuildFirmwareImage(version);
    testsupport::ProgramFolder::Write(folder.File("OTP_Controller_C51FW.bin"),
                                      std::string(image.begin(), image.end()));
}

void Rig::FreshChips() {
    for (int socket = 0; socket < sim::kSocketCount; ++socket) {
        writer->RemoveChip(socket);
        writer->InsertChip(socket);
    }
}

bool Rig::Supervise(const std::function<void()>& step) {
    unpluggedHang_ = false;
    auto done = std::async(std::launch::async, step);
    const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
    usb::TransferLock& lock = usb::USBInfo()->Transfer().Lock();
    while (done.wait_for(std::chrono::microseconds(200)) != std::future_status::ready) {
        if (writer->WaitingTransfers() > 0 && writer->Plugged()) {
            unpluggedHang_ = true;
            bus->Unplug(writer->Member());
        }
        if (lockHeld_ && lock.Waiters() > 0)
            clock.Advance(usb::kLockWaitMs);
        if (std::chrono::steady_clock::now() > deadline) {
            // Nothing more can end it; leave the thread to the process's end.
            ReleaseTransferLock();
            bus->Unplug(writer->Member());
            if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
                std::abort();
            return false;
        }
    }
    done.get();
    return true;
}

void Rig::HoldTransferLock() {
    lockHeld_ = usb::USBInfo()->Transfer().Lock().Take(0);
}

void Rig::ReleaseTransferLock() {
    if (lockHeld_)
        usb::USBInfo()->Transfer().Lock().Give();
    lockHeld_ = false;
}

void Rig::Replug() {
    if (!writer->Plugged())
        bus->Plug(writer->Member());
    Settle();
}

void Rig::Settle() {
    if (auto* kernel = dynamic_cast<driver::simstack::KernelStack*>(usb::LinkBackend()))
        kernel->Settle();
    if (host)
        host->WaitIdle();
}

invariant::Observation Rig::Observe() {
    if (host && dlg)
        return invariant::ObserveWindow(*host, *writer, folder.SettingsPath());
    invariant::Observation o;
    o.chips = invariant::ChipsOf(*writer);
    o.counters["writer"] = {writer->PassCount(), writer->FailCount()};
    core::C_OTPProfiler settings(folder.SettingsPath());
    o.counters["settings"] = {settings.GetCounterOk(), settings.GetCounterFail()};
    return o;
}

void Rig::CheckAction(const invariant::Observation& before, size_t firstEvent, bool counts,
                      const std::string& what) {
    const invariant::Report report = invariant::ReadWindowReport(*host, *dlg, counts, firstEvent);
    invariant::Observation after = Observe();
    if (writerMayMissStores && after.counters["writer"] == before.counters.at("writer"))
        after.counters.erase("writer");
    for (const std::string& breach : invariant::Check(before, after, report))
        breaches.push_back(what + ": " + breach);
}

std::string Rig::Setting(const char* section, const char* key) {
    return core::C_Profiler(folder.SettingsPath()).GetString(section, key);
}

void Rig::Setting(const char* section, const char* key, const std::string& value) {
    core::C_Profiler(folder.SettingsPath()).WriteString(section, key, value.c_str());
}

FileSnapshot Rig::Files() const {
    FileSnapshot snapshot;
    for (const std::string& name : KeptFiles()) {
        const std::string path = folder.File(name);
        if (std::filesystem::exists(path))
            snapshot.files[name] = testsupport::ProgramFolder::Read(path);
    }
    return snapshot;
}

std::vector<std::string> Rig::ActionControlsDisabled() {
    std::vector<std::string> disabled;
    for (int id : kAlwaysEnabled)
        if (!host->Enabled(id))
            disabled.push_back(std::to_string(id));
    return disabled;
}

} // namespace faults
