// Commands that prepare and inspect a simulator state file from a shell, so
// a demonstration or a manual test can start from a given bus: writers at
// chosen members, chips put in or taken out, writers plugged or not.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace sim {

// Runs one command on the state file (created when missing, except by show,
// which only reads it). Returns the
// process exit code: 0 done, 1 the command failed, 2 bad usage. Output goes
// to `out`, messages to `err`.
//   show
//   add-writer MEMBER [TYPE]          a writer with blank chips in all sockets
//   remove-writer MEMBER
//   plug MEMBER | unplug MEMBER
//   insert-chip MEMBER SOCKET [SIZE]  a blank chip (SIZE 0: of any body)
//   remove-chip MEMBER SOCKET
//   boot-loader MEMBER                leave the writer in its boot loader
// The usage text above, as the tool prints it.
const char* StateToolUsage();

int RunStateTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace sim
