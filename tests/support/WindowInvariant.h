// The invariant of Invariant.h read off the window logic on a headless host
// (or the command line's console host, which is one): what the window
// showed for each socket, and the counters it keeps.
//
//   host.ClearRecord();
//   const invariant::Observation before = invariant::ObserveWindow(host, writer, settings);
//   ... click, then host.WaitIdle() until no worker runs ...
//   const invariant::Report report = invariant::ReadWindowReport(host, dlg, true);
//   const invariant::Observation after = invariant::ObserveWindow(host, writer, settings);
//   for (const std::string& breach : invariant::Check(before, after, report)) ...
//
// Both calls read controls and the window's image object through the UI
// thread; they block until it runs them, and must be called while no
// worker (pass, load, stress tick, service command) runs, or they read a
// state the worker is still changing.
#pragma once

#include "tests/support/Invariant.h"

#include <cstddef>
#include <string>

namespace app {
class CBurnwrightDlg;
namespace headless {
class HeadlessHost;
}
} // namespace app

namespace invariant {

// The writer's chips and counters ("writer"), the counter edits 1054 and
// 1095 ("window"), the settings file's counters ("settings", when
// `settingsPath` is not empty) and the production record (when
// `recordPath` is not empty).
Observation ObserveWindow(app::headless::HeadlessHost& host, const sim::Writer& writer,
                          const std::string& settingsPath, const std::string& recordPath = "");

// What the window reported for each socket over what it showed from event
// `firstEvent` of the host's record on (host.Events().size() when the action
// started; 0: since the record was last cleared). A socket whose status text
// read "Program ..." was programmed; it is OK when the last state word its
// text showed afterwards is "OK" (the blanks a window shows once the writer
// left carry no word and change nothing), else failed. A socket only
// verified, whose last word is "OK", holds the image too; any other socket
// is untouched. `counts` says whether the action updates the counters (a
// pass started by Program or a stress tick), not a single-operation button.
// The chip image is the window's current image object's; the counters are
// the window's, which it stores in the settings file and on the writer.
Report ReadWindowReport(app::headless::HeadlessHost& host, app::CBurnwrightDlg& dlg, bool counts,
                        size_t firstEvent = 0);

} // namespace invariant
