// What a command prints: the socket table and summary lines on standard
// output, the same as one JSON document with --json, and the production
// record that --log-csv appends to.
#pragma once

#include "cli/console/Session.h"

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace cli {

nlohmann::json WriterJson(const WriterIdentity& writer);
nlohmann::json ActionJson(const ActionResult& result);

void PrintWriter(std::ostream& out, const WriterIdentity& writer);
// Socket, state word, lamp and status text of every socket, then the
// summary line of every step and the counters.
void PrintAction(std::ostream& out, const ActionResult& result);

// What one pass's record says besides the sockets.
struct RecordContext {
    std::string serial;
    int body = 0;
    std::string bodyName;
    std::string imageFile;
    std::string imageCheckSum;
};

// Appends one line per enabled socket (a header first when the file is new).
// False, with a message, when the file cannot be written.
bool AppendCsv(const std::string& path, const RecordContext& context, const ActionResult& pass,
               std::string& message);

} // namespace cli
