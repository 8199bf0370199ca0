// The commands of burnwright-cli. Each runs the window logic (or, for
// `writers`, `bodies` and `image`, the layer below it), prints its result on
// `out` (text, or one JSON document with --json) and returns the exit code.
#pragma once

#include "cli/console/Session.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace cli {

struct ImageArgs {
    int body = 0;
    std::string file;
};

struct ProgramArgs {
    ImageArgs image;
    Operations ops;
    std::optional<std::vector<int>> sockets;
    bool load = false;
    int stressCount = 0; // 0: one pass
    int stressInterval = 1500;
    std::string logCsv;
    std::string station; // --station NAME, a column of the record
};

struct Output {
    std::ostream& out;
    std::ostream& err;
};

class ProductionRecord;

// "1-4,7" as socket numbers; false for anything else.
bool ParseSocketList(const std::string& text, std::vector<int>& sockets);

// The parts of the commands that act on a started session, shared with
// `serve`: each adds its results to `doc` and returns the exit code.
int OpenOn(Session& s, const ImageArgs& image, nlohmann::json& doc, bool needImage);
int LoadOn(Session& s, const std::optional<std::vector<int>>& sockets, nlohmann::json& doc,
           const CommonOptions& common, Output io);
// The pass (or stress run) on the open image; each pass's lines go to
// `record` (none when null) as the pass ends.
int ProgramOn(Session& s, const ProgramArgs& args, ProductionRecord* record, nlohmann::json& doc,
              const CommonOptions& common, Output io);
int ReadOtpOn(Session& s, const std::optional<std::vector<int>>& sockets,
              const std::string& outFile, nlohmann::json& doc, const CommonOptions& common,
              Output io);
int CountersOn(Session& s, bool reset, nlohmann::json& doc, const CommonOptions& common, Output io);
// --out names a file in an existing folder (or nothing).
int CheckOutFile(const std::string& outFile, Output io);

int RunWriters(const CommonOptions& common, Output io);
int RunBodies(const CommonOptions& common, Output io);
int RunLoad(const CommonOptions& common, const ImageArgs& image,
            const std::optional<std::vector<int>>& sockets, Output io);
int RunProgram(const CommonOptions& common, const ProgramArgs& args, Output io);
int RunReadOtp(const CommonOptions& common, int body,
               const std::optional<std::vector<int>>& sockets, const std::string& outFile,
               Output io);
// get, set, get-otp, set-otp
int RunInfo(const CommonOptions& common, const std::string& what, int body, Output io);
int RunCounters(const CommonOptions& common, bool reset, const ImageArgs& image, Output io);
// check, update
int RunFirmware(const CommonOptions& common, const std::string& what, Output io);

} // namespace cli
