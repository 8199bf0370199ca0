// The state-file tool: each command changes the file as a later run sees
// it; bad usage and broken files are reported and change nothing.
#include "sim/StateTool.h"

#include "sim/SimDeviceIo.h"
#include "sim/StateFile.h"
#include "tests/support/ProgramFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
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
    // Neither showing a missing file nor a mistyped command creates it.
    EXPECT_EQ(Run({"show"}), 1);
    EXPECT_NE(err_.str().find("no simulator state file"), std::string::npos) << err_.str();
    EXPECT_EQ(Run({"frobnicate", "0"}), 2);
    EXPECT_FALSE(std::filesystem::exists(Path()));
    EXPECT_EQ(Run({"unplug", "0"}), 0);
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

TEST_F(SimStateTool, LinksModesReadOnlyAndHugeFilesAreRespected) {
    namespace fs = std::filesystem;
    const std::string target = folder_.File("target.txt"), link = Path();
    ASSERT_EQ(sim::RunStateTool({target, "unplug", "0"}, out_, err_), 0) << err_.str();
    fs::create_symlink(target, link);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(Run({"plug", "0"}), 0) << err_.str();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(sim::MakeBus(target, port::SystemClock(), false)->WriterAt(0)->Plugged());
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // A read-only file is refused with the reason and stays as it is.
    const std::string before = testsupport::ProgramFolder::Read(target);
    fs::permissions(target, fs::perms::owner_read);
    EXPECT_EQ(Run({"unplug", "0"}), 1);
    EXPECT_NE(err_.str().find("read-only"), std::string::npos) << err_.str();
    EXPECT_EQ(testsupport::ProgramFolder::Read(target), before);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read);
    // What cannot be a state file is refused before it is read: a foreign
    // header, a sparse file beyond the bound.
    const std::string huge = folder_.File("huge.txt");
    testsupport::ProgramFolder::Write(huge, "burnwright-sim-state 2\n");
    fs::resize_file(huge, sim::kMaxStateFileBytes + 1);
    EXPECT_EQ(sim::RunStateTool({huge, "show"}, out_, err_), 1);
    EXPECT_NE(err_.str().find("larger than"), std::string::npos) << err_.str();
    testsupport::ProgramFolder::Write(huge, "PK\x03\x04 something else");
    EXPECT_EQ(sim::RunStateTool({huge, "show"}, out_, err_), 1);
    EXPECT_NE(err_.str().find("not a simulator state file"), std::string::npos) << err_.str();
}

TEST_F(SimStateTool, ABrokenFileIsReportedAndKept) {
    testsupport::ProgramFolder::Write(Path(), "burnwright-sim-state 1\n");
    EXPECT_EQ(Run({"show"}), 1);
    EXPECT_NE(err_.str().find("cut short"), std::string::npos) << err_.str();
    EXPECT_EQ(testsupport::ProgramFolder::Read(Path()), "burnwright-sim-state 1\n");
}

} // namespace
} // namespace simtest
