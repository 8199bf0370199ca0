// The torture run over LINKPOD with an earlier version's removal fault put
// back (linkpod_removal_fault): an idle power-down's hold of I/O gave up the
// counts of other paths and waited on the stop event a query-remove waited on
// too, so the count went through 0 while removal could still come. The seeded
// schedule finds it; with a fixed seed it does so every time.
#include "tests/driver/linkpod/kernel/Torture.h"

#include <gtest/gtest-spi.h>

namespace linkpodtest {
namespace {

TEST(LinkPodRemovalFault, TheTortureRunFindsItWithSeedThree) {
    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
        SCOPED_TRACE("schedule seed 3");
        Torture torture(3);
        torture.Run();
        torture.Finish();
    }
    // The count gone through 0 refuses the query-remove at the end, and the
    // device that removal then cannot delete is left behind.
    bool refused = false;
    bool leftBehind = false;
    for (int i = 0; i < failures.size(); ++i) {
        const std::string message = failures.GetTestPartResult(i).message();
        EXPECT_NE(message.find("schedule seed 3"), std::string::npos) << message;
        refused = refused || message.find("-1073741738") != std::string::npos;
        leftBehind = leftBehind || message.find("device object not deleted") != std::string::npos;
    }
    EXPECT_TRUE(refused);
    EXPECT_TRUE(leftBehind);
}

} // namespace
} // namespace linkpodtest
