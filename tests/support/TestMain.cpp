// The main of every test program: GoogleTest, with names of its own per test.
#include "tests/support/PrivateNames.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testsupport::UsePrivateNamesPerTest();
    return RUN_ALL_TESTS();
}
