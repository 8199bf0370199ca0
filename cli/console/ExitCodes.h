// The exit codes of burnwright-cli: a script can rely on them alone.
#pragma once

namespace cli {

enum ExitCode : int {
    kExitOk = 0,           // every enabled socket ended OK (or the command did its work)
    kExitChipsFailed = 1,  // the command ran; some chips (sockets) failed
    kExitUsage = 2,        // bad usage: options, values, a control the window keeps disabled
    kExitNothingToDo = 3,  // nothing to program: no socket enabled, no chip
    kExitImageRefused = 4, // the image (or the firmware file) was refused or is unreadable
    kExitNoWriter = 5,     // no writer, the named writer is held or absent, a transfer failed
    kExitQuestionFailed =
        6, // a question was declined, or could not be asked (no --yes, no terminal)
};

// One line per code, for --help and the README.
inline constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0  success: every enabled socket OK\n"
    "  1  some chips failed\n"
    "  2  bad usage\n"
    "  3  nothing to program: no socket enabled, no chip\n"
    "  4  image refused (or no usable firmware file for `firmware update`)\n"
    "  5  no writer, writer held by another process, or a transfer failed\n"
    "  6  a question was declined or could not be answered (use --yes)\n";

} // namespace cli
