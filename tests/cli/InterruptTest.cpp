// burnwright-cli interrupted as a line engineer would: Ctrl-C or SIGTERM sent
// when the program's own progress says it reached a stage (never after a
// pause), at a load's verify wait, between the steps of a pass and in a
// stress run. Each run stops at the next safe point, keeps what it did in
// the record and the JSON document, and exits 130 or 143; a second
// interrupt ends it at once.
#include "tests/cli/CliProcess.h"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace clitest {
namespace {

using ::testing::HasSubstr;

class CliInterruptTest : public ::testing::Test {
protected:
    // In real time: the signal goes while the program waits.
    CliInterruptTest() : folder("interrupt") { folder.UseRealTime(); }

    void SetUp() override {
        ASSERT_EQ(folder.Sim("wire off"), 0);
        record = (folder.Path() / "record.csv").string();
    }
    std::string Image(int body) {
        const std::string path = (folder.Path() / ("day" + std::to_string(body) + ".bin")).string();
        EXPECT_EQ(
            folder.Run({"image", "make", "--body", std::to_string(body), "--seed", "5", path}), 0);
        return path;
    }
    // Runs `args`, sends `signal` once standard error shows `stage`, and
    // reaps the run: its exit code, standard error and document.
    int RunAndInterrupt(const std::vector<std::string>& args, const std::string& stage, int signal,
                        std::string& err, nlohmann::json& doc, bool twice = false) {
        int errFd = -1;
        const fs::path out = folder.Path() / "out.json";
        const pid_t pid = folder.Start(args, out, &errFd);
        err = ReadUntil(errFd, stage);
        EXPECT_THAT(err, HasSubstr(stage)) << "the run never reached it";
        ::kill(pid, signal);
        if (twice) {
            // Signals of one kind do not queue: the second goes once the
            // first has been taken.
            err += ReadUntil(errFd, "interrupted: stopping at the next safe point");
            ::kill(pid, signal);
        }
        err += ReadAll(errFd);
        ::close(errFd);
        const int code = Reap(pid);
        const std::string text = ReadFile(out);
        doc = nlohmann::json::parse(text, nullptr, false);
        return code;
    }
    std::vector<std::string> RecordLines() {
        std::ifstream in(record);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    CliFolder folder;
    std::string record;
};

TEST_F(CliInterruptTest, LoadStopsInTheWritersVerifyWaitAndCountsAsNotLoaded) {
    // Body 10 waits 30 s for the writer's verify of its buffer.
    const std::string image = Image(10);
    std::string err;
    nlohmann::json doc;
    const int code =
        RunAndInterrupt({"--yes", "--json", "load", "--body", "10", image},
                        "Load: the writer verifies its buffer (a wait of 30 s", SIGINT, err, doc);
    EXPECT_EQ(code, 130) << err;
    EXPECT_THAT(err, HasSubstr("interrupted: stopping at the next safe point"));
    EXPECT_EQ(doc["exitCode"], 130);
    EXPECT_EQ(doc["interrupted"], "SIGINT");
    EXPECT_EQ(doc["bufferLoaded"], false);
    EXPECT_EQ(doc["stopped"], true);
    EXPECT_TRUE(doc["elapsedSeconds"].is_number());
}

TEST_F(CliInterruptTest, PassStopsBetweenStepsWithEveryChipRecorded) {
    const std::string image = Image(12);
    // Each OTP step keeps the chips busy for 16384 bytes at 200 us a byte.
    ASSERT_EQ(folder.Sim("wire turnaround-ms=0,program-ns-per-byte=200000"), 0);
    std::string err;
    nlohmann::json doc;
    const int code =
        RunAndInterrupt({"--json", "--yes", "program", "--load", "--body", "12", image, "--sockets",
                         "1-4", "--log-csv", record, "--station", "line-3"},
                        "Pass 1: step 2 of 3: Program", SIGTERM, err, doc);
    EXPECT_EQ(code, 143) << err;
    EXPECT_THAT(err, HasSubstr("Pass 1: step 1 of 3: Blank Check\nPass 1: step 2 of 3: Program\n"));
    EXPECT_THAT(err, ::testing::Not(HasSubstr("step 3 of 3")));
    EXPECT_EQ(doc["interrupted"], "SIGTERM");
    ASSERT_EQ(doc["steps"].size(), 2u); // the program step ended; verify never started
    EXPECT_EQ(doc["sockets"][0]["steps"]["Program"], "OK");
    // The writer programmed what the program step reported, nothing more.
    std::string shown;
    folder.Sim("show", &shown);
    EXPECT_THAT(shown, HasSubstr("socket 3: chip of any body, programmed"));
    EXPECT_THAT(shown, HasSubstr("socket 4: chip of any body, blank"));
    EXPECT_THAT(shown, HasSubstr("counters 4/0"));
    const auto lines = RecordLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_THAT(lines[0], HasSubstr(",final_state,counter_ok,counter_fail,pass,station"));
    EXPECT_THAT(lines[4], HasSubstr(",4,12,KD100," + image + ","));
    EXPECT_THAT(lines[4], HasSubstr(",OK,OK,-,-,OK,4,0,1,line-3"));
}

TEST_F(CliInterruptTest, StressRunKeepsEachPassInTheRecordAsItEnds) {
    std::ofstream(folder.Path() / "burnwright.ini") << "[General]\nDevelopVersion=MERiL_TB7\n";
    const std::string image = Image(12);
    std::string err;
    nlohmann::json doc;
    const int code =
        RunAndInterrupt({"--json", "--yes", "--developer", "program", "--load", "--body", "12",
                         image, "--stress", "500", "--interval", "1", "--log-csv", record},
                        "Stress pass 2 of 500 done", SIGINT, err, doc);
    EXPECT_EQ(code, 130) << err;
    const size_t passes = doc["passes"].size();
    ASSERT_GE(passes, 2u);
    ASSERT_LT(passes, 500u);
    // One header, then 16 lines per pass that ran, numbered in order.
    const auto lines = RecordLines();
    ASSERT_EQ(lines.size(), 1 + 16 * passes);
    for (size_t pass = 1; pass <= passes; ++pass)
        EXPECT_THAT(lines[16 * pass], ::testing::EndsWith("," + std::to_string(pass) + ","));
    EXPECT_EQ(doc["passes"][0]["counters"]["ok"], 16);
}

TEST_F(CliInterruptTest, SecondInterruptEndsAtOnceAndAFifoStateFileIsRefused) {
    const std::string image = Image(12);
    ASSERT_EQ(folder.Sim("wire turnaround-ms=0,program-ns-per-byte=200000"), 0);
    std::string err;
    nlohmann::json doc;
    const int code = RunAndInterrupt({"--yes", "program", "--load", "--body", "12", image},
                                     "Pass 1: step 1 of 3: Blank Check", SIGINT, err, doc, true);
    EXPECT_EQ(code, 130);
    EXPECT_THAT(err, HasSubstr("second interrupt: ending now."));
    std::string shown;
    EXPECT_EQ(folder.Sim("show", &shown), 0) << shown;

    // A state file that is a FIFO would block its open for ever.
    const fs::path fifo = folder.Path() / "fifo.state";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string command = "BURNWRIGHT_WRITER=sim:" + fifo.string() +
                                " BURNWRIGHT_LOCK_DIR=" + (folder.Path() / "claims").string() +
                                " " + BURNWRIGHT_CLI + " writers >/dev/null 2>" +
                                (folder.Path() / "fifo.txt").string();
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 5);
    EXPECT_THAT(ReadFile(folder.Path() / "fifo.txt"), HasSubstr("it is not a regular file"));
}

} // namespace
} // namespace clitest
