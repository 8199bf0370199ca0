#include "app/WindowLayout.h"

#include "app/ControlIds.h"

namespace app {

namespace {

// The controls of the Status group's bottom edge and below it.
const std::vector<int>& BelowSocketRows() {
    using namespace ids;
    static const std::vector<int> list{kLampTest,  kResetCounter, kOkLabel,
                                       kOkCount,   kFailLabel,    kFailCount,
                                       kTimeLabel, kElapsed,      kSecondsLabel};
    return list;
}

std::vector<ControlMove> BuildSingleSocketMoves() {
    std::vector<ControlMove> moves;
    for (int id : BelowSocketRows())
        moves.push_back({id, 0, -kSocketRowsLift, 0, 0});
    moves.push_back({ids::kStatic, 0, 0, 0, -kSocketRowsLift});
    moves.push_back({ids::kStatusTextBase, 0, 0, kSocketEditWiden, 0});
    moves.push_back({kWindowSelf, 0, 0, 0, -kSocketRowsLift});
    return moves;
}

std::vector<ControlMove> BuildCompactionMoves() {
    using namespace ids;
    std::vector<ControlMove> moves;
    auto lift = [&moves](int id, int dy) { moves.push_back({id, 0, dy, 0, 0}); };
    // The Status block closes the hidden "Advance Setting" group and follows
    // the shortened "Writer Buffer" group.
    lift(kStatic, -kStatusBlockLift);
    lift(kSelectAllSockets, -kStatusBlockLift);
    lift(kMultiDevice, -kStatusBlockLift);
    for (int i = 0; i < kSocketCount; ++i) {
        lift(kSocketBoxBase + i, -kStatusBlockLift);
        lift(kLampBase + i, -kStatusBlockLift);
        lift(kStatusTextBase + i, -kStatusBlockLift);
    }
    for (int id : BelowSocketRows())
        lift(id, -kStatusBlockLift);
    for (int id :
         {kSelectAllOperations, kBlankCheck, kSingleProgram, kSingleVerify, kFileTime, kReadData,
          kProgram, kIhrcTrim, kLvdTrim, kOpBlankCheck, kOpProgram, kOpVerify, kOtpProgramGroup})
        lift(id, -kOtpProgramLift);
    moves.push_back({kWriterBufferGroup, 0, 0, 0, -kOtpProgramLift});
    moves.push_back({kWindowSelf, 0, 0, 0, -kStatusBlockLift});
    return moves;
}

} // namespace

const std::vector<int>& MultiSocketOnlyControls() {
    static const std::vector<int> list = [] {
        std::vector<int> ids{ids::kSelectAllSockets};
        for (int i = 1; i < ids::kSocketCount; ++i) {
            ids.push_back(ids::kLampBase + i);
            ids.push_back(ids::kSocketBoxBase + i);
            ids.push_back(ids::kStatusTextBase + i);
        }
        return ids;
    }();
    return list;
}

const std::vector<ControlMove>& SingleSocketMoves() {
    static const std::vector<ControlMove> moves = BuildSingleSocketMoves();
    return moves;
}

const std::vector<ControlMove>& CompactionMoves() {
    static const std::vector<ControlMove> moves = BuildCompactionMoves();
    return moves;
}

void ApplyMoves(std::map<int, Rect>& rects, const std::vector<ControlMove>& moves, bool reverse) {
    const int sign = reverse ? -1 : 1;
    for (const ControlMove& m : moves) {
        auto it = rects.find(m.id);
        if (it == rects.end())
            continue;
        Rect& r = it->second;
        r.x += sign * m.dx;
        r.y += sign * m.dy;
        r.cx += sign * m.dcx;
        r.cy += sign * m.dcy;
    }
}

} // namespace app
