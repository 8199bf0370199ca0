// burnwright-cli killed (SIGKILL) at seeded points of a load, a pass and a
// firmware update, each point a step of the run's own progress: a number of
// bytes of its progress on standard error, or (the update prints none) a
// number of saves of the writer's state file. After every kill the settings file parses with its
// counters either before or after the whole pass, the state file loads, the
// production record holds whole lines only, and the next pass succeeds. The
// invariant holds after each: what the killed run left on record (lines,
// counters) is on the chips, and the next pass's report is what happened.
#include "tests/cli/CliInvariant.h"
#include "tests/cli/CliProcess.h"

#include "sim/Firmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/inotify.h>
#include <unistd.h>

namespace clitest {
namespace {

constexpr int kPointsPerWorkflow = 6;
constexpr sim::FirmwareVersion kShipped{9, 2, 0, 0, 0, 0};

class CliKillTest : public ::testing::Test {
protected:
    CliKillTest() : folder("kill") {}

    void SetUp() override {
        const auto image = sim::BuildFirmwareImage(kShipped);
        std::ofstream(folder.Path() / "OTP_Controller_C51FW.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        ASSERT_EQ(folder.Sim("wire off"), 0);
        image_ = (folder.Path() / "day.bin").string();
        record_ = (folder.Path() / "record.csv").string();
        ASSERT_EQ(folder.Run({"image", "make", "--body", "12", "--seed", "5", image_}), 0);
        chip_ = invariant::ExpectedChipImage(12, image_);
        ASSERT_EQ(chip_.size(), 0x4000u);
    }

    std::vector<std::string> Load() const { return {"--yes", "load", "--body", "12", image_}; }
    std::vector<std::string> Pass() const {
        return {"--yes", "--json", "program",   "--load", "--body",
                "12",    image_,   "--log-csv", record_};
    }
    std::vector<std::string> Update() const { return {"--yes", "firmware", "update"}; }
    // A firmware file of a version no writer has yet: the next update has
    // work to do (saves are made only of changes, so an update to the
    // version the writer already runs makes none).
    void NewFirmwareFile() {
        const auto image = sim::BuildFirmwareImage({9, uint16_t(3 + updates_++), 0, 0, 0, 0});
        std::ofstream(folder.Path() / "OTP_Controller_C51FW.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }

    // Runs `args` until `limit` steps of progress were seen (bytes of
    // standard error, or saves of the state file), then kills it. The steps
    // seen; `killed` tells whether the kill landed before the run ended.
    size_t RunFor(const std::vector<std::string>& args, bool saves, size_t limit, bool& killed) {
        const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ::inotify_add_watch(watch, folder.Path().c_str(), IN_MOVED_TO);
        int err = -1;
        said_.clear();
        const pid_t pid = folder.Start(args, folder.Path() / "run.txt", &err);
        size_t steps = 0;
        bool ended = false;
        char buffer[4096] __attribute__((aligned(alignof(inotify_event))));
        auto countSaves = [&] {
            for (ssize_t got; (got = ::read(watch, buffer, sizeof buffer)) > 0;)
                for (ssize_t at = 0; at < got;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    if (saves && event->len > 0 && std::string(event->name) == "bus.state")
                        ++steps;
                    at += ssize_t(sizeof(inotify_event) + event->len);
                }
        };
        while (!ended && steps < limit) {
            pollfd fds[2] = {{err, POLLIN, 0}, {watch, POLLIN, 0}};
            ::poll(fds, 2, -1);
            if (fds[1].revents & POLLIN)
                countSaves();
            if (fds[0].revents & (POLLIN | POLLHUP)) {
                const size_t room = saves ? sizeof buffer : std::min(sizeof buffer, limit - steps);
                const ssize_t got = ::read(err, buffer, room);
                ended = got <= 0;
                if (got > 0)
                    said_.append(buffer, size_t(got));
                if (!saves && got > 0)
                    steps += size_t(got);
            }
        }
        ::kill(pid, SIGKILL);
        ::close(err);
        status_ = Reap(pid);
        killed = status_ == -1;
        // A run that ended may have saved after the last look at the watch:
        // its events are all queued once it is reaped.
        if (ended)
            countSaves();
        ::close(watch);
        return steps;
    }

    // What the killed run left is true: record lines it wrote name chips that
    // are as they say; without lines, the OK count it stored is on as many
    // chips; a load or an update writes no chip and moves no counter.
    void ExpectKilledRunTrue(const std::string& where, bool pass,
                             const invariant::Observation& before,
                             const invariant::Observation& after) {
        SCOPED_TRACE(where);
        if (!pass) {
            invariant::Observation was = before, is = after;
            was.counters.erase("start");
            is.counters.erase("start");
            ExpectInvariant(was, is, invariant::Report{}, where);
            return;
        }
        const std::vector<invariant::RecordLine>& old = *before.record;
        const std::vector<invariant::RecordLine> added(after.record->begin() + long(old.size()),
                                                       after.record->end());
        if (!added.empty()) {
            ++byRecord_;
            ExpectInvariant(before, after, ReportFromRecord(added, chip_), where);
            return;
        }
        const int rise = after.counters.at("settings").ok - before.counters.at("start").ok;
        int holding = 0;
        for (const invariant::Chip& c : after.chips)
            holding += c.present &&
                       std::equal(chip_.begin(), chip_.end(), c.bytes.begin(),
                                  c.bytes.begin() + long(std::min(chip_.size(), c.bytes.size())));
        byCounters_ += rise > 0;
        EXPECT_LE(rise, holding) << "the settings file counts chips no socket holds";
    }

    // Everything the killed run may have written is whole, and the next pass
    // programs every chip, counts them once and reports what happened. After
    // a killed update that pass takes the update the writer still needs.
    void ExpectWholeAndRecoverable(const std::string& where, long okBefore, long failBefore,
                                   bool afterUpdate) {
        SCOPED_TRACE(where);
        long ok = 0, fail = 0;
        ASSERT_TRUE(folder.Counters(ok, fail)) << ReadFile(folder.Path() / "burnwright.ini");
        EXPECT_TRUE(ok == okBefore || ok == okBefore + 16) << ok;
        EXPECT_EQ(fail, failBefore);
        std::string shown;
        EXPECT_EQ(folder.Sim("show", &shown), 0) << shown;
        ExpectWholeRecord();

        folder.FreshChips(0);
        invariant::Observation before = ObserveCli(folder, 0, record_);
        std::string err;
        std::vector<std::string> pass = Pass();
        if (afterUpdate)
            pass.insert(pass.begin(), "--update-firmware");
        ASSERT_EQ(folder.Run(pass, &err), 0) << err;
        invariant::Observation after = ObserveCli(folder, 0, record_);
        const nlohmann::json doc = nlohmann::json::parse(ReadFile(folder.Path() / "out.txt"));
        const invariant::Report report = ReportFromJson(doc, chip_, true, before, after);
        EXPECT_EQ(std::count(report.sockets.begin(), report.sockets.end(), invariant::Reported::Ok),
                  16);
        ExpectInvariant(before, after, report, where + ", the next pass");
    }

    // The record's lines all end and all have the header's fields.
    void ExpectWholeRecord() {
        const std::string text = ReadFile(record_);
        if (text.empty())
            return;
        ASSERT_EQ(text.back(), '\n') << "the record ends in a cut line";
        std::istringstream lines(text);
        std::string line;
        std::getline(lines, line);
        const auto fields = std::count(line.begin(), line.end(), ',');
        while (std::getline(lines, line))
            EXPECT_EQ(std::count(line.begin(), line.end(), ','), fields) << line;
    }

    CliFolder folder;
    std::string image_, record_;
    std::vector<uint8_t> chip_; // the image's chip image
    // Killed passes whose record lines, or stored count alone, were checked.
    int byRecord_ = 0, byCounters_ = 0;
    int updates_ = 0;
    // What the last run wrote to standard error, and how it ended (its exit
    // code, -1 when killed).
    std::string said_;
    int status_ = 0;
};

TEST_F(CliKillTest, KilledLoadsPassesAndUpdatesLoseNothingAndTheNextPassWorks) {
    struct Workflow {
        const char* name;
        std::vector<std::string> args;
        bool saves; // progress counted in saves of the state file
    };
    const Workflow workflows[] = {
        {"load", Load(), false}, {"pass", Pass(), false}, {"update", Update(), true}};
    std::mt19937 random(15);
    int kills = 0, landed = 0;
    for (const Workflow& workflow : workflows) {
        folder.FreshChips(0);
        if (workflow.saves)
            NewFirmwareFile();
        bool killed = true;
        const size_t length = RunFor(workflow.args, workflow.saves, SIZE_MAX, killed);
        ASSERT_FALSE(killed);
        ASSERT_EQ(status_, 0) << workflow.name << ":\n" << said_;
        ASSERT_GT(length, 1u) << workflow.name << ":\n" << said_;
        std::uniform_int_distribution<size_t> point(1, length - 1);
        for (int i = 0; i < kPointsPerWorkflow; ++i) {
            long ok = 0, fail = 0;
            ASSERT_TRUE(folder.Counters(ok, fail));
            folder.FreshChips(0);
            const size_t at = point(random);
            const std::string where = std::string(workflow.name) + " killed after " +
                                      std::to_string(at) + " steps of progress";
            const invariant::Observation before = ObserveCli(folder, 0, record_);
            if (workflow.saves)
                NewFirmwareFile();
            RunFor(workflow.args, workflow.saves, at, killed);
            landed += killed ? 1 : 0;
            ++kills;
            ExpectKilledRunTrue(where, workflow.args == Pass(), before,
                                ObserveCli(folder, 0, record_));
            ExpectWholeAndRecoverable(where, ok, fail, workflow.saves);
        }
    }
    std::printf("kill points: %d, of which %d landed before the run ended; killed passes held "
                "to their record lines: %d, to their stored count alone: %d\n",
                kills, landed, byRecord_, byCounters_);
    EXPECT_GE(landed, kills / 2);
}

} // namespace
} // namespace clitest
