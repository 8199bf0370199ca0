// The main of every test program: GoogleTest, with names of its own per test,
// and temporary folders in memory where the system has a memory file system:
// tests write and flush their settings and state files thousands of times, and
// need them whole, not on a disk.
#include "tests/support/PrivateNames.h"

#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
#ifndef _WIN32
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec))
        ::setenv("TMPDIR", "/dev/shm", 0);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    testsupport::UsePrivateNamesPerTest();
    return RUN_ALL_TESTS();
}
