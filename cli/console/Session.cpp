#include "cli/console/Session.h"

#include "cli/console/Interrupt.h"

#include "core/Errors.h"
#include "core/Profiler.h"
#include "firmware/FWUpdate.h"
#include "image/OTPBodyProfiler.h"
#ifdef _WIN32
#include "sim/SimDeviceIo.h"
#else
#include "driver/simstack/Backend.h"
#endif
#include "sim/StepTime.h"
#include "usb/ProcessLink.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <thread>

namespace cli {
namespace ids = app::ids;
namespace {

constexpr uint32_t kPollMs = 20;
// The texts each step sets before its result word is appended.
constexpr std::pair<const char*, const char*> kStepTexts[] = {
    {"Blank Check ... ", "Blank Check"},
    {"Program ...", "Program"},
    {"Verify ... ", "Verify"},
    {"Trim IHRC ... ", "Trim IHRC"},
};
constexpr const char* kRecordLabels[] = {"Blank Check", "Program", "Verify"};

bool IsStateWord(const std::string& word) {
    return word == "OK" || word == "Fail" || word == "Init" || word == "Busy";
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

const char* StateWord(int state) {
    switch (state) {
    case 1:
        return "OK";
    case 2:
        return "Busy";
    case 3:
        return "Fail";
    default:
        return "Init";
    }
}

const char* LampName(int bitmap) {
    switch (bitmap) {
    case ids::kBitmapRed:
        return "red";
    case ids::kBitmapBlue:
        return "blue";
    case ids::kBitmapGreen:
        return "green";
    default:
        return "grey";
    }
}

Session::Session(CommonOptions options, std::ostream& err)
    : options_(std::move(options)), err_(err) {}

Session::~Session() {
    if (host_)
        host_->WaitIdle();
    dlg_.reset();
    host_.reset();
}

bool Session::Stopping() const {
    return stop_ || Interrupted();
}

void Session::LoadClock::SleepMs(uint32_t ms) {
    // In slices of the process's clock (which may be a simulated writer's
    // virtual time), looking for a stop between them.
    const uint64_t end = NowMs() + ms;
    for (uint64_t now = NowMs(); now < end; now = NowMs()) {
        if (cuttable && session_.Stopping())
            return;
        port::SystemClock().SleepMs(static_cast<uint32_t>(std::min<uint64_t>(end - now, kPollMs)));
    }
}

int Session::Start(int body) {
    usb::C_USBInfo& link = *usb::USBInfo();
    if (body > 0 && image::C_OTPBodyProfiler().Find(body))
        core::C_OTPProfiler().WriteInt(core::settings::kFile, core::settings::kDeviceBodyIndex,
                                       body);
    if (!options_.writer.empty()) {
        std::string path, message;
        const WriterLookup found = ResolveWriter(options_.writer, path, message);
        if (found != WriterLookup::Found) {
            err_ << "burnwright-cli: " << message << "\n";
            return found == WriterLookup::Malformed ? kExitUsage : kExitNoWriter;
        }
        link.SetOnlyPath(path);
    }
    ConsoleOptions console;
    console.yes = options_.yes;
    console.quiet = options_.quiet;
    console.programUninitialized = options_.programUninitialized;
    console.updateFirmware = options_.updateFirmware;
    console.updateCommand = updateCommand_;
    console.waitForUpdate = options_.waitForUpdate;
    console.stopping = [this] { return Stopping(); };
    host_ = std::make_unique<ConsoleHost>(timerClock_, console, err_);
    app::WindowServices services;
    services.clock = &clock_;
    services.stopRequested = [this] { return Stopping(); };
#ifdef _WIN32
    // Windows reaches the simulated writers in-process only.
    if (auto* direct = dynamic_cast<sim::SimDeviceIo*>(usb::LinkBackend()))
        bus_ = direct->GetBus();
#else
    bus_ = driver::simstack::SimulatedBus(usb::LinkBackend());
#endif
    if (bus_ && bus_->Wire().On())
        services.wireTime = [bus = bus_] { return bus->Wire().NowMs(); };
    dlg_ = std::make_unique<app::CBurnwrightDlg>(*host_, std::move(services));
    host_->Start(*dlg_);
    host_->WaitIdle();
    if (host_->DialogResult()) {
        err_ << "burnwright-cli: the program was told to exit during start-up.\n";
        return kExitQuestionFailed;
    }
    if (!link.IsOpened()) {
        err_ << "burnwright-cli: no writer could be attached";
        bool bootLoader = false;
        host_->RunOnUi([&] {
            // Only a writer left in its boot loader answers device type 0.
            link.SetBodyType(usb::kIceBodyFirmwareUpdate);
            bootLoader = link.Open() && link.ReadDeviceType() == 0;
            link.Close();
            link.SetBodyType(usb::kIceBodyWriter);
        });
        if (bootLoader)
            err_ << ": the writer is in its boot loader (a firmware update did not finish); put "
                 << firmware::kFirmwareFileName
                 << " beside the program and run `burnwright-cli --yes firmware update`";
        err_ << ".\n";
        return kExitNoWriter;
    }
    // The 16-socket layout, so that every socket's box can be clicked.
    if (!host_->Check(ids::kMultiDevice))
        host_->Click(ids::kMultiDevice);
    return CheckDeveloper();
}

int Session::CheckDeveloper() {
    if (options_.developer && !dlg_->State().developerMode) {
        err_ << "burnwright-cli: --developer needs developer mode, which the settings file beside "
                "the program does not allow.\n";
        return kExitUsage;
    }
    return kExitOk;
}

int Session::CheckBodyIndex(int body) {
    const int count = static_cast<int>(host_->Control(ids::kBodyCombo).items.size());
    if (count <= 1) {
        // The body list is empty when the profile beside the program could
        // not be read; the messages above said why.
        err_ << "burnwright-cli: there are no chip bodies to choose from: the program folder holds "
                "no usable "
             << image::kProfileFileName << " (the messages above say why).\n";
        return kExitProgramFolder;
    }
    if (body < 1 || body >= count) {
        err_ << "burnwright-cli: --body must be 1 to " << count - 1
             << "; `burnwright-cli bodies` lists them.\n";
        return kExitUsage;
    }
    return kExitOk;
}

int Session::SelectBody(int body) {
    if (const int code = CheckBodyIndex(body); code != kExitOk)
        return code;
    if (Body() != body) {
        // A new body opens the file dialog at once; nothing is chosen here.
        host_->AnswerFileDialog(std::nullopt);
        host_->SelectBody(body);
        host_->Wait(1);
        host_->WaitIdle();
    }
    return BodyTaken(body);
}

int Session::BodyTaken(int body) {
    if (Body() == body)
        return kExitOk;
    // The window refused the body; its message and the reason were shown.
    err_ << "burnwright-cli: body " << body << " cannot be chosen.\n";
    return kExitUsage;
}

int Session::OpenImage(int body, const std::string& file) {
    if (file.find_first_of("\r\n") != std::string::npos) {
        // The settings file keeps the last image's path on one line.
        err_ << "burnwright-cli: the image file name holds a line break, which the settings file "
                "cannot keep; rename the file.\n";
        return kExitImageRefused;
    }
    std::error_code error;
    const std::string path = std::filesystem::absolute(file, error).string();
    if (error || !std::filesystem::is_regular_file(path, error)) {
        err_ << "burnwright-cli: cannot read the image file " << file << ".\n";
        return kExitImageRefused;
    }
    if (const int code = CheckBodyIndex(body); code != kExitOk)
        return code;
    host_->AnswerFileDialog(path);
    if (Body() != body) {
        host_->SelectBody(body);
        if (const int code = BodyTaken(body); code != kExitOk)
            return code;
        host_->Wait(1); // the body change opens the file dialog on its timer
    } else {
        host_->Click(ids::kOpen);
    }
    host_->WaitIdle();
    if (host_->Text(ids::kFileName) != path) {
        err_ << "burnwright-cli: the image " << file << " was refused for body " << body << ".\n";
        return kExitImageRefused;
    }
    return kExitOk;
}

bool Session::SetBox(int id, bool want, const char* caption) {
    if ((host_->Check(id) != 0) == want)
        return true;
    if (!host_->Visible(id) && dlg_->State().developerMode) {
        err_ << "burnwright-cli: \"" << caption << "\" is not offered for body " << Body() << " "
             << BodyName() << ".\n";
        return false;
    }
    if (!host_->Enabled(id) || !host_->Visible(id)) {
        err_ << "burnwright-cli: \"" << caption
             << "\" cannot be changed now: the window keeps it disabled"
             << (dlg_->State().developerMode ? "" : " outside developer mode until a load (--load)")
             << ".\n";
        return false;
    }
    host_->Click(id);
    return true;
}

int Session::SelectSockets(const std::optional<std::vector<int>>& sockets) {
    if (!sockets)
        return kExitOk;
    for (int i = 0; i < ids::kSocketCount; ++i) {
        bool want = false;
        for (int s : *sockets)
            want = want || s == i + 1;
        const std::string caption = "#" + std::to_string(i + 1);
        if (!SetBox(ids::kSocketBoxBase + i, want, caption.c_str()))
            return kExitUsage;
    }
    // The writer forgets the sockets left out: a socket it still holds as OK
    // from an earlier load or pass would otherwise be taken into the pass's
    // later steps.
    int sent = 0;
    host_->RunOnUi([&] { sent = dlg_->Engine().SendSocketStates(); });
    if (!sent) {
        err_ << "burnwright-cli: the writer did not take the socket selection.\n";
        return kExitNoWriter;
    }
    return kExitOk;
}

int Session::SetOperations(const Operations& ops) {
    if (!ops.Any()) {
        if (host_->Check(ids::kSelectAllOperations))
            return kExitOk;
        return SetBox(ids::kSelectAllOperations, true, "Select All") ? kExitOk : kExitUsage;
    }
    const bool ok = SetBox(ids::kOpBlankCheck, ops.blankCheck, "Blank Check") &&
                    SetBox(ids::kOpProgram, ops.program, "Program") &&
                    SetBox(ids::kOpVerify, ops.verify, "Verify") &&
                    SetBox(ids::kIhrcTrim, ops.ihrc, "IHRC Trim");
    return ok ? kExitOk : kExitUsage;
}

std::vector<int> Session::Ticked() {
    std::vector<int> ticked;
    for (int i = 0; i < ids::kSocketCount; ++i)
        if (host_->Check(ids::kSocketBoxBase + i))
            ticked.push_back(i);
    return ticked;
}

int Session::TickedSockets() {
    return static_cast<int>(Ticked().size());
}

std::array<size_t, 3> Session::RecordCounts() {
    std::array<size_t, 3> counts{};
    for (int n = 0; n < 3; ++n)
        counts[n] = dlg_->StepRecords(n).size();
    return counts;
}

void Session::Collect(ActionResult& result, const std::vector<int>& ticked,
                      const std::array<size_t, 3>& recordsBefore) {
    std::array<uint8_t, ids::kSocketCount> states{};
    host_->RunOnUi([&] {
        const auto& engineStates = dlg_->Engine().GetSocketStates();
        std::copy(engineStates.begin(), engineStates.end(), states.begin());
    });
    result.sockets.clear();
    for (int i = 0; i < ids::kSocketCount; ++i) {
        SocketResult socket;
        socket.socket = i + 1;
        socket.enabled = std::find(ticked.begin(), ticked.end(), i) != ticked.end();
        socket.state = states[i];
        socket.text = host_->Text(ids::kStatusTextBase + i);
        socket.lamp = host_->Control(ids::kLampBase + i).picture;
        result.sockets.push_back(socket);
    }
    // Each status text the window set, in order: "text 1201 Program ...OK".
    for (const std::string& event : host_->Events()) {
        if (event.rfind("text ", 0) != 0)
            continue;
        const size_t space = event.find(' ', 5);
        if (space == std::string::npos)
            continue;
        const int id = std::atoi(event.substr(5, space - 5).c_str());
        if (id < ids::kStatusTextBase || id >= ids::kStatusTextBase + ids::kSocketCount)
            continue;
        const std::string text = event.substr(space + 1);
        for (const auto& [prefix, name] : kStepTexts) {
            const std::string head = prefix;
            if (text.size() > head.size() && text.compare(0, head.size(), head) == 0 &&
                IsStateWord(text.substr(head.size())))
                result.sockets[static_cast<size_t>(id - ids::kStatusTextBase)].steps[name] =
                    text.substr(head.size());
        }
    }
    result.steps.clear();
    for (int n = 0; n < 3; ++n) {
        const auto records = dlg_->StepRecords(n);
        const auto wire = dlg_->WireRecords(n);
        for (size_t r = recordsBefore[n]; r < records.size(); ++r) {
            result.steps.push_back({kRecordLabels[n],
                                    records[r].ok,
                                    records[r].fail,
                                    records[r].init,
                                    records[r].milliseconds,
                                    {}});
            if (r < wire.size())
                result.steps.back().wireMilliseconds = wire[r];
        }
    }
    // Summary lines are written in step order; the lists are per operation.
    std::stable_sort(result.steps.begin(), result.steps.end(), [](auto& a, auto& b) {
        auto rank = [](const std::string& op) {
            return op == "Blank Check" ? 0 : op == "Program" ? 1 : 2;
        };
        return rank(a.operation) < rank(b.operation);
    });
    result.okCount = dlg_->State().okCount;
    result.failCount = dlg_->State().failCount;
    result.elapsed = host_->Text(ids::kElapsed);
}

int Session::Verdict(const ActionResult& result) {
    if (result.stopped)
        return kExitStopped;
    if (host_->QuestionFailed())
        return kExitQuestionFailed;
    if (host_->ErrorShown() || !usb::USBInfo()->IsOpened())
        return kExitNoWriter;
    for (const SocketResult& s : result.sockets)
        if (s.enabled && s.state != 1)
            return kExitChipsFailed;
    return kExitOk;
}

namespace {

// How the writer's verify of its buffer is waited for: the body index is
// the engine's wait mode.
std::string VerifyWait(int body) {
    if (body == engine::kWaitPoll)
        return "a status check every 2.5 s, up to 125 s";
    if (body == engine::kWaitLong)
        return "a wait of 30 s, then a status check";
    return "one status check";
}

} // namespace

int Session::Load(ActionResult& result) {
    const std::vector<int> ticked = Ticked();
    if (ticked.empty()) {
        err_ << "burnwright-cli: no socket is enabled (no chip, or none selected); nothing to "
                "load.\n";
        return kExitNothingToDo;
    }
    int words = 0;
    host_->RunOnUi([&] {
        if (image::C_OTPBinFile* image = dlg_->Engine().GetImage())
            words = image->GetWordImageSize();
    });
    const int padded = (words + 255) / 256 * 256;
    host_->SetStageDetails(std::to_string(padded) + " bytes (" + std::to_string(padded / 64) +
                               " packets) into the writer buffer",
                           VerifyWait(Body()), 0);
    host_->ClearRecord();
    const auto before = RecordCounts();
    const sim::StepTime time(bus_.get());
    clock_.cuttable = true;
    host_->Click(ids::kLoadToWriterBuffer);
    host_->WaitIdle();
    clock_.cuttable = false;
    Collect(result, ticked, before);
    result.stopped = Stopping();
    if (time.WireOn()) {
        result.hostMilliseconds = time.HostMs();
        result.wireMilliseconds = time.WireMs();
    }
    return Verdict(result);
}

void Session::WaitForPass() {
    while (dlg_->IsPassRunning())
        SleepMs(kPollMs);
    host_->WaitIdle();
}

int Session::StepsPerPass() {
    const app::WindowState& s = dlg_->State();
    return s.blankCheck + s.program + s.verify + s.ihrcTrim + s.lvdTrim;
}

int Session::Pass(ActionResult& result) {
    const std::vector<int> ticked = Ticked();
    if (ticked.empty()) {
        err_ << "burnwright-cli: no socket is enabled (no chip, or none selected); nothing to "
                "program.\n";
        return kExitNothingToDo;
    }
    host_->SetStageDetails("", "", StepsPerPass());
    host_->ClearRecord();
    const auto before = RecordCounts();
    host_->Click(ids::kProgram);
    WaitForPass();
    Collect(result, ticked, before);
    result.stopped = Stopping();
    return Verdict(result);
}

int Session::Stress(int count, int intervalMs, std::vector<ActionResult>& passes,
                    const std::function<void(const ActionResult&)>& onPass) {
    if (!host_->Visible(ids::kStress)) {
        err_ << "burnwright-cli: stress runs are a developer-mode button; the settings file does "
                "not allow developer mode.\n";
        return kExitUsage;
    }
    if (Ticked().empty()) {
        err_ << "burnwright-cli: no socket is enabled (no chip, or none selected); nothing to "
                "program.\n";
        return kExitNothingToDo;
    }
    host_->SetStageDetails("", "", StepsPerPass());
    host_->Type(ids::kStressCount, std::to_string(count));
    host_->Type(ids::kStressInterval, std::to_string(intervalMs));
    host_->Click(ids::kStress);
    bool stopped = false;
    int verdict = kExitOk;
    while (dlg_->State().stressRunning) {
        if (Stopping() && !stopped) {
            stopped = true;
            host_->Click(ids::kStress); // "Stop !"
        }
        const auto timers = host_->ActiveTimers();
        uint32_t wait = kPollMs;
        if (auto end = timers.find(ids::kTimerStressEnd); end != timers.end())
            wait = std::min(end->second, kPollMs);
        else if (auto tick = timers.find(ids::kTimerStressTick); tick != timers.end())
            wait = std::min(tick->second, kPollMs);
        const std::vector<int> ticked = Ticked();
        host_->ClearRecord();
        const auto before = RecordCounts();
        host_->Wait(wait);
        if (!dlg_->IsPassRunning() && RecordCounts() == before)
            continue;
        WaitForPass();
        ActionResult pass;
        Collect(pass, ticked, before);
        pass.stopped = Stopping();
        if (pass.stopped && pass.steps.empty())
            continue; // stopped before its first step: no pass at all
        const int v = Verdict(pass);
        if (v != kExitOk && (verdict == kExitOk || v > verdict))
            verdict = v;
        host_->Progress("Stress pass " + std::to_string(passes.size() + 1) + " of " +
                        std::to_string(count) + " done\n");
        passes.push_back(std::move(pass));
        if (onPass)
            onPass(passes.back());
    }
    return passes.empty() ? (Stopping() ? kExitOk : kExitNothingToDo) : verdict;
}

int Session::Click(int controlId, const char* caption) {
    if (!host_->Visible(controlId) || !host_->Enabled(controlId)) {
        err_ << "burnwright-cli: \"" << caption << "\" is not available: the window "
             << (!dlg_->State().developerMode ? "shows it only in developer mode"
                 : host_->Visible(controlId)
                     ? "keeps it disabled now"
                     : "does not show it for body " + std::to_string(Body()) + " " + BodyName())
             << ".\n";
        return kExitUsage;
    }
    host_->ClearRecord();
    host_->Click(controlId);
    host_->WaitIdle();
    if (host_->QuestionFailed())
        return kExitQuestionFailed;
    if (host_->ErrorShown() || !usb::USBInfo()->IsOpened())
        return kExitNoWriter;
    return kExitOk;
}

WriterIdentity Session::Writer() {
    WriterIdentity writer;
    usb::C_USBInfo& link = *usb::USBInfo();
    writer.path = link.GetDevicePath();
    writer.member = MemberOf(writer.path).value_or(0);
    host_->RunOnUi([&] {
        firmware::C_FWUpdate& updater = *dlg_->Engine().GetUpdater();
        writer.answered = updater.GetWriterVersionString(writer.firmware) != 0;
        writer.serial = updater.GetWriterValue();
        writer.deviceType = link.GetLastDeviceType();
        writer.sockets = link.Query2F();
    });
    return writer;
}

std::string Session::ImageCheckSum() {
    std::string text;
    host_->RunOnUi([&] {
        if (image::C_OTPBinFile* image = dlg_->Engine().GetImage();
            image && !host_->Text(ids::kFileName).empty())
            text = core::Format("%X", image->GetCheckSum());
    });
    return text;
}

std::string Session::BodyName() {
    std::string name = host_->Control(ids::kBodyCombo).text;
    const size_t first = name.find_first_not_of(' ');
    const size_t last = name.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
}

} // namespace cli
