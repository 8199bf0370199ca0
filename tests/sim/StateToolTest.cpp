// The state-file tool: each command changes the file as a later run sees
// it; bad usage and broken files are reported and change nothing.
#include "sim/StateTool.h"

#include "sim/SimDeviceIo.h"
#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

#include <sstream>

namespace simtest {
namespace {

class SimStateTool : public ::testing::Test {
protected:
    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), Path());
        out_.str("");
        err_.str("");
        return sim::RunStateTool(args, out_, err_);
    }
    std::string Path() const { return folder_.File("bus.txt"); }

    testsupport::ProgramFolder folder_;
    std::ostringstream out_, err_;
};

TEST_F(SimStateTool, CommandsShapeTheBusALaterRunStartsWith) {
    EXPECT_EQ(Run({"add-writer", "4", "6"}), 0) << err_.str();
    EXPECT_EQ(Run({"remove-chip", "0", "3"}), 0) << err_.str();
    EXPECT_EQ(Run({"insert-chip", "4", "2", "2048"}), 0) << err_.str();
    EXPECT_EQ(Run({"unplug", "4"}), 0) << err_.str();
    EXPECT_EQ(Run({"boot-loader", "0"}), 0) << err_.str();
    auto bus = sim::MakeBus(Path());
    ASSERT_EQ(bus->Writers().size(), 2u);
    EXPECT_FALSE(bus->WriterAt(0)->HasChip(3));
    EXPECT_TRUE(bus->WriterAt(0)->InBootLoader());
    EXPECT_EQ(bus->WriterAt(4)->Config().deviceType, 6);
    EXPECT_FALSE(bus->WriterAt(4)->Plugged());
    EXPECT_EQ(bus->WriterAt(4)->ChipAt(2)->Size(), 2048u);
    EXPECT_EQ(Run({"show"}), 0);
    EXPECT_NE(out_.str().find("member 4 (unplugged)"), std::string::npos) << out_.str();
    EXPECT_NE(out_.str().find("(boot loader)"), std::string::npos) << out_.str();
    EXPECT_NE(out_.str().find("socket 3: no chip"), std::string::npos) << out_.str();
    EXPECT_EQ(Run({"remove-writer", "4"}), 0);
    EXPECT_EQ(sim::MakeBus(Path())->Writers().size(), 1u);
}

TEST_F(SimStateTool, BadUsageIsReportedAndChangesNothing) {
    EXPECT_EQ(Run({"show"}), 0);
    const std::string before = testsupport::ProgramFolder::Read(Path());
    EXPECT_EQ(Run({}), 2);
    EXPECT_NE(err_.str().find("usage"), std::string::npos);
    EXPECT_EQ(Run({"frobnicate", "0"}), 2);
    EXPECT_EQ(Run({"plug"}), 2);
    EXPECT_EQ(Run({"plug", "100"}), 2);
    EXPECT_EQ(Run({"insert-chip", "0", "16"}), 2);
    EXPECT_EQ(Run({"insert-chip", "0", "1", "-5"}), 2);
    EXPECT_EQ(Run({"add-writer", "0"}), 1);
    EXPECT_NE(err_.str().find("taken"), std::string::npos);
    EXPECT_EQ(Run({"unplug", "7"}), 1);
    EXPECT_NE(err_.str().find("no writer at member 7"), std::string::npos) << err_.str();
    EXPECT_EQ(testsupport::ProgramFolder::Read(Path()), before);
}

TEST_F(SimStateTool, ABrokenFileIsReportedAndKept) {
    testsupport::ProgramFolder::Write(Path(), "burnwright-sim-state 1\n");
    EXPECT_EQ(Run({"show"}), 1);
    EXPECT_NE(err_.str().find("cut short"), std::string::npos) << err_.str();
    EXPECT_EQ(testsupport::ProgramFolder::Read(Path()), "burnwright-sim-state 1\n");
}

} // namespace
} // namespace simtest
