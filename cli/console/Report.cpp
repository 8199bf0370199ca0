#include "cli/console/Report.h"

#include "core/Errors.h"
#include "port/LocalTime.h"

#include <filesystem>
#include <fstream>

namespace cli {
namespace {

constexpr const char* kCsvSteps[] = {"Blank Check", "Program", "Verify", "Trim IHRC"};

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos)
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
    j["elapsedSeconds"] = r.elapsed;
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

bool AppendCsv(const std::string& path, const RecordContext& c, const ActionResult& pass,
               std::string& message) {
    std::error_code error;
    const bool fresh =
        !std::filesystem::exists(path, error) || std::filesystem::file_size(path, error) == 0;
    std::ofstream file(path, std::ios::app);
    if (!file) {
        message = "cannot append to the record " + path + ".";
        return false;
    }
    if (fresh) {
        file << "time,writer_serial,socket,body,body_name,image_file,image_checksum";
        for (const char* step : kCsvSteps)
            file << "," << step;
        file << ",final_state,counter_ok,counter_fail\n";
    }
    const port::LocalTime t = port::GetLocalTime();
    const std::string when = core::Format("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                                          t.hour, t.minute, t.second);
    for (const SocketResult& s : pass.sockets) {
        if (!s.enabled)
            continue;
        file << when << "," << c.serial << "," << s.socket << "," << c.body << ","
             << CsvField(c.bodyName) << "," << CsvField(c.imageFile) << "," << c.imageCheckSum;
        for (const char* step : kCsvSteps) {
            const auto it = s.steps.find(step);
            file << "," << (it == s.steps.end() ? "-" : it->second);
        }
        file << "," << StateWord(s.state) << "," << pass.okCount << "," << pass.failCount << "\n";
    }
    file.close();
    if (!file) {
        message = "cannot write the record " + path + ".";
        return false;
    }
    return true;
}

} // namespace cli
