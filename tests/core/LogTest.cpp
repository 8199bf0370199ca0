#include "core/Log.h"
#include "core/Profiler.h"
#include "tests/support/ProgramFolder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>

namespace {

using testsupport::ProgramFolder;

class Log : public testsupport::ProgramFolderTest {
protected:
    void Enable(const char* key) { core::C_Profiler().WriteInt("General", key, 1); }
    std::string LogPath(const char* name) { return folder.ProgramPath() + name; }
    bool Exists(const char* name) { return std::filesystem::exists(LogPath(name)); }
};

TEST_F(Log, DisabledUsbLogCreatesNothingEvenOnClear) {
    core::C_USBLog log;
    EXPECT_FALSE(log.IsEnabled());
    log.Write("\n\nStart", true);
    log.Clear();
    EXPECT_FALSE(Exists("LogUSB.txt"));
}

TEST_F(Log, FilesLieBesideTheProgramNamedAfterItsWholeFileName) {
    Enable("LogUSBEn");
    core::C_USBLog log;
    EXPECT_EQ(log.FilePath(), folder.File("Burnwright.exeLogUSB.txt"));
}

TEST_F(Log, EntriesAppendWithTimeStampAndCrLf) {
    Enable("LogUSBEn");
    core::C_USBLog log;
    log.Write("\n\nStart\tUSB_Read(Size:0x40)");
    log.Write("\nEnd\t\tUSB_Read()");
    const std::string text = ProgramFolder::Read(LogPath("LogUSB.txt"));
    const std::regex shape("\r\n\r\nStart\tUSB_Read\\(Size:0x40\\)\t\t \\d\\d:\\d\\d:\\d\\d\t\t"
                           "\r\nEnd\t\tUSB_Read\\(\\)\t\t \\d\\d:\\d\\d:\\d\\d\t\t");
    EXPECT_TRUE(std::regex_match(text, shape)) << text;
    EXPECT_EQ(text.find("\n\n"), std::string::npos) << "bare line feeds";
}

TEST_F(Log, TruncateFlagLeavesOnlyThatEntry) {
    Enable("LogFuncEn");
    core::C_LogFunc log;
    log.Write("first");
    log.Write("second", true);
    const std::string text = ProgramFolder::Read(LogPath("LogFunc.txt"));
    EXPECT_EQ(text.rfind("second", 0), 0u);
    EXPECT_EQ(text.find("first"), std::string::npos);
}

TEST_F(Log, OtpLogWritesPlainLinesAndClearEmptiesIt) {
    Enable("LogOTPEn");
    core::C_OTPLog log;
    log.Write("Pass 1: OK 16");
    log.Write("Pass 2: OK 15");
    EXPECT_EQ(ProgramFolder::Read(LogPath("LogOTP.txt")), "Pass 1: OK 16\r\nPass 2: OK 15\r\n");
    log.Clear();
    EXPECT_TRUE(Exists("LogOTP.txt"));
    EXPECT_EQ(ProgramFolder::Read(LogPath("LogOTP.txt")), "");
}

TEST_F(Log, OtpLogFollowsSetEnabledNotItsKey) {
    Enable("LogOTPEn");
    core::C_OTPLog log;
    log.SetEnabled(0); // developer mode off at start-up
    log.Write("hidden");
    EXPECT_FALSE(Exists("LogOTP.txt"));
}

TEST_F(Log, ReloadReadsTheKeyAgain) {
    core::C_USBLog log;
    Enable("LogUSBEn");
    EXPECT_FALSE(log.IsEnabled());
    log.Reload();
    EXPECT_TRUE(log.IsEnabled());
    EXPECT_EQ(log.FilePath(), LogPath("LogUSB.txt"));
}

TEST_F(Log, UnopenableFileLosesTheEntrySilently) {
    Enable("LogOTPEn");
    std::filesystem::create_directory(LogPath("LogOTP.txt")); // a folder where the file should be
    core::C_OTPLog log;
    log.Write("lost");
    EXPECT_TRUE(std::filesystem::is_directory(LogPath("LogOTP.txt")));
}

TEST(Format, BuildsPrintfStyleText) {
    EXPECT_EQ(core::Format("Data[0x%X]: %02X", 64, 7), "Data[0x40]: 07");
    EXPECT_EQ(core::Format("%s", std::string(3000, 'a').c_str()).size(), 3000u);
}

} // namespace
