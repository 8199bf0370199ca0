// The TCP station's token: the file made on first use, the comparison, and
// the slow-down of an address that keeps guessing, on a clock the test moves.
#include "cli/console/TokenGate.h"

#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace {

using cli::TokenThrottle;

TEST(TokenGateTest, TokenFileIsMadeOwnerOnlyOnceAndReadBackByItsFirstLine) {
    testsupport::ProgramFolder folder;
    const std::string path = folder.File("station.token");
    std::string token, message;
    bool created = false;
    EXPECT_FALSE(cli::LoadToken(path, false, token, created, message)); // not made unasked
    EXPECT_NE(message.find("cannot read the token file"), std::string::npos);

    ASSERT_TRUE(cli::LoadToken(path, true, token, created, message)) << message;
    EXPECT_TRUE(created);
    EXPECT_EQ(token.size(), 64u);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::string again;
    ASSERT_TRUE(cli::LoadToken(path, true, again, created, message));
    EXPECT_FALSE(created);
    EXPECT_EQ(again, token);

    testsupport::ProgramFolder::Write(path, "  short  \nsecond line\n");
    EXPECT_FALSE(cli::LoadToken(path, true, again, created, message));
    testsupport::ProgramFolder::Write(path, "  0123456789abcdefXYZ \r\nsecond line\n");
    ASSERT_TRUE(cli::LoadToken(path, true, again, created, message));
    EXPECT_EQ(again, "0123456789abcdefXYZ");
}

TEST(TokenGateTest, OnlyTheWholeTokenMatches) {
    const std::string token = "0123456789abcdef";
    EXPECT_TRUE(cli::TokenMatches(token, token));
    EXPECT_FALSE(cli::TokenMatches(token, ""));
    EXPECT_FALSE(cli::TokenMatches(token, "0123456789abcdeF"));
    EXPECT_FALSE(cli::TokenMatches(token, token + token)); // repeats it
    EXPECT_FALSE(cli::TokenMatches(token, "01234567"));    // a prefix
    EXPECT_FALSE(cli::TokenMatches("", ""));
}

TEST(TokenGateTest, GuessingAddressIsShutOutLongerEachTimeAndASuccessForgetsIt) {
    port::ManualClock clock(1000);
    TokenThrottle throttle(clock);
    for (int i = 0; i < TokenThrottle::kFreeFailures; ++i) {
        throttle.Failed("10.1.1.1");
        EXPECT_EQ(throttle.WaitMs("10.1.1.1"), 0u);
    }
    throttle.Failed("10.1.1.1");
    EXPECT_EQ(throttle.WaitMs("10.1.1.1"), 10000u);
    EXPECT_EQ(throttle.WaitMs("10.1.1.2"), 0u); // another address is not held
    clock.Advance(9999);
    EXPECT_EQ(throttle.WaitMs("10.1.1.1"), 1u);
    clock.Advance(1);
    EXPECT_EQ(throttle.WaitMs("10.1.1.1"), 0u);
    throttle.Failed("10.1.1.1");
    EXPECT_EQ(throttle.WaitMs("10.1.1.1"), 20000u);
    for (int i = 0; i < 20; ++i)
        throttle.Failed("10.1.1.1");
    EXPECT_EQ(throttle.WaitMs("10.1.1.1"), TokenThrottle::kLongestLockMs);
    throttle.Succeeded("10.1.1.1");
    EXPECT_EQ(throttle.WaitMs("10.1.1.1"), 0u);

    // The table stays bounded however many addresses guess.
    for (size_t i = 0; i < TokenThrottle::kMaxAddresses + 10; ++i) {
        clock.Advance(1);
        throttle.Failed("addr" + std::to_string(i));
    }
    for (int i = 0; i <= TokenThrottle::kFreeFailures; ++i)
        throttle.Failed("last");
    EXPECT_GT(throttle.WaitMs("last"), 0u);
}

} // namespace
