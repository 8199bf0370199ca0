#include "tests/app/RandomOperator.h"

#include "app/BurnwrightDlg.h"
#include "app/headless/HeadlessHost.h"
#include "cli/image_tool/ImageTool.h"
#include "core/Profiler.h"
#include "sim/Bus.h"
#include "sim/SimDeviceIo.h"
#include "tests/app/WriterGate.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/WindowInvariant.h"
#include "usb/ProcessLink.h"
#ifdef BURNWRIGHT_KERNEL_STACK
#include "driver/simstack/KernelStack.h"
#endif

#include <chrono>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace apptest {
namespace {

namespace ids = app::ids;
namespace keys = core::settings;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

// Mostly the small plain body; now and then one with an information record
// and a trim step.
constexpr int kBodies[] = {12, 12, 12, 16};
constexpr int kOperationBoxes[] = {ids::kSelectAllOperations, ids::kOpBlankCheck, ids::kOpProgram,
                                   ids::kOpVerify, ids::kIhrcTrim};
constexpr int kActionControls[] = {
    ids::kLoadToWriterBuffer, ids::kVerifyBuffer, ids::kProgramFlash,
    ids::kBufferBlankCheck,   ids::kEraseFlash,   ids::kSingleProgram,
    ids::kSingleVerify,       ids::kBlankCheck,   ids::kProgram,
    ids::kResetCounter,       ids::kOpen,         ids::kGetOtpInfo,
    ids::kSetOtpInfo,         ids::kSetInfo,      ids::kGetInfo,
    ids::kBodyCombo,          ids::kReadData,
};
// The buttons an operator can reach (the single operations stay hidden in
// every layout), the day's work more often than the service buttons.
constexpr int kButtons[] = {
    ids::kProgram,
    ids::kProgram,
    ids::kProgram,
    ids::kProgram,
    ids::kProgram,
    ids::kProgram,
    ids::kLoadToWriterBuffer,
    ids::kLoadToWriterBuffer,
    ids::kLoadToWriterBuffer,
    ids::kLoadToWriterBuffer,
    ids::kOpen,
    ids::kOpen,
    ids::kOpen,
    ids::kResetCounter,
    ids::kVerifyBuffer,
    ids::kProgramFlash,
    ids::kBufferBlankCheck,
    ids::kEraseFlash,
    ids::kGetInfo,
    ids::kSetInfo,
    ids::kGetOtpInfo,
    ids::kSetOtpInfo,
    ids::kReadData,
    ids::kLampTest,
};
constexpr sim::Operation kSocketOperations[] = {
    sim::Operation::BlankCheck,       sim::Operation::Program,    sim::Operation::Verify,
    sim::Operation::TrimIhrc,         sim::Operation::ReadOtp,    sim::Operation::EraseBuffer,
    sim::Operation::BlankCheckBuffer, sim::Operation::LoadBuffer, sim::Operation::VerifyBuffer,
};
constexpr sim::TransportFaultKind kTransportFaults[] = {
    sim::TransportFaultKind::ReadTimeout, sim::TransportFaultKind::ShortRead,
    sim::TransportFaultKind::ReadFails,   sim::TransportFaultKind::WriteTimeout,
    sim::TransportFaultKind::WriteFails,  sim::TransportFaultKind::Unplug,
};
// A real hang of the program, not a slow machine: the run stops with the seed.
constexpr auto kHungAfter = std::chrono::seconds(120);

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class World {
public:
    explicit World(const OperatorRun& run);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    OperatorOutcome Run();

private:
    int Uniform(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random_);
    }
    bool Chance(int percent) { return Uniform(0, 99) < percent; }
    template <size_t N> int Pick(const int (&items)[N]) { return items[Uniform(0, int(N) - 1)]; }

    void Note(const std::string& step);
    // A transfer waits at the gate and nothing let through is still on its way.
    bool Held() { return gate_->Holding(); }
    bool UiHeld() { return Held() && gate_->Waiter() == uiThread_; }
    // The user-interface thread can take a click now.
    bool UiFree() { return !UiHeld() && host_->UiIdle(); }

    void Step();
    void Settle();
    void EndEpoch();
    invariant::Observation Observe();
    bool SettingsWritable();

    void ClickButton();
    void OpenImage();
    void PickBody();
    void MoveTime();
    void SwapChip();
    void InjectFault();
    void PlugOrUnplug();
    void ToggleSettings();
    void ChangeImageOnDisk();
    void StartOrStopStress();
    std::string MakeImage(int body);
    void SettleKernel();

    const OperatorRun run_;
    std::mt19937 random_;
    std::mutex answersLock_;
    std::mt19937 answers_;
    testsupport::ProgramFolder folder_;
    port::ManualClock clock_{1000};
    port::ManualClock progressClock_;
    std::shared_ptr<sim::Bus> bus_;
    std::shared_ptr<sim::Writer> writer_;
    std::shared_ptr<TransferGate> gate_ = std::make_shared<TransferGate>();
    std::unique_ptr<app::headless::HeadlessHost> host_;
    std::unique_ptr<app::CBurnwrightDlg> dlg_;
    std::thread::id uiThread_;
    bool developer_ = false;
    std::vector<std::string> images_;
    int imageSerial_ = 0;

    // The epoch since the window was last idle.
    invariant::Observation before_;
    uint64_t passedAtEpoch_ = 0;
    uint64_t faultsHitAtEpoch_ = 0;
    bool writerDisturbed_ = false;
    bool settingsDisturbed_ = false;
    bool resetInEpoch_ = false;

    std::deque<std::string> trace_;
    OperatorOutcome outcome_;
};

World::World(const OperatorRun& run)
    : run_(run), random_(run.seed), answers_(run.seed ^ 0x5bd1e995u) {
    fs::copy_file(BURNWRIGHT_PROFILE, folder_.File("OTPBodyProfile.xml"));
    core::C_Profiler settings(folder_.SettingsPath());
    developer_ = Chance(80);
    if (developer_)
        settings.WriteString(keys::kGeneral, keys::kDevelopVersion, keys::kDevelopPassword);
    settings.WriteString(keys::kFile, keys::kDeviceBodyIndex, "12");
    if (Chance(50))
        settings.WriteString(keys::kGeneral, keys::kLoadBlockBytes, "4096");
    bus_ = std::make_shared<sim::Bus>(clock_);
    writer_ = bus_->AddWriterWithChips();
    std::unique_ptr<port::DeviceIo> backend = std::make_unique<sim::SimDeviceIo>(bus_);
#ifdef BURNWRIGHT_KERNEL_STACK
    if (run.throughDriver)
        backend = std::make_unique<driver::simstack::KernelStack>(bus_);
#endif
    usb::InstallLinkBackend(std::make_unique<GatedDeviceIo>(std::move(backend), gate_), clock_);
    host_ = std::make_unique<app::headless::HeadlessHost>(clock_, usb::LinkBackend());
    uiThread_ = host_->UiThread();
    // Questions get a random answer; the rest of the boxes are plain.
    // Questions get a random answer of their own (a worker asks them while
    // the operator waits); the rest of the boxes are plain.
    host_->SetBoxAnswerer([this](const std::string& text, unsigned flags) {
        std::lock_guard<std::mutex> hold(answersLock_);
        auto chance = [this](int percent) {
            return std::uniform_int_distribution<int>(0, 99)(answers_) < percent;
        };
        const unsigned buttons = flags & 0x0F;
        if (text == app::kUpdatePrompt)
            return int(core::kIdNo);
        if (buttons == core::kMbOkCancel)
            return int(chance(text.rfind("Load", 0) == 0 ? 85 : 50) ? core::kIdOk
                                                                    : core::kIdCancel);
        if (buttons == core::kMbYesNo)
            return int(chance(50) ? core::kIdYes : core::kIdNo);
        return int(core::kIdOk);
    });
    app::WindowServices services;
    services.clock = &clock_;
    services.progressClock = &progressClock_;
    services.localTime = [] { return port::LocalTime{2026, 12, 9, 14, 5, 7, 0}; };
    dlg_ = std::make_unique<app::CBurnwrightDlg>(*host_, services);
    host_->Start(*dlg_);
    host_->Click(ids::kMultiDevice);
    host_->WaitIdle();
    gate_->Close();
    host_->ClearRecord();
    before_ = Observe();
}

World::~World() {
    gate_->Open();
    host_->WaitIdle();
    dlg_.reset();
    host_.reset();
    usb::InstallLinkBackend(nullptr);
    std::error_code error;
    fs::permissions(folder_.SettingsPath(), fs::perms::owner_all, fs::perm_options::add, error);
}

void World::Note(const std::string& step) {
    trace_.push_back(std::to_string(outcome_.stepsDone) + ": " + step);
    if (trace_.size() > (std::getenv("BURNWRIGHT_RANDOM_OPERATOR_TRACE") ? 100000u : 40u))
        trace_.pop_front();
}

OperatorOutcome World::Run() {
    try {
        for (; outcome_.stepsDone < run_.steps; ++outcome_.stepsDone) {
            Step();
            Settle();
        }
        // The last action runs out, and the window is checked once more.
        gate_->Open();
        Note("run out");
        Settle();
    } catch (const Failure& failure) {
        outcome_.failure = failure.what();
        // Said at once: should the window not end cleanly, the seed is known.
        std::fprintf(stderr, "random operator: seed %u%s failed at step %d: %s\n", run_.seed,
                     run_.throughDriver ? " through LINKPOD" : "", outcome_.stepsDone,
                     outcome_.failure.c_str());
        // Whatever still waits for the writer ends with it.
        gate_->Open();
        if (writer_->Plugged())
            bus_->Unplug(writer_->Member());
    }
    outcome_.trace.assign(trace_.begin(), trace_.end());
    return outcome_;
}

void World::Step() {
    if (Held()) {
        // An action waits at the writer: let it go on a little, or all the
        // way; or act meanwhile (the window refuses what it must).
        const int roll = Uniform(0, 99);
        const int letting = UiHeld() ? 80 : 45;
        if (roll < letting) {
            const int transfers = Chance(80) ? Uniform(1, 8) : Uniform(9, 60);
            Note("let " + std::to_string(transfers) + " transfers");
            gate_->Let(transfers);
            return;
        }
        if (roll < letting + 4) {
            Note("let the action run out");
            gate_->Open();
            Settle();
            gate_->Close();
            return;
        }
    }
    const int roll = Uniform(0, 99);
    if (roll < 25) {
        if (!UiFree())
            return;
        int id = 0;
        const int which = Uniform(0, 9);
        if (which < 6)
            id = ids::kSocketBoxBase + Uniform(0, 15);
        else if (which < 9)
            id = Pick(kOperationBoxes);
        else
            id = ids::kSelectAllSockets;
        Note("click box " + std::to_string(id));
        host_->ClickLater(id);
        return;
    }
    if (roll < 65)
        return ClickButton();
    if (roll < 68)
        return PickBody();
    if (roll < 76)
        return MoveTime();
    if (roll < 84)
        return SwapChip();
    if (roll < 89)
        return InjectFault();
    if (roll < 91)
        return PlugOrUnplug();
    if (roll < 93)
        return ToggleSettings();
    if (roll < 95)
        return ChangeImageOnDisk();
    return StartOrStopStress();
}

void World::ClickButton() {
    if (!UiFree())
        return;
    const int id = Pick(kButtons);
    if (id == ids::kOpen)
        return OpenImage();
    if (Held() && Chance(40)) {
        // A host that lets a click through whatever it shows: the logic
        // itself must refuse while the writer is held.
        const int any = Pick(kActionControls);
        Note("logic asked for " + std::to_string(any) + " while held");
        host_->RunLater([this, any] { dlg_->OnCommand(any); });
        return;
    }
    Note("click " + std::to_string(id));
    if (id == ids::kResetCounter && host_->Enabled(id) && host_->Visible(id))
        resetInEpoch_ = true;
    host_->ClickLater(id);
}

std::string World::MakeImage(int body) {
    image::tool::MakeOptions make;
    make.body = body;
    make.seed = uint32_t(Uniform(1, 1 << 30));
    make.out = folder_.File("image" + std::to_string(++imageSerial_) + ".bin");
    std::ostringstream out, err;
    if (image::tool::Make(make, out, err) != 0)
        throw Failure("image make for body " + std::to_string(body) + ": " + err.str());
    images_.push_back(make.out);
    return make.out;
}

void World::OpenImage() {
    if (!UiFree())
        return;
    const int body = host_->GetComboSelection(ids::kBodyCombo);
    const int kind = Uniform(0, 9);
    std::optional<std::string> answer;
    std::string what;
    if (kind < 5 || images_.empty()) {
        answer = MakeImage(body > 0 ? body : 12);
        what = "a good image";
    } else if (kind < 7) {
        answer = images_[size_t(Uniform(0, int(images_.size()) - 1))];
        what = "an earlier image";
    } else if (kind < 8) {
        answer = folder_.File("short.bin");
        testsupport::ProgramFolder::Write(*answer, std::string(size_t(Uniform(1, 3000)), 'x'));
        what = "a short file";
    } else if (kind < 9) {
        answer = folder_.File("gone.bin");
        what = "a missing file";
    } else {
        what = "nothing (cancelled)";
    }
    Note("open " + what);
    host_->AnswerFileDialog(answer);
    host_->ClickLater(ids::kOpen);
}

void World::PickBody() {
    if (!UiFree())
        return;
    const int body = Pick(kBodies);
    Note("choose body " + std::to_string(body));
    // The file dialog that follows a body change is cancelled; Open is a step
    // of its own.
    host_->RunLater([this, body] {
        if (!host_->IsControlEnabled(ids::kBodyCombo))
            return;
        host_->SetComboSelection(ids::kBodyCombo, body);
        dlg_->OnCommand(ids::kBodyCombo);
    });
}

void World::MoveTime() {
    // Timers run on the user-interface thread and may start a pass; with the
    // gate closed a pass they start waits at its first transfer.
    if (!UiFree() || host_->PendingFileAnswers() > 0)
        return;
    const int ms = Pick({1, 50, 500, 1500, 3000});
    Note("time +" + std::to_string(ms) + " ms");
    host_->AdvanceTime(uint64_t(ms));
}

void World::SwapChip() {
    // Chips change between actions, when the window is idle: the invariant
    // holds the program to what it did to the chips it was given.
    if (!host_->Idle() || Held())
        return;
    const int socket = Uniform(0, 15);
    const int kind = Uniform(0, 4);
    if (kind >= 3) {
        Note("a new batch of chips");
        for (int i = 0; i < sim::kSocketCount; ++i) {
            writer_->RemoveChip(i);
            if (Chance(90))
                writer_->InsertChip(i);
        }
    } else if (kind == 0) {
        Note("remove chip " + std::to_string(socket));
        writer_->RemoveChip(socket);
    } else {
        Note("new chip in " + std::to_string(socket));
        writer_->RemoveChip(socket);
        writer_->InsertChip(socket);
    }
    before_ = Observe();
}

void World::InjectFault() {
    if (Chance(60)) {
        const int socket = Uniform(0, 15);
        const sim::Operation op = kSocketOperations[Uniform(0, 8)];
        Note("socket " + std::to_string(socket) + " fails " + sim::OperationName(op) + " once");
        writer_->FailSocket(socket, op, 1);
        return;
    }
    sim::TransportFault fault;
    // Through LINKPOD a transfer the writer never answers stays pending in
    // the kernel, where nothing tells the operator it hangs: timeouts are
    // left to the in-process route.
    constexpr int kAnswered[] = {1, 2, 4, 5}; // no timeouts
    fault.kind = kTransportFaults[run_.throughDriver ? Pick(kAnswered) : Uniform(0, 5)];
    fault.atTransfer = writer_->TransferCount() + uint64_t(Uniform(1, 40));
    if (fault.kind == sim::TransportFaultKind::ReadTimeout ||
        fault.kind == sim::TransportFaultKind::ShortRead ||
        fault.kind == sim::TransportFaultKind::ReadFails)
        fault.direction = sim::Direction::Read;
    else if (fault.kind != sim::TransportFaultKind::Unplug)
        fault.direction = sim::Direction::Write;
    fault.shortBytes = size_t(Uniform(0, 63));
    Note("transport fault " + std::to_string(int(fault.kind)) + " at transfer " +
         std::to_string(fault.atTransfer));
    writer_->AddTransportFault(fault);
}

void World::SettleKernel() {
#ifdef BURNWRIGHT_KERNEL_STACK
    if (auto* gated = dynamic_cast<GatedDeviceIo*>(usb::LinkBackend()))
        if (auto* kernel = dynamic_cast<driver::simstack::KernelStack*>(&gated->Inner()))
            kernel->Settle();
#endif
}

void World::PlugOrUnplug() {
    writerDisturbed_ = true;
    if (writer_->Plugged()) {
        Note("unplug");
        bus_->Unplug(writer_->Member());
    } else {
        Note("plug in");
        bus_->Plug(writer_->Member());
    }
    SettleKernel();
}

bool World::SettingsWritable() {
    std::error_code error;
    const fs::perms perms = fs::status(folder_.SettingsPath(), error).permissions();
    return error || (perms & fs::perms::owner_write) != fs::perms::none;
}

void World::ToggleSettings() {
    settingsDisturbed_ = true;
    std::error_code error;
    const bool writable = SettingsWritable();
    Note(writable ? "settings file read-only" : "settings file writable");
    fs::permissions(folder_.SettingsPath(), fs::perms::owner_write,
                    writable ? fs::perm_options::remove : fs::perm_options::add, error);
}

void World::ChangeImageOnDisk() {
    if (!host_->Idle() || Held() || images_.empty())
        return;
    const std::string& path = images_[size_t(Uniform(0, int(images_.size()) - 1))];
    if (!fs::exists(path) || Chance(30)) {
        Note("image " + path + " deleted");
        fs::remove(path);
        return;
    }
    // A byte raised by one: the image's byte sum changes with it.
    std::string bytes = testsupport::ProgramFolder::Read(path);
    if (bytes.empty())
        return;
    const size_t at = size_t(Uniform(0, int(bytes.size()) / 2));
    bytes[at] = char(uint8_t(bytes[at]) == 0xFF ? 0x00 : uint8_t(bytes[at]) + 1);
    Note("image " + path + " changed on disk at " + std::to_string(at));
    testsupport::ProgramFolder::Write(path, bytes);
}

void World::StartOrStopStress() {
    if (!developer_ || !UiFree())
        return;
    const int count = Uniform(1, 3);
    const int interval = Pick({100, 700, 1500});
    Note("stress " + std::to_string(count) + " every " + std::to_string(interval) + " ms");
    host_->RunLater([this, count, interval] {
        if (!dlg_->State().stressRunning) {
            host_->SetControlText(ids::kStressCount, std::to_string(count));
            host_->SetControlText(ids::kStressInterval, std::to_string(interval));
        }
    });
    host_->ClickLater(ids::kStress);
}

void World::Settle() {
    const auto start = Steady::now();
    usb::TransferLock& lock = usb::USBInfo()->Transfer().Lock();
    for (;;) {
        if (Held() && lock.Waiters() > 0)
            throw Failure("a second user waits for the writer while an action holds it");
        if (Held() && (host_->UiIdle() || UiHeld())) {
            if (!UiHeld()) {
                // A worker holds the writer: no action may be started.
                for (int id : kActionControls)
                    if (host_->Enabled(id))
                        throw Failure("control " + std::to_string(id) +
                                      " is enabled while a worker uses the writer");
                ++outcome_.heldChecks;
            }
            return;
        }
        if (gate_->Waiting() == 0 && host_->Idle()) {
            if (!gate_->IsOpen())
                gate_->Close(); // what was let through and not taken lapses
            host_->DropFileAnswers();
            EndEpoch();
            return;
        }
        if (gate_->Waiting() == 0 && writer_->WaitingTransfers() > 0 && writer_->Plugged()) {
            // A transfer waits without end: the operator pulls the writer.
            Note("a transfer hangs: unplug");
            writerDisturbed_ = true;
            bus_->Unplug(writer_->Member());
            SettleKernel();
            continue;
        }
        if (Steady::now() - start > kHungAfter)
            throw Failure("the window did not settle (transfers at the gate " +
                          std::to_string(gate_->Waiting()) + ", let through " +
                          std::to_string(gate_->Allowance()) + ", waiting for the transfer lock " +
                          std::to_string(lock.Waiters()) + ", hanging at the writer " +
                          std::to_string(writer_->WaitingTransfers()) + ", user-interface thread " +
                          (host_->UiIdle() ? "idle" : "busy") + ")");
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

invariant::Observation World::Observe() {
    return invariant::ObserveWindow(*host_, *writer_, folder_.SettingsPath());
}

void World::EndEpoch() {
    const bool transfers = gate_->Passed() != passedAtEpoch_;
    if (transfers) {
        invariant::Observation before = before_;
        invariant::Observation after = Observe();
        invariant::Report report = invariant::ReadWindowReport(*host_, *dlg_, true, 0);
        auto inSync = [&](const char* place) {
            return before.counters.count(place) &&
                   before.counters.at(place) == before.counters.at("window");
        };
        const bool writerFaulted = writer_->TransportFaultsHit() != faultsHitAtEpoch_;
        std::vector<std::string> dropped;
        if (writerDisturbed_ || writerFaulted || !writer_->Plugged() || !inSync("writer"))
            dropped.push_back("writer");
        if (settingsDisturbed_ || !SettingsWritable() || !inSync("settings"))
            dropped.push_back("settings");
        if (resetInEpoch_) {
            // A reset is no counted step: the counters are left out.
            dropped = {"writer", "settings", "window"};
            report.countersFrom.clear();
        }
        for (const std::string& place : dropped) {
            before.counters.erase(place);
            after.counters.erase(place);
        }
        const std::vector<std::string> breaches = invariant::Check(before, after, report);
        ++outcome_.checks;
        for (invariant::Reported r : report.sockets) {
            outcome_.chipsOk += r == invariant::Reported::Ok;
            outcome_.chipsFailed += r == invariant::Reported::Failed;
        }
        if (!breaches.empty()) {
            std::string all;
            for (const std::string& breach : breaches)
                all += "\n  " + breach;
            std::string image;
            host_->RunOnUi([&] {
                if (image::C_OTPBinFile* object = dlg_->Engine().GetImage())
                    image = object->GetFileName();
            });
            if (std::getenv("BURNWRIGHT_RANDOM_OPERATOR_TRACE"))
                for (const std::string& event : host_->Events())
                    std::fprintf(stderr, "  event %s\n", event.c_str());
            throw Failure("the invariant broke:" + all + "\n  window: body " +
                          std::to_string(host_->GetComboSelection(ids::kBodyCombo)) + ", file \"" +
                          host_->Text(ids::kFileName) + "\", image object \"" + image + "\"" +
                          (fs::exists(image) ? "" : " (gone)"));
        }
    }
    host_->ClearRecord();
    before_ = Observe();
    passedAtEpoch_ = gate_->Passed();
    faultsHitAtEpoch_ = writer_->TransportFaultsHit();
    writerDisturbed_ = false;
    settingsDisturbed_ = false;
    resetInEpoch_ = false;
}

} // namespace

OperatorOutcome RunRandomOperator(const OperatorRun& run) {
    World world(run);
    return world.Run();
}

} // namespace apptest
