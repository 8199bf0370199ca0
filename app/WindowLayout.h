// The main window's layout changes as data: which controls the socket layout
// hides and which it moves, and the compaction of start-up. The window logic
// applies them through its host; the layout test applies them to the
// template to prove that no layout overlaps.
#pragma once

#include "app/DialogTemplate.h"

#include <map>
#include <vector>

namespace app {

// A change of position and size in pixels. The id kWindowSelf stands for the
// window itself (only its size changes).
struct ControlMove {
    int id;
    int dx;
    int dy;
    int dcx;
    int dcy;
};
inline constexpr int kWindowSelf = 0;

// Pixel figures the moves are built from.
inline constexpr int kSocketRowsLift = 170;  // seven rows of a socket column
inline constexpr int kSocketEditWiden = 215; // the second socket column
inline constexpr int kStatusBlockLift = 90;  // the hidden "Advance Setting" block
inline constexpr int kOtpProgramLift = 20;   // the hidden row of the "Writer Buffer" group

// Sockets 2 to 16 (lamps, boxes, status edits) and the sockets' "Select All";
// hidden in the single-socket layout.
const std::vector<int>& MultiSocketOnlyControls();
// From the 16-socket layout to the single-socket one; going back applies
// them negated.
const std::vector<ControlMove>& SingleSocketMoves();
// The compaction of start-up; developer mode applies them negated.
const std::vector<ControlMove>& CompactionMoves();

// Applies `moves` (negated when `reverse`) to pixel rectangles by id; the
// window's client size is the entry kWindowSelf. Ids missing from `rects`
// are skipped. For the first control without an id the key is ids::kStatic.
void ApplyMoves(std::map<int, Rect>& rects, const std::vector<ControlMove>& moves,
                bool reverse = false);

} // namespace app
