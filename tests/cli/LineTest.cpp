// A production line: four simulated writers in one state file and four
// burnwright-cli processes started at once, each told its own writer, for
// several rounds of passes. Every process claims the writer it was told (a
// claim held twice would refuse one of them), each writer's counters move by
// exactly its own passes, and the shared settings file stays whole, holding
// the counters that the last window to finish committed. After every round
// each process's report is what happened on its writer's chips.
#include "tests/cli/CliInvariant.h"
#include "tests/cli/CliProcess.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <regex>
#include <unistd.h>

namespace clitest {
namespace {

constexpr int kWriters = 4;
constexpr int kRounds = 3;

// Each member's OK counter, as the writer holds it in the state file.
std::vector<long> WriterCounters(const CliFolder& folder) {
    std::string shown;
    EXPECT_EQ(folder.Sim("show", &shown), 0) << shown;
    std::vector<long> counters;
    const std::regex line("counters ([0-9]+)/([0-9]+)");
    for (auto it = std::sregex_iterator(shown.begin(), shown.end(), line);
         it != std::sregex_iterator(); ++it)
        counters.push_back(std::stol((*it)[1]));
    return counters;
}

TEST(CliLineTest, FourProcessesOnFourWritersKeepEveryCounterAndClaim) {
    CliFolder folder("line");
    for (int member = 1; member < kWriters; ++member)
        ASSERT_EQ(folder.Sim("add-writer " + std::to_string(member)), 0);
    ASSERT_EQ(folder.Sim("wire off"), 0);
    const std::string image = (folder.Path() / "day.bin").string();
    ASSERT_EQ(folder.Run({"image", "make", "--body", "12", "--seed", "5", image}), 0);
    const std::vector<uint8_t> chip = invariant::ExpectedChipImage(12, image);
    auto pass = [&](int member) {
        return std::vector<std::string>{"--yes",   "--json", "--writer", std::to_string(member),
                                        "program", "--load", "--body",   "12",
                                        image};
    };
    // One pass each, one after the other, so every writer holds its own block.
    for (int member = 0; member < kWriters; ++member)
        ASSERT_EQ(folder.Run(pass(member)), 0) << member;

    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::vector<long> before = WriterCounters(folder);
        ASSERT_EQ(before.size(), size_t(kWriters));
        std::vector<invariant::Observation> was;
        for (int member = 0; member < kWriters; ++member) {
            folder.FreshChips(member);
            // The settings file is everyone's: each writer is held to its own.
            was.push_back(ObserveCli(folder, member, "", false));
        }

        pid_t pids[kWriters];
        int errs[kWriters];
        for (int member = 0; member < kWriters; ++member)
            pids[member] = folder.Start(pass(member),
                                        folder.Path() / ("out" + std::to_string(member) + ".json"),
                                        &errs[member]);
        for (int member = 0; member < kWriters; ++member) {
            const std::string err = ReadAll(errs[member]);
            ::close(errs[member]);
            EXPECT_EQ(Reap(pids[member]), 0) << "writer " << member << ": " << err;
            const auto doc = nlohmann::json::parse(
                ReadFile(folder.Path() / ("out" + std::to_string(member) + ".json")));
            EXPECT_EQ(doc["writer"]["member"], member);
            EXPECT_EQ(doc["counters"]["ok"], before[size_t(member)] + 16);
            invariant::Observation is = ObserveCli(folder, member, "", false);
            const invariant::Report report =
                ReportFromJson(doc, chip, false, was[size_t(member)], is);
            ExpectInvariant(was[size_t(member)], is, report, "writer " + std::to_string(member));
        }

        const std::vector<long> after = WriterCounters(folder);
        ASSERT_EQ(after.size(), size_t(kWriters));
        for (int member = 0; member < kWriters; ++member)
            EXPECT_EQ(after[size_t(member)], before[size_t(member)] + 16) << "writer " << member;
        long ok = 0, fail = 0;
        ASSERT_TRUE(folder.Counters(ok, fail)) << ReadFile(folder.Path() / "burnwright.ini");
        EXPECT_NE(std::find(after.begin(), after.end(), ok), after.end()) << ok;
        EXPECT_EQ(fail, 0);
    }
}

} // namespace
} // namespace clitest
