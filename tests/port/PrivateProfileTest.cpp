#include "tests/port/PrivateProfileFixture.h"

#include <algorithm>
#include <filesystem>
#include <string>

namespace {

using porttest::PrivateProfile;
using testsupport::ProgramFolder;

TEST_F(PrivateProfile, ReadsAreCaseInsensitiveTrimmedAndUnquoted) {
    ProgramFolder::Write(
        path, "[General]\r\n  Title  =  \"  My Writer \"  \r\nname='x'\r\nodd=\"half\r\n");
    EXPECT_EQ(Get("general", "TITLE"), "  My Writer ");
    EXPECT_EQ(Get(" GENERAL ", "Name"), "x");
    EXPECT_EQ(Get("General", "odd"), "\"half");
    EXPECT_EQ(Get("General", "missing", "dflt  "), "dflt");
    EXPECT_EQ(Get("Other", "Title"), "");
}

TEST_F(PrivateProfile, FirstDuplicateKeyWinsAndDuplicateSectionsReadAsOne) {
    ProgramFolder::Write(path, "[A]\nk=1\nk=2\n[B]\nx=0\n[a]\nk=3\nj=4\n");
    EXPECT_EQ(Get("A", "k"), "1");
    EXPECT_EQ(Get("A", "j"), "4");
    char buffer[64];
    const uint32_t n =
        port::GetPrivateProfileString(nullptr, nullptr, "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(std::string(buffer, n), std::string("A\0B\0", 4));
    const uint32_t keys =
        port::GetPrivateProfileString("A", nullptr, "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(std::string(buffer, keys), std::string("k\0j\0", 4));
}

TEST_F(PrivateProfile, ListsAndValuesThatDoNotFitAreCut) {
    ProgramFolder::Write(path, "[Alpha]\nv=0123456789\n[Beta]\n[Gamma]\n");
    char buffer[8];
    uint32_t n =
        port::GetPrivateProfileString(nullptr, nullptr, "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(std::string(buffer, 8), std::string("Alpha\0\0\0", 8));
    n = port::GetPrivateProfileString("Alpha", "v", "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(n, 7u);
    EXPECT_STREQ(buffer, "0123456");
}

TEST_F(PrivateProfile, FirstWriteCreatesTheFile) {
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(Put("General", "Title", "T"));
    EXPECT_EQ(Contents(), "[General]\r\nTitle=T\r\n");
}

TEST_F(PrivateProfile, WritesKeepOtherLinesInPlace) {
    ProgramFolder::Write(path, "; comment\r\n[General]\r\nA = 1\r\n\r\n[File]\r\nB=2\r\n");
    EXPECT_TRUE(Put("general", "a", "9"));   // replaced in place
    EXPECT_TRUE(Put("General", "New", "x")); // appended at the end of its section
    EXPECT_TRUE(Put("Extra", "K", "v"));     // new section at the end of the file
    EXPECT_EQ(Contents(),
              "; comment\r\n[General]\r\na=9\r\nNew=x\r\n\r\n[File]\r\nB=2\r\n[Extra]\r\nK=v\r\n");
    EXPECT_EQ(Get("General", "A"), "9");
}

TEST_F(PrivateProfile, NullValueRemovesKeyAndNullKeyRemovesSection) {
    ProgramFolder::Write(path, "[A]\nk=1\nj=2\n[B]\nx=0\n");
    EXPECT_TRUE(Put("A", "k", nullptr));
    EXPECT_EQ(Get("A", "k", "gone"), "gone");
    EXPECT_EQ(Get("A", "j"), "2");
    EXPECT_TRUE(Put("A", nullptr, nullptr));
    EXPECT_EQ(Get("A", "j", "gone"), "gone");
    EXPECT_EQ(Get("B", "x"), "0");
}

TEST_F(PrivateProfile, JunkLongLinesAndMissingFinalBreakStillRead) {
    std::string junk("\x00\xff\x01[\n=\n\r\r\n", 10);
    junk +=
        "[General]\n" + std::string(5000, 'z') + "\nLong=" + std::string(3000, 'y') + "\nLast=end";
    ProgramFolder::Write(path, junk);
    EXPECT_EQ(Get("General", "Last"), "end");
    EXPECT_EQ(Get("General", "Long").size(), 1023u);
    EXPECT_TRUE(Put("General", "Last", "again"));
    EXPECT_EQ(Get("General", "Last"), "again");
    EXPECT_EQ(Get("General", "Long").size(), 1023u);
}

TEST_F(PrivateProfile, ReadOnlyFileIsNeverWritten) {
    ProgramFolder::Write(path, "[General]\r\nOtpCounterOk=12\r\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read);
    EXPECT_FALSE(Put("General", "OtpCounterOk", "13"));
    EXPECT_FALSE(Put("General", nullptr, nullptr));
    EXPECT_EQ(Get("General", "OtpCounterOk"), "12");
    EXPECT_EQ(Contents(), "[General]\r\nOtpCounterOk=12\r\n");
}

TEST_F(PrivateProfile, WriteLeavesNoTemporaryFileBehind) {
    EXPECT_TRUE(Put("S", "k", "v"));
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.Folder()))
        ++files;
    EXPECT_EQ(files, 1);
}

TEST_F(PrivateProfile, UnwritableFolderFailsWithoutDamage) {
    const std::string missing = folder.File("no/such/dir/settings.ini");
    EXPECT_FALSE(port::WritePrivateProfileString("S", "k", "v", missing.c_str()));
}

TEST_F(PrivateProfile, LineBreaksAreRefusedAndTheFileKept) {
    const std::string before = "[File]\r\nLastOpenFileName=old.bin\r\n";
    ProgramFolder::Write(path, before);
    EXPECT_FALSE(Put("File", "LastOpenFileName", "a\n[General]\nDevelopVersion=MERiL_TB7"));
    EXPECT_FALSE(Put("File", "Last\rOpen", "x"));
    EXPECT_FALSE(Put("Fi\nle", "k", "x"));
    EXPECT_EQ(Contents(), before);
    EXPECT_EQ(Get("General", "DevelopVersion"), "");
    std::filesystem::remove(path);
    EXPECT_FALSE(Put("File", "k", "\r"));
    EXPECT_FALSE(std::filesystem::exists(path));
}

} // namespace
