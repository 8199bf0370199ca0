// Ctrl-C and SIGTERM for burnwright-cli. The first interrupt is recorded and
// the running command stops at its next safe point (between the steps of a
// load or a pass, never inside a writer command), writes what it did and
// exits with 128 + the signal's number; a second interrupt ends the program
// at once with that code.
#pragma once

namespace cli {

// Installs the handlers for SIGINT and SIGTERM.
void InstallInterruptHandlers();
// An interrupt arrived. Safe from any thread.
bool Interrupted();
// 130 after SIGINT, 143 after SIGTERM; 0 when none arrived.
int InterruptExitCode();
// "SIGINT" or "SIGTERM"; empty when none arrived.
const char* InterruptName();

} // namespace cli
