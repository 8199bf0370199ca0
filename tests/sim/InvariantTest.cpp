// The invariant checker itself: every kind of breach it exists to catch is
// caught, and a step that did what it reported passes.
#include "tests/support/Invariant.h"
#include "sim/Writer.h"
#include "tests/support/ProgramFolder.h"

#include <gmock/gmock.h>

namespace simtest {
namespace {

using invariant::Reported;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(InvariantChecker, CatchesEveryKindOfBreachAndPassesTheTruth) {
    const std::vector<uint8_t> image{0x12, 0x34, 0x56};
    invariant::Observation before;
    before.chips[0] = {true, {}}; // blank, of any size
    before.chips[1] = {true, {0xFF, 0xFF, 0xFF, 0x00}};
    before.chips[2] = {true, {0x00}};
    before.chips[4] = {true, {}};
    before.counters["window"] = {9999, 3};
    before.counters["writer"] = {40, 3}; // behind: the last store did not arrive
    before.record = std::vector<invariant::RecordLine>{{7, "OK"}};

    invariant::Observation after = before;
    after.chips[0].bytes = {0x12, 0x34, 0x56, 0xFF}; // programmed
    after.chips[1].bytes = {0x12, 0x34, 0x56, 0x00};
    after.chips[3].bytes = {0x55}; // failed: anything
    after.counters["window"] = {1, 4};
    after.counters["writer"] = {1, 4};
    after.record->push_back({1, "OK"});
    after.record->push_back({2, "OK"});
    after.record->push_back({4, "Fail"});

    invariant::Report report;
    report.chipImage = image;
    report.sockets[0] = Reported::Ok;
    report.sockets[1] = Reported::Ok;
    report.sockets[3] = Reported::Failed;
    report.countersFrom = "window";
    report.recordSockets = std::vector<int>{0, 1, 3};
    EXPECT_THAT(invariant::Check(before, after, report), IsEmpty());

    // Each lie the program could tell, one at a time.
    invariant::Observation lie = after;
    lie.chips[1].bytes[1] = 0x30;
    lie.chips[1].bytes[3] = 0x01;
    lie.chips[2].bytes = {0x00, 0xFE};
    lie.chips[4].present = false;
    lie.counters["writer"] = {0, 4};
    lie.record->back().finalState = "OK";
    EXPECT_THAT(invariant::Check(before, lie, report),
                ElementsAre("socket 2 is reported OK, yet 1 of the image's 3 bytes differ on the "
                            "chip, the first at 0x1",
                            "socket 2 is reported OK, yet 1 bytes after the image changed, the "
                            "first at 0x3",
                            "socket 3 was not written by the step, yet 1 of its bytes changed, "
                            "the first at 0x1",
                            "socket 5 was not written by the step, yet its chip disappeared",
                            "the writer counters (OK/fail) went from 40/3 to 0/4, not to 1/4: the "
                            "window's 9999/3 and the chips reported 2 OK and 1 failed",
                            "the production record says OK for socket 4, reported not OK"));
    report.sockets[5] = Reported::Ok;
    lie = after;
    lie.record->pop_back();
    EXPECT_THAT(invariant::Check(before, lie, report),
                ElementsAre("socket 6 is reported OK and holds no chip",
                            "the window counters (OK/fail) went from 9999/3 to 1/4, not to 2/4: "
                            "the window's 9999/3 and the chips reported 3 OK and 1 failed",
                            "the writer counters (OK/fail) went from 40/3 to 1/4, not to 2/4: the "
                            "window's 9999/3 and the chips reported 3 OK and 1 failed",
                            "the production record gained lines for sockets [ 1 2 ], not one for "
                            "each chip reported [ 1 2 4 ]"));
}

// The chips a writer holds, and the record a command line appends, as the
// checker reads them: a cut last line is no record.
TEST(InvariantChecker, ReadsWritersAndRecords) {
    port::ManualClock clock;
    sim::Writer writer(sim::WriterConfig{}, clock);
    writer.InsertChip(3, 2);
    const invariant::Chips chips = invariant::ChipsOf(writer);
    EXPECT_FALSE(chips[0].present);
    EXPECT_TRUE(chips[3].present);
    EXPECT_EQ(chips[3].bytes, (std::vector<uint8_t>{0xFF, 0xFF}));

    testsupport::ProgramFolder folder;
    testsupport::ProgramFolder::Write(
        folder.File("record.csv"),
        "time,writer_serial,socket,body,body_name,image_file,image_checksum,Blank Check,Program,"
        "Verify,Trim IHRC,final_state,counter_ok,counter_fail\n"
        "2026-01-02 03:04:05,00ABCDEF,3,12,\" KD100 \",\"a,b.bin\",1A2B,OK,OK,OK,-,OK,41,3\n"
        "2026-01-02 03:04:05,00ABCDEF,4,12,\" KD100 \",\"a,b.bin\",1A2B,Fail,-,-,-,Fail,41,3\n"
        "2026-01-02 03:04:05,00ABCDEF,5,12,\" KD1");
    const auto lines = invariant::ReadRecord(folder.File("record.csv"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].socket, 3);
    EXPECT_EQ(lines[0].finalState, "OK");
    EXPECT_EQ(lines[1].socket, 4);
    EXPECT_EQ(lines[1].finalState, "Fail");
}

} // namespace
} // namespace simtest
