// Every test runs with machine-wide names of its own: a fresh claim folder
// (BURNWRIGHT_LOCK_DIR) made when the test starts and removed when it ends, so
// named mutexes, writer claims and the firmware-update lock taken by one test
// are never seen by another test, in this process or in one running beside it,
// nor by a program the user runs on the same machine.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace testsupport {

// A new, empty folder under the system's temporary folder, named `prefix` and
// a random suffix; never one that existed before.
std::filesystem::path MakeTemporaryFolder(const std::string& prefix);

class PrivateNamesPerTest : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override;
    void OnTestEnd(const ::testing::TestInfo&) override;

private:
    std::filesystem::path folder_;
};

// Installs PrivateNamesPerTest; call after InitGoogleTest.
void UsePrivateNamesPerTest();

} // namespace testsupport
