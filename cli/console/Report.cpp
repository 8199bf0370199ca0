#include "cli/console/Report.h"

#include "core/Errors.h"
#include "port/LocalTime.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace cli {
namespace {

constexpr const char* kCsvSteps[] = {"Blank Check", "Program", "Verify", "Trim IHRC"};

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

} // namespace

nlohmann::json WriterJson(const WriterIdentity& w) {
    nlohmann::json j;
    j["member"] = w.member;
    j["path"] = w.path;
    j["claimed"] = w.claimed;
    if (!w.claimed) {
        j["deviceType"] = w.deviceType;
        j["sockets"] = w.sockets;
        j["serial"] = SerialText(w.serial);
        j["firmware"] = w.firmware;
    }
    return j;
}

nlohmann::json ActionJson(const ActionResult& r) {
    nlohmann::json j;
    j["sockets"] = nlohmann::json::array();
    for (const SocketResult& s : r.sockets) {
        nlohmann::json socket;
        socket["socket"] = s.socket;
        socket["enabled"] = s.enabled;
        socket["state"] = StateWord(s.state);
        socket["text"] = s.text;
        socket["lamp"] = LampName(s.lamp);
        socket["steps"] = s.steps;
        j["sockets"].push_back(socket);
    }
    j["steps"] = nlohmann::json::array();
    for (const StepResult& s : r.steps) {
        nlohmann::json step = {{"operation", s.operation},
                               {"ok", s.ok},
                               {"fail", s.fail},
                               {"init", s.init},
                               {"milliseconds", s.milliseconds}};
        if (s.wireMilliseconds)
            step["wireMilliseconds"] = *s.wireMilliseconds;
        j["steps"].push_back(step);
    }
    j["counters"] = {{"ok", r.okCount}, {"fail", r.failCount}};
    // The elapsed text is the window's "%.3f" seconds; a number here.
    if (!r.elapsed.empty())
        j["elapsedSeconds"] = std::strtod(r.elapsed.c_str(), nullptr);
    else
        j["elapsedSeconds"] = nullptr;
    if (r.stopped)
        j["stopped"] = true;
    if (r.hostMilliseconds)
        j["milliseconds"] = *r.hostMilliseconds;
    if (r.wireMilliseconds)
        j["wireMilliseconds"] = *r.wireMilliseconds;
    return j;
}

void PrintWriter(std::ostream& out, const WriterIdentity& w) {
    out << "Writer: member " << w.member << ", serial " << SerialText(w.serial) << ", firmware "
        << w.firmware << ", " << w.sockets << " sockets (" << w.path << ")\n";
}

void PrintAction(std::ostream& out, const ActionResult& r) {
    out << "Socket  State  Lamp   Status\n";
    for (const SocketResult& s : r.sockets)
        out << core::Format("%6d  %-5s  %-5s  %s\n", s.socket, StateWord(s.state), LampName(s.lamp),
                            s.text.c_str());
    for (const StepResult& s : r.steps)
        out << core::Format("%-12s OK:%4d Fail:%4d Init:%4d Time:%.4f\n",
                            (s.operation + ":").c_str(), s.ok, s.fail, s.init,
                            s.milliseconds / 1000.0);
    out << "Counters: OK " << r.okCount << ", Fail " << r.failCount << "\n";
    if (!r.elapsed.empty())
        out << "Elapsed: " << r.elapsed << " s\n";
}

const char* ProductionRecord::Header() {
    return "time,writer_serial,socket,body,body_name,image_file,image_checksum,"
           "Blank Check,Program,Verify,Trim IHRC,final_state,counter_ok,counter_fail,pass,station";
}

bool ProductionRecord::Open(const std::string& path, std::string& message) {
    namespace fs = std::filesystem;
    path_ = path;
    std::error_code error;
    if (fs::is_directory(path, error)) {
        message = "--log-csv " + path + " is a folder; name a file.";
        return false;
    }
    const bool exists = fs::exists(path, error);
    if (exists && !fs::is_regular_file(path, error)) {
        message = "--log-csv " + path + " is not a regular file.";
        return false;
    }
    std::string first;
    if (exists) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            message = "cannot read the record " + path + " to check its header.";
            return false;
        }
        std::getline(in, first);
        if (!first.empty() && first.back() == '\r')
            first.pop_back();
        if (!first.empty() && first != Header()) {
            message = "the record " + path +
                      " has other columns than this program writes; name a new file.";
            return false;
        }
    }
    file_.open(path, std::ios::app | std::ios::binary);
    if (!file_) {
        message = "cannot append to the record " + path + " (" +
                  (fs::is_directory(fs::absolute(path, error).parent_path(), error)
                       ? "no permission"
                       : "its folder does not exist") +
                  ").";
        return false;
    }
    if (first.empty() && (!exists || fs::file_size(path, error) == 0))
        file_ << Header() << "\n";
    file_.flush();
    if (!file_) {
        message = "cannot write the record " + path + ".";
        file_.close();
        return false;
    }
    return true;
}

bool ProductionRecord::Append(const RecordContext& c, int pass, const ActionResult& result,
                              std::string& message) {
    const port::LocalTime t = port::GetLocalTime();
    const std::string when = core::Format("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                                          t.hour, t.minute, t.second);
    std::string lines;
    for (const SocketResult& s : result.sockets) {
        if (!s.enabled)
            continue;
        lines += when + "," + c.serial + "," + std::to_string(s.socket) + "," +
                 std::to_string(c.body) + "," + CsvField(c.bodyName) + "," + CsvField(c.imageFile) +
                 "," + c.imageCheckSum;
        for (const char* step : kCsvSteps) {
            const auto it = s.steps.find(step);
            lines += "," + (it == s.steps.end() ? std::string("-") : it->second);
        }
        lines += std::string(",") + StateWord(s.state) + "," + std::to_string(result.okCount) +
                 "," + std::to_string(result.failCount) + "," + std::to_string(pass) + "," +
                 CsvField(c.station) + "\n";
    }
    // One write per pass, flushed at once: a run cut short keeps whole lines.
    file_ << lines;
    file_.flush();
    if (!file_) {
        message = "cannot write the record " + path_ + ".";
        return false;
    }
    return true;
}

} // namespace cli
