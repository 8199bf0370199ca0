#include "cli/console/Commands.h"

#include "cli/console/Interrupt.h"
#include "cli/console/Report.h"
#include "firmware/FirmwarePackets.h"
#include "image/BodyTable.h"
#include "image/OTPBodyProfiler.h"
#include "port/ProgramPath.h"

#include <algorithm>
#include <filesystem>

namespace cli {
namespace ids = app::ids;
namespace {

using nlohmann::json;

constexpr const char* kReadBackFile = "ReadOTPData.OTP.bin";

int Worst(int a, int b) {
    return std::max(a, b);
}

int Finish(Session* session, json& doc, int code, const CommonOptions& common, Output io) {
    // An interrupt decides the code: the run stopped early, whatever it did.
    if (Interrupted()) {
        code = InterruptExitCode();
        doc["interrupted"] = InterruptName();
    }
    doc["exitCode"] = code;
    if (session && session->HasWindow())
        doc["messages"] = session->Host().Messages();
    if (common.json)
        io.out << doc.dump(2) << "\n";
    return code;
}

int NeedDeveloper(const CommonOptions& common, const char* command, Output io) {
    if (common.developer)
        return kExitOk;
    io.err << "burnwright-cli: " << command
           << " uses developer-mode buttons: add --developer (the settings file must allow "
              "developer mode).\n";
    return kExitUsage;
}

void DescribeImage(Session& s, json& doc) {
    doc["body"] = {{"index", s.Body()}, {"name", s.BodyName()}};
    doc["image"] = {{"file", s.ImageFile()},
                    {"checksum", s.ImageCheckSum()},
                    {"bufferCheck", s.Host().Text(ids::kBufferCheck)}};
}

void PrintImage(std::ostream& out, Session& s) {
    out << "Body " << s.Body() << " " << s.BodyName() << "; image " << s.ImageFile()
        << ", checksum " << s.ImageCheckSum() << "\n";
}

} // namespace

int OpenOn(Session& s, const ImageArgs& image, json& doc, bool needImage) {
    int code = kExitOk;
    if (!image.file.empty())
        code = s.OpenImage(image.body, image.file);
    else if (image.body != 0)
        code = s.SelectBody(image.body);
    else if (needImage)
        code = kExitUsage;
    DescribeImage(s, doc);
    if (code != kExitOk && !image.file.empty()) {
        // Never another file than the one asked for.
        doc["image"] = {{"file", image.file}, {"refused", true}};
    }
    return code;
}

namespace {

// Start-up, then the body and the image; kExitOk or why not.
int StartWithImage(Session& s, const ImageArgs& image, json& doc, bool needImage) {
    int code = s.Start(image.body);
    if (code != kExitOk)
        return code;
    doc["writer"] = WriterJson(s.Writer());
    return OpenOn(s, image, doc, needImage);
}

} // namespace

bool ParseSocketList(const std::string& text, std::vector<int>& sockets) {
    sockets.clear();
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string part = text.substr(at, comma - at);
        const size_t dash = part.find('-');
        try {
            size_t used = 0;
            const int first = std::stoi(part.substr(0, dash), &used);
            if (used != part.substr(0, dash).size())
                return false;
            int last = first;
            if (dash != std::string::npos) {
                last = std::stoi(part.substr(dash + 1), &used);
                if (used != part.size() - dash - 1)
                    return false;
            }
            if (first < 1 || last > ids::kSocketCount || first > last)
                return false;
            for (int s = first; s <= last; ++s)
                sockets.push_back(s);
        } catch (const std::exception&) {
            return false;
        }
        at = comma + 1;
    }
    return !sockets.empty();
}

int RunWriters(const CommonOptions& common, Output io) {
    json doc{{"command", "writers"}};
    std::string error;
    const std::vector<WriterIdentity> writers = ListWriters(error);
    doc["writers"] = json::array();
    for (const WriterIdentity& w : writers)
        doc["writers"].push_back(WriterJson(w));
    if (!error.empty()) {
        io.err << error << "\n";
        return Finish(nullptr, doc, kExitNoWriter, common, io);
    }
    if (!common.json && !common.quiet) {
        io.out << "Member  Type  Sockets  Serial    Firmware             Claimed  Path\n";
        for (const WriterIdentity& w : writers)
            io.out << core::Format("%6u  %4d  %7d  %-8s  %-19s  %-7s  %s\n", w.member, w.deviceType,
                                   w.sockets, w.claimed ? "-" : SerialText(w.serial).c_str(),
                                   w.claimed ? "-" : w.firmware.c_str(), w.claimed ? "yes" : "no",
                                   w.path.c_str());
    }
    return Finish(nullptr, doc, writers.empty() ? kExitNoWriter : kExitOk, common, io);
}

int RunBodies(const CommonOptions& common, Output io) {
    json doc{{"command", "bodies"}, {"bodies", json::array()}};
    image::C_OTPBodyProfiler catalogue;
    for (const auto& [index, body] : catalogue.Bodies()) {
        if (index == 0)
            continue;
        json sizes = json::array();
        uint32_t upTo = 0;
        if (const image::SizeRule* rule = image::FindSizeRule(index)) {
            for (uint32_t length : rule->lengths)
                sizes.push_back(length);
            upTo = rule->upTo;
        }
        std::string name = body.comboName;
        name.erase(0, name.find_first_not_of(' '));
        name.erase(name.find_last_not_of(' ') + 1);
        // The OTP's bytes are its read-back size: bodies 2 to 5 address their
        // OTP by 24-bit word, so their OTP size counts words.
        const int64_t otpBytes = int64_t{body.otpBinSize} * 1024;
        doc["bodies"].push_back({{"index", index},
                                 {"name", name},
                                 {"otpSize", body.otpSize},
                                 {"otpBytes", otpBytes},
                                 {"fileSizes", sizes},
                                 {"fileSizeUpTo", upTo}});
        if (!common.json && !common.quiet) {
            std::string accepted;
            for (const auto& size : sizes)
                accepted += (accepted.empty() ? "" : ", ") + std::to_string(size.get<uint32_t>());
            if (upTo)
                accepted +=
                    (accepted.empty() ? "" : ", ") + std::string("up to ") + std::to_string(upTo);
            io.out << core::Format("%3d  %-12s OTP %8lld bytes; files of %s bytes\n", index,
                                   name.c_str(), static_cast<long long>(otpBytes),
                                   accepted.c_str());
        }
    }
    if (doc["bodies"].empty()) {
        io.err << "burnwright-cli: no body catalogue (" << image::kProfileFileName
               << ") beside the program.\n";
        return Finish(nullptr, doc, kExitProgramFolder, common, io);
    }
    return Finish(nullptr, doc, kExitOk, common, io);
}

int LoadOn(Session& s, const std::optional<std::vector<int>>& sockets, json& doc,
           const CommonOptions& common, Output io) {
    int code = s.SelectSockets(sockets);
    if (code != kExitOk)
        return code;
    ActionResult result;
    code = s.Load(result);
    doc.update(ActionJson(result));
    doc["bufferLoaded"] = s.Dlg().State().bufferLoaded.load() != 0;
    if (!common.json && !common.quiet) {
        PrintWriter(io.out, s.Writer());
        PrintImage(io.out, s);
        PrintAction(io.out, result);
    }
    return code;
}

int RunLoad(const CommonOptions& common, const ImageArgs& image,
            const std::optional<std::vector<int>>& sockets, Output io) {
    json doc{{"command", "load"}};
    Session s(common, io.err);
    int code = StartWithImage(s, image, doc, true);
    if (code == kExitOk)
        code = LoadOn(s, sockets, doc, common, io);
    return Finish(&s, doc, code, common, io);
}

int ProgramOn(Session& s, const ProgramArgs& args, ProductionRecord* record, json& doc,
              const CommonOptions& common, Output io) {
    if (s.ImageFile().empty()) {
        io.err << "burnwright-cli: no image is open; give --body N FILE (or open one first).\n";
        return kExitUsage;
    }
    int code = s.SelectSockets(args.sockets);
    if (code != kExitOk)
        return code;
    const WriterIdentity writer = s.Writer();
    int loadCode = kExitOk;
    if (args.load) {
        ActionResult load;
        loadCode = s.Load(load);
        doc["load"] = ActionJson(load);
        if (load.stopped || (loadCode != kExitOk && loadCode != kExitChipsFailed))
            return loadCode;
    }
    code = s.SetOperations(args.ops);
    if (code != kExitOk)
        return code;

    const RecordContext context{SerialText(writer.serial), s.Body(),    s.BodyName(), s.ImageFile(),
                                s.ImageCheckSum(),         args.station};
    int passNumber = 0;
    bool recordFailed = false;
    // Each pass's lines go to the record as soon as the pass has ended; a
    // pass that ran no step touched no chip and leaves no line.
    auto onPass = [&](const ActionResult& pass) {
        ++passNumber;
        std::string message;
        if (record && !recordFailed && !pass.steps.empty() &&
            !record->Append(context, passNumber, pass, message)) {
            io.err << "burnwright-cli: " << message << "\n";
            recordFailed = true;
        }
    };
    std::vector<ActionResult> passes(1);
    if (args.stressCount > 0) {
        passes.clear();
        code = s.Stress(args.stressCount, args.stressInterval, passes, onPass);
    } else {
        code = s.Pass(passes[0]);
        if (code != kExitNothingToDo)
            onPass(passes[0]);
    }
    code = Worst(code, loadCode);
    if (recordFailed)
        code = Worst(code, kExitUsage);
    if (!passes.empty()) {
        doc.update(ActionJson(passes.back()));
        if (args.stressCount > 0) {
            doc["passes"] = json::array();
            for (const ActionResult& pass : passes)
                doc["passes"].push_back(ActionJson(pass));
        }
    }
    if (record)
        doc["record"] = {{"file", record->Path()}, {"passes", passNumber}};
    if (!common.json && !common.quiet && !passes.empty()) {
        PrintWriter(io.out, writer);
        PrintImage(io.out, s);
        PrintAction(io.out, passes.back());
    }
    return code;
}

int RunProgram(const CommonOptions& common, const ProgramArgs& args, Output io) {
    json doc{{"command", "program"}};
    // The record is checked before the writer is touched: a record that
    // cannot be kept must not cost a single chip.
    ProductionRecord record;
    if (!args.logCsv.empty()) {
        std::string message;
        if (!record.Open(args.logCsv, message)) {
            io.err << "burnwright-cli: " << message << " Nothing was programmed.\n";
            return Finish(nullptr, doc, kExitUsage, common, io);
        }
    }
    Session s(common, io.err);
    int code = StartWithImage(s, args.image, doc, true);
    if (code == kExitOk && (args.stressCount > 0 || args.ops.ihrc))
        code = NeedDeveloper(common, args.stressCount > 0 ? "--stress" : "--ihrc", io);
    if (code == kExitOk)
        code = ProgramOn(s, args, record.IsOpen() ? &record : nullptr, doc, common, io);
    return Finish(&s, doc, code, common, io);
}

int ReadOtpOn(Session& s, const std::optional<std::vector<int>>& sockets,
              const std::string& outFile, json& doc, const CommonOptions& common, Output io) {
    int code = s.SelectSockets(sockets);
    // The writer reads the first socket of the last mask it was sent that
    // holds a chip: the ticked sockets become that mask.
    if (code == kExitOk) {
        int sent = 1, withChip = 0;
        s.Host().RunOnUi([&] {
            engine::C_OTP& otp = s.Dlg().Engine();
            for (int socket = 1; socket <= ids::kSocketCount; ++socket)
                if (!sockets || std::count(sockets->begin(), sockets->end(), socket))
                    withChip += otp.GetSocketStates()[static_cast<size_t>(socket - 1)] != 0;
            if (withChip && sockets)
                sent = otp.SendSocketStates();
        });
        if (!withChip) {
            // The writer would read another socket's chip, or refuse.
            io.err << "burnwright-cli: no chip in "
                   << (sockets ? "the sockets listed" : "any socket") << "; nothing to read.\n";
            code = kExitNothingToDo;
        } else if (!sent) {
            io.err << "burnwright-cli: the writer did not take the socket selection.\n";
            code = kExitNoWriter;
        }
    }
    if (code == kExitOk)
        code = s.Click(ids::kReadData, "Read Data");
    const std::string file = port::ModuleFolder() + kReadBackFile;
    const auto messages = s.Host().Messages();
    if (code == kExitOk &&
        (messages.empty() ||
         messages.back() != std::string("You can check file ") + kReadBackFile + "."))
        code = kExitNoWriter;
    std::error_code same;
    if (code == kExitOk && !outFile.empty() && !std::filesystem::equivalent(file, outFile, same)) {
        std::error_code error;
        std::filesystem::copy_file(file, outFile, std::filesystem::copy_options::overwrite_existing,
                                   error);
        if (error) {
            io.err << "burnwright-cli: cannot write " << outFile << ": " << error.message()
                   << "; the chip's contents are in " << file << ".\n";
            code = kExitUsage;
        }
    }
    if (code == kExitOk) {
        std::error_code error;
        doc["file"] = outFile.empty() ? file : outFile;
        doc["bytes"] = std::filesystem::file_size(file, error);
        if (!common.json && !common.quiet)
            io.out << "Read " << doc["bytes"].get<uintmax_t>() << " bytes into "
                   << doc["file"].get<std::string>() << "\n";
    }
    return code;
}

int CheckOutFile(const std::string& outFile, Output io) {
    if (outFile.empty())
        return kExitOk;
    // Refused before the chip is read, so a mistyped path costs nothing.
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path out = fs::absolute(outFile, error);
    const fs::path parent = out.parent_path();
    if (error || fs::is_directory(out, error) || !fs::is_directory(parent, error)) {
        io.err << "burnwright-cli: --out " << outFile
               << (fs::is_directory(out, error) ? " is a folder" : ": its folder does not exist")
               << "; name a file in an existing folder.\n";
        return kExitUsage;
    }
    return kExitOk;
}

int RunReadOtp(const CommonOptions& common, int body,
               const std::optional<std::vector<int>>& sockets, const std::string& outFile,
               Output io) {
    json doc{{"command", "read-otp"}};
    if (int code = NeedDeveloper(common, "read-otp", io); code != kExitOk)
        return Finish(nullptr, doc, code, common, io);
    if (int code = CheckOutFile(outFile, io); code != kExitOk)
        return Finish(nullptr, doc, code, common, io);
    Session s(common, io.err);
    int code = StartWithImage(s, {body, ""}, doc, false);
    if (code == kExitOk)
        code = ReadOtpOn(s, sockets, outFile, doc, common, io);
    return Finish(&s, doc, code, common, io);
}

int RunInfo(const CommonOptions& common, const std::string& what, int body, Output io) {
    json doc{{"command", "info " + what}};
    if (int code = NeedDeveloper(common, "info", io); code != kExitOk)
        return Finish(nullptr, doc, code, common, io);
    Session s(common, io.err);
    int code = StartWithImage(s, {body, ""}, doc, false);
    const int button = what == "get"       ? ids::kGetInfo
                       : what == "set"     ? ids::kSetInfo
                       : what == "get-otp" ? ids::kGetOtpInfo
                                           : ids::kSetOtpInfo;
    const char* caption = what == "get"       ? "GetInfo"
                          : what == "set"     ? "SetInfo"
                          : what == "get-otp" ? "GetOTPInfo"
                                              : "SetOTPInfo";
    if (code == kExitOk)
        code = s.Click(button, caption);
    for (const std::string& message : s.Host().Messages())
        if (message.rfind("This button just for", 0) == 0)
            code = Worst(code, kExitUsage);
    if (code == kExitOk) {
        engine::InfoBlockBytes bytes{};
        s.Host().RunOnUi([&] { bytes = s.Dlg().Engine().GetInfoBlock().Bytes(); });
        std::string hex;
        for (size_t i = 0; i < bytes.size(); ++i)
            hex += core::Format("%02X", bytes[i]);
        const engine::InfoBlock block(bytes);
        doc["block"] = hex;
        doc["holdsNothing"] = block.HoldsNothing();
        doc["counters"] = {{"ok", block.PassCounter()}, {"fail", block.FailCounter()}};
        if (!common.json && !common.quiet)
            for (size_t row = 0; row < hex.size(); row += 32)
                io.out << core::Format("%02X: ", static_cast<unsigned>(row / 2))
                       << hex.substr(row, 32) << "\n";
    }
    return Finish(&s, doc, code, common, io);
}

int CountersOn(Session& s, bool reset, json& doc, const CommonOptions& common, Output io) {
    int code = kExitOk;
    if (reset)
        code = s.Click(ids::kResetCounter, "Reset Counter");
    if (code != kExitOk)
        return code;
    namespace keys = core::settings;
    int blockOk = 0, blockFail = 0;
    bool stored = false;
    s.Host().RunOnUi([&] {
        app::CBurnwrightDlg& dlg = s.Dlg();
        dlg.Engine().GetInfo(dlg.State().developerMode);
        const engine::InfoBlock& block = dlg.Engine().GetInfoBlock();
        stored = !block.HoldsNothing();
        blockOk = block.PassCounter();
        blockFail = block.FailCounter();
    });
    core::C_OTPProfiler& settings = s.Dlg().Settings();
    const int fileOk = settings.GetInt(keys::kGeneral, keys::kOtpCounterOk);
    const int fileFail = settings.GetInt(keys::kGeneral, keys::kOtpCounterFail);
    const int ok = s.Dlg().State().okCount, fail = s.Dlg().State().failCount;
    doc["counters"] = {{"ok", ok}, {"fail", fail}};
    doc["settingsFile"] = {{"ok", fileOk}, {"fail", fileFail}};
    doc["writerBlock"] = stored ? json{{"ok", blockOk}, {"fail", blockFail}} : json(nullptr);
    if (!common.json && !common.quiet) {
        io.out << "Counters: OK " << ok << ", Fail " << fail << "\n"
               << "Settings file: OK " << fileOk << ", Fail " << fileFail << "\n";
        if (stored)
            io.out << "Writer: OK " << blockOk << ", Fail " << blockFail << "\n";
        else
            io.out << "Writer: no information block stored\n";
    }
    return kExitOk;
}

int RunCounters(const CommonOptions& common, bool reset, const ImageArgs& image, Output io) {
    json doc{{"command", reset ? "counters --reset" : "counters"}};
    if (reset && image.file.empty()) {
        io.err << "burnwright-cli: --reset needs --body N FILE: the window enables Reset Counter "
                  "once an image is open.\n";
        return Finish(nullptr, doc, kExitUsage, common, io);
    }
    Session s(common, io.err);
    int code = StartWithImage(s, image, doc, false);
    if (code == kExitOk)
        code = CountersOn(s, reset, doc, common, io);
    return Finish(&s, doc, code, common, io);
}

int RunFirmware(const CommonOptions& common, const std::string& what, Output io) {
    json doc{{"command", "firmware " + what}};
    Session s(common, io.err);
    // Only `update` takes the offer the window makes at start-up as its
    // routine question; a check only compares.
    s.SetUpdateCommand(what == "update");
    int code = s.Start();
    if (code != kExitOk)
        return Finish(&s, doc, code, common, io);
    const std::string path = port::ModuleFolder() + firmware::kFirmwareFileName;
    std::string fileVersion;
    // Why the file cannot be a firmware image: the check it fails.
    std::string problem;
    auto readFile = [&] {
        s.Host().RunOnUi([&] {
            firmware::C_C51BinFile& file = s.Dlg().Engine().GetUpdater()->GetFirmware();
            file.SetFileName(path);
            firmware::Version version{};
            fileVersion.clear();
            if (file.GetVersion(version.data()) && version != firmware::Version{})
                fileVersion = firmware::FormatVersion(version);
            problem = file.Exists() ? file.ImageProblem() : std::string();
        });
    };
    readFile();
    // Why the file offers no update, in the operator's words; empty when it does.
    std::string unusable;
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        unusable = "no firmware file beside the program (" + path + ")";
    else if (!problem.empty())
        unusable = problem.substr(0, problem.size() - 1); // without its full stop
    else if (fileVersion.empty())
        unusable = "the firmware file " + path + " cannot be read";
    if (what == "update") {
        if (!unusable.empty()) {
            io.err << "burnwright-cli: " << unusable << "; the writer was not changed.\n";
            code = kExitImageRefused;
        } else {
            s.Host().ClearRecord();
            int result = 0;
            s.Host().RunOnUi([&] { result = s.Dlg().RunUpdateCheck(); });
            s.Host().WaitIdle();
            readFile();
            // The writer's version afterwards decides: an offer declined at
            // start-up and accepted now is a success.
            if (fileVersion.substr(0, 19) != s.Writer().firmware.substr(0, 19)) {
                code =
                    s.Host().QuestionFailed() || result == 0 ? kExitQuestionFailed : kExitNoWriter;
                for (const std::string& message : s.Host().Messages())
                    if (message == firmware::kUpdateAppFailed ||
                        message == firmware::kUpdateBootFailed)
                        code = kExitNoWriter;
            }
        }
    }
    const WriterIdentity writer = s.Writer();
    doc["writer"] = WriterJson(writer);
    doc["firmwareFile"] =
        unusable.empty() ? json{{"path", path}, {"version", fileVersion}} : json(nullptr);
    if (!unusable.empty())
        doc["firmwareFileProblem"] = unusable;
    const bool differs =
        unusable.empty() && fileVersion.substr(0, 19) != writer.firmware.substr(0, 19);
    doc["updateOffered"] = differs;
    if (!common.json && !common.quiet) {
        io.out << "Writer firmware: " << writer.firmware << "\n";
        io.out << "Firmware file: "
               << (unusable.empty() ? fileVersion + " (" + path + ")" : unusable) << "\n";
    }
    return Finish(&s, doc, code, common, io);
}

} // namespace cli
