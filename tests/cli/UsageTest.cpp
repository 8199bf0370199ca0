// burnwright-cli's questions and usage checks as a script meets them: each
// question that warns of a problem declined without its own option and
// accepted with it, and every usage mistake refused with its exit code and
// reason before a chip, the writer or the record is touched.
#include "tests/cli/CliProcess.h"

#include "sim/Firmware.h"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace clitest {
namespace {

using ::testing::HasSubstr;

class CliUsageTest : public ::testing::Test {
protected:
    CliUsageTest() : folder("usage") {}

    void SetUp() override {
        ASSERT_EQ(folder.Sim("wire off"), 0);
        image = (folder.Path() / "day.bin").string();
        ASSERT_EQ(folder.Run({"image", "make", "--body", "12", "--seed", "5", image}), 0);
    }
    int Run(const std::vector<std::string>& args, std::string& err) {
        return folder.Run(args, &err);
    }
    nlohmann::json Out() {
        return nlohmann::json::parse(ReadFile(folder.Path() / "out.txt"), nullptr, false);
    }
    std::string Shown() {
        std::string shown;
        folder.Sim("show", &shown);
        return shown;
    }

    CliFolder folder;
    std::string image;
};

TEST_F(CliUsageTest, WarningsAreDeclinedUnlessTheirOwnOptionAcceptsThem) {
    std::ofstream(folder.Path() / "burnwright.ini") << "[General]\nDevelopVersion=MERiL_TB7\n";
    std::string err;
    ASSERT_EQ(Run({"--yes", "load", "--body", "12", image}, err), 0) << err;
    // A new process does not know what the writer buffer holds: --yes does
    // not answer that warning.
    EXPECT_EQ(Run({"--yes", "--developer", "program", "--body", "12", image}, err), 6);
    EXPECT_THAT(err, HasSubstr("The writer buffer hasn't been initialized! \n\nDo you want to "
                               "program however?\nburnwright-cli: declined: this question warns "
                               "of a problem, and --yes answers only routine confirmations; "
                               "--program-uninitialized answers OK."));
    EXPECT_THAT(Shown(), ::testing::Not(HasSubstr("programmed")));
    EXPECT_EQ(
        Run({"--developer", "--program-uninitialized", "program", "--body", "12", image}, err), 0)
        << err;
    EXPECT_THAT(err, HasSubstr("(answered OK by --program-uninitialized)"));
    EXPECT_THAT(Shown(), HasSubstr("counters 16/0"));

    // A firmware file beside the program that differs from the writer's.
    const auto firmware = sim::BuildFirmwareImage(sim::FirmwareVersion{9, 2, 0, 0, 0, 0});
    std::ofstream(folder.Path() / "OTP_Controller_C51FW.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(firmware.data()), std::streamsize(firmware.size()));
    EXPECT_EQ(Run({"--yes", "counters"}, err), 0) << err;
    EXPECT_THAT(err, HasSubstr("Update latest firmware version?\n(answered No: this command "
                               "changes no firmware; --update-firmware accepts the offer)"));
    EXPECT_THAT(Shown(), HasSubstr("firmware 9.1.0.0"));
    EXPECT_EQ(Run({"--update-firmware", "counters"}, err), 0) << err;
    EXPECT_THAT(err, HasSubstr("(answered Yes by --update-firmware)"));
    EXPECT_THAT(Shown(), HasSubstr("firmware 9.2.0.0"));
}

TEST_F(CliUsageTest, MistakesAreRefusedWithTheirCodeBeforeAnythingIsTouched) {
    std::string err;
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    };
    const std::string record = (folder.Path() / "record.csv").string();
    std::ofstream(record) << "when,who,what\n";
    const Case cases[] = {
        {{"image", "check", "--body", "99", image}, 2, "--body must be 1 to 34"},
        {{"image", "check", "--body", "0", image}, 2, "--body must be 1 to 34"},
        {{"image", "check", "--body", "-1", image}, 2, "--body must be 1 to 34"},
        {{"--yes", "program", "--load", "--body", "35", image}, 2, "--body must be 1 to 34"},
        {{"--yes", "load", "--body", "0", image}, 2, "--body must be 1 to 34"},
        {{"--yes", "program", "--load", "--body", "12", image, "--sockets", ""},
         2,
         "not a socket list of 1-16: \"\""},
        {{"--yes", "program", "--load", "--body", "12", image, "--stress", "0"},
         2,
         "--stress must be 1 or more"},
        {{"--yes", "program", "--load", "--body", "12", image, "--stress", "-1"},
         2,
         "--stress must be 1 or more"},
        {{"--writer", "100", "counters"}, 2, "exactly 8 hexadecimal digits): 100"},
        {{"--writer", "abc", "counters"}, 2, "exactly 8 hexadecimal digits): abc"},
        {{"--yes", "program", "--load", "--body", "12", image, "--log-csv",
          (folder.Path() / "missing" / "record.csv").string()},
         2,
         "(its folder does not exist). Nothing was programmed."},
        {{"--yes", "program", "--load", "--body", "12", image, "--log-csv", record},
         2,
         "has other columns than this program writes; name a new file."},
        {{"image", "convert", "--body", "12", image, "--chip",
          (folder.Path() / "." / "day.bin").string(), "--word", (folder.Path() / "w.bin").string()},
         2,
         "is the input file"},
    };
    const std::string before = ReadFile(image);
    for (const Case& c : cases) {
        std::string args;
        for (const auto& a : c.args)
            args += a + " ";
        SCOPED_TRACE(args);
        EXPECT_EQ(Run(c.args, err), c.code) << err;
        EXPECT_THAT(err, HasSubstr(c.says));
    }
    EXPECT_EQ(ReadFile(image), before);
    EXPECT_EQ(ReadFile(record), "when,who,what\n");
    EXPECT_THAT(Shown(), ::testing::Not(HasSubstr("programmed")));
    EXPECT_THAT(Shown(), HasSubstr("counters 0/0"));

    // An image whose name holds a line break: refused with the reason, and
    // the document names that file, not the one opened before.
    ASSERT_EQ(Run({"--yes", "load", "--body", "12", image}, err), 0);
    const std::string odd = (folder.Path() / "odd\nname.bin").string();
    fs::copy_file(image, odd);
    EXPECT_EQ(Run({"--yes", "--json", "load", "--body", "12", odd}, err), 4);
    EXPECT_THAT(err, HasSubstr("the image file name holds a line break"));
    EXPECT_EQ(Out()["image"]["file"], odd);

    // The image commands answer in JSON too, numbers as numbers.
    EXPECT_EQ(Run({"--json", "image", "make", "--body", "12", "--seed", "3",
                   (folder.Path() / "m.bin").string()},
                  err),
              0);
    EXPECT_EQ(Out()["report"]["length"], 16384);
    EXPECT_EQ(Run({"--json", "image", "check", "--body", "25", image}, err), 4);
    EXPECT_EQ(Out()["exitCode"], 4);
    EXPECT_EQ(Out()["messages"][0], "File size does not match the OTP size!");

    // A program folder without a usable profile is broken, not the command.
    std::ofstream(folder.Path() / "OTPBodyProfile.xml", std::ios::trunc).flush();
    EXPECT_EQ(Run({"--json", "bodies"}, err), 7);
    EXPECT_EQ(Out()["exitCode"], 7);
    fs::remove(folder.Path() / "OTPBodyProfile.xml");
    EXPECT_EQ(Run({"--yes", "program", "--load", "--body", "12", image}, err), 7);
    EXPECT_THAT(err, HasSubstr("Faild to load OTPBodyProfile.xml !"));
    EXPECT_THAT(err, HasSubstr("the program folder holds no usable OTPBodyProfile.xml"));
}

} // namespace
} // namespace clitest
