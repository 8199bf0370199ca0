#include "tests/support/WindowInvariant.h"

#include "app/BurnwrightDlg.h"
#include "app/ControlIds.h"
#include "app/headless/HeadlessHost.h"
#include "core/Profiler.h"
#include "sim/Writer.h"

#include <algorithm>
#include <cstdlib>

namespace invariant {
namespace {

namespace ids = app::ids;

constexpr const char* kProgramText = "Program ...";
constexpr const char* kVerifyText = "Verify ... ";

bool StartsWith(const std::string& text, const char* head) {
    return text.rfind(head, 0) == 0;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

Observation ObserveWindow(app::headless::HeadlessHost& host, const sim::Writer& writer,
                          const std::string& settingsPath, const std::string& recordPath) {
    Observation o;
    o.chips = ChipsOf(writer);
    o.counters["writer"] = {writer.PassCount(), writer.FailCount()};
    o.counters["window"] = {std::atoi(host.Text(ids::kOkCount).c_str()),
                            std::atoi(host.Text(ids::kFailCount).c_str())};
    if (!settingsPath.empty()) {
        core::C_Profiler settings(settingsPath);
        o.counters["settings"] = {
            settings.GetInt(core::settings::kGeneral, core::settings::kOtpCounterOk),
            settings.GetInt(core::settings::kGeneral, core::settings::kOtpCounterFail)};
    }
    if (!recordPath.empty())
        o.record = ReadRecord(recordPath);
    return o;
}

Report ReadWindowReport(app::headless::HeadlessHost& host, app::CBurnwrightDlg& dlg, bool counts,
                        size_t firstEvent) {
    Report report;
    report.countersFrom = "window";
    std::array<bool, sim::kSocketCount> programmed{}, verified{}, ok{};
    const std::vector<std::string> events = host.Events();
    for (size_t i = firstEvent; i < events.size(); ++i) {
        const std::string& event = events[i];
        if (!StartsWith(event, "text "))
            continue;
        const size_t space = event.find(' ', 5);
        if (space == std::string::npos)
            continue;
        const int socket = std::atoi(event.substr(5, space - 5).c_str()) - ids::kStatusTextBase;
        if (socket < 0 || socket >= sim::kSocketCount)
            continue;
        const size_t s = size_t(socket);
        const std::string text = event.substr(space + 1);
        programmed[s] = programmed[s] || StartsWith(text, kProgramText);
        verified[s] = verified[s] || StartsWith(text, kVerifyText);
        // The last state word shown decides; a text without one (the blanks
        // a detached window shows) keeps what the steps said before it.
        if (EndsWith(text, "OK"))
            ok[s] = true;
        else if (EndsWith(text, "Fail") || EndsWith(text, "Init") || EndsWith(text, "Busy"))
            ok[s] = false;
    }
    for (size_t s = 0; s < size_t(sim::kSocketCount); ++s) {
        Reported& r = report.sockets[s];
        if (programmed[s])
            r = ok[s] ? (counts ? Reported::Ok : Reported::OkUncounted)
                      : (counts ? Reported::Failed : Reported::FailedUncounted);
        else if (verified[s] && ok[s])
            r = Reported::OkUncounted;
    }
    const bool anyOk = std::any_of(report.sockets.begin(), report.sockets.end(), [](Reported r) {
        return r == Reported::Ok || r == Reported::OkUncounted;
    });
    if (anyOk)
        host.RunOnUi([&] {
            if (image::C_OTPBinFile* image = dlg.Engine().GetImage())
                report.chipImage = ExpectedChipImage(*image);
        });
    return report;
}

} // namespace invariant
