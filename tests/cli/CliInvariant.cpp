#include "tests/cli/CliInvariant.h"

#include "sim/StateFile.h"

#include <gtest/gtest.h>

namespace clitest {
namespace {

// The pass and fail counters of the information block's third section.
constexpr size_t kBlockMarker = 0x03, kBlockPass = 0x84, kBlockFail = 0x86;
constexpr uint8_t kNothingStored = 0xAA;

int Le16(const std::array<uint8_t, sim::kInfoBlockSize>& block, size_t at) {
    return block[at] | block[at + 1] << 8;
}

} // namespace

invariant::Observation ObserveCli(const CliFolder& folder, int member,
                                  const std::string& recordPath, bool withSettings) {
    invariant::Observation o;
    std::vector<sim::SavedWriter> writers;
    bool exists = false;
    std::string error;
    EXPECT_TRUE(sim::ReadStateFile(folder.StateFile().string(), writers, exists, error)) << error;
    long ok = 0, fail = 0;
    const bool settings = folder.Counters(ok, fail);
    if (settings && withSettings)
        o.counters["settings"] = {int(ok), int(fail)};
    for (const sim::SavedWriter& w : writers) {
        if (int(w.config.member) != member)
            continue;
        o.chips = invariant::ChipsOf(w.state);
        o.counters["writer"] = {w.state.passCount, w.state.failCount};
        if (w.state.info && (*w.state.info)[kBlockMarker] != kNothingStored)
            o.counters["start"] = {Le16(*w.state.info, kBlockPass),
                                   Le16(*w.state.info, kBlockFail)};
        else if (settings)
            o.counters["start"] = {int(ok), int(fail)};
    }
    if (!recordPath.empty())
        o.record = invariant::ReadRecord(recordPath);
    return o;
}

invariant::Report ReportFromJson(const nlohmann::json& doc, std::vector<uint8_t> chipImage,
                                 bool record, invariant::Observation& before,
                                 invariant::Observation& after) {
    invariant::Report report;
    report.chipImage = std::move(chipImage);
    report.countersFrom = "start";
    if (before.counters.count("start") && doc.contains("counters")) {
        before.counters["report"] = before.counters["start"];
        after.counters["report"] = {doc["counters"]["ok"].get<int>(),
                                    doc["counters"]["fail"].get<int>()};
    }
    std::vector<int> enabled;
    for (const auto& socket : doc["sockets"]) {
        const int s = socket["socket"].get<int>() - 1;
        if (s < 0 || s >= sim::kSocketCount)
            continue;
        if (socket["enabled"] == true)
            enabled.push_back(s);
        const bool ok = socket["state"] == "OK";
        const auto& steps = socket["steps"];
        invariant::Reported& r = report.sockets[size_t(s)];
        if (steps.contains("Program"))
            r = ok ? invariant::Reported::Ok : invariant::Reported::Failed;
        else if (steps.contains("Verify") && ok)
            r = invariant::Reported::OkUncounted;
    }
    if (record)
        report.recordSockets = enabled;
    return report;
}

invariant::Report ReportFromRecord(const std::vector<invariant::RecordLine>& added,
                                   std::vector<uint8_t> chipImage) {
    invariant::Report report;
    report.chipImage = std::move(chipImage);
    report.countersFrom = "start";
    std::vector<int> sockets;
    for (const invariant::RecordLine& line : added) {
        const int s = line.socket - 1;
        if (s < 0 || s >= sim::kSocketCount)
            continue;
        sockets.push_back(s);
        if (line.programmed)
            report.sockets[size_t(s)] =
                line.finalState == "OK" ? invariant::Reported::Ok : invariant::Reported::Failed;
    }
    report.recordSockets = sockets;
    return report;
}

void ExpectInvariant(const invariant::Observation& before, const invariant::Observation& after,
                     const invariant::Report& report, const std::string& where) {
    for (const std::string& breach : invariant::Check(before, after, report))
        ADD_FAILURE() << where << ": " << breach;
}

} // namespace clitest
