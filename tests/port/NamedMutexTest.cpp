#include "port/NamedMutex.h"
#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Outcome = port::NamedMutex::Outcome;

std::string UniqueName() {
    std::random_device random;
    return "burnwright-test#" + std::to_string(random()) + "&{x}";
}

// Runs `check` in a child process and returns its exit status.
template <typename Check> int InChildProcess(Check check) {
    const pid_t child = fork();
    if (child == 0)
        _exit(check());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

mode_t ModeOf(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Every claim of a test lives in a claim folder of its own.
class NamedMutex : public ::testing::Test {
protected:
    testsupport::ProgramFolder scratch;
    std::string claims = scratch.File("claims");
};

TEST_F(NamedMutex, SecondHolderInThisProcessSeesAlreadyExists) {
    const std::string name = UniqueName();
    port::NamedMutex first(claims), second(claims);
    EXPECT_EQ(first.Create(name), Outcome::Created);
    EXPECT_EQ(second.Create(name), Outcome::AlreadyExists);
    EXPECT_FALSE(second.IsHeld());
    first.Close();
    EXPECT_EQ(second.Create(name), Outcome::Created);
}

TEST_F(NamedMutex, AnotherProcessSeesAlreadyExistsUntilReleased) {
    const std::string name = UniqueName();
    {
        port::NamedMutex held(claims);
        ASSERT_EQ(held.Create(name), Outcome::Created);
        EXPECT_EQ(InChildProcess([&] {
                      port::NamedMutex other(claims);
                      return other.Create(name) == Outcome::AlreadyExists ? 0 : 1;
                  }),
                  0);
    }
    EXPECT_EQ(InChildProcess([&] {
                  port::NamedMutex other(claims);
                  return other.Create(name) == Outcome::Created ? 0 : 1;
              }),
              0);
}

TEST_F(NamedMutex, DyingHolderReleasesTheName) {
    const std::string name = UniqueName();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        port::NamedMutex held(claims);
        held.Create(name);
        char c = 1;
        (void)!write(ready[1], &c, 1);
        pause(); // killed while holding the name
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    port::NamedMutex mine(claims);
    EXPECT_EQ(mine.Create(name), Outcome::AlreadyExists);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(mine.Create(name), Outcome::Created);
    close(ready[0]);
    close(ready[1]);
}

// The folder is made for every user whatever the umask; so are the lock files.
TEST_F(NamedMutex, ClaimFolderAndFilesAreOpenToEveryUser) {
    const mode_t previous = ::umask(077);
    port::NamedMutex claim(claims);
    const Outcome outcome = claim.Create("Writer#1");
    ::umask(previous);
    ASSERT_EQ(outcome, Outcome::Created) << claim.Error();
    EXPECT_EQ(ModeOf(claims), 01777u);
    EXPECT_EQ(ModeOf(fs::path(claims) / "burnwright-mutex-Writer_231.lock"), 0666u);
    claim.Close();
    if (::geteuid() != 0)
        return;
    // A claim file left by root is taken by an ordinary user.
    ::chmod(scratch.Folder().c_str(), 0755);
    EXPECT_EQ(InChildProcess([&] {
                  if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                      return 2;
                  port::NamedMutex other(claims);
                  return other.Create("Writer#1") == Outcome::Created ? 0 : 1;
              }),
              0);
}

TEST_F(NamedMutex, PlantedLinksAndForeignFoldersAreRefused) {
    fs::create_directory(claims);
    ::chmod(claims.c_str(), 01777);
    const std::string victim = scratch.File("victim");
    fs::create_symlink(victim, fs::path(claims) / "burnwright-mutex-planted.lock");
    port::NamedMutex claim(claims);
    EXPECT_EQ(claim.Create("planted"), Outcome::Failed);
    EXPECT_NE(claim.Error().find("symbolic link"), std::string::npos) << claim.Error();
    EXPECT_FALSE(fs::exists(victim));

    const std::string linked = scratch.File("linked");
    fs::create_directory_symlink(claims, linked);
    port::NamedMutex throughLink(linked);
    EXPECT_EQ(throughLink.Create("other"), Outcome::Failed);
    EXPECT_NE(throughLink.Error().find("symbolic link"), std::string::npos);

    ::chmod(claims.c_str(), 0777); // anyone could remove a holder's file
    EXPECT_EQ(claim.Create("other"), Outcome::Failed);
    EXPECT_NE(claim.Error().find("sticky"), std::string::npos) << claim.Error();
    ::chmod(claims.c_str(), 01777);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(claims.c_str(), 65534, 65534), 0);
        EXPECT_EQ(claim.Create("other"), Outcome::Failed);
        EXPECT_NE(claim.Error().find("another user"), std::string::npos) << claim.Error();
    }
}

TEST_F(NamedMutex, DefaultFolderComesFromTheEnvironment) {
    const char* before = std::getenv("BURNWRIGHT_LOCK_DIR");
    const std::string saved = before ? before : "";
    ::setenv("BURNWRIGHT_LOCK_DIR", claims.c_str(), 1);
    EXPECT_EQ(port::DefaultLockFolder(), claims);
    port::NamedMutex claim;
    EXPECT_EQ(claim.Create("env"), Outcome::Created);
    EXPECT_TRUE(fs::exists(fs::path(claims) / "burnwright-mutex-env.lock"));
    ::unsetenv("BURNWRIGHT_LOCK_DIR");
    const std::string fallback = port::DefaultLockFolder();
    EXPECT_TRUE(fallback == "/run/lock" || fallback == "/tmp") << fallback;
    if (before)
        ::setenv("BURNWRIGHT_LOCK_DIR", saved.c_str(), 1);
}

} // namespace
