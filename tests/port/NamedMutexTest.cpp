#include "port/NamedMutex.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

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

TEST(NamedMutex, SecondHolderInThisProcessSeesAlreadyExists) {
    const std::string name = UniqueName();
    port::NamedMutex first, second;
    EXPECT_EQ(first.Create(name), port::NamedMutex::Outcome::Created);
    EXPECT_EQ(second.Create(name), port::NamedMutex::Outcome::AlreadyExists);
    EXPECT_FALSE(second.IsHeld());
    first.Close();
    EXPECT_EQ(second.Create(name), port::NamedMutex::Outcome::Created);
}

TEST(NamedMutex, AnotherProcessSeesAlreadyExistsUntilReleased) {
    const std::string name = UniqueName();
    {
        port::NamedMutex held;
        ASSERT_EQ(held.Create(name), port::NamedMutex::Outcome::Created);
        EXPECT_EQ(InChildProcess([&] {
                      port::NamedMutex other;
                      return other.Create(name) == port::NamedMutex::Outcome::AlreadyExists ? 0 : 1;
                  }),
                  0);
    }
    EXPECT_EQ(InChildProcess([&] {
                  port::NamedMutex other;
                  return other.Create(name) == port::NamedMutex::Outcome::Created ? 0 : 1;
              }),
              0);
}

TEST(NamedMutex, DyingHolderReleasesTheName) {
    const std::string name = UniqueName();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        port::NamedMutex held;
        held.Create(name);
        char c = 1;
        (void)!write(ready[1], &c, 1);
        pause(); // killed while holding the name
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    port::NamedMutex mine;
    EXPECT_EQ(mine.Create(name), port::NamedMutex::Outcome::AlreadyExists);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(mine.Create(name), port::NamedMutex::Outcome::Created);
    close(ready[0]);
    close(ready[1]);
}

} // namespace
