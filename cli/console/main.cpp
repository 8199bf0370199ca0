// burnwright-cli: every operation of the window from a command line, for
// scripts and production lines.
#include "cli/console/Commands.h"
#include "cli/console/ExitCodes.h"
#include "cli/console/Interrupt.h"
#include "cli/console/Serve.h"
#include "cli/console/Writers.h"
#include "cli/image_tool/ImageTool.h"
#include "core/ProgramInfo.h"
#include "image/BodyTable.h"
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
#include <cstdlib>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

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

// Runs an image command; with --json its report ("key=value" lines) becomes
// one document, numbers as numbers, and its messages a list.
int RunImage(const std::string& command, bool json,
             const std::function<int(std::ostream&, std::ostream&)>& run) {
    if (!json)
        return ImageExit(run(std::cout, std::cerr));
    std::ostringstream out, err;
    const int code = ImageExit(run(out, err));
    std::cerr << err.str();
    nlohmann::json doc{{"command", "image " + command}, {"exitCode", code}};
    nlohmann::json report = nlohmann::json::object();
    nlohmann::json messages = nlohmann::json::array();
    std::istringstream lines(out.str() + err.str());
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || line.find(' ') < equals) {
            messages.push_back(line);
            continue;
        }
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        const bool number = !value.empty() && value.size() < 10 &&
                            value.find_first_not_of("0123456789") == std::string::npos;
        report[key] = number ? nlohmann::json(std::stoul(value)) : nlohmann::json(value);
    }
    doc["report"] = report;
    doc["messages"] = messages;
    std::cout << doc.dump(2) << "\n";
    return code;
}

// Body indexes 1-34 (0, the plain image, only for `image convert`).
void CheckBody(int body, bool plainAllowed) {
    const int first = plainAllowed ? 0 : 1;
    if (body < first || body > image::kLastBody)
        throw CLI::ValidationError("--body must be " + std::to_string(first) + " to " +
                                   std::to_string(image::kLastBody) +
                                   (plainAllowed ? " (0: the plain OTP image)" : ""));
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
    app.footer(std::string(kQuestionHelp) + "\n" + kExitCodeHelp);
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("burnwright-cli ") + core::kBurnwrightVersion +
                                          " (window " + app::kProgramVersion + ")");

    CommonOptions common;
    app.add_option("--writer", common.writer,
                   "Writer to use: member index 0-99, or serial number (exactly 8 hex digits)");
    app.add_flag("--yes", common.yes,
                 "Answer the routine confirmations (load the buffer now?) with OK/Yes; "
                 "questions that warn of a problem need their own option");
    app.add_flag("--program-uninitialized", common.programUninitialized,
                 "Program although the writer buffer may not hold the image (\"The writer "
                 "buffer hasn't been initialized!\")");
    app.add_flag("--update-firmware", common.updateFirmware,
                 "Accept the start-up offer to update the writer's firmware from "
                 "OTP_Controller_C51FW.bin (declined otherwise, but by `firmware update`)");
    app.add_flag("--wait-for-update", common.waitForUpdate,
                 "Wait while another program updates a writer's firmware (\"Another MERiL ICE "
                 "is updating.\")");
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
    auto* conv = image->add_subcommand("convert", "Write the chip image and the word image "
                                                  "(never over the input file)");
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
    std::vector<CLI::Option*> socketOptions;
    auto addSockets = [&](CLI::App* command, const char* help) {
        socketOptions.push_back(command->add_option("--sockets", socketText, help));
    };
    constexpr const char* kSocketsHelp =
        "Sockets to tick, e.g. 1-8,10 (default: every socket holding a chip)";

    ImageArgs loadImage;
    auto* load = app.add_subcommand("load", "Open and check an image, then load it into the "
                                            "writer buffer (progress on standard error)");
    AddImageArgs(load, loadImage, true);
    addSockets(load, kSocketsHelp);

    ProgramArgs program;
    auto* prog = app.add_subcommand("program", "Run one pass as the Program button does: blank "
                                               "check, program, verify, IHRC trim");
    AddImageArgs(prog, program.image, true);
    addSockets(prog, kSocketsHelp);
    prog->add_flag("--blank-check", program.ops.blankCheck, "Tick Blank Check");
    prog->add_flag("--program", program.ops.program, "Tick Program");
    prog->add_flag("--verify", program.ops.verify, "Tick Verify");
    prog->add_flag("--ihrc", program.ops.ihrc, "Tick IHRC Trim (developer mode)");
    prog->footer("Without an operation flag, Select All is ticked.");
    prog->add_flag("--load", program.load, "Load the writer buffer first");
    auto* stress = prog->add_option("--stress", program.stressCount,
                                    "Stress run of COUNT passes, 1 or more (developer mode)");
    prog->add_option("--interval", program.stressInterval, "Milliseconds between stress passes")
        ->needs(stress);
    prog->add_option("--log-csv", program.logCsv,
                     "Append one line per chip per pass to FILE, written as each pass ends; "
                     "checked before the writer is touched");
    prog->add_option("--station", program.station, "Station name for the record's station column");

    int readBody = 0;
    std::string readOut;
    auto* read = app.add_subcommand("read-otp", "Read a chip back, as Read Data does (developer "
                                                "mode)");
    auto* readBodyOption = read->add_option("--body", readBody, "Chip body index 1-34");
    read->add_option("--out", readOut, "Copy the read-back file to FILE");
    addSockets(read, "Sockets to tick; the chip read is the first of them holding one");

    int infoBody = 0;
    std::string infoWhat;
    auto* info = app.add_subcommand("info", "The writer's information block: get, set, get-otp, "
                                            "set-otp (developer mode)");
    info->add_option("WHAT", infoWhat, "get | set | get-otp | set-otp")
        ->required()
        ->check(CLI::IsMember({"get", "set", "get-otp", "set-otp"}));
    auto* infoBodyOption = info->add_option("--body", infoBody, "Chip body index 1-34");

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

    ServeOptions serve;
    auto* srv = app.add_subcommand(
        "serve", "Keep the station loaded: JSON-line commands on standard input (or one TCP "
                 "client with --listen), one JSON line answered for each; see the README");
    srv->add_option("--listen", serve.listen,
                    "HOST:PORT to listen on (port 0: any free port, reported on standard error "
                    "and in --port-file); a loopback address unless --allow-remote");
    srv->add_flag("--allow-remote", serve.allowRemote,
                  "Allow a --listen address that is not a loopback address (the traffic is not "
                  "encrypted: put it behind an SSH tunnel or a TLS terminator)");
    srv->add_option("--token-file", serve.tokenFile,
                    "File whose first line is the shared secret a TCP client must send first "
                    "(default: burnwright-serve.token beside the program, created on first use)");
    srv->add_option("--port-file", serve.portFile, "Write the port listened on to FILE");
    srv->add_option("--idle-timeout", serve.idleSeconds,
                    "Seconds a TCP client may stay silent (default 300)")
        ->check(CLI::Range(1, 86400));

    try {
        app.parse(argc, argv);
        if (!common.writer.empty() && !WriterSelectionIsValid(common.writer))
            throw CLI::ValidationError("--writer takes a member index (0-99) or a "
                                       "serial number (exactly 8 hexadecimal "
                                       "digits): " +
                                       common.writer);
        for (CLI::Option* option : socketOptions) {
            std::vector<int> list;
            if (option->count() > 0 && !ParseSocketList(socketText, list))
                throw CLI::ValidationError("--sockets: not a socket list of 1-16: \"" + socketText +
                                           "\"");
        }
        if (*check)
            CheckBody(checkBody, false);
        if (*conv)
            CheckBody(convert.body, true);
        if (*mk)
            CheckBody(make.body, false);
        if (*load)
            CheckBody(loadImage.body, false);
        if (*prog) {
            CheckBody(program.image.body, false);
            if (stress->count() > 0 && program.stressCount < 1)
                throw CLI::ValidationError("--stress must be 1 or more");
            if (program.stressInterval < 1)
                throw CLI::ValidationError("--interval must be 1 or more");
        }
        if (*read && readBodyOption->count() > 0)
            CheckBody(readBody, false);
        if (*info && infoBodyOption->count() > 0)
            CheckBody(infoBody, false);
        if (*counters && counterImage.body != 0)
            CheckBody(counterImage.body, false);
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
    InstallInterruptHandlers();

    Output io{std::cout, std::cerr};
    if (app.got_subcommand("writers"))
        return RunWriters(common, io);
    if (app.got_subcommand("bodies"))
        return RunBodies(common, io);
    if (*check)
        return RunImage("check", common.json, [&](std::ostream& out, std::ostream& err) {
            return image::tool::Check(checkBody, checkFile, out, err);
        });
    if (*conv) {
        if (!record.empty())
            convert.recordHex = record;
        return RunImage("convert", common.json, [&](std::ostream& out, std::ostream& err) {
            return image::tool::Convert(convert, out, err);
        });
    }
    if (*mk)
        return RunImage("make", common.json, [&](std::ostream& out, std::ostream& err) {
            return image::tool::Make(make, out, err);
        });
    if (*load)
        return RunLoad(common, loadImage, sockets, io);
    if (*prog) {
        program.sockets = sockets;
        return RunProgram(common, program, io);
    }
    if (*read)
        return RunReadOtp(common, readBody, sockets, readOut, io);
    if (*info)
        return RunInfo(common, infoWhat, infoBody, io);
    if (*counters)
        return RunCounters(common, reset, counterImage, io);
    if (*srv)
        return RunServe(common, serve, io);
    return RunFirmware(common, firmwareWhat, io);
}
