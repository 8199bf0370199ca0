// burnwright-cli run as a program against simulated writers kept in a state
// file: exit codes reached by real situations, the JSON document against
// what the writer and the settings file hold afterwards, progress on standard
// error only, the production record, claims between two processes, and the
// service commands (firmware, information block, IHRC trim, read-back).
#include "app/UpdateCheck.h"
#include "port/NamedMutex.h"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

    // Virtual time unless a test measures the program's own waits: every wait
    // of the program and the writer model then passes at once.
    bool realTime = false;
    std::string Env() const {
        return "BURNWRIGHT_WRITER=sim:" + (folder / "bus.state").string() +
               " BURNWRIGHT_PROGRAM_PATH=" + (folder / "burnwright").string() +
               " BURNWRIGHT_LOCK_DIR=" + (folder / "locks").string() +
               (realTime ? " " : " BURNWRIGHT_SIM_TIME=virtual ");
    }
    Outcome Cli(const std::string& args, const std::string& input = "/dev/null") {
        Outcome run;
        const fs::path out = folder / "out.txt", err = folder / "err.txt";
        const std::string command = Env() + BURNWRIGHT_CLI + " " + args + " >" + out.string() +
                                    " 2>" + err.string() + " <" + input;
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
    // An image the body accepts.
    std::string Image(int body = 12) {
        const std::string path = (folder / ("day" + std::to_string(body) + ".bin")).string();
        EXPECT_EQ(Cli("image make --body " + std::to_string(body) + " --seed 5 " + path).exit, 0);
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

TEST_F(CliTest, PassCountsTheChipsItProgrammedAndNotTheOnesBlankCheckRefused) {
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
    // A chip blank check refused was never programmed: no failed chip.
    EXPECT_EQ(doc["counters"], (nlohmann::json{{"ok", 14}, {"fail", 0}}));
    EXPECT_THAT(run.err, HasSubstr("Load the bin file to the WriterBuffer now ?\n"));
    EXPECT_THAT(run.err, HasSubstr("Loading... 100%"));
    EXPECT_THAT(run.out, ::testing::Not(HasSubstr("100%")));

    // The settings file and the writer hold the same counters; chips are written.
    EXPECT_EQ(Setting("OtpCounterOk"), "14");
    EXPECT_EQ(Setting("OtpCounterFail"), "0");
    const std::string state = Sim("show");
    EXPECT_THAT(state, HasSubstr("counters 14/0"));
    EXPECT_THAT(state, HasSubstr("socket 0: chip of any body, programmed"));
    EXPECT_THAT(state, HasSubstr("socket 9: 16-byte chip, blank"));

    const std::string sum = doc["image"]["checksum"];
    const std::string serial = doc["writer"]["serial"];
    const std::string csv = Read(folder / "record.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 16); // a header and 15 chips
    EXPECT_THAT(csv, HasSubstr("," + serial + ",10,12,KD100," + image + "," + sum +
                               ",Fail,-,-,-,Fail,14,0,1,\n"));
    EXPECT_THAT(csv, HasSubstr("," + serial + ",1,12,KD100," + image + "," + sum +
                               ",OK,OK,OK,-,OK,14,0,1,\n"));

    // Another image over two programmed chips, without blank check: both
    // fail their program step, and both are failed chips.
    const std::string other = (folder / "other.bin").string();
    ASSERT_EQ(Cli("image make --body 12 --seed 6 " + other).exit, 0);
    const Outcome again =
        Cli("program --body 12 " + other + " --load --program --verify --sockets 1-2 --yes --json");
    EXPECT_EQ(again.exit, 1) << again.err;
    EXPECT_EQ(again.Json()["sockets"][0]["text"], "Program ...Fail");
    EXPECT_EQ(again.Json()["counters"], (nlohmann::json{{"ok", 14}, {"fail", 2}}));

    // A second run starts from the writer's counters.
    const Outcome counters = Cli("counters --json");
    EXPECT_EQ(counters.exit, 0) << counters.err;
    EXPECT_EQ(counters.Json()["writerBlock"], (nlohmann::json{{"ok", 14}, {"fail", 2}}));
    EXPECT_EQ(counters.Json()["settingsFile"], (nlohmann::json{{"ok", 14}, {"fail", 2}}));
}

TEST_F(CliTest, WireTimingOnReportsTheLoadAndEachStepOnTheWire) {
    realTime = true;
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

    const Outcome second = Cli("program --yes --load --json --body 12 " + image);
    EXPECT_EQ(second.exit, 0) << second.err;
    EXPECT_NE(second.Json()["writer"]["member"], claimedMember);

    const Outcome named = Cli("counters --writer " + std::to_string(claimedMember));
    EXPECT_EQ(named.exit, 5);
    EXPECT_THAT(named.err, HasSubstr("is in use by another process"));
}

TEST_F(CliTest, FirmwareUpdateRefusesAnUnusableFileAndCheckNeverUpdates) {
    const fs::path file = folder / "OTP_Controller_C51FW.bin";
    Outcome run = Cli("--yes firmware update");
    EXPECT_EQ(run.exit, 4);
    EXPECT_THAT(run.err, HasSubstr("no firmware file beside the program"));

    // A boot block and an application holding version 0009.0002.0000.0000 at 0x6000.
    std::string image(0x600C, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 31 + 7);
    image.replace(0x6000, 12, std::string("\x00\x09\x00\x02\0\0\0\0\0\0\0\0", 12));
    std::ofstream(file, std::ios::binary) << image.substr(0, 24000); // cut before the version
    run = Cli("--yes firmware update");
    EXPECT_EQ(run.exit, 4);
    EXPECT_THAT(run.err, HasSubstr("OTP_Controller_C51FW.bin cannot be a firmware image: it is "
                                   "24000 bytes long, and a firmware image has 24588 to 65536 "
                                   "bytes; the writer was not changed."));

    std::ofstream(file, std::ios::binary | std::ios::trunc) << image;
    run = Cli("--yes --json firmware check");
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.Json()["writer"]["firmware"], "0009.0001.0000.0000");
    EXPECT_EQ(run.Json()["firmwareFile"]["version"], "0009.0002.0000.0000");
    EXPECT_EQ(run.Json()["updateOffered"], true);
    EXPECT_THAT(run.err, HasSubstr("(answered No: this command changes no firmware; "
                                   "--update-firmware accepts the offer)"));
    EXPECT_EQ(Cli("firmware update").exit, 6);
    EXPECT_THAT(Sim("show"), HasSubstr("firmware 9.1.0.0"));

    // An update lock the system cannot give is no other program updating:
    // --yes says why and stops at once.
    const fs::path lock = folder / "locks" / "burnwright-mutex-MERiLICEFWUpadte.lock";
    fs::create_directories(lock);
    run = Cli("--yes firmware update");
    EXPECT_EQ(run.exit, 5);
    EXPECT_THAT(run.err, HasSubstr("is not a plain file; refused.\nThe firmware was not updated."));
    EXPECT_THAT(run.err, ::testing::Not(HasSubstr("Another MERiL ICE is updating.")));
    fs::remove(lock);
    EXPECT_THAT(Sim("show"), HasSubstr("firmware 9.1.0.0"));

    // On a terminal: the offer at start-up declined, the update's own question accepted.
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
    ASSERT_EQ(::write(terminal, "n\ny\n", 4), 4);
    run = Cli("--json firmware update", ::ptsname(terminal));
    ::close(terminal);
    EXPECT_EQ(run.exit, 0) << run.err;
    const size_t asked = run.err.find("[Yes/No] ");
    EXPECT_NE(run.err.find("[Yes/No] ", asked + 1), std::string::npos) << run.err;
    EXPECT_EQ(run.Json()["writer"]["firmware"], "0009.0002.0000.0000");
    EXPECT_EQ(run.Json()["updateOffered"], false);
    EXPECT_THAT(run.err, HasSubstr("Update Boot version... 100%\nUpdate success!\n"));
    EXPECT_THAT(run.out, ::testing::Not(HasSubstr("%")));
    EXPECT_THAT(Sim("show"), HasSubstr("firmware 9.2.0.0"));

    // A writer an interrupted update left in its boot loader: the way back is named.
    Sim("boot-loader 0");
    fs::remove(file);
    run = Cli("--yes firmware update");
    EXPECT_EQ(run.exit, 5);
    EXPECT_THAT(run.err, HasSubstr("the writer is in its boot loader (a firmware update did not "
                                   "finish); put OTP_Controller_C51FW.bin beside the program"));

    // While another program is updating, --yes alone declines to wait;
    // --wait-for-update waits for it, asking once.
    std::ofstream(file, std::ios::binary) << image;
    port::NamedMutex other((folder / "locks").string());
    ASSERT_EQ(other.Create(app::kUpdateMutexName), port::NamedMutex::Outcome::Created);
    run = Cli("--yes firmware update");
    EXPECT_EQ(run.exit, 6);
    EXPECT_THAT(run.err, HasSubstr("--wait-for-update answers Yes."));
    fs::remove(folder / "err.txt"); // the release waits for the next run's question
    std::thread release([&] {
        for (int i = 0; i < 500 && Read(folder / "err.txt").find("updating") == std::string::npos;
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        other.Close();
    });
    run = Cli("--yes --wait-for-update firmware update");
    release.join();
    EXPECT_EQ(run.exit, 0) << run.err;
    const std::string busy = "Another MERiL ICE is updating.";
    EXPECT_NE(run.err.find(busy), std::string::npos);
    EXPECT_EQ(run.err.find(busy), run.err.rfind(busy));
    EXPECT_THAT(Sim("show"), HasSubstr("firmware 9.2.0.0"));
}

// A settings file that takes nothing, or never ends, and a body without OTP
// size decide no result: the image checked is the image programmed, and a
// body that cannot be programmed is refused before anything is sent.
TEST_F(CliTest, SettingsAndProfileThatCannotServeDecideNoResult) {
    const std::string image = Image();
    fs::create_directory(folder / "burnwright.ini");
    Outcome run = Cli("program --body 12 " + image + " --load --yes --json");
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.Json()["sockets"][0]["text"], "Verify ... OK");
    EXPECT_EQ(run.Json()["load"]["sockets"][0]["text"], "Loading...Verify ... OK");
    EXPECT_THAT(run.err, HasSubstr("The counters could not be written to "));
    EXPECT_THAT(Sim("show"), HasSubstr("socket 0: chip of any body, programmed"));
    fs::remove(folder / "burnwright.ini");

    fs::create_symlink("/dev/zero", folder / "burnwright.ini");
    run = Cli("counters --json");
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.Json()["settingsFile"], (nlohmann::json{{"ok", 0}, {"fail", 0}}));
    EXPECT_EQ(run.Json()["writerBlock"], (nlohmann::json{{"ok", 16}, {"fail", 0}}));
    fs::remove(folder / "burnwright.ini");

    std::string profile = Read(folder / "OTPBodyProfile.xml");
    const size_t at = profile.find("OTPSize=\"", profile.find("BodyID=\"13\""));
    profile.replace(at, profile.find('"', at + 9) - at + 1, "OTPSize=\"0\"");
    std::ofstream(folder / "OTPBodyProfile.xml", std::ios::trunc) << profile;
    Sim("fresh-chips 0");
    run = Cli("program --body 13 " + Image(13) + " --load --yes");
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("Faild to load OTPBodyProfile.xml !"));
    EXPECT_THAT(run.err, HasSubstr("body 13 \" KR110 \" has no OTP size"));
    EXPECT_THAT(Sim("show"), ::testing::Not(HasSubstr("programmed")));
}

TEST_F(CliTest, InformationCommandsWriteTheBlockTheWriterThenHolds) {
    EXPECT_EQ(Cli("info get").exit, 2); // developer mode only
    Developer();
    Outcome run = Cli("--developer --json info get --body 12");
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.Json()["block"], std::string(384, 'A')); // nothing stored
    EXPECT_EQ(Cli("--developer info set ZZ").exit, 2);

    EXPECT_EQ(Cli("--developer info set --body 12").exit, 0);
    EXPECT_THAT(Sim("show"), HasSubstr("information stored"));
    run = Cli("--developer --json info get --body 12");
    EXPECT_EQ(run.Json()["block"].get<std::string>().substr(0, 32),
              "000001090C1000000000000000000CFF");
    EXPECT_EQ(run.Json()["holdsNothing"], false);

    run = Cli("--developer info get-otp --body 12");
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("does not show it for body 12 KD100"));

    // Body 7: the information record goes to 0x20 (no image: checksum 0;
    // writer 9.1; the date bytes at 0x27-0x28 change daily).
    EXPECT_EQ(Cli("--developer info set-otp --body 7").exit, 0);
    run = Cli("--developer --json info get-otp --body 7");
    EXPECT_EQ(run.exit, 0) << run.err;
    const std::string block = run.Json()["block"];
    EXPECT_EQ(block.substr(0x20 * 2, 14), "FF000000000109");
    EXPECT_EQ(block.substr(0x29 * 2, 14), "FFFFFF00000000");
    EXPECT_EQ(Read(folder / "GetOTPInfo.bin").size(), 192u);
}

TEST_F(CliTest, IhrcTrimRunsInDeveloperModeOnTheTickedSocketsOnly) {
    const std::string image = Image(16);
    Outcome run = Cli("--yes program --load --ihrc --body 16 " + image);
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("--ihrc uses developer-mode buttons"));
    Developer();
    run = Cli("--yes --developer program --load --ihrc --body 12 " + Image());
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("\"IHRC Trim\" is not offered for body 12 KD100."));

    run = Cli("--yes --developer --json program --load --sockets 1-2 --blank-check --program "
              "--verify --ihrc --body 16 " +
              image);
    EXPECT_EQ(run.exit, 0) << run.err;
    const nlohmann::json doc = run.Json();
    ASSERT_EQ(doc["steps"].size(), 4u); // the trim's line carries the Verify label
    EXPECT_EQ(doc["steps"][3]["operation"], "Verify");
    EXPECT_EQ(doc["steps"][3]["ok"], 2);
    EXPECT_EQ(doc["sockets"][1]["steps"]["Trim IHRC"], "OK");
    EXPECT_EQ(doc["sockets"][2]["enabled"], false);
    // The writer counts a trim per chip, on the two ticked sockets only.
    const std::string state = Read(folder / "bus.state");
    EXPECT_THAT(state, ::testing::ContainsRegex("\nsocket 1 [^\n]* ihrc=1 "));
    EXPECT_THAT(state, ::testing::ContainsRegex("\nsocket 2 [^\n]* ihrc=0 "));
    EXPECT_EQ(Setting("OtpCounterOk"), "2");
}

TEST_F(CliTest, WriterChosenBySerialReadsBackTheListedSocket) {
    Sim("add-writer 1");
    Developer();
    const std::string serial = Cli("--json writers").Json()["writers"][1]["serial"];
    Outcome run = Cli("--writer 0BADBEEF counters");
    EXPECT_EQ(run.exit, 5);
    EXPECT_THAT(run.err, HasSubstr("No free writer has the serial number 0BADBEEF."));
    run = Cli("--writer 11ZZ counters");
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("--writer takes a member index (0-99) or a serial number"));

    const fs::path image = folder / "words.bin";
    std::ofstream(image, std::ios::binary)
        << "\x12\x34\x56\x78\x9A\xBC\xDE\xF0" << std::string(16384 - 8, '\xFF');
    run = Cli("--writer " + serial + " --yes --json program --load --sockets 3 --body 12 " +
              image.string());
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.Json()["writer"]["member"], 1);

    const fs::path back = folder / "back.bin";
    run = Cli("--writer " + serial + " --developer read-otp --sockets 3 --out " +
              (folder / "missing" / "back.bin").string());
    EXPECT_EQ(run.exit, 2);
    EXPECT_THAT(run.err, HasSubstr("its folder does not exist"));
    EXPECT_FALSE(fs::exists(folder / "ReadOTPData.OTP.bin")); // refused before reading
    EXPECT_EQ(
        Cli("--writer " + serial + " --developer read-otp --sockets 3 --out " + back.string()).exit,
        0);
    // The chip holds the chip image, for this body the file itself; the check
    // bytes of the word image loaded stay in the writer.
    EXPECT_EQ(Read(back), Read(image));
    EXPECT_EQ(Read(folder / "ReadOTPData.OTP.bin"), Read(back));
    EXPECT_EQ(
        Cli("--writer " + serial + " --developer read-otp --sockets 1 --out " + back.string()).exit,
        0);
    EXPECT_EQ(Read(back), std::string(16384, '\xFF')); // a blank chip on socket 1

    Sim("remove-chip 1 5");
    run = Cli("--writer " + serial + " --developer read-otp --sockets 6");
    EXPECT_EQ(run.exit, 3);
    EXPECT_THAT(run.err, HasSubstr("no chip in the sockets listed"));
    // A 16-byte chip refuses a read of body 12's size: a failed transfer
    // that leaves the earlier copy as it was.
    Sim("remove-chip 1 3");
    Sim("insert-chip 1 3 16");
    run = Cli("--writer " + serial + " --developer read-otp --sockets 4 --out " + back.string());
    EXPECT_EQ(run.exit, 5);
    EXPECT_THAT(run.err, HasSubstr("Read USB failed."));
    EXPECT_EQ(Read(back), std::string(16384, '\xFF'));
    const std::string state = Sim("show");
    EXPECT_THAT(state.substr(0, state.find("member 1:")), ::testing::Not(HasSubstr("programmed")));
    EXPECT_THAT(state.substr(state.find("member 1:")),
                HasSubstr("socket 2: chip of any body, programmed"));
}

} // namespace
