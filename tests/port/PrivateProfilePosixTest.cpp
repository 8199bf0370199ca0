// Settings-file behaviour that rests on POSIX file modes, links and fork.
#include "tests/port/PrivateProfileFixture.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using porttest::PrivateProfile;
using testsupport::ProgramFolder;

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
