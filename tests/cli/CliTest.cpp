// burnwright-cli run as a program against simulated writers kept in a state
// file: exit codes reached by real situations, the JSON document against
// what the writer and the settings file hold afterwards, progress on standard
// error only, the production record, and claims between two processes.
#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct Outcome {
    int exit = -1;
    std::string out, err;
    nlohmann::json Json() const { return nlohmann::json::parse(out); }
};

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("burnwright-cli-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        fs::copy_file(BURNWRIGHT_PROFILE, folder / "OTPBodyProfile.xml");
        Sim("add-writer 0");
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string Env() const {
        return "BURNWRIGHT_WRITER=sim:" + (folder / "bus.state").string() +
               " BURNWRIGHT_PROGRAM_PATH=" + (folder / "burnwright").string() + " ";
    }
    Outcome Cli(const std::string& args) {
        Outcome run;
        const fs::path out = folder / "out.txt", err = folder / "err.txt";
        const std::string command = Env() + BURNWRIGHT_CLI + " " + args + " >" + out.string() +
                                    " 2>" + err.string() + " </dev/null";
        const int status = std::system(command.c_str());
        run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = Read(out);
        run.err = Read(err);
        return run;
    }
    std::string Sim(const std::string& args) {
        const fs::path out = folder / "sim.txt";
        const std::string command = std::string(BURNWRIGHT_SIM) + " " +
                                    (folder / "bus.state").string() + " " + args + " >" +
                                    out.string() + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()) == 0 || args.rfind("add-writer 0", 0) == 0, true)
            << args;
        return Read(out);
    }
    // An image body 12 accepts.
    std::string Image() {
        const std::string path = (folder / "day.bin").string();
        EXPECT_EQ(Cli("image make --body 12 --seed 5 " + path).exit, 0);
        return path;
    }
    void Developer() {
        std::ofstream(folder / "burnwright.ini") << "[General]\nDevelopVersion=MERiL_TB7\n";
    }
    std::string Setting(const std::string& key) {
        const std::string ini = Read(folder / "burnwright.ini");
        const size_t at = ini.find(key + "=");
        return at == std::string::npos
                   ? ""
                   : ini.substr(at + key.size() + 1,
                                ini.find_first_of("\r\n", at) - at - key.size() - 1);
    }

    fs::path folder;
};

TEST_F(CliTest, PassWithAnEmptySocketAndAFailingChipReportsRecordsAndCountsIt) {
    Sim("remove-chip 0 5");
    Sim("insert-chip 0 9 16"); // too small for the body: fails its blank check
    const std::string image = Image();
    const Outcome run = Cli("program --body 12 " + image + " --load --yes --json --log-csv " +
                            (folder / "record.csv").string());
    EXPECT_EQ(run.exit, 1) << run.err;
    const nlohmann::json doc = run.Json(); // standard output holds the document alone
    EXPECT_EQ(doc["exitCode"], 1);
    EXPECT_EQ(doc["writer"]["member"], 0);
    EXPECT_EQ(doc["body"]["index"], 12);
    const auto& sockets = doc["sockets"];
    EXPECT_EQ(sockets[5]["enabled"], false);
    EXPECT_EQ(sockets[5]["state"], "Init");
    EXPECT_EQ(sockets[9]["state"], "Fail");
    EXPECT_EQ(sockets[9]["lamp"], "red");
    EXPECT_EQ(sockets[9]["text"], "Blank Check ... Fail");
    EXPECT_EQ(sockets[0]["text"], "Verify ... OK");
    EXPECT_EQ(sockets[0]["lamp"], "green");
    ASSERT_EQ(doc["steps"].size(), 3u);
    EXPECT_EQ(doc["steps"][2]["operation"], "Verify");
    EXPECT_EQ(doc["steps"][2]["ok"], 14);
    EXPECT_EQ(doc["counters"], (nlohmann::json{{"ok", 14}, {"fail", 1}}));
    EXPECT_THAT(run.err, HasSubstr("Load the bin file to the WriterBuffer now ?\n"));
    EXPECT_THAT(run.err, HasSubstr("Loading... 100%"));
    EXPECT_THAT(run.out, ::testing::Not(HasSubstr("100%")));

    // The settings file and the writer hold the same counters; chips are written.
    EXPECT_EQ(Setting("OtpCounterOk"), "14");
    EXPECT_EQ(Setting("OtpCounterFail"), "1");
    const std::string state = Sim("show");
    EXPECT_THAT(state, HasSubstr("counters 14/1"));
    EXPECT_THAT(state, HasSubstr("socket 0: chip of any body, programmed"));
    EXPECT_THAT(state, HasSubstr("socket 9: 16-byte chip, blank"));

    const std::string sum = doc["image"]["checksum"];
    const std::string serial = doc["writer"]["serial"];
    const std::string csv = Read(folder / "record.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 16); // a header and 15 chips
    EXPECT_THAT(csv, HasSubstr("," + serial + ",10,12,KD100," + image + "," + sum +
                               ",Fail,-,-,-,Fail,14,1\n"));
    EXPECT_THAT(csv, HasSubstr("," + serial + ",1,12,KD100," + image + "," + sum +
                               ",OK,OK,OK,-,OK,14,1\n"));

    // A second run starts from the writer's counters.
    const Outcome counters = Cli("counters --json");
    EXPECT_EQ(counters.exit, 0) << counters.err;
    EXPECT_EQ(counters.Json()["writerBlock"], (nlohmann::json{{"ok", 14}, {"fail", 1}}));
}

TEST_F(CliTest, WireTimingOnReportsTheLoadAndEachStepOnTheWire) {
    const std::string image = Image();
    // Without the timing model the document carries no wire time.
    nlohmann::json doc = Cli("load --body 12 " + image + " --yes --json").Json();
    EXPECT_EQ(doc["bufferLoaded"], true);
    EXPECT_FALSE(doc.contains("wireMilliseconds"));

    // Without turnaround every transfer still takes a frame of its own, and
    // the 16 KiB image alone is 256 packets of 64 bytes. Each OTP step keeps
    // the chips busy for 16384 bytes at 2 us a byte: 32.8 ms.
    Sim("wire turnaround-ms=0,program-ns-per-byte=2000");
    const Outcome run = Cli("program --body 12 " + image + " --load --yes --json");
    EXPECT_EQ(run.exit, 0) << run.err;
    doc = run.Json();
    const auto& load = doc["load"];
    EXPECT_GE(load["wireMilliseconds"], 256);
    // The model waits on the machine's clock: the host took at least as long.
    EXPECT_LE(load["wireMilliseconds"], load["milliseconds"]);
    ASSERT_EQ(doc["steps"].size(), 3u);
    for (const auto& step : doc["steps"]) {
        // Each step's own wire time, not the time since the load began.
        EXPECT_GE(step["wireMilliseconds"], 32) << step;
        EXPECT_LT(step["wireMilliseconds"], 100) << step;
        EXPECT_LE(step["wireMilliseconds"], step["milliseconds"].get<int>() + 1) << step;
    }
}

TEST_F(CliTest, EachExitCodeComesFromARealSituation) {
    const std::string image = Image();
    Outcome run = Cli("load --body 12 " + image); // no --yes and no terminal
    EXPECT_EQ(run.exit, 6);
    EXPECT_THAT(run.err, HasSubstr("Load the bin file to the WriterBuffer now ?\n"
                                   "burnwright-cli: this question needs an answer"));

    std::ofstream(folder / "short.bin") << "too short";
    run = Cli("load --yes --body 12 " + (folder / "short.bin").string());
    EXPECT_EQ(run.exit, 4);
    EXPECT_THAT(run.err, HasSubstr("File size does not match the OTP size!\n"));
    EXPECT_EQ(Cli("image check --body 25 " + image).exit, 4);

    EXPECT_EQ(Cli("program --body 99 " + image).exit, 2);
    EXPECT_EQ(Cli("program --sockets 0-3 --body 12 " + image).exit, 2);
    run = Cli("read-otp --body 12"); // a developer button, not allowed by the settings
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("--developer"));

    EXPECT_EQ(Cli("program --yes --load --body 12 " + image).exit, 0) << "fresh chips: all OK";

    for (int socket = 0; socket < 16; ++socket)
        Sim("remove-chip 0 " + std::to_string(socket));
    run = Cli("program --yes --load --body 12 " + image);
    EXPECT_EQ(run.exit, 3);
    EXPECT_THAT(run.err, HasSubstr("no socket is enabled (no chip, or none selected)"));

    Sim("unplug 0");
    run = Cli("program --yes --body 12 " + image);
    EXPECT_EQ(run.exit, 5);
}

TEST_F(CliTest, TwoProcessesClaimDifferentWritersAndANamedHeldWriterIsRefused) {
    Sim("add-writer 1");
    Developer();
    const std::string image = Image();
    // The first process holds its writer while its stress run waits for its
    // first pass a minute away.
    const std::string held = (folder / "held.txt").string();
    const std::string command = Env() + BURNWRIGHT_CLI + " program --developer --yes --body 12 " +
                                image + " --stress 1 --interval 60000 >" + held +
                                " 2>&1 & echo $! >" + (folder / "pid").string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    struct Killer {
        fs::path pidFile;
        ~Killer() { ::kill(std::stoi(Read(pidFile)), SIGKILL); }
    } killer{folder / "pid"};
    int claimedMember = -1;
    for (int attempt = 0; attempt < 500 && claimedMember < 0; ++attempt) {
        const nlohmann::json list = Cli("writers --json").Json();
        for (const auto& w : list["writers"])
            if (w["claimed"] == true)
                claimedMember = w["member"];
        if (claimedMember < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(claimedMember, 0) << Read(held);

    const Outcome second = Cli("program --yes --json --body 12 " + image);
    EXPECT_EQ(second.exit, 0) << second.err;
    EXPECT_NE(second.Json()["writer"]["member"], claimedMember);

    const Outcome named = Cli("counters --writer " + std::to_string(claimedMember));
    EXPECT_EQ(named.exit, 5);
    EXPECT_THAT(named.err, HasSubstr("is in use by another process"));
}

} // namespace
