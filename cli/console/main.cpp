// burnwright-cli: every operation of the window from a command line, for
// scripts and production lines.
#include "cli/console/Commands.h"
#include "cli/console/ExitCodes.h"
#include "cli/image_tool/ImageTool.h"
#ifdef _WIN32
#include "sim/SimDeviceIo.h"
#else
#include "driver/simstack/Backend.h"
#endif

#include <string>

#include <CLI/CLI.hpp>

#include "port/DeviceIo.h"
#include "port/ProgramPath.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>

namespace {

using namespace cli;

// The backends a user may name, as the help text lists them.
std::string BackendHelp() {
#ifdef _WIN32
    return "sim-direct for the simulated writer, ...";
#else
    const auto names = port::DeviceIoBackendNames();
    const bool real = std::find(names.begin(), names.end(), "usb") != names.end();
    return std::string("sim, sim:STATE_FILE, ...") +
           (real ? "; unset: usb, real writers through libusb" : "");
#endif
}

std::atomic<int> interrupts{0};

// The first interrupt stops a stress run as "Stop !" does; a second one ends
// the program at once.
void OnInterrupt(int) {
    if (interrupts++ > 0)
        std::_Exit(130);
    Session::RequestStop();
}

// The command line acts as the window program beside it: its settings file,
// logs and read-back files, unless BURNWRIGHT_PROGRAM_PATH names another.
void ActAsTheWindowProgram() {
    if (std::getenv("BURNWRIGHT_PROGRAM_PATH"))
        return;
    const std::string folder = port::ModuleFolder();
    if (folder.empty())
        return;
#ifdef _WIN32
    port::SetModuleFileNameOverride(folder + "burnwright.exe");
#else
    port::SetModuleFileNameOverride(folder + "burnwright");
#endif
}

std::optional<uint32_t> Number(const std::string& text, const char* what) {
    if (text.empty())
        return std::nullopt;
    const auto value = image::tool::ParseNumber(text);
    if (!value)
        throw CLI::ValidationError(what, "not a number: " + text);
    return value;
}

// The image tool's statuses as this program's exit codes.
int ImageExit(int status) {
    return status == 0 ? kExitOk : status == 1 ? kExitImageRefused : kExitUsage;
}

void AddImageArgs(CLI::App* command, ImageArgs& image, bool required) {
    auto* body = command->add_option("--body", image.body, "Chip body index (see `bodies`)");
    auto* file = command->add_option("FILE", image.file, "Image file (*.bin, *.bn1)");
    if (required) {
        body->required();
        file->required();
    } else {
        file->needs(body);
    }
}

} // namespace

int main(int argc, char** argv) {
    ActAsTheWindowProgram();
#ifdef _WIN32
    // The system's driver by default; "sim-direct" tries the program without a
    // writer, as the window program does.
    sim::RegisterDeviceIoBackend();
#else
    driver::simstack::RegisterDeviceIoBackends();
#endif
    CLI::App app{"Burnwright on the command line: the window's operations for scripts and "
                 "production lines, with the window's settings file, counters, logs and "
                 "information block.\nThe writer backend comes from BURNWRIGHT_WRITER (" +
                 BackendHelp() + ")."};
    app.footer(kExitCodeHelp);
    app.require_subcommand(1);
    app.fallthrough();

    CommonOptions common;
    app.add_option("--writer", common.writer,
                   "Writer to use: member index 0-99, or serial number (8 hex digits)");
    app.add_flag("--yes", common.yes,
                 "Answer the window's OK/Cancel and Yes/No questions with "
                 "OK/Yes");
    app.add_flag("--developer", common.developer,
                 "Developer-mode buttons (only where the settings file allows developer mode)");
    app.add_flag("--json", common.json, "One JSON document on standard output");
    app.add_flag("--quiet", common.quiet, "No progress and no table");

    app.add_subcommand("writers", "List every writer: member, path, type, sockets, serial, "
                                  "firmware, and whether another process has claimed it");
    app.add_subcommand("bodies", "List the chip bodies: index, name, OTP size, accepted file "
                                 "sizes");

    auto* image = app.add_subcommand("image", "Check, convert and make image files");
    image->require_subcommand(1);
    int checkBody = 0;
    std::string checkFile;
    auto* check = image->add_subcommand("check", "Run the acceptance checks of a body on a file");
    check->add_option("--body", checkBody, "Body index 1-34")->required();
    check->add_option("FILE", checkFile, "Image file")->required();
    image::tool::ConvertOptions convert;
    std::string record;
    auto* conv = image->add_subcommand("convert", "Write the chip image and the word image");
    conv->add_option("--body", convert.body, "Body index 0-34 (0: plain OTP image)")->required();
    conv->add_option("FILE", convert.file, "Image file")->required();
    conv->add_option("--record", record, "Information record, 28 hexadecimal digits");
    conv->add_option("--chip", convert.chipOut, "Chip image output")->required();
    conv->add_option("--word", convert.wordOut, "Word image output")->required();
    image::tool::MakeOptions make;
    std::string size, chip, seed;
    auto* mk = image->add_subcommand("make", "Write a file that a body accepts");
    mk->add_option("--body", make.body, "Body index 1-34")->required();
    mk->add_option("--size", size, "File length in bytes");
    mk->add_option("--chip", chip, "Chip code (bodies 30-33: the whole information value)");
    mk->add_option("--seed", seed, "Seed of the random content");
    mk->add_option("OUT", make.out, "Output file")->required();

    std::string socketText;
    auto addSockets = [&](CLI::App* command) {
        command->add_option("--sockets", socketText,
                            "Sockets to tick, e.g. 1-8,10 (default: "
                            "every socket holding a chip)");
    };

    ImageArgs loadImage;
    auto* load = app.add_subcommand("load", "Open and check an image, then load it into the "
                                            "writer buffer (progress on standard error)");
    AddImageArgs(load, loadImage, true);
    addSockets(load);

    ProgramArgs program;
    auto* prog = app.add_subcommand("program", "Run one pass as the Program button does: blank "
                                               "check, program, verify, IHRC trim");
    AddImageArgs(prog, program.image, true);
    addSockets(prog);
    prog->add_flag("--blank-check", program.ops.blankCheck, "Tick Blank Check");
    prog->add_flag("--program", program.ops.program, "Tick Program");
    prog->add_flag("--verify", program.ops.verify, "Tick Verify");
    prog->add_flag("--ihrc", program.ops.ihrc, "Tick IHRC Trim (developer mode)");
    prog->footer("Without an operation flag, Select All is ticked.");
    prog->add_flag("--load", program.load, "Load the writer buffer first");
    auto* stress = prog->add_option("--stress", program.stressCount,
                                    "Stress run of COUNT passes (developer mode)");
    prog->add_option("--interval", program.stressInterval, "Milliseconds between stress passes")
        ->needs(stress);
    prog->add_option("--log-csv", program.logCsv, "Append one line per chip per pass to FILE");

    int readBody = 0;
    std::string readOut;
    auto* read = app.add_subcommand("read-otp", "Read a chip back, as Read Data does (developer "
                                                "mode)");
    read->add_option("--body", readBody, "Chip body index");
    read->add_option("--out", readOut, "Copy the read-back file to FILE");
    read->add_option("--sockets", socketText,
                     "Sockets to tick; the chip read is the first of them holding one");

    int infoBody = 0;
    std::string infoWhat;
    auto* info = app.add_subcommand("info", "The writer's information block: get, set, get-otp, "
                                            "set-otp (developer mode)");
    info->add_option("WHAT", infoWhat, "get | set | get-otp | set-otp")
        ->required()
        ->check(CLI::IsMember({"get", "set", "get-otp", "set-otp"}));
    info->add_option("--body", infoBody, "Chip body index");

    bool reset = false;
    ImageArgs counterImage;
    auto* counters = app.add_subcommand("counters", "Show the OK and Fail counters (window, "
                                                    "settings file, writer), or reset them");
    counters->add_flag("--reset", reset, "Reset Counter (needs an open image: --body N FILE)");
    AddImageArgs(counters, counterImage, false);

    std::string firmwareWhat;
    auto* fw = app.add_subcommand("firmware", "Compare the writer's firmware with the file beside "
                                              "the program (check), or run the update (update)");
    fw->add_option("WHAT", firmwareWhat, "check | update")
        ->required()
        ->check(CLI::IsMember({"check", "update"}));

    try {
        app.parse(argc, argv);
        if (!socketText.empty()) {
            std::vector<int> list;
            if (!ParseSocketList(socketText, list))
                throw CLI::ValidationError("--sockets", "not a socket list of 1-16: " + socketText);
        }
        make.size = Number(size, "--size");
        make.chip = Number(chip, "--chip");
        make.seed = Number(seed, "--seed");
    } catch (const CLI::Error& e) {
        const int status = app.exit(e);
        return status == 0 ? kExitOk : kExitUsage;
    }
    std::optional<std::vector<int>> sockets;
    if (!socketText.empty()) {
        sockets.emplace();
        ParseSocketList(socketText, *sockets);
    }
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    Output io{std::cout, std::cerr};
    if (app.got_subcommand("writers"))
        return RunWriters(common, io);
    if (app.got_subcommand("bodies"))
        return RunBodies(common, io);
    if (*check)
        return ImageExit(image::tool::Check(checkBody, checkFile, std::cout, std::cerr));
    if (*conv) {
        if (!record.empty())
            convert.recordHex = record;
        return ImageExit(image::tool::Convert(convert, std::cout, std::cerr));
    }
    if (*mk)
        return ImageExit(image::tool::Make(make, std::cout, std::cerr));
    if (*load)
        return RunLoad(common, loadImage, sockets, io);
    if (*prog) {
        program.sockets = sockets;
        if (program.stressCount < 0 || program.stressInterval < 1) {
            std::cerr << "burnwright-cli: --stress must be 1 or more and --interval at least 1.\n";
            return kExitUsage;
        }
        return RunProgram(common, program, io);
    }
    if (*read)
        return RunReadOtp(common, readBody, sockets, readOut, io);
    if (*info)
        return RunInfo(common, infoWhat, infoBody, io);
    if (*counters)
        return RunCounters(common, reset, counterImage, io);
    return RunFirmware(common, firmwareWhat, io);
}
