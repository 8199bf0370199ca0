// The invariant every test scenario ends with: what the program reported is
// what happened on the simulated writer.
//
//   - every socket the program reports OK holds exactly the chip image of the
//     image it reported (the bytes after the image as they were before);
//   - every socket that was not ticked, held no chip, or that the action did
//     not program (a blank-check reject, a read-back, an information command)
//     is untouched: chip present or not, and its bytes, as before;
//   - the OK and fail counters rose by exactly the chips reported OK and
//     failed, wherever the caller read them (window, settings file, writer,
//     command-line report), modulo 10000 as the window keeps them;
//   - the production record, when one is kept, gained one line per chip
//     reported, saying OK exactly for the chips reported OK.
//
// The checker never decides what a socket's outcome was: the caller reads
// it from what the program showed (status texts and lamps, a JSON report,
// the record) and hands it over as a Report. So a change in the program's
// rules (which chips count as failed) needs no change here.
//
// Use, around any step (a click, a whole pass, a killed process):
//
//   invariant::Observation before = ...;  // ChipsOf(writer) and counters, or ObserveWindow()
//   ... the step ...
//   invariant::Observation after = ...;
//   invariant::Report report = ...;       // ReadWindowReport(), or the command line's JSON
//   for (const std::string& breach : invariant::Check(before, after, report))
//       ADD_FAILURE() << breach;
//
// The counters: after a step every place must hold the program's own count
// before it (Report::countersFrom, the window's) plus the chips reported, so a
// store that did not arrive shows until a later one catches the place up.
// A counter reset or a start-up that copies counters is no counted step:
// leave out, or set, the places it changes.
//
// Nothing here blocks or touches the program: observations of a simulated
// writer lock it only while its chips are copied (sim::Writer::ChipAt), and
// a state file is read with sim::ReadStateFile. Observations of a window
// must be taken while no worker runs (WindowInvariant.h).
#pragma once

#include "sim/Types.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace image {
class C_OTPBinFile;
}
namespace sim {
class Writer;
struct WriterState;
} // namespace sim

namespace invariant {

// One socket's chip at one moment.
struct Chip {
    bool present = false;
    std::vector<uint8_t> bytes; // a chip of any size reads blank (0xFF) beyond these
};
using Chips = std::array<Chip, sim::kSocketCount>;

Chips ChipsOf(const sim::Writer& writer);
Chips ChipsOf(const sim::WriterState& state);

struct Counters {
    int ok = 0;
    int fail = 0;
    bool operator==(const Counters&) const = default;
};

// One production-record line: the socket (1-16) and its final state word.
struct RecordLine {
    int socket = 0;
    std::string finalState;
};

// Everything the invariant compares, taken before and after a step.
struct Observation {
    Chips chips;
    // Counters by the place they were read: "window", "settings", "writer",
    // "report", ... A place is compared only when both observations have it.
    std::map<std::string, Counters> counters;
    // The record's data lines (header left out); compared when the report
    // asks for a record.
    std::optional<std::vector<RecordLine>> record;
};

// What the program reported for one socket.
enum class Reported {
    // The step did not write this chip: not ticked, no chip, refused by blank
    // check, or an action that programs nothing. Not counted; untouched.
    Untouched,
    // Reported OK after programming in a pass; counted OK. Holds the image.
    Ok,
    // Reported OK where nothing counts (the single Program or Verify button,
    // a pass that verified without programming). Holds the image.
    OkUncounted,
    // The pass tried to program it and it did not end OK; counted as failed.
    // Its contents are not checked.
    Failed,
    // Programmed and not OK where nothing counts (the single Program button).
    // Its contents are not checked.
    FailedUncounted,
};

struct Report {
    std::array<Reported, sim::kSocketCount> sockets{}; // all Untouched
    // The chip image every Ok or OkUncounted socket must hold from byte 0.
    std::vector<uint8_t> chipImage;
    // The place whose counters the program keeps and stores in every other
    // place as they are (the window's, or a command's report): every place
    // must end at its value before plus the chips reported, so a place that
    // was behind (a writer the last store did not reach) is caught up. Empty,
    // or absent from the observation: each place from its own value.
    std::string countersFrom;
    // A production record was asked for: it must have gained exactly one
    // line for each socket (0-15) listed, the chips the program reported on,
    // and a line says OK exactly when its socket is reported Ok or OkUncounted.
    std::optional<std::vector<int>> recordSockets;
};

// The invariant after a step: empty when it holds, else one line per breach.
std::vector<std::string> Check(const Observation& before, const Observation& after,
                               const Report& report);

// The chip image of an image object, as a writer strips it from the word
// image the program loads (its check bytes left out by the body's groups).
// Call it where the image object is not in use by another thread.
std::vector<uint8_t> ExpectedChipImage(image::C_OTPBinFile& image);
// The same for image file `path` of body `index`, without an information
// record (for bodies whose record places nothing, such as body 12).
std::vector<uint8_t> ExpectedChipImage(int index, const std::string& path);

// The data lines of a production record file; empty when there is none.
std::vector<RecordLine> ReadRecord(const std::string& path);

} // namespace invariant
