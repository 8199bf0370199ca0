// Every workflow of the window crossed with every transport fault, an unplug
// at each of its transfers (or a seeded sample of them) and, through the
// driver, a failed kernel allocation at each of its allocations. Each case
// checks that nothing hangs, the operator is told with the failing layer's own
// text, the settings file holds what was committed, the files beside the
// program are whole, the action controls come back, and that after a replug
// the writer attaches and a full pass succeeds.
#include "tests/faults/FaultRig.h"

#include "app/ControlIds.h"
#include "app/UpdateCheck.h"
#include "core/Profiler.h"
#include "core/Result.h"
#include "driver/kshim/Host.h"
#include "driver/simstack/KernelStack.h"
#include "firmware/FWUpdate.h"
#include "usb/ProcessLink.h"
#include "usb/WireLib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>

namespace faults {
namespace {
namespace ids = app::ids;
namespace keys = core::settings;

const sim::FirmwareVersion kShipped{9, 2, 0, 0, 0, 0};
// Unplug points per workflow when it has more transfers than this.
constexpr size_t kUnplugSample = 200;

enum class Kind {
    ReadTimeout,
    WriteTimeout,
    ShortRead,
    FailedWrite,
    StalledPipe,
    BusyLock,
    Unplug,
    Allocation
};

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::ReadTimeout:
        return "read timeout";
    case Kind::WriteTimeout:
        return "write timeout";
    case Kind::ShortRead:
        return "short read";
    case Kind::FailedWrite:
        return "failed write";
    case Kind::StalledPipe:
        return "stalled pipe";
    case Kind::BusyLock:
        return "busy lock";
    case Kind::Unplug:
        return "unplug";
    case Kind::Allocation:
        return "allocation";
    }
    return "?";
}

// A workflow: what runs before the fault is armed, and the step under fault.
// `from` says where its faults are armed: after the preparation (0), or at
// an offset from the update prompt (update workflows).
struct Workflow {
    const char* name;
    std::function<void(Rig&)> prepare;
    std::function<void(Rig&)> act;
    bool resetsCounters = false;
    bool clearsLog = false;
    // Update workflows: faults are armed at this offset after the update
    // prompt's transfer count (1: the application step, 4: the boot step).
    int fromPrompt = 0;
    // Runs passes, which the rig checks against the invariant one by one;
    // every other workflow must leave every chip and counter as it was.
    bool programs = false;
};

void StartOnBody(Rig& rig, int body) {
    rig.Setting(keys::kFile, keys::kDeviceBodyIndex, std::to_string(body));
    rig.Start();
}

std::vector<Workflow> Workflows() {
    auto started = [](Rig& rig) { rig.Start(); };
    auto opened = [](Rig& rig) {
        rig.Start();
        rig.OpenImage();
    };
    auto loaded = [](Rig& rig) {
        rig.Start();
        rig.OpenImage();
        rig.Load();
    };
    auto click = [](int id) {
        return [id](Rig& rig) {
            rig.host->Click(id);
            rig.host->WaitIdle();
        };
    };
    auto kl500 = [](Rig& rig) { StartOnBody(rig, 7); };
    auto shipped = [](Rig& rig) { rig.ShipFirmware(kShipped); };
    auto update = [](Rig& rig) { rig.Start({core::kIdYes}); };
    return {
        {"start-up and attach", nullptr, started},
        {"open and load", started,
         [](Rig& rig) {
             rig.OpenImage();
             rig.Load();
         }},
        {"full pass", loaded, [](Rig& rig) { rig.Pass(); }, false, false, 0, true},
        {"stress run", loaded, [](Rig& rig) { rig.Stress(2); }, false, true, 0, true},
        {"read-back", started, click(ids::kReadData)},
        {"get information", started, click(ids::kGetInfo)},
        {"set information", started, click(ids::kSetInfo)},
        {"get OTP information", kl500, click(ids::kGetOtpInfo)},
        {"set OTP information", kl500, click(ids::kSetOtpInfo)},
        {"counter reset", opened, click(ids::kResetCounter), true},
        {"update application", shipped, update, false, false, 1},
        {"update boot", shipped, update, false, false, 4},
    };
}

// The workflows whose names contain BURNWRIGHT_FAULT_ONLY, when it is set.
std::vector<Workflow> Selected() {
    const char* only = std::getenv("BURNWRIGHT_FAULT_ONLY");
    std::vector<Workflow> flows = Workflows();
    if (only)
        std::erase_if(flows, [only](const Workflow& f) {
            return std::string(f.name).find(only) == std::string::npos;
        });
    return flows;
}

// What a fault-free run of a workflow gives: its transfers, allocations and files.
struct Reference {
    uint64_t armedAt = 0;     // transfer count when faults are armed
    uint64_t transfers = 0;   // transfers of the step under fault
    uint64_t allocations = 0; // kernel allocations of the step (through the driver)
    FileSnapshot after;
    std::vector<std::string> boxes;
};

struct Tally {
    int cases = 0;
    int hit = 0;
    int silent = 0;   // told through the result only, no box
    int absorbed = 0; // ridden out with the fault-free outcome
    std::map<std::string, int> perKind;
    std::vector<std::string> failures;
};

std::set<std::string> ExpectedTexts(Kind kind, bool hung) {
    auto text = [](int code) { return std::string(usb::WireErrorText(code)); };
    switch (kind) {
    case Kind::ReadTimeout:
        return hung ? std::set{text(usb::kWireReadFailed), text(usb::kWireNoDevice)}
                    : std::set{text(usb::kWireReadTimeout)};
    case Kind::WriteTimeout:
        return hung ? std::set{text(usb::kWireWriteFailed), text(usb::kWireNoDevice)}
                    : std::set{text(usb::kWireWriteTimeout)};
    case Kind::ShortRead:
    case Kind::StalledPipe:
        return {text(usb::kWireReadFailed)};
    case Kind::FailedWrite:
        return {text(usb::kWireWriteFailed)};
    case Kind::BusyLock:
        return {text(usb::kWireBusy)};
    case Kind::Unplug:
    case Kind::Allocation:
        return {text(usb::kWireReadFailed), text(usb::kWireWriteFailed), text(usb::kWireNoDevice)};
    }
    return {};
}

// The files as a fault-free run would leave them; the link records its access
// delay once per process, at its first transfer, whichever case that is.
std::map<std::string, std::string> Comparable(FileSnapshot snapshot) {
    std::string& settings = snapshot.files["Burnwright.ini"];
    const std::string once = "USBAccessDelay=0\r\n";
    if (const size_t at = settings.find(once); at != std::string::npos)
        settings.erase(at, once.size());
    // Blocks as sent echo what was read before them; their size is checked apart.
    for (auto& [name, bytes] : snapshot.files)
        if (name.rfind("Set", 0) == 0)
            bytes = std::to_string(bytes.size());
    return snapshot.files;
}

bool WellFormedSettings(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || (line.front() == '[' && line.back() == ']'))
            continue;
        if (line.find('=') == std::string::npos)
            return false;
    }
    return true;
}

// The invariant around a workflow's step: the passes the rig ran are checked
// one by one; any other step writes no chip and moves no counter, except that
// a counter reset may have zeroed the counters of a place.
void CheckInvariant(Rig& rig, const Workflow& flow, invariant::Observation before,
                    std::vector<std::string>& wrong) {
    if (!flow.programs) {
        const invariant::Observation after = rig.Observe();
        // A window that starts copies its counters to the writer; a copy that
        // does not arrive is caught up by the next pass, checked there.
        if (!before.counters.count("window"))
            before.counters.erase("writer");
        if (flow.resetsCounters)
            for (auto& [place, counters] : before.counters) {
                const auto it = after.counters.find(place);
                if (it != after.counters.end() && it->second == invariant::Counters{})
                    counters = {};
            }
        for (const std::string& breach : invariant::Check(before, after, invariant::Report{}))
            wrong.push_back("invariant: " + breach);
    }
    for (const std::string& breach : rig.breaches)
        wrong.push_back("invariant: " + breach);
    rig.breaches.clear();
}

class FaultMatrix {
public:
    explicit FaultMatrix(Route route) : route_(route) {}

    Reference Measure(const Workflow& flow) {
        Rig rig(route_);
        Reference ref;
        uint64_t prompt = 0;
        Prepare(rig, flow, &prompt);
        ref.armedAt = rig.writer->TransferCount();
        const uint64_t allocations = Allocations();
        if (rig.host)
            rig.host->ClearRecord();
        const invariant::Observation before = rig.Observe();
        EXPECT_TRUE(rig.Supervise([&] { flow.act(rig); }));
        rig.Settle();
        std::vector<std::string> wrong;
        CheckInvariant(rig, flow, before, wrong);
        for (const std::string& w : wrong)
            ADD_FAILURE() << flow.name << " without a fault: " << w;
        if (flow.fromPrompt) {
            ref.armedAt = prompt + flow.fromPrompt - 1;
            EXPECT_GT(prompt, 0u) << flow.name << ": no update offered";
        }
        ref.transfers = rig.writer->TransferCount() - ref.armedAt;
        ref.allocations = Allocations() - allocations;
        ref.after = rig.Files();
        ref.boxes = rig.host->BoxTexts();
        return ref;
    }

    // One case: `kind` armed at transfer `at` (absolute) or allocation `at`.
    void Run(const Workflow& flow, const Reference& ref, Kind kind, uint64_t at, Tally& tally) {
        Rig rig(route_);
        uint64_t prompt = 0;
        Prepare(rig, flow, &prompt, kind, at);
        rig.writerMayMissStores = true;
        const FileSnapshot before = rig.Files();
        const std::string okBefore = rig.Setting(keys::kGeneral, keys::kOtpCounterOk);
        const std::string failBefore = rig.Setting(keys::kGeneral, keys::kOtpCounterFail);
        const std::string logBefore = ReadLog(rig);
        if (!flow.fromPrompt)
            Arm(rig, kind, rig.writer->TransferCount() + at);
        if (rig.host)
            rig.host->ClearRecord();
        core::SharedResult().GetCodes().Clear();
        const invariant::Observation beforeAct = rig.Observe();
        if (kind == Kind::BusyLock)
            rig.HoldTransferLock();
        const bool ended = rig.Supervise([&] { flow.act(rig); });
        rig.ReleaseTransferLock();
        if (kind == Kind::Allocation)
            kshim::Kernel::Current()->FailAllocationAt(0);
        rig.Settle();

        const std::string label =
            std::string(flow.name) + " x " + KindName(kind) + " @" + std::to_string(at);
        std::vector<std::string> wrong;
        ++tally.cases;
        ++tally.perKind[KindName(kind)];
        if (!ended)
            wrong.push_back("hung");
        else
            CheckInvariant(rig, flow, beforeAct, wrong);
        const bool hit = Hit(rig, kind);
        tally.hit += hit;
        std::vector<std::string> texts = rig.host->BoxTexts();
        if (hit) {
            // A box with the link's text, or the updater's own text; where the
            // window shows no box the text must wait in the result it offers.
            auto expected = ExpectedTexts(kind, rig.HungTransferEnded());
            if (flow.fromPrompt)
                expected.insert({firmware::kUpdateAppFailed, firmware::kUpdateBootFailed});
            texts.push_back(core::SharedResult().Message());
            // A fault the workflow rode out (a retried search, a read after
            // the work was done) leaves the fault-free outcome: nothing to tell.
            const bool absorbed = rig.host->BoxTexts() == ref.boxes &&
                                  Comparable(rig.Files()) == Comparable(ref.after);
            tally.absorbed += absorbed;
            if (!absorbed && std::none_of(texts.begin(), texts.end(), [&](const std::string& t) {
                    return expected.count(t) > 0;
                }))
                wrong.push_back("no message with the link's text; boxes: " + Joined(texts));
            else if (!std::any_of(texts.begin(), texts.end() - 1,
                                  [&](const std::string& t) { return expected.count(t) > 0; }))
                ++tally.silent;
        }
        // The settings file: whole, and its counters what the window committed.
        const FileSnapshot after = rig.Files();
        if (!WellFormedSettings(after.Of("Burnwright.ini")))
            wrong.push_back("settings file malformed");
        const std::string ok = rig.Setting(keys::kGeneral, keys::kOtpCounterOk);
        const std::string fail = rig.Setting(keys::kGeneral, keys::kOtpCounterFail);
        if (ok != rig.host->Text(ids::kOkCount) || fail != rig.host->Text(ids::kFailCount))
            wrong.push_back("counters " + ok + "/" + fail + " but the window shows " +
                            rig.host->Text(ids::kOkCount) + "/" + rig.host->Text(ids::kFailCount));
        const bool reset = flow.resetsCounters && ok == "0" && fail == "0";
        if (!reset && (std::stoi("0" + ok) < std::stoi("0" + okBefore) ||
                       std::stoi("0" + fail) < std::stoi("0" + failBefore)))
            wrong.push_back("counters went back from " + okBefore + "/" + failBefore + " to " + ok +
                            "/" + fail);
        if (rig.Setting(keys::kGeneral, keys::kDevelopVersion) != keys::kDevelopPassword)
            wrong.push_back("developer key lost");
        // Every other file: the old one or the new one, whole.
        for (const std::string& name : KeptFiles()) {
            if (name == "Burnwright.ini")
                continue;
            // Blocks the program sends are written as sent: whole is their size.
            const std::string now = after.Of(name);
            const bool sent = name.rfind("Set", 0) == 0;
            if (now != before.Of(name) && now != ref.after.Of(name) &&
                !(sent && now.size() == ref.after.Of(name).size()))
                wrong.push_back(name + " neither old nor new");
        }
        const std::string log = ReadLog(rig);
        if (!log.empty() && log.size() >= 2 && log.substr(log.size() - 2) != "\r\n")
            wrong.push_back("log ends in a half line");
        if (!flow.clearsLog && log.compare(0, logBefore.size(), logBefore) != 0)
            wrong.push_back("log lost earlier lines");
        const auto disabled = rig.ActionControlsDisabled();
        if (rig.dlg && !disabled.empty() && !rig.host->DialogResult())
            wrong.push_back("controls left disabled: " + Joined(disabled));

        if (auto* kernel = dynamic_cast<driver::simstack::KernelStack*>(usb::LinkBackend()))
            if (!kernel->Findings().empty())
                wrong.push_back("the kernel's verifier found " +
                                std::to_string(kernel->Findings().size()) + " faults");
        // Back to work: replug, attach, and a full pass on fresh chips.
        rig.writer->ClearFaults();
        rig.writerMayMissStores = false;
        Recover(rig, wrong);
        for (const std::string& breach : rig.breaches)
            wrong.push_back("invariant after the replug: " + breach);

        if (!wrong.empty())
            for (const std::string& w : wrong)
                tally.failures.push_back(label + ": " + w);
    }

private:
    uint64_t Allocations() {
        auto* kernel = kshim::Kernel::Current();
        return kernel ? kernel->Allocations() : 0;
    }

    static std::string ReadLog(Rig& rig) {
        return testsupport::ProgramFolder::Read(rig.folder.File("LogOTP.txt"));
    }

    static std::string Joined(const std::vector<std::string>& items) {
        std::string all;
        for (const std::string& item : items)
            all += (all.empty() ? "[" : ", [") + item + "]";
        return all;
    }

    void Prepare(Rig& rig, const Workflow& flow, uint64_t* prompt, Kind kind = Kind::Unplug,
                 uint64_t at = 0) {
        if (flow.prepare)
            flow.prepare(rig);
        if (!flow.fromPrompt)
            return;
        // The update runs in start-up: its faults are armed once the prompt shows.
        rig.boxHook = [&rig, prompt, kind, at, this, &flow](const std::string& text) {
            if (text != app::kUpdatePrompt || *prompt)
                return;
            *prompt = rig.writer->TransferCount();
            if (at)
                Arm(rig, kind, *prompt + flow.fromPrompt - 1 + at);
        };
    }

    void Arm(Rig& rig, Kind kind, uint64_t transfer) {
        sim::TransportFault fault;
        fault.atTransfer = transfer;
        switch (kind) {
        case Kind::ReadTimeout:
            fault.kind = sim::TransportFaultKind::ReadTimeout;
            fault.direction = sim::Direction::Read;
            break;
        case Kind::WriteTimeout:
            fault.kind = sim::TransportFaultKind::WriteTimeout;
            fault.direction = sim::Direction::Write;
            break;
        case Kind::ShortRead:
            fault.kind = sim::TransportFaultKind::ShortRead;
            fault.direction = sim::Direction::Read;
            break;
        case Kind::FailedWrite:
            fault.kind = sim::TransportFaultKind::WriteFails;
            fault.direction = sim::Direction::Write;
            break;
        case Kind::StalledPipe:
            fault.kind = sim::TransportFaultKind::ReadFails;
            fault.direction = sim::Direction::Read;
            break;
        case Kind::Unplug:
            fault.kind = sim::TransportFaultKind::Unplug;
            break;
        case Kind::BusyLock:
            return;
        case Kind::Allocation:
            kshim::Kernel::Current()->FailAllocationAt(transfer - rig.writer->TransferCount());
            return;
        }
        rig.writer->AddTransportFault(fault);
    }

    bool Hit(Rig& rig, Kind kind) {
        if (kind == Kind::BusyLock)
            return true;
        if (kind == Kind::Allocation)
            return true;
        return rig.writer->TransportFaultsHit() > 0;
    }

    void Recover(Rig& rig, std::vector<std::string>& wrong) {
        if (!rig.dlg || rig.host->DialogResult()) {
            wrong.push_back("window ended");
            return;
        }
        rig.bus->Unplug(rig.writer->Member());
        rig.Settle();
        rig.Replug();
        if (rig.writer->InBootLoader()) {
            // Only start-up reaches a writer in its boot loader: start again.
            rig.Restart({core::kIdYes});
            if (rig.writer->InBootLoader()) {
                wrong.push_back("writer left in its boot loader after a restart");
                return;
            }
        }
        rig.FreshChips();
        rig.host->ClearRecord();
        rig.OpenImage();
        rig.Load();
        const int okBefore = std::stoi("0" + rig.host->Text(ids::kOkCount));
        rig.host->Click(ids::kSelectAllOperations);
        if (!rig.host->Check(ids::kSelectAllOperations))
            rig.host->Click(ids::kSelectAllOperations);
        rig.Pass();
        const int ok = std::stoi("0" + rig.host->Text(ids::kOkCount));
        if ((ok - okBefore + 10000) % 10000 != 16)
            wrong.push_back("pass after replug counted " + std::to_string(ok - okBefore) +
                            " good chips; boxes: " + Joined(rig.host->BoxTexts()));
    }

    Route route_;
};

// BURNWRIGHT_FAULT_SAMPLE=N takes fewer points: the thread-checked build runs
// every path of the matrix, not every point, as it is many times slower.
size_t SampleSize() {
    const char* given = std::getenv("BURNWRIGHT_FAULT_SAMPLE");
    const long n = given ? std::strtol(given, nullptr, 10) : 0;
    return n > 0 ? std::min(size_t(n), kUnplugSample) : kUnplugSample;
}

// Every k when a workflow has at most the sample size of transfers, else a
// seeded sample.
std::vector<uint64_t> UnplugPoints(uint64_t transfers, std::mt19937& random) {
    std::vector<uint64_t> points;
    for (uint64_t k = 1; k <= transfers; ++k)
        points.push_back(k);
    if (const size_t sample = SampleSize(); points.size() > sample) {
        std::shuffle(points.begin(), points.end(), random);
        points.resize(sample);
        std::sort(points.begin(), points.end());
    }
    return points;
}

void Report(const char* title, const Tally& tally) {
    std::printf("%s: %d cases, %d with the fault hit (%d ridden out, %d told without a box), "
                "%zu failed\n",
                title, tally.cases, tally.hit, tally.absorbed, tally.silent, tally.failures.size());
    for (const auto& [kind, count] : tally.perKind)
        std::printf("  %-14s %d\n", kind.c_str(), count);
    // Failures grouped by workflow, fault and check, with the first point seen.
    std::map<std::string, std::pair<int, std::string>> groups;
    for (const std::string& failure : tally.failures) {
        const size_t at = failure.find(" @");
        const size_t colon = failure.find(": ", at);
        auto& group = groups[failure.substr(0, at) + failure.substr(colon).substr(0, 60)];
        if (group.first++ == 0)
            group.second = failure;
    }
    std::string shown;
    for (const auto& [key, group] : groups)
        shown += std::to_string(group.first) + "x " + group.second + "\n";
    EXPECT_TRUE(tally.failures.empty()) << shown;
}

TEST(FaultMatrix, EveryWorkflowUnderEveryTransportFaultLosesNothing) {
    FaultMatrix matrix(Route::Direct);
    Tally tally;
    std::mt19937 random(15);
    const Kind once[] = {Kind::ReadTimeout, Kind::WriteTimeout, Kind::ShortRead,
                         Kind::FailedWrite, Kind::StalledPipe,  Kind::BusyLock};
    for (const Workflow& flow : Selected()) {
        const Reference ref = matrix.Measure(flow);
        ASSERT_GT(ref.transfers, 0u) << flow.name;
        for (Kind kind : once)
            matrix.Run(flow, ref, kind, 1, tally);
        const auto points = UnplugPoints(ref.transfers, random);
        for (uint64_t k : points)
            matrix.Run(flow, ref, Kind::Unplug, k, tally);
        std::printf("%-22s %4llu transfers, %zu unplug points\n", flow.name,
                    static_cast<unsigned long long>(ref.transfers), points.size());
    }
    Report("transport faults", tally);
}

TEST(FaultMatrix, ThroughTheDriverFaultsAndFailedKernelAllocationsLoseNothing) {
    FaultMatrix matrix(Route::Driver);
    Tally tally;
    std::mt19937 random(16);
    const Kind once[] = {Kind::ShortRead, Kind::FailedWrite, Kind::StalledPipe};
    for (const Workflow& flow : Selected()) {
        // The kernel starts with the window: start-up's own allocations are
        // swept by the driver's tests.
        if (!flow.prepare || flow.fromPrompt)
            continue;
        const Reference ref = matrix.Measure(flow);
        for (Kind kind : once)
            matrix.Run(flow, ref, kind, 1, tally);
        const auto points = UnplugPoints(ref.allocations, random);
        for (uint64_t k : points)
            matrix.Run(flow, ref, Kind::Allocation, k, tally);
        std::printf("%-22s %4llu allocations, %zu failed in turn\n", flow.name,
                    static_cast<unsigned long long>(ref.allocations), points.size());
    }
    Report("through the driver", tally);
}

} // namespace
} // namespace faults
