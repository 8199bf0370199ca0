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
        6, // a question was declined, or could not be asked (no option, no terminal)
    kExitProgramFolder = 7, // the program folder is broken: no usable OTPBodyProfile.xml
    kExitStopped = 130,     // stopped by Ctrl-C (or a `stop` of serve); 143 for SIGTERM
};

// One line per code, for --help and the README.
inline constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0    success: every enabled socket OK\n"
    "  1    some chips failed\n"
    "  2    bad usage\n"
    "  3    nothing to program: no socket enabled, no chip\n"
    "  4    image refused (or no usable firmware file for `firmware update`)\n"
    "  5    no writer, writer held by another process, or a transfer failed\n"
    "  6    a question was declined or could not be answered\n"
    "  7    the program folder is broken: OTPBodyProfile.xml missing, empty or unreadable\n"
    "  130  interrupted (SIGINT, Ctrl-C); 143: terminated (SIGTERM). The run stopped at the\n"
    "       next safe point and its records were written; a second interrupt ends at once.\n";

// The questions and the option that accepts each, for --help and the README.
inline constexpr const char* kQuestionHelp =
    "Questions:\n"
    "  \"Load the bin file to the WriterBuffer now ?\"  routine: --yes\n"
    "  \"The writer buffer hasn't been initialized! ... program however?\"\n"
    "                                                --program-uninitialized\n"
    "  \"Update latest firmware version?\" (start-up)  --update-firmware; declined by every\n"
    "                                                command but `firmware update` (--yes)\n"
    "  \"Another MERiL ICE is updating. ...\"           --wait-for-update\n"
    "  A question no option answers is asked on a terminal, else declined (exit 6).\n";

} // namespace cli
