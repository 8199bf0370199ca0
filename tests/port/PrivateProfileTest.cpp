#include "port/PrivateProfile.h"
#include "tests/support/ProgramFolder.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::ProgramFolder;

class PrivateProfile : public ::testing::Test {
protected:
    std::string Get(const char* section, const char* key, const char* def = "") {
        char buffer[1024];
        const uint32_t n =
            port::GetPrivateProfileString(section, key, def, buffer, sizeof buffer, path.c_str());
        return std::string(buffer, n);
    }
    bool Put(const char* section, const char* key, const char* value) {
        return port::WritePrivateProfileString(section, key, value, path.c_str());
    }
    std::string Contents() { return ProgramFolder::Read(path); }

    ProgramFolder folder;
    std::string path = folder.File("settings.ini");
};

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

TEST_F(PrivateProfile, WriteKeepsLinkModeAndByteOrderMark) {
    namespace fs = std::filesystem;
    const std::string real = folder.File("owner.ini");
    ProgramFolder::Write(real, "\xEF\xBB\xBF[General]\r\nA=1\r\n");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    fs::create_symlink("owner.ini", path);
    EXPECT_EQ(Get("General", "A"), "1");
    EXPECT_TRUE(Put("General", "B", "2"));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path)));
    EXPECT_EQ(ProgramFolder::Read(real), "\xEF\xBB\xBF[General]\r\nA=1\r\nB=2\r\n");
    struct stat status {};
    ASSERT_EQ(::stat(real.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

// Writers in three processes, two threads each, every one with keys of its own:
// every write succeeds and every key is in the file afterwards.
TEST_F(PrivateProfile, OverlappingWritersFromThreadsAndProcessesLoseNothing) {
    constexpr int kProcesses = 3, kThreads = 2, kKeys = 40;
    const auto writeAll = [&](int process) {
        int failures = 0;
        std::vector<std::thread> threads;
        std::vector<int> failed(kThreads, 0);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int k = 0; k < kKeys; ++k) {
                    const std::string key = "p" + std::to_string(process) + "t" +
                                            std::to_string(t) + "k" + std::to_string(k);
                    if (!Put("Counters", key.c_str(), std::to_string(k).c_str()))
                        ++failed[t];
                }
            });
        for (int t = 0; t < kThreads; ++t) {
            threads[t].join();
            failures += failed[t];
        }
        return failures;
    };
    std::vector<pid_t> children;
    for (int p = 1; p < kProcesses; ++p) {
        const pid_t child = fork();
        if (child == 0)
            _exit(std::min(writeAll(p), 100));
        children.push_back(child);
    }
    EXPECT_EQ(writeAll(0), 0);
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    char buffer[16384];
    const uint32_t n =
        port::GetPrivateProfileString("Counters", nullptr, "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(std::count(buffer, buffer + n, '\0'), kProcesses * kThreads * kKeys);
    EXPECT_EQ(Get("Counters", "p2t1k39"), "39");
}

} // namespace
