// What a command prints: the socket table and summary lines on standard
// output, the same as one JSON document with --json, and the production
// record that --log-csv appends to.
#pragma once

#include "cli/console/Session.h"

#include <nlohmann/json.hpp>

#include <fstream>
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
    std::string station; // --station NAME
};

// The production record --log-csv appends to: one header, then one line per
// enabled socket per pass, written and flushed when the pass ends.
class ProductionRecord {
public:
    // The columns, in order; a file is only ever appended to under this header.
    static const char* Header();

    // Opens `path` for appending (creating it, with the header, when it is
    // new or empty). False, with a message, when it cannot be appended to or
    // starts with another header; nothing is written then.
    bool Open(const std::string& path, std::string& message);
    bool IsOpen() const { return file_.is_open(); }
    const std::string& Path() const { return path_; }
    // The pass's lines, numbered `pass` within the run, stamped now.
    bool Append(const RecordContext& context, int pass, const ActionResult& result,
                std::string& message);

private:
    std::string path_;
    std::ofstream file_;
};

} // namespace cli
